// The MPEG decoder stages that talk to the decoder itself after the controller has routed the line
// to it: the swid stage (19200 baud; version by "swid", update mode by "boot" and "U" bytes, the
// image streamed unchanged, the version read again after the restart) and the VERS stage (9600
// baud, even parity; loader, start code, length, header, 8-byte pieces, CRC-32, progress texts).
#pragma once

#include <string>

#include "app/update_dialog.h"
#include "common/progress.h"

namespace qdqm {

// Each gets the MPEG line of the controller data file, line end included.
Outcome swidStage(UpdateDialog& dlg, const std::string& mpegLine);
Outcome versStage(UpdateDialog& dlg, const std::string& mpegLine);

// Bytes at the front of a VERS stage's file that are sent as the image header.
constexpr size_t kVersHeaderBytes = 20;

}  // namespace qdqm
