// The service record: one JSON line per update run, appended to history.jsonl in the user's state
// folder, so that a repair depot can show afterwards which module got which firmware. Several
// processes and stations append at once: each line is one write to a file opened for appending,
// under a lock.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/update_dialog.h"

namespace qdqm {

// $XDG_STATE_HOME/qdqm-update/history.jsonl, else ~/.local/state/qdqm-update/history.jsonl; on
// Windows %LOCALAPPDATA%\qdqm-update\history.jsonl. Empty when no such folder can be named.
std::string defaultHistoryPath();

// The dialog's context-menu entry that opens the folder holding the record.
inline constexpr const char* kRecordFolderMenuText = "Open service &record folder";
// That folder, made when it is missing; empty when none can be named.
std::string historyFolder(const UpdateDialog& dlg);
// The desktop could not open that folder (no file manager): a box names the record's file.
void showHistoryPath(UpdateDialog& dlg);

// The start of an update run: when, the module as connected, the data file chosen.
void beginServiceRecord(UpdateDialog& dlg);
// A stage opened `path` (an FPGA or decoder image): the record names it with its digest.
void noteOpenedFile(UpdateDialog& dlg, const std::string& path);
// The record of the run that has just ended, as one line of JSON (no line end).
std::string serviceRecordLine(const UpdateDialog& dlg);
// Appends `line` and a line end to the file at `path` (its folder made where missing) in one
// write, holding the file's lock; false with the reason in `error`.
bool appendHistoryLine(const std::string& path, const std::string& line, std::string& error);

// The run has ended: its line goes to dlg.historyPath (nothing when that is empty). A line that
// cannot be written never changes the run: the host is told in one line.
void finishServiceRecord(UpdateDialog& dlg);

}  // namespace qdqm
