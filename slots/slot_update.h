// The update of the plug-in module in one slot of a base unit: the data file checked, the
// controller flashed through its boot loader with slot frames, then at most one coprocessor stage
// through slot frames. The result becomes the slot's state and colours its row.
#pragma once

#include "app/update_dialog.h"

namespace qdqm {

// SlotUpdated, SlotFailed, SlotNotUpdated (unchecked, declined, aborted by Esc) or
// SlotDataFileError (nothing sent to the module).
SlotState updateSlotModule(UpdateDialog& dlg, int slotIndex);

}  // namespace qdqm
