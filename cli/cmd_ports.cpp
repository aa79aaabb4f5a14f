// `ports`: the start-up probe of the dialog, printed: every port of COM1-COM32 that opens, and
// every serial device with a stable name that no number leads to, each with what tells it apart.
#include <nlohmann/json.hpp>
#include <ostream>
#include <vector>

#include "cli/commands.h"
#include "cli/terminal_host.h"
#include "link/clock.h"
#include "link/platform_port.h"
#include "link/port_info.h"
#include "link/serial_port.h"

namespace qdqm::cli {
namespace {

constexpr unsigned kProbedPorts = 32;

constexpr std::string_view kPortsHelp =
    "usage: qdqm-update ports [--json]\n"
    "  Lists every port COM1-COM32 that opens, and every device in /dev/serial/by-id that no COM\n"
    "  number leads to: the device, its stable name, and for USB adapters the vendor and product\n"
    "  ids, the maker, the product and the serial number. --port takes the number or the device.\n"
    "  --json  stdout carries one JSON array, one object per port.\n";

// Ports that open: by number, then the by-id devices no number leads to (they open through a
// number of their own, as `--port DEVICE` gives them).
std::vector<PortInfo> probe(PortOpener& opener, SerialPort& port) {
  std::vector<PortInfo> found;
  for (unsigned n = 1; n <= kProbedPorts; ++n) {
    if (openPort(n, port) == 1) {
      found.push_back(describeDevice(opener.devicePath(n)));
      found.back().number = n;
    }
    port.close();
  }
  for (const std::string& device : byIdDevices()) {
    bool numbered = false;
    for (const PortInfo& p : found) numbered = numbered || sameDevice(p.device, device);
    if (numbered) continue;
    const unsigned n = portNumberFor(device, opener);
    if (n != 0 && openPort(n, port) == 1) found.push_back(describeDevice(device));
    port.close();
  }
  return found;
}

nlohmann::ordered_json orNull(const std::string& text) {
  return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

}  // namespace

int cmdPorts(const Args& args) {
  bool json = false;
  OptionReader r(args.words);
  while (r.next()) {
    if (r.name() == "--json")
      json = r.plain();
    else if (r.name() == "--help" && r.plain()) {
      args.out << kPortsHelp;
      return 0;
    } else
      r.unknown();
  }
  if (!r.error().empty()) return usageError(args, "ports", r.error(), kPortsHelp);
  SteadyClock clock;
  PlatformPortOpener opener;
  TerminalHost host(args.err);
  SerialPort port(opener, clock, host);
  const std::vector<PortInfo> found = probe(opener, port);
  if (json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const PortInfo& p : found) {
      nlohmann::ordered_json o;
      o["port"] = p.number ? nlohmann::ordered_json(p.number) : nlohmann::ordered_json();
      o["device"] = p.device;
      o["by_id"] = orNull(p.byId);
      o["vendor_id"] = orNull(p.vendorId);
      o["product_id"] = orNull(p.productId);
      o["manufacturer"] = orNull(p.manufacturer);
      o["product"] = orNull(p.product);
      o["serial"] = orNull(p.serial);
      list.push_back(std::move(o));
    }
    args.out << list.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
             << std::endl;
    return 0;
  }
  for (const PortInfo& p : found) {
    args.out << (p.number ? "Com " + std::to_string(p.number) : std::string("-     ")) << "  "
             << p.device;
    if (!p.byId.empty()) args.out << "  " << p.byId;
    if (const std::string adapter = p.adapter(); !adapter.empty()) args.out << "  " << adapter;
    args.out << "\n";
  }
  return 0;
}

}  // namespace qdqm::cli
