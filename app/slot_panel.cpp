#include "app/catalogue.h"
#include "app/list_handlers.h"
#include "app/update_dialog.h"

namespace qdqm {

// Slots are numbered from 1; slot k is row k - 1.
void onSlotPanelToggle(UpdateDialog& dlg) {
  dlg.setWaitCursor(true);
  dlg.updateData();
  const bool show = dlg.control(ids::BaseUnit).checked;
  dlg.showSlotPanel(show);
  dlg.enableSlotPanel(show);
  if (!show) {
    Control& lowSpeed = dlg.control(ids::LowSpeed);
    lowSpeed.checked = false;
    lowSpeed.enabled = true;
  }
  for (int k = 0; k < dlg.slotCount && k < 9; ++k) {
    dlg.slots[static_cast<size_t>(k)].state = SlotIdle;
    if (!show) resetSlotRow(dlg, k, true);
  }
  dlg.setWaitCursor(false);
  dlg.updateData();
}

void onSlotVersionSelected(UpdateDialog& dlg, int slotIndex) {
  if (slotIndex < 0 || slotIndex > 8) return;
  readListSelection(dlg.control(kSlotRows[slotIndex].versionList),
                    dlg.slots[static_cast<size_t>(slotIndex)].selectedFile);
}

}  // namespace qdqm
