// `--trace FILE` of `connect` and `update`: the frame trace of the run's serial line into FILE.
#pragma once

#include <string>
#include <string_view>

#include "app/update_dialog.h"
#include "cli/commands.h"

namespace qdqm::cli {

// Opens FILE and attaches the trace to the window's port before anything is sent. False after
// "qdqm-update <command>: cannot open trace file FILE: <reason>" on stderr (a usage error).
bool attachTraceFile(const Args& args, std::string_view command, const std::string& file,
                     UpdateDialog& dlg);
// After the run: a trace that could not be written to its end is reported on stderr; the run's
// exit status stands.
void reportTraceFile(const Args& args, std::string_view command, UpdateDialog& dlg);

}  // namespace qdqm::cli
