// The procedures a user starts with the window's buttons: Connect (with the slot search of a base
// unit) and the update run. Each runs to completion inside its handler; the window model runs
// them under its busy guard, through the table every program hands to the window it shows.
#pragma once

#include "app/update_dialog.h"

namespace qdqm {

void onConnect(UpdateDialog& dlg);
void onUpdate(UpdateDialog& dlg);

// The procedures behind Connect and Update, for the window model's handlers.
const Procedures& windowProcedures();

}  // namespace qdqm
