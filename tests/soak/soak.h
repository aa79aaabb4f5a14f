// The soak: whole update runs (Connect and Update through the window model) against simulated
// modules of every kind of stage, on the virtual clock, each over a line that damages bytes at
// random, drawn from a seed. Every run is judged by the same invariants; a run is named by the
// seed and its number, and is replayed alone from them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "app/run_result.h"
#include "link/serial_device.h"
#include "tests/support/module_setups.h"
#include "tests/support/sim_line.h"

namespace qdqm::soak {

using testing::Module;
using testing::ModuleSetup;
using Way = testing::SimLine::Way;

// A module kind the runs take in turn: one stand-alone module, or a base unit with modules in
// its slots.
struct Kind {
  const char* name;
  const char* stage;
  std::vector<Module> modules;  // in slots 1, 2, ... when baseUnit
  bool baseUnit;
  // What the time-outs and waits of a run allow, with a margin: a run that takes longer spins
  // through cycles of a line that went away, or hangs.
  unsigned boundSeconds;
};
std::span<const Kind> kinds();

// The faults drawn for one run.
struct Plan {
  double flipRate[2] = {0, 0};  // per bit, to the device and to the tool; 0 none
  uint64_t flipSeed = 0;
  std::vector<testing::SimLine::WireFault> faults;
  bool faultFree() const { return flipRate[0] == 0 && flipRate[1] == 0 && faults.empty(); }
};
std::string describe(const Plan& plan);

// The bytes a fault-free run of a kind moves each way: where the faults are placed.
struct Traffic {
  uint64_t bytes[2] = {0, 0};
};
Plan drawPlan(std::mt19937_64& random, const Traffic& traffic);

// How a module came out of a run.
struct ModuleOutcome {
  const ModuleSetup* setup = nullptr;
  bool checked = true;          // a slot row ticked when Update was pressed
  int slotState = -1;           // a slot's state after the run
  bool claimedUpdated = false;  // the success verdict, or its slot reported updated
  bool keepsItsFiles = false;   // every image it keeps equals its file
  bool changed = false;         // it keeps anything the run changed
  std::string blindSpot;        // what kept the protocol from seeing the damage it keeps, if any
  // Records that reached its boot loader other than the tool wrote them, and those of them taken.
  unsigned damagedRecords = 0, damagedRecordsTaken = 0;
};

struct Outcome {
  bool offered = false;  // Connect offered an update and Update was pressed
  int verdict = 0;       // 0 none, 1 success, 2 failure
  RunResult result = RunResult::NotStarted;
  bool moduleChanged = false;
  uint64_t elapsedUs = 0;
  bool lineLost = false;
  LineSettings settings, requested;
  testing::SimLine::Damaged damaged[2];
  std::vector<ModuleOutcome> modules;
  std::vector<std::string> boxes;
  std::string connected;              // the device and type texts Connect found
  std::vector<std::string> statuses;  // every status line the run showed, in order
  std::string traffic;                // the frames both ways, as the frame trace writes them
  bool hostFailure = false;           // the scripted host saw a box under the wait cursor
};

// The program directory with every kind's type directory, written once.
class Bench {
 public:
  Bench();
  ~Bench();
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;
  const std::filesystem::path& programDir() const { return dir_; }
  const testing::ModuleFiles& files(const ModuleSetup& s) const;

 private:
  std::filesystem::path dir_;
  std::vector<testing::ModuleFiles> files_;  // by index in moduleSetups()
};

// One run of `kind` over a line damaged as `plan` says; `detailed` keeps the status lines and the
// frames of the run for a replay.
Outcome run(const Bench& bench, const Kind& kind, const Plan& plan, bool detailed);

// The invariants broken by a run, one text each; empty when it kept them all.
std::vector<std::string> brokenInvariants(const Kind& kind, const Outcome& outcome);

}  // namespace qdqm::soak
