// The MPEG decoder stage through the decoder's boot loader: the version asked at 9600 baud, the
// boot loader at 57600 erasing the flash over the image's length, then block by block a RAM load
// (every byte its own write) and a flash write at the next address.
#pragma once

#include <string>

#include "app/update_dialog.h"
#include "common/progress.h"

namespace qdqm {

// Gets the MPEG line of the controller data file, line end included.
Outcome bootLoaderStage(UpdateDialog& dlg, const std::string& mpegLine);

}  // namespace qdqm
