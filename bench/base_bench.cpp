// qdqm-base-bench: times `qdqm-update update --base-unit` flashing the controllers of eight modules
// in a base unit, against `qdqm-sim --base-unit B --wire-timing` on a pty.
//
// Slots 1-8 hold raw QM21_ modules (or, with --qm492, record-protocol QM492s in the last of them)
// and each gets the same controller data file with a version, so its controller is flashed through
// the slot: wake-up, boot settle, select, erase, records, end, then the deselect. Slot 9 holds a
// QM37_, which is not updatable: it answers nothing and costs the search nothing, where an empty
// slot would cost it half a minute of unanswered frames.
//
// The base unit stores and forwards: a frame reaches it from the PC at 19200 baud, its payload then
// goes to the module at the module's line rate, the module's reply comes back the same way and
// only then does the answer go to the PC. The simulator reports both links as counts from the
// start at every select ("base select") and where the frames turn to a slot ("base slot"): the PC
// side's wire time and the time the slot frames kept the module lines busy. A slot's update is
// the run of frames to it closed by a deselect (00 00 A1 00); the search before the update never
// deselects, so its runs are never closed. The window reaches from the first frame of the first
// closed run to the end of the last deselect's answer. Its wire time on both links, plus the
// sleeps the procedure makes in it and the time-outs it waits out on purpose, is the limit no
// exchange can beat. The tool's CPU time over the same window is read from /proc at the two
// lines; the whole run's figures come from wait4.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.h"
#include "bench/sim_run.h"
#include "sim/intel_hex.h"

