// The FPGA stages: the FPGA's configuration flash is erased through the controller, then the file
// goes in 64-byte data frames (50 ms apart) with a CRC-16 over the whole file for the controller to
// check. The QD stage reaches the FPGA by a controller record at the driver's line speed; the QM23
// stage by the update-mode frames, after its own restart wait and a version query at 2400 baud.
#pragma once

#include <string>

#include "app/update_dialog.h"
#include "common/progress.h"

namespace qdqm {

// Each gets its line of the controller data file, line end included: the FPGA line (QD) or the
// MPEG line (QM23).
Outcome qdFpgaStage(UpdateDialog& dlg, const std::string& fpgaLine);
Outcome qm23FpgaStage(UpdateDialog& dlg, const std::string& mpegLine);

}  // namespace qdqm
