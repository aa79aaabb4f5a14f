#include "link/port_map.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

namespace qdqm {

namespace {

struct DeviceRange {
  unsigned first;
  unsigned last;
  const char* prefix;
};

constexpr DeviceRange kDeviceRanges[] = {
    {1, 4, "/dev/ttyS"},
    {5, 20, "/dev/ttyUSB"},
    {21, 28, "/dev/ttyACM"},
};

constexpr std::string_view kDevPrefix = "/dev/";

std::string envValue(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

}  // namespace

std::string portDirectory() {
  std::string dir = envValue("QDQM_PORT_DIR");
  if (!dir.empty()) return dir;
  dir = envValue("XDG_RUNTIME_DIR");
  if (!dir.empty()) return dir + "/qdqm-update/ports";
  return "/tmp/qdqm-update-" + std::to_string(getuid()) + "/ports";
}

std::string devicePathForPort(unsigned n) {
  const std::string link = portDirectory() + "/COM" + std::to_string(n);
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) return link;
  for (const DeviceRange& r : kDeviceRanges) {
    if (n >= r.first && n <= r.last) return r.prefix + std::to_string(n - r.first);
  }
  return {};
}

std::string shortDeviceName(const std::string& path) {
  char resolved[PATH_MAX];
  std::string name = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
  if (name.starts_with(kDevPrefix)) name.erase(0, kDevPrefix.size());
  return name;
}

std::string deviceBehindPort(unsigned n) {
  const std::string path = devicePathForPort(n);
  return path.empty() ? path : shortDeviceName(path);
}

std::string shortDeviceName(unsigned /*n*/, const SerialDevice& device) {
  return device.name();
}

bool isPermissionRefusal(int error) {
  return error == EACCES || error == EPERM;
}

std::string permissionHint(unsigned n, int error) {
  if (!isPermissionRefusal(error)) return {};
  std::string device = devicePathForPort(n);
  if (device.empty()) device = "COM" + std::to_string(n);
  return "Access to " + device +
         " was refused: add your user to the dialout group (sudo usermod -aG dialout $USER) and "
         "log in again.";
}

}  // namespace qdqm
