// The simulated modules the fault matrix and the soak update, one of each kind of stage: how each
// is set up, the files of its type directory, and what it is left with after a run.
#pragma once

#include <span>
#include <string>
#include <utility>

#include "sim/controller.h"
#include "sim/intel_hex.h"

namespace qdqm::testing {

enum class Module { QD21S, QM41B, QD29E, QM23, QM292, QM492, QD20A, QD22A, QD09T, Slot21, Slot292 };

struct ModuleSetup {
  Module module;
  const char* type;
  const char* typeDir;
  sim::Protocol protocol;
  sim::CoprocessorKind coprocessor;
  sim::DecoderKind decoder;
  const char* fpgaLine;  // lines 2 and 3 of the controller data file
  const char* mpegLine;
  const char* coprocessorFile;  // relative to the type directory; "" none
  size_t coprocessorSize;
  bool inSlot;  // plugged into a QM65B
};

std::span<const ModuleSetup> moduleSetups();
const ModuleSetup& setupOf(Module m);
// The module's profile: software 1.05 (2.01 after a programming reset), coprocessor and decoder
// versions that the files of moduleFiles are newer than.
sim::Profile profileOf(const ModuleSetup& s);

// What the module's type directory holds: upd2.01 over a 512-byte controller image, and the
// coprocessor or decoder image its header names (empty when it names none).
struct ModuleFiles {
  sim::Image image;
  std::string dataFile;
  std::string coprocessor;
};
ModuleFiles moduleFiles(const ModuleSetup& s);

// What the module is left with.
enum class Left {
  Nothing,          // nothing erased, written or started
  OldFlash,         // the erase was refused: the flash keeps its old program
  Erased,           // erased, nothing programmed
  PartFlash,        // erased and partly programmed
  UnsealedFlash,    // programmed, but the closing commands never reached it
  NewFlash,         // the controller programmed; no coprocessor touched
  PartCoprocessor,  // the controller programmed; the coprocessor started but not on its new image
  Everything,       // controller and coprocessor on their new images
};

inline constexpr std::pair<Left, const char*> kLeftNames[] = {
    {Left::Nothing, "nothing touched"},
    {Left::OldFlash, "old flash kept"},
    {Left::Erased, "flash erased, nothing programmed"},
    {Left::PartFlash, "flash partly programmed"},
    {Left::UnsealedFlash, "flash programmed, not closed"},
    {Left::NewFlash, "new flash, coprocessor untouched"},
    {Left::PartCoprocessor, "new flash, coprocessor not on its new image"},
    {Left::Everything, "new flash and coprocessor"},
};

// Whether `m`, set up as `s`, is left as `left` says; `image` is the controller image of the data
// file, `coprocessor` the coprocessor or decoder file.
bool holds(Left left, const sim::Controller& m, const ModuleSetup& s, const sim::Image& image,
           const std::string& coprocessor);
// The module's coprocessor never started on an image.
bool coprocessorUntouched(const sim::Controller& m);
// The coprocessor or decoder runs the file's image: the image in its flash and, where the stage
// restarts it, the version that comes with it.
bool coprocessorNew(const sim::Controller& m, const ModuleSetup& s, const std::string& image);

}  // namespace qdqm::testing
