// The controller flash stage of an update run: version questions, header checks, a check of the
// whole data file, the erase by the module type's erase table, the record transfer through the
// boot loader (one record per exchange, acknowledged by "."), and the closing commands.
#pragma once

#include <string>

#include "app/update_dialog.h"
#include "update/driver.h"

namespace qdqm {

struct ControllerStageResult {
  Outcome outcome = Outcome::Abort;
  // Version number of the chosen file; non-zero exactly when the controller was erased and is
  // now restarting.
  unsigned selected = 0;
  std::string fpgaLine, mpegLine;  // header lines 2 and 3, line end included
};

ControllerStageResult programControllerStage(UpdateDialog& dlg);

// 1 when the flash of the controller (slot index 0: the stand-alone module) is erased, else 0
// after the boot loader's result-code message.
int eraseController(UpdateDialog& dlg, int slotIndex);

// Shows `text` in the status line and writes the controls.
void showStatus(UpdateDialog& dlg, const char* text);

// The messages for the boot loader's result codes after a record and after an erase.
void showProgrammingError(UpdateDialog& dlg, int code);
void showEraseError(UpdateDialog& dlg, int code);

}  // namespace qdqm
