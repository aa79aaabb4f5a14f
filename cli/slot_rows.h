// The slot rows of a base unit in the terminal: one line per slot, the --json slot objects, and
// the state names both use.
#pragma once

#include <iosfwd>
#include <vector>

#include "app/update_dialog.h"
#include "cli/json_report.h"

namespace qdqm::cli {

// The rows the window shows, slots 1 to slotCount.
std::vector<JsonSlot> slotRows(const UpdateDialog& dlg);
// "slot N  NAME  VERSION  enabled|disabled[, checked]  [FILE]", one line per row; with the state
// after an update run.
void printSlotRows(std::ostream& out, const std::vector<JsonSlot>& rows, bool withState);

}  // namespace qdqm::cli
