// What tells serial ports apart for the user: the device node, its stable name in
// /dev/serial/by-id and, for USB adapters, the ids, maker, product and serial number the adapter
// reports (from sysfs on Linux, from the system's device data on Windows). The roots of /dev and
// /sys can be moved ($QDQM_DEV_ROOT, $QDQM_SYSFS_ROOT) so that adapters can be laid out in a
// folder.
#pragma once

#include <string>
#include <vector>

namespace qdqm {

struct PortInfo {
  unsigned number = 0;  // the COM number, 0 for a device no number names
  std::string device;   // the device node the path given leads to (/dev/ttyUSB0, \\.\COM3)
  std::string byId;     // its name in /dev/serial/by-id, empty when none
  std::string vendorId, productId, manufacturer, product, serial;  // USB adapters
  // "FTDI FT232R USB UART (0403:6001, serial A1B2C3)"; empty when nothing is known.
  std::string adapter() const;
};

// What a port list shows beside a port's number: the device's name, and the adapter behind the
// device at `devicePath` where it is known ("ttyUSB0  FTDI FT232R USB UART (0403:6001, ...)").
std::string deviceNote(const std::string& name, const std::string& devicePath);

// $QDQM_DEV_ROOT, else /dev; $QDQM_SYSFS_ROOT, else /sys.
std::string devRoot();
std::string sysfsRoot();
// Describes the device at `devicePath` (a node, or a link to one such as a by-id name).
PortInfo describeDevice(const std::string& devicePath);
// The device nodes named in /dev/serial/by-id, each once.
std::vector<std::string> byIdDevices();
// Whether two paths lead to the same device node.
bool sameDevice(const std::string& a, const std::string& b);

}  // namespace qdqm
