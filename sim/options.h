// qdqm-sim's command line taken apart: the port, the single module or the base unit with a module
// in each of its slots, and what to report and write on exit.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sim/base_unit.h"
#include "sim/controller.h"
#include "sim/faults.h"

namespace qdqm::sim {

// One module: what it is, what goes wrong, where its flashes go on exit; in a slot also its type
// code and the base unit's fault for that slot.
struct ModuleOptions {
  Profile profile;
  Faults faults;
  std::string flashOut, fpgaOut, decoderOut;
  uint8_t code = 0;
  // The base unit's answers for this slot end in the wrong slot number from its Nth slot frame
  // on (0: never).
  unsigned wrongSlotFrom = 0;
};

struct Options {
  bool help = false;
  unsigned com = 0;
  bool wireTiming = false;
  bool reportFlash = false;
  ModuleOptions single;                     // without a base unit
  std::optional<BaseUnitSetup> baseUnit;    // --base-unit A|B
  std::map<unsigned, ModuleOptions> slots;  // by slot number
};

// The arguments after the program name. nullopt on a bad one, `error` then says which and why.
std::optional<Options> parseOptions(std::span<const std::string_view> args, std::string& error);

// The word --decoder takes for a kind ("swid", ...).
std::string_view decoderName(DecoderKind kind);

}  // namespace qdqm::sim
