// The MPEG decoder stages in which the controller passes the image on to its decoder in 64-byte
// data frames and lets the decoder check a final CRC: the CRC-32 frame stage (image header, then
// payload) and the CRC-16 frame stage (the whole file).
#pragma once

#include <string>

#include "app/update_dialog.h"
#include "common/progress.h"

namespace qdqm {

// Each gets the MPEG line of the controller data file, line end included.
Outcome crc32FrameStage(UpdateDialog& dlg, const std::string& mpegLine);
Outcome crc16FrameStage(UpdateDialog& dlg, const std::string& mpegLine);

}  // namespace qdqm
