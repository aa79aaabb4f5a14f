#include "cli/slot_rows.h"

#include <ostream>

namespace qdqm::cli {
namespace {}  // namespace

std::vector<JsonSlot> slotRows(const UpdateDialog& dlg) {
  std::vector<JsonSlot> rows;
  for (int k = 0; k < dlg.slotCount && k < 9; ++k) {
    const SlotEntry& entry = dlg.slots[static_cast<size_t>(k)];
    const SlotRowIds& ids = kSlotRows[k];
    const Control& check = dlg.control(ids.check);
    const Control& list = dlg.control(ids.versionList);
    JsonSlot row;
    row.slot = static_cast<unsigned>(k + 1);
    row.name = entry.nameText;
    row.version = entry.versionText;
    row.enabled = check.enabled;
    row.checked = check.checked;
    row.versions = list.items;
    if (list.selection >= 0 && list.selection < static_cast<int>(list.items.size()))
      row.selected = entry.selectedFile;
    row.state = slotStateName(entry.state);
    rows.push_back(std::move(row));
  }
  return rows;
}

void printSlotRows(std::ostream& out, const std::vector<JsonSlot>& rows, bool withState) {
  for (const JsonSlot& row : rows) {
    out << "slot " << row.slot << "  " << row.name << "  " << row.version << "  "
        << (row.enabled ? "enabled" : "disabled") << (row.checked ? ", checked" : "");
    if (row.selected) out << "  " << *row.selected;
    if (withState) out << "  " << row.state;
    out << "\n";
  }
}

}  // namespace qdqm::cli
