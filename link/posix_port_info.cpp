#include "link/port_info.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace qdqm {
namespace fs = std::filesystem;

namespace {

constexpr int kMaxLinks = 8;

std::string rootFrom(const char* variable, const char* fallback) {
  const char* v = std::getenv(variable);
  return v && *v ? std::string(v) : std::string(fallback);
}

bool under(const fs::path& path, const fs::path& root) {
  const std::string p = path.lexically_normal().string(), r = root.lexically_normal().string();
  return p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/';
}

// Follows links while they stay below the device root: a by-id name or a COMn link leads to the
// node (ttyUSB0) whose name sysfs knows, even where that node is a link itself (a test's pty).
fs::path deviceNode(fs::path path) {
  const fs::path root = devRoot();
  for (int i = 0; i < kMaxLinks; ++i) {
    std::error_code ec;
    if (!fs::is_symlink(path, ec)) break;
    const fs::path target = fs::read_symlink(path, ec);
    if (ec) break;
    const fs::path next =
        (target.is_absolute() ? target : path.parent_path() / target).lexically_normal();
    if (!under(next, root) && under(path, root)) break;
    path = next;
  }
  return path.lexically_normal();
}

// One line of a sysfs attribute file, without its line end.
std::string attribute(const fs::path& dir, const char* name) {
  std::string line;
  std::ifstream in(dir / name);
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

// The USB device a tty belongs to: the nearest folder above its sysfs device that holds idVendor.
void readUsbData(const std::string& ttyName, PortInfo& info) {
  const fs::path root = sysfsRoot();
  std::error_code ec;
  fs::path dir = fs::canonical(root / "class" / "tty" / ttyName / "device", ec);
  if (ec) return;
  const fs::path realRoot = fs::canonical(root, ec);
  for (; !ec && under(dir, realRoot); dir = dir.parent_path()) {
    std::error_code exists;
    if (!fs::exists(dir / "idVendor", exists)) continue;
    info.vendorId = attribute(dir, "idVendor");
    info.productId = attribute(dir, "idProduct");
    info.manufacturer = attribute(dir, "manufacturer");
    info.product = attribute(dir, "product");
    info.serial = attribute(dir, "serial");
    return;
  }
}

}  // namespace

std::string devRoot() {
  return rootFrom("QDQM_DEV_ROOT", "/dev");
}

std::string sysfsRoot() {
  return rootFrom("QDQM_SYSFS_ROOT", "/sys");
}

bool sameDevice(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  if (deviceNode(a) == deviceNode(b)) return true;
  std::error_code ea, eb;
  const fs::path ca = fs::canonical(a, ea), cb = fs::canonical(b, eb);
  return !ea && !eb && ca == cb;
}

std::vector<std::string> byIdDevices() {
  std::vector<std::string> devices;
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(devRoot()) / "serial" / "by-id", ec), end;
       !ec && it != end; it.increment(ec))
    devices.push_back(it->path().string());
  std::sort(devices.begin(), devices.end());
  return devices;
}

PortInfo describeDevice(const std::string& devicePath) {
  PortInfo info;
  info.device = devicePath;
  if (devicePath.empty()) return info;
  const fs::path node = deviceNode(devicePath);
  info.device = node.string();
  for (const std::string& link : byIdDevices()) {
    if (deviceNode(link) != node) continue;
    info.byId = link;
    break;
  }
  readUsbData(node.filename().string(), info);
  return info;
}

}  // namespace qdqm
