// The serial device seam: one open line that the exchange drives. Backends: the POSIX tty layer
// (link/posix_serial.*), the Win32 COM port (link/win32_serial.*) and the simulator's in-process
// line used by the flow tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qdqm {

enum class Parity : uint8_t { None = 0, Odd = 1, Even = 2 };

// What the device reports or accepts; data bits (8) and stop bits (1) never change.
struct LineSettings {
  uint32_t baud = 19200;
  Parity parity = Parity::None;
  bool operator==(const LineSettings&) const = default;
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Whether DTR/RTS exist. A pty or a simulated line has none, and that is not an error.
  virtual bool hasModemLines() const = 0;
  // The device node or line name, shown beside the port number.
  virtual std::string name() const = 0;

  virtual bool setQueueSizes(size_t input, size_t output) = 0;
  // Settings as the device holds them now.
  virtual bool readSettings(LineSettings& out) = 0;
  // Raw 8-bit line, 1 stop bit, no flow control, DTR and RTS asserted where present.
  virtual bool writeSettings(const LineSettings& settings) = 0;
  // Read time-outs: at most 1 ms between bytes, 1 ms + 1 ms per requested byte in total.
  virtual bool setReadTimeouts() = 0;
  // Input notification (the character-received event): read its state, then arm it.
  virtual bool readEventMask() = 0;
  virtual bool addReceiveEvent() = 0;

  // One write call; the number of bytes written, or -1.
  virtual long write(const uint8_t* data, size_t n) = 0;
  // Waits up to `us` microseconds for input; returns at once when bytes wait or the line is lost.
  virtual void waitForInput(uint32_t us) = 0;
  // One read bounded by the read time-outs: ends when n bytes are in, when the line has been quiet
  // for the inter-byte time-out, or after the total time-out. Bytes read (0 is fine), or -errno.
  virtual long read(uint8_t* buffer, size_t n) = 0;
  // Clears the error state; the number of bytes waiting, or -1 when the state cannot be read.
  virtual long clearErrorAndCountWaiting() = 0;
  // The line has gone away (adapter unplugged, pty master closed): every later call fails at once.
  virtual bool lost() const = 0;
};

// Opens "COM" n exclusively. Returns null on failure with an errno-style code in `error`.
class PortOpener {
 public:
  virtual ~PortOpener() = default;
  virtual std::unique_ptr<SerialDevice> open(unsigned n, int& error) = 0;
  // The device port n leads to now, named as SerialDevice::name() names an open one; empty when
  // the opener cannot tell. A different name means the adapter behind the number has changed.
  virtual std::string deviceBehind(unsigned /*n*/) const { return {}; }
  // The path of the device port n opens; empty when the opener cannot tell.
  virtual std::string devicePath(unsigned /*n*/) const { return {}; }
  // From now on port n opens the device at `path` (one the user named by its path, which no COM
  // number leads to); false when the opener cannot do that.
  virtual bool assignDevice(unsigned /*n*/, const std::string& /*path*/) { return false; }
  // What the port list shows beside the number of the open port n: the device, and the adapter
  // behind it where that is known.
  virtual std::string describe(unsigned /*n*/, const SerialDevice& opened) const {
    return opened.name();
  }
};

}  // namespace qdqm
