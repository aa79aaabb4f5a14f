#include "link/port_map.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "link/port_info.h"

namespace qdqm {

namespace fs = std::filesystem;

#ifdef _WIN32

// Windows numbers its serial ports itself: port n is the device COMn, found in no directory.
constexpr std::string_view kWin32DevicePrefix = "\\\\.\\";

std::string portDirectory() {
  return {};
}

std::string devicePathForPort(unsigned n) {
  if (n < 1 || n > 99) return {};
  return std::string(kWin32DevicePrefix) + "COM" + std::to_string(n);
}

std::string shortDeviceName(const std::string& path) {
  return path.starts_with(kWin32DevicePrefix) ? path.substr(kWin32DevicePrefix.size()) : path;
}

// Windows does not say which program holds a port.
std::vector<std::string> deviceHolders(const std::string&) {
  return {};
}

#else

namespace {

struct DeviceRange {
  unsigned first;
  unsigned last;
  const char* prefix;
};

constexpr DeviceRange kDeviceRanges[] = {
    {1, 4, "ttyS"},
    {5, 20, "ttyUSB"},
    {21, 28, "ttyACM"},
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
    if (n >= r.first && n <= r.last)
      return devRoot() + "/" + r.prefix + std::to_string(n - r.first);
  }
  return {};
}

std::string shortDeviceName(const std::string& path) {
  char resolved[PATH_MAX];
  std::string name = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
  if (name.starts_with(kDevPrefix)) name.erase(0, kDevPrefix.size());
  return name;
}

#endif

std::string deviceBehindPort(unsigned n) {
  const std::string path = devicePathForPort(n);
  return path.empty() ? path : shortDeviceName(path);
}

bool isPermissionRefusal(int error) {
  return error == EACCES || error == EPERM;
}

#ifndef _WIN32

std::vector<std::string> deviceHolders(const std::string& devicePath) {
  std::vector<std::string> holders;
  std::error_code ec;
  const fs::path device = fs::canonical(devicePath, ec);
  if (ec) return holders;
  const std::string self = std::to_string(getpid());
  for (const fs::directory_entry& proc : fs::directory_iterator("/proc", ec)) {
    const std::string pid = proc.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    std::error_code fdError;
    // Processes of other users (and those that end meanwhile) cannot be read: skipped.
    for (const fs::directory_entry& fd : fs::directory_iterator(proc.path() / "fd", fdError)) {
      std::error_code linkError;
      if (fs::read_symlink(fd.path(), linkError) != device) continue;
      std::string name;
      std::getline(std::ifstream(proc.path() / "comm"), name);
      holders.push_back((name.empty() ? "a program" : name) + " (pid " + pid + ")");
      break;
    }
  }
  return holders;
}

#endif

std::string openFailureHint(const std::string& device, int error) {
  if (device.empty()) return {};
  if (isPermissionRefusal(error))
    return "Access to " + device +
           " was refused: add your user to the dialout group (sudo usermod -aG dialout $USER) "
           "and log in again.";
  if (error == ENOENT || error == ENODEV || error == ENXIO)
    return device + ": no such device (is the adapter plugged in?)";
  if (error != EBUSY) return device + ": " + std::strerror(error);
  const std::vector<std::string> holders = deviceHolders(device);
  std::string who;
  for (const std::string& h : holders) who += (who.empty() ? "" : ", ") + h;
  std::error_code ec;
  const fs::path real = fs::canonical(device, ec);
  return (ec ? device : real.string()) + " is in use by " +
         (who.empty() ? "another program" : who) + ".";
}

}  // namespace qdqm
