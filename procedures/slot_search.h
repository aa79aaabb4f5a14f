// The search of a base unit's slots at Connect: each slot's module named from its type code (or
// asked directly when the code is unknown), its version read, its type directory listed into the
// slot's row; updatable modules with files get a checked row and enable Update.
#pragma once

#include "app/update_dialog.h"

namespace qdqm {

// Expects the line at 19200 baud, the type codes in the slot entries, every row reset and every
// slot idle. Shows no message; the rows and the Update button show the outcome.
void searchSlots(UpdateDialog& dlg);

}  // namespace qdqm
