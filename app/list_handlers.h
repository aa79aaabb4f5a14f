// The window's own handlers of its version lists and of the slot panel's check box: they change
// only the window model (the chosen file, the panel shown or hidden), never the port.
#pragma once

namespace qdqm {

class UpdateDialog;

void onVersionSelected(UpdateDialog& dlg);
void onSlotPanelToggle(UpdateDialog& dlg);
void onSlotVersionSelected(UpdateDialog& dlg, int slotIndex);

}  // namespace qdqm
