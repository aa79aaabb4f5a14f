// The controller flash of a stand-alone module: version questions, header checks, a check of the
// whole data file, the erase by the module type, the record transfer through the boot loader (one
// record per exchange, acknowledged by "."), and the closing commands.
#pragma once

#include <functional>
#include <string>

#include "app/update_dialog.h"
#include "common/progress.h"

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

}  // namespace qdqm
