// The "&Update" button: one update run of the connected module. The controller flash comes first,
// then at most one FPGA stage and one further coprocessor stage chosen from the stage table by the
// module type and the data file's header lines; then the verdict, the "another" question and the
// clean-up that leaves the line at 19200 baud without parity.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>

#include "app/update_dialog.h"
#include "common/progress.h"

namespace qdqm {

// The question after the verdict; "%s" is typeText. No ends the program as Exit does.
constexpr std::string_view kUpdateAnotherText = "Do you wish to update another %s ?";

// A coprocessor stage: gets its header line of the controller data file, line end included.
using StageRun = Outcome (*)(UpdateDialog& dlg, const std::string& line);

enum class StageLine { Fpga, Mpeg };
// What runs before the stage: the FPGA entry (reset wait and high-speed switch), the reset wait
// when the controller restarts, nothing (the stage waits itself), or the boot-loader entry.
enum class StageEntry { Fpga, ResetWait, Own, BootLoader };

struct StageRow {
  std::array<std::string_view, 4> prefixes;  // of deviceText; empty entries unused
  std::string_view excluded;                 // a prefix that keeps the row from applying
  StageLine line;
  StageEntry entry;
  StageRun run;            // a row without a stage never applies
  size_t headerBytes = 0;  // the stage's file must hold at least these bytes (its image header)
};

// The stage table of stand-alone modules, tested in order after the controller flash.
extern const std::array<StageRow, 7> kStageTable;

// The stand-alone run with a given stage table (onUpdate passes kStageTable).
void runStandAlone(UpdateDialog& dlg, std::span<const StageRow> table);
// The base unit's run: the module in every slot updated in turn, each slot's result its state.
void runBaseUnit(UpdateDialog& dlg);

// The wait for the controller's restart; Esc offers `question` ("%s": deviceText). Abort when the
// user answers Yes or the module does not report its version afterwards; else Done.
Outcome waitForControllerReset(UpdateDialog& dlg, const char* question);

}  // namespace qdqm
