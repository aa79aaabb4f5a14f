// The procedures behind the window's buttons and lists. Each runs to completion inside its
// handler; the window model calls them under its busy guard.
#pragma once

namespace qdqm {

class UpdateDialog;

void onConnect(UpdateDialog& dlg);
void onUpdate(UpdateDialog& dlg);
void onVersionSelected(UpdateDialog& dlg);
void onSlotPanelToggle(UpdateDialog& dlg);
void onSlotVersionSelected(UpdateDialog& dlg, int slotIndex);

}  // namespace qdqm