namespace {

namespace fs = std::filesystem;
using namespace qdqm::bench;

constexpr unsigned kCom = 9;
constexpr unsigned kModules = 8;  // slots 1-8; slot 9 holds the QM37_
constexpr unsigned kMaxKib = 1024;
constexpr unsigned kRecordBytes = 16;
constexpr double kRatioTarget = 1.05;
// The deselect's answer, one byte at 19200 baud, leaves as soon as the frame is in; the window
// ends when it is out.
constexpr double kSelectAnswerUs = 10 * 1e6 / 19200;

constexpr std::string_view kHelp =
    "usage: qdqm-base-bench [options]\n"
    "  Flashes the controllers of eight modules in a base unit (slots 1-8, a QM37_ in slot 9)\n"
    "  through `qdqm-update update --base-unit` against `qdqm-sim --base-unit B --wire-timing`,\n"
    "  and prints, for each slot and for the whole update run, wall time, wire time on the PC\n"
    "  side and on the module side, the procedure's sleeps and waits, their ratio and CPU time\n"
    "  over wall time:\n"
    "  --kib N            image size in KiB, the same for every module, in 16-byte records\n"
    "                     (default 16)\n"
    "  --qm492 N          the last N of slots 1-8 hold a QM492 (record protocol, letter T)\n"
    "                     instead of a QM21_ (raw, letter Q) (default 0)\n"
    "  --work DIR         where the program directory and logs go (default: a fresh temporary\n"
    "                     directory, removed afterwards unless --keep)\n"
    "  --keep             keep the work directory\n";

struct Options : WorkOptions {
  unsigned kib = 16;
  unsigned qm492 = 0;
};

bool parse(int argc, char** argv, Options& o) {
  return parseOptions(argc, argv, o, [&o](std::string_view a, const char* v) {
    if (a == "--kib") return parseUnsigned(v, 1, kMaxKib, o.kib);
    if (a == "--qm492") return parseUnsigned(v, 0, kModules, o.qm492);
    return false;
  });
}

// A module type as the benchmark uses it: what the tool does to it inside its slot's update.
struct ModuleKind {
  const char* type;     // qdqm-sim --slot K=TYPE and line 1 of the data file
  const char* typeDir;  // where the tool looks for its files
  char letter;          // the letter its records go with
  // The sleeps of slotWakeBootLoader and flashSlotController, in ms. Raw QM21: the 5 s boot
  // settle after the wake-up and 5 ms after the erase. QM492: besides those, 100 ms between the
  // two wake-up frames, 5 ms after the sync frame and 5 ms between WriteApplChecksum and Reset.
  double sleepMs;
  // Time-outs waited out in full, in ms. The QM492's sync frame ("UU", letter T, 2 reply bytes,
  // 100 ms) gets no answer: the module, not yet in its boot loader, ignores it, so the base unit
  // answers nothing. The tool waits its 100 + 1001 exchange cycles; a cycle without input is the
  // 1 ms pause and then a 5-byte read that lasts its 6 ms: 1101 pauses and 1099 reads.
  double waitMs;
};
constexpr ModuleKind kQM21{"QM21_", "QM21__", 'Q', 5000 + 5, 0};
constexpr ModuleKind kQM492{"QM492", "QM492_", 'T', 100 + 5000 + 5 + 5 + 5, 1101 * 1 + 1099 * 6};
// The module in slot 9: not updatable, so neither searched nor updated with a frame.
constexpr const char* kIdleType = "QM37_";
// The data file's version is above the 3.19 the simulated modules report.
constexpr const char* kDataFileName = "upd3.20";

// The counts of a "base select" or "base slot" line, with the tool's CPU time when it was read.
struct Mark {
  bool select = false;
  unsigned n = 0;  // the slot selected, or the slot the frames turn to
  double atUs = 0;
  double pcWireUs = 0, moduleWireUs = 0;
  std::optional<double> cpuS;
};

// "base select N T bytes-in I bytes-out O wire-us W module-wire-us M", or "base slot K T ..."
std::optional<Mark> parseMark(const std::string& line) {
  char what[8] = {};
  unsigned long long at = 0, in = 0, out = 0;
  Mark m;
  if (std::sscanf(line.c_str(),
                  "base %7s %u %llu bytes-in %llu bytes-out %llu wire-us %lf module-wire-us %lf",
                  what, &m.n, &at, &in, &out, &m.pcWireUs, &m.moduleWireUs) != 7)
    return std::nullopt;
  const std::string_view kind = what;
  if (kind != "select" && kind != "slot") return std::nullopt;
  m.select = kind == "select";
  m.atUs = static_cast<double>(at);
  return m;
}

// A stretch between two marks.
struct Span {
  double wallS = 0, pcS = 0, moduleS = 0;
  std::optional<double> cpuS;
};

// From the first frame at `from` to the end of the answer of the deselect at `to`.
Span spanOf(const Mark& from, const Mark& to) {
  Span s;
  s.wallS = (to.atUs + kSelectAnswerUs - from.atUs) / 1e6;
  s.pcS = (to.pcWireUs - from.pcWireUs) / 1e6;
  s.moduleS = (to.moduleWireUs - from.moduleWireUs) / 1e6;
  if (from.cpuS && to.cpuS) s.cpuS = *to.cpuS - *from.cpuS;
  return s;
}

// One slot's update as the report shows it.
struct SlotRun {
  unsigned slot = 0;
  Mark from, to;
};

// The slot updates: every run of frames to one slot that a deselect closes.
std::vector<SlotRun> closedRuns(const std::vector<Mark>& marks) {
  std::vector<SlotRun> runs;
  std::optional<Mark> open;
  for (const Mark& m : marks) {
    if (!m.select) {
      open = m;
      continue;
    }
    if (m.n == 0 && open) runs.push_back(SlotRun{open->n, *open, m});
    open.reset();
  }
  return runs;
}

struct SlotFlash {
  unsigned records = 0;
  bool ended = false;
};

// "slot K flash end T records N baud B ... ended E"
bool parseSlotFlashEnd(const std::string& line, std::vector<SlotFlash>& flashes) {
  unsigned slot = 0, records = 0;
  unsigned long long end = 0;
  if (std::sscanf(line.c_str(), "slot %u flash end %llu records %u", &slot, &end, &records) != 3 ||
      slot < 1 || slot > flashes.size())
    return false;
  const size_t ended = line.rfind(" ended ");
  flashes[slot - 1].records = records;
  flashes[slot - 1].ended = ended != std::string::npos && line.substr(ended + 7) == "1";
  return true;
}

const ModuleKind& kindOf(unsigned slot, const Options& o) {
  return slot + o.qm492 > kModules ? kQM492 : kQM21;
}

// The span's columns up to the ratio; the cpu column follows.
void printSpan(const Span& s, double sleepS, double waitS) {
  const double limitS = s.pcS + s.moduleS + sleepS + waitS;
  std::printf("%8.2f %8.2f %8.2f %8.2f %7.2f %6.3f ", s.wallS, s.pcS, s.moduleS, sleepS, waitS,
              limitS > 0 ? s.wallS / limitS : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const std::optional<int> status = helpOrUsage(argc, argv, kHelp, parse(argc, argv, o))) {
    return *status;
  }

  const fs::path bin = programsBesideSelf({"qdqm-update", "qdqm-sim"}, "qdqm-base-bench");
  if (bin.empty()) return 1;
  const WorkDir work = prepareWorkDir(o.work, "qdqm-base-bench");
  // The tool finds its type directories beside its executable.
  fs::copy_file(bin / "qdqm-update", work.program / "qdqm-update",
                fs::copy_options::overwrite_existing);
  const qdqm::sim::Image image = qdqm::sim::syntheticImage(0, o.kib * 1024, 64);
  const std::string expectedFlash = qdqm::sim::toIntelHex(image);
  for (const ModuleKind* kind : {&kQM21, &kQM492}) {
    fs::create_directories(work.program / kind->typeDir);
    // No FPGA or MPEG file: only the controller is flashed.
    std::ofstream(work.program / kind->typeDir / kDataFileName, std::ios::binary)
        << qdqm::sim::makeDataFile(qdqm::sim::DataFileHeader{kind->type, ";", ";"}, image,
                                   kRecordBytes);
  }

  SimRun run;
  run.sim = {(bin / "qdqm-sim").string(),
             "--com",
             std::to_string(kCom),
             "--base-unit",
             "B",
             "--wire-timing",
             "--report-flash"};
  for (unsigned slot = 1; slot <= kModules; ++slot) {
    const fs::path flashOut = work.logs / ("slot" + std::to_string(slot) + ".flash.hex");
    run.sim.insert(run.sim.end(), {"--slot", std::to_string(slot) + "=" + kindOf(slot, o).type,
                                   "--flash-out", flashOut.string()});
  }
  run.sim.insert(run.sim.end(), {"--slot", std::to_string(kModules + 1) + "=" + kIdleType});
  run.tool = {(work.program / "qdqm-update").string(),
              "update",
              "--port",
              std::to_string(kCom),
              "--base-unit",
              "--yes"};
  run.logs = work.logs;
  run.tag = "base";
  // Each slot's records, generously at 100 ms, with its settle and the QM492's sync time-out; the
  // run is given up at three times that and five minutes for Connect and the search.
  const double recordsPerModule = o.kib * 1024.0 / kRecordBytes;
  run.limitS = 300 + 3 * kModules * (recordsPerModule * 0.1 + 5.2 + kQM492.waitMs / 1000);
  std::vector<Mark> marks;
  std::vector<SlotFlash> flashes(kModules);
  run.line = [&](const std::string& line, std::optional<double> cpuS) {
    if (auto m = parseMark(line)) {
      m->cpuS = cpuS;
      marks.push_back(*m);
    } else {
      parseSlotFlashEnd(line, flashes);
    }
  };

  std::printf(
      "%u KiB image in %u-byte records per module; wall time of each slot's update and of the "
      "whole update run against wire time on the PC side and the module side, sleeps and "
      "waits\n",
      o.kib, kRecordBytes);
  std::printf("load average at start: %s\n", loadAverage().c_str());
  std::fflush(stdout);
  const SimRunResult done = runAgainstSim(run);

  std::string problem = runProblem(done);
  const std::vector<SlotRun> runs = closedRuns(marks);
  bool inOrder = runs.size() == kModules;
  for (size_t k = 0; inOrder && k < runs.size(); ++k) inOrder = runs[k].slot == k + 1;
  if (problem.empty() && !inOrder)
    problem = "the report does not show slots 1-" + std::to_string(kModules) +
              " each updated and deselected in turn";
  for (unsigned slot = 1; problem.empty() && slot <= kModules; ++slot) {
    const fs::path flashOut = work.logs / ("slot" + std::to_string(slot) + ".flash.hex");
    if (readFile(flashOut) != expectedFlash) {
      problem = "slot " + std::to_string(slot) + " flash differs from the image";
    } else if (!flashes[slot - 1].ended) {
      problem = "slot " + std::to_string(slot) + " did not recognise the end of programming";
    }
  }

  std::printf("%-4s %-6s %-6s %7s %8s %8s %8s %8s %7s %6s %7s %8s %7s\n", "slot", "module",
              "letter", "records", "wall s", "pc s", "module s", "sleep s", "wait s", "ratio",
              "cpu", "run s", "run cpu");
  double sleepS = 0, waitS = 0;
  unsigned records = 0;
  for (const SlotRun& r : runs) {
    const ModuleKind& kind = kindOf(r.slot, o);
    const unsigned n = r.slot >= 1 && r.slot <= kModules ? flashes[r.slot - 1].records : 0;
    std::printf("%-4u %-6s %-6c %7u ", r.slot, kind.type, kind.letter, n);
    const Span span = spanOf(r.from, r.to);
    printSpan(span, kind.sleepMs / 1000, kind.waitMs / 1000);
    printCpu(span.cpuS, span.wallS);
    std::printf("\n");
    sleepS += kind.sleepMs / 1000;
    waitS += kind.waitMs / 1000;
    records += n;
  }
  std::printf("%-4s %-6s %-6s %7u ", "all", "-", "-", records);
  const Span all = runs.empty() ? Span{} : spanOf(runs.front().from, runs.back().to);
  printSpan(all, sleepS, waitS);
  printCpuAndRun(all.cpuS, all.wallS, done.runWallS, done.runCpuS);
  if (!problem.empty()) {
    std::printf("  INVALID: %s\n", problem.c_str());
  } else {
    const double limitS = all.pcS + all.moduleS + sleepS + waitS;
    printTargets(kRatioTarget, all.wallS <= kRatioTarget * limitS,
                 all.cpuS && *all.cpuS <= kCpuTarget * all.wallS);
    std::printf("\n");
  }
  std::printf("load average at end: %s\n", loadAverage().c_str());
  finishWorkDir(work, o.keep, problem.empty());
  return problem.empty() ? 0 : 1;
}
