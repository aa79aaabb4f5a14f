// `ports`: the start-up probe of the dialog, printed: every port of COM1-COM32 that opens.
#include <filesystem>
#include <ostream>

#include "cli/commands.h"
#include "cli/terminal_host.h"
#include "link/clock.h"
#include "link/platform_port.h"
#include "link/port_map.h"
#include "link/serial_port.h"

namespace qdqm::cli {

int cmdPorts(const Args& args) {
  if (!args.words.empty()) {
    printUsage(args.err);
    return kUsageError;
  }
  SteadyClock clock;
  PlatformPortOpener opener;
  TerminalHost host(args.err);
  SerialPort port(opener, clock, host);
  for (unsigned n = 1; n <= 32; ++n) {
    if (openPort(n, port) == 1) {
      // The device itself, also when the port directory's link COMn leads to it.
      std::error_code ec;
      const std::filesystem::path device = std::filesystem::canonical(devicePathForPort(n), ec);
      args.out << "Com " << n << "  " << (ec ? devicePathForPort(n) : device.string()) << "\n";
    }
    port.close();
  }
  return 0;
}

}  // namespace qdqm::cli
