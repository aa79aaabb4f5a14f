// Connect: identify what hangs on the open port and prepare the window for an update.
#pragma once

#include <cstdint>
#include <string>

#include "app/update_dialog.h"

namespace qdqm {

// The module no longer answers; the high-speed switch failed (shared with the update run).
inline constexpr const char* kNoModuleText = "Could not connect to module !\nError Code: 20";
inline constexpr const char* kHiSpeedText =
    "Could not set baudrate of module to HiSpeed!\nError Please reconnect updateplug (reset "
    "module), then press 'OK'!";

// Reads type and versions and writes dlg.deviceText; 1 or 0.
int showModuleInfo(UpdateDialog& dlg);
// Writes dlg.deviceText for the base unit; false when the unit cannot update modules.
bool showBaseUnitInfo(UpdateDialog& dlg);
// After a Connect with "Update QM2x/4x" checked: a base unit answered and can update modules.
bool baseUnitAccepted(const UpdateDialog& dlg);
// "%s V%x.%02x"
std::string formatDeviceText(const std::string& type, uint8_t major, uint8_t minor);

}  // namespace qdqm
