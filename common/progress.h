// What every stage of an update run shares to show and pace its work: how a stage ends, the status
// line, the progress bar, and the waits that let the user abort with Esc.
#pragma once

#include <cstdint>

#include "app/update_dialog.h"

namespace qdqm {

// How a stage ends: done (go on), failed (overallResult is 0, the run goes on to its next
// decision), abort (the stage has said why; straight to the clean-up, no verdict), up to date
// (the coprocessor already runs the file's version; nothing was sent to it).
enum class Outcome { Done, Failed, Abort, UpToDate };

// Offered when Esc is pressed during an MPEG wait; "%s" is deviceText.
inline constexpr const char* kMpegAbortQuestion = "Do you wish to abbort the %s MPEG-Update ?";

// Shows `text` in the status line and writes the controls.
void showStatus(UpdateDialog& dlg, const char* text);
// Sets the progress bar and writes the controls.
void setProgress(UpdateDialog& dlg, int position);
// Sets the progress bar and writes the controls only when the bar moves: during a transfer the
// controls are written once per percent at most. The second form takes the bar already looked up,
// for loops that move it per byte.
void moveProgress(UpdateDialog& dlg, int position);
void moveProgress(UpdateDialog& dlg, Control& progress, int position);
// Esc down or pressed since the last query: asks `question`; true when the user wants to abort.
bool abortCheck(UpdateDialog& dlg, const char* question);
// Steps `from` to `to` - 1 of a wait: the abort check (with a question), a sleep of `stepMs`, the
// progress at step + 1. True when the user took the offer to abort.
bool waitSteps(UpdateDialog& dlg, int from, int to, uint32_t stepMs, const char* question);

}  // namespace qdqm
