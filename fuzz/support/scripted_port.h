// What the targets that drive the serial layer start from: a port opened on a script line, with
// the virtual clock and a host that shows nothing.
#pragma once

#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/quiet_host.h"
#include "fuzz/support/script_line.h"
#include "link/clock.h"
#include "link/serial_port.h"

namespace qdqm::fuzz {

struct ScriptedPort {
  ScriptedPort() { FUZZ_EXPECT(openPort(1, port) == 1); }
  ScriptLine& line() { return *opener.line; }

  VirtualClock clock;
  QuietHost host;
  ScriptOpener opener{clock};
  SerialPort port{opener, clock, host};
};

}  // namespace qdqm::fuzz
