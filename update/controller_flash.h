// The controller flash stage of an update run: version questions, header checks, a check of the
// whole data file, the erase by the module type's erase table, the record transfer through the
// boot loader (one record per exchange, acknowledged by "."), and the closing commands.
#pragma once

#include <functional>
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

// Given the header's FPGA and MPEG lines, names a coprocessor file the run will need that cannot be
// read; empty when all can.
using CoprocessorFileCheck =
    std::function<std::string(const std::string& fpgaLine, const std::string& mpegLine)>;

// The check runs once the header is read, before anything is erased: a run that could not finish
// its coprocessors never starts on the controller.
ControllerStageResult programControllerStage(UpdateDialog& dlg,
                                             const CoprocessorFileCheck& check = {});

// The record protocol's `Reset`; 1 when the controller echoed it, else 0 after its message.
int sendResetCommand(UpdateDialog& dlg);

// 1 when the flash of the controller (slot index 0: the stand-alone module) is erased, else 0
// after the boot loader's result-code message.
int eraseController(UpdateDialog& dlg, int slotIndex);

// Shows `text` in the status line and writes the controls.
void showStatus(UpdateDialog& dlg, const char* text);

// The messages for the boot loader's result codes after a record and after an erase.
void showProgrammingError(UpdateDialog& dlg, int code);
void showEraseError(UpdateDialog& dlg, int code);

}  // namespace qdqm
