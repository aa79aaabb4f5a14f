#include <windows.h>
// setupapi.h and devguid.h need windows.h first.
#include <devguid.h>
#include <setupapi.h>

#include <cctype>
#include <string_view>

#include "link/port_info.h"

namespace qdqm {
namespace {

std::string narrow(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

std::string property(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD which) {
  wchar_t text[512] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(set, &data, which, nullptr, reinterpret_cast<BYTE*>(text),
                                         sizeof text - 2, nullptr))
    return {};
  return narrow(text);
}

// "COM3" from "\\.\COM3" or "COM3", upper case.
std::string portName(std::string_view path) {
  if (path.starts_with("\\\\.\\")) path.remove_prefix(4);
  std::string name(path);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

// The four hex digits after `key` ("VID_", "PID_") in a hardware id, lower case as Linux shows.
std::string idAfter(const std::string& hardwareId, std::string_view key) {
  const size_t at = hardwareId.find(key);
  if (at == std::string::npos || at + key.size() + 4 > hardwareId.size()) return {};
  std::string id = hardwareId.substr(at + key.size(), 4);
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return id;
}

}  // namespace

std::string devRoot() {
  return {};
}

std::string sysfsRoot() {
  return {};
}

bool sameDevice(const std::string& a, const std::string& b) {
  return !a.empty() && portName(a) == portName(b);
}

// Windows gives its ports no stable names of their own: the COM number is the name.
std::vector<std::string> byIdDevices() {
  return {};
}

// The ports class of the system's device data: the device whose "PortName" is the port's.
PortInfo describeDevice(const std::string& devicePath) {
  PortInfo info;
  info.device = devicePath;
  const std::string wanted = portName(devicePath);
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return info;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    wchar_t name[64] = {};
    DWORD size = sizeof name - 2;
    const bool named = RegQueryValueExW(key, L"PortName", nullptr, nullptr,
                                        reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!named || portName(narrow(name)) != wanted) continue;
    info.manufacturer = property(set, data, SPDRP_MFG);
    info.product = property(set, data, SPDRP_DEVICEDESC);
    const std::string hardwareId = property(set, data, SPDRP_HARDWAREID);
    info.vendorId = idAfter(hardwareId, "VID_");
    info.productId = idAfter(hardwareId, "PID_");
    wchar_t instance[512] = {};
    if (SetupDiGetDeviceInstanceIdW(set, &data, instance, 511, nullptr)) {
      // USB\VID_0403&PID_6001\A1B2C3: the last part is the adapter's serial number when it
      // reports one (the system makes up one with "&" in it otherwise).
      const std::string id = narrow(instance);
      const std::string last = id.substr(id.rfind('\\') + 1);
      if (id.starts_with("USB\\") && last.find('&') == std::string::npos) info.serial = last;
    }
    break;
  }
  SetupDiDestroyDeviceInfoList(set);
  return info;
}

}  // namespace qdqm
