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

namespace qdqm {

// How a stage ends: done (go on), failed (overallResult is 0, the run goes on to its next
// decision), abort (the stage has said why; straight to the clean-up, no verdict), up to date
// (the coprocessor already runs the file's version; nothing was sent to it).
enum class Outcome { Done, Failed, Abort, UpToDate };

// The question after the verdict; "%s" is typeText. No ends the program as Exit does.
constexpr std::string_view kUpdateAnotherText = "Do you wish to update another %s ?";
// Offered when Esc is pressed during an MPEG wait; "%s" is deviceText.
inline constexpr const char* kMpegAbortQuestion = "Do you wish to abbort the %s MPEG-Update ?";

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

// A coprocessor line of the data file names a file only when it holds more than 3 characters,
// its line end included.
bool namesFile(const std::string& line);

// True when the file `name` (in the working directory) opens for reading and holds at least
// `headerBytes` bytes (a stage's image header).
bool fileReadable(const UpdateDialog& dlg, const std::string& name, size_t headerBytes);

// The wait for the controller's restart; Esc offers `question` ("%s": deviceText). Abort when the
// user answers Yes or the module does not report its version afterwards; else Done.
Outcome waitForControllerReset(UpdateDialog& dlg, const char* question);

// Esc down or pressed since the last query: asks `question`; true when the user wants to abort.
bool abortCheck(UpdateDialog& dlg, const char* question);
// Steps `from` to `to` - 1 of a wait: the abort check (with a question), a sleep of `stepMs`, the
// progress at step + 1. True when the user took the offer to abort.
bool waitSteps(UpdateDialog& dlg, int from, int to, uint32_t stepMs, const char* question);
// Sets the progress bar and writes the controls.
void setProgress(UpdateDialog& dlg, int position);
// Sets the progress bar and writes the controls only when the bar moves: during a transfer the
// controls are written once per percent at most. The second form takes the bar already looked up,
// for loops that move it per byte.
void moveProgress(UpdateDialog& dlg, int position);
void moveProgress(UpdateDialog& dlg, Control& progress, int position);

}  // namespace qdqm
