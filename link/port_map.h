// Port numbers to Linux devices. The dialog keeps the numbers COM1-COM32; a link `COMn` in the
// port directory names the device of port n, else the usual serial device nodes are used.
#pragma once

#include <string>
#include <vector>

#include "link/serial_device.h"

namespace qdqm {

// $QDQM_PORT_DIR, else $XDG_RUNTIME_DIR/qdqm-update/ports, else /tmp/qdqm-update-<uid>/ports.
std::string portDirectory();
// The device path of port n: the link COMn in the port directory when it exists, else
// COM1-4 /dev/ttyS0-3, COM5-20 /dev/ttyUSB0-15, COM21-28 /dev/ttyACM0-7; empty for other n.
std::string devicePathForPort(unsigned n);
// The device a path leads to, without "/dev/" (for example "ttyUSB0" or "pts/3").
std::string shortDeviceName(const std::string& path);
// The device port n leads to now, named as an open device names itself (the link resolved), so
// that a link moved to another device since the port was opened shows as a change.
std::string deviceBehindPort(unsigned n);

// Whether an open failed because the user may not use the device.
bool isPermissionRefusal(int error);
// The processes that hold `devicePath` open, as "name (pid N)", found in /proc/*/fd (the caller's
// own process left out). Processes of other users are only seen with root's rights.
std::vector<std::string> deviceHolders(const std::string& devicePath);
// The line that follows the numbered message when the device at `devicePath` failed to open with
// `error`: the device and the cause in words (no such device; how to get access after a
// permission refusal; who holds a busy port). Empty when the device is not known.
std::string openFailureHint(const std::string& devicePath, int error);

}  // namespace qdqm
