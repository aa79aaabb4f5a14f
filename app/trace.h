// Starting and ending the frame trace of the window's port: for the terminal's --trace FILE and for
// the dialog's context menu, whose trace files go to the user's state directory (Linux) or local
// application data (Windows) under a time stamp.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "app/update_dialog.h"

namespace qdqm {

// Texts of the dialog's context-menu entries.
constexpr const char* kStartTraceMenuText = "Start frame &trace";
constexpr const char* kEndTraceMenuText = "End frame &trace";

// The dialog's trace directory: $XDG_STATE_HOME/qdqm-update, else $HOME/.local/state/qdqm-update
// (an unset, empty or relative value does not count); empty when neither is usable.
std::string traceDirectory(const char* xdgStateHome, const char* home);
// The same on Windows: %LOCALAPPDATA%\qdqm-update, empty when LOCALAPPDATA is unusable.
std::string windowsTraceDirectory(const char* localAppData);
// "trace-YYYYMMDD-HHMMSS.txt" in local time.
std::string traceFileName(std::time_t when);
// The trace's first line: what is traced, the program version and the start in UTC.
std::string traceTitle(std::string_view what, std::time_t when);

// Attaches a new trace writing to `path` (created or truncated) to the window's port. False with
// an errno-style `error` when the file cannot be opened; a trace already running is kept then.
bool startTrace(UpdateDialog& dlg, const std::string& path, std::string_view title, int& error);
// The file of the running trace, empty when none runs.
std::string traceFile(const UpdateDialog& dlg);

// The dialog's menu entries. Start: a new file in the trace directory, named in an information
// box, or an error box naming the file that could not be made. End: an information box naming
// the file, or an error box when lines of it could not be written.
void startDialogTrace(UpdateDialog& dlg);
void endDialogTrace(UpdateDialog& dlg);

}  // namespace qdqm
