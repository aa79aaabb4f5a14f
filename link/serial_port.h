// The serial port and its exchange primitive: the only code that drives a SerialDevice. Every
// operation takes the port first and fails (0) when it is closed; results are 1/0 as the callers
// expect. `exchange` counts its time-out in polling cycles (about 7 ms when idle), not
// milliseconds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "link/clock.h"
#include "link/frame_trace.h"
#include "link/host.h"
#include "link/serial_device.h"

namespace qdqm {

// Process-wide link state of the original tool, kept in the port so tests can reset it.
struct LinkState {
  bool recordProtocol = false;  // set by identifyModule when the controller echoes commands
  uint32_t lastPumpTime = 0;    // tick of the last pumpMessages dispatch
};

class SerialPort {
 public:
  SerialPort(PortOpener& opener, Clock& clock, Host& host)
      : opener(opener), clock(clock), host(host) {}
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  bool isOpen() const { return device != nullptr; }
  void close() {
    if (trace && device) trace->event(line, "close");
    device.reset();
  }

  PortOpener& opener;
  Clock& clock;
  Host& host;
  LinkState state;
  std::unique_ptr<SerialDevice> device;  // null while closed
  int lastOpenError = 0;                 // errno-style code of the last failed open
  LineSettings line;                     // rate and parity as last written to the device
  std::unique_ptr<FrameTrace> trace;     // the frame trace, null when off
  // Set by every command that changes what a module keeps (an erase, a record, a data block, a
  // decoder write, an image byte), as it is sent; an update run clears it when it starts. A run
  // that stops after it was set has left the module changed, whatever its verdict. Atomic: the
  // terminal's interrupt handler reads it when it ends the program at once.
  std::atomic<bool> moduleChanged = false;
};

constexpr size_t kQueueSize = 2048;
constexpr uint32_t kPumpIntervalMs = 100;

// Opens "COM" n (1..99) at 19200 baud 8N1, closing the port that was open first.
int openPort(unsigned n, SerialPort& port);
int setBaudRate(SerialPort& port, uint32_t rate);
// Whether the open line has gone away (adapter unplugged, pty closed), also while nothing reads
// it: a hang-up is noticed without waiting.
bool lineLost(SerialPort& port);
// The line's rate as the device holds it; 0 when the port is closed or its settings unreadable.
uint32_t lineBaudRate(SerialPort& port);
// 0 none, 1 odd, 2 even; any other code leaves the parity.
int setParity(SerialPort& port, unsigned code);
int writeBytes(SerialPort& port, const uint8_t* data, size_t n);
// 0 when n is 0; 1 when the read call succeeded (also with fewer or no bytes); else the error code.
// `got` receives the number of bytes read.
int readBytes(SerialPort& port, uint8_t* buffer, size_t n, size_t& got);

// Writes the command, then collects at least m reply bytes within T polling cycles. The reply
// buffer must hold m + 4 bytes: reads take up to 5 bytes, so up to 4 surplus bytes land behind
// the reply. `got`, when given, receives the number of bytes collected.
int exchange(SerialPort& port, std::span<const uint8_t> command, std::span<uint8_t> reply, size_t m,
             uint32_t T, size_t* got = nullptr);
inline int exchange(SerialPort& port, std::string_view command, std::span<uint8_t> reply, size_t m,
                    uint32_t T, size_t* got = nullptr) {
  return exchange(
      port,
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(command.data()), command.size()),
      reply, m, T, got);
}

// Reply of a 4-byte header (bytes 2, 3: length L, high byte first) and L bytes of text.
int readLengthPrefixedText(SerialPort& port, std::string& text, uint32_t R);
int discardInput(SerialPort& port);
void preciseDelay(Clock& clock, uint32_t ms);
int pumpMessages(SerialPort& port, uint32_t intervalMs);

}  // namespace qdqm
