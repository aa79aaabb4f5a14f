#include "link/serial_port.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace qdqm {

namespace {

constexpr uint32_t kOpenBaud = 19200;
constexpr uint32_t kRates[] = {2400, 9600, 19200, 38400, 57600, 115200};
constexpr size_t kExchangeReadSize = 5;
constexpr size_t kTextReadSize = 10;
constexpr size_t kTextBufferSize = 100;
constexpr size_t kTextHeaderSize = 4;
constexpr uint32_t kPauseUs = 1000;

constexpr const char* kTimeoutsMessage = "Could not get communication timeouts !!!";
constexpr const char* kGetMaskMessage = "Could not get communication mask !!!";
constexpr const char* kSetMaskMessage = "Could not set communication mask !!!";

int openFailure(SerialPort& port, const char* text) {
  port.host.message(port.host.programName, text, Icon::None);
  return 0;
}

// Settings the device took (or refused): the trace's lines carry the ones in force.
void noteSettings(SerialPort& port, const LineSettings& settings, bool accepted) {
  if (accepted) port.line = settings;
  if (port.trace) port.trace->event(settings, accepted ? "settings" : "settings refused");
}

void traceFailure(SerialPort& port, const std::string& what, long code) {
  port.trace->event(port.line, what + " (" + std::strerror(static_cast<int>(code)) + ")");
}

void traceExchangeEnd(SerialPort& port, const char* why, size_t collected, size_t m) {
  port.trace->endGroup();
  if (!why) return;
  std::string text = why;
  if (m > 0) text += ", " + std::to_string(collected) + " of " + std::to_string(m) + " reply bytes";
  port.trace->event(port.line, text);
}

}  // namespace

int openPort(unsigned n, SerialPort& port) {
  port.close();
  port.lastOpenError = 0;
  if (n < 1 || n > 99) return 0;
  int error = 0;
  std::unique_ptr<SerialDevice> device = port.opener.open(n, error);
  if (!device) {
    port.lastOpenError = error;
    if (port.trace) traceFailure(port, "COM" + std::to_string(n) + " not opened", error);
    return 0;
  }

  LineSettings settings;
  if (!device->setQueueSizes(kQueueSize, kQueueSize) || !device->readSettings(settings)) return 0;
  settings.baud = kOpenBaud;
  settings.parity = Parity::None;
  if (!device->writeSettings(settings)) return 0;

  // From here on the device stays the current port even when a step fails.
  port.device = std::move(device);
  port.line = settings;
  if (port.trace)
    port.trace->event(port.line, "open COM" + std::to_string(n) + " " + port.device->name());
  if (!port.device->setReadTimeouts()) return openFailure(port, kTimeoutsMessage);
  if (!port.device->readEventMask()) return openFailure(port, kGetMaskMessage);
  if (!port.device->addReceiveEvent()) return openFailure(port, kSetMaskMessage);
  return 1;
}

int setBaudRate(SerialPort& port, uint32_t rate) {
  if (!port.isOpen()) return 0;
  LineSettings settings;
  if (!port.device->readSettings(settings)) return 0;
  if (std::find(std::begin(kRates), std::end(kRates), rate) != std::end(kRates)) {
    settings.baud = rate;
  }
  const bool written = port.device->writeSettings(settings);
  noteSettings(port, settings, written);
  if (!written) return 0;
  LineSettings now;
  if (!port.device->readSettings(now)) return 0;
  return now.baud == rate ? 1 : 0;
}

bool lineLost(SerialPort& port) {
  if (!port.isOpen()) return false;
  port.device->waitForInput(0);
  return port.device->lost();
}

uint32_t lineBaudRate(SerialPort& port) {
  LineSettings settings;
  if (!port.isOpen() || !port.device->readSettings(settings)) return 0;
  return settings.baud;
}

int setParity(SerialPort& port, unsigned code) {
  if (!port.isOpen()) return 0;
  LineSettings settings;
  if (!port.device->readSettings(settings)) return 0;
  if (code <= static_cast<unsigned>(Parity::Even)) settings.parity = static_cast<Parity>(code);
  // Judged on the settings as written: a pty accepts parity but does not keep it.
  const bool written = port.device->writeSettings(settings);
  noteSettings(port, settings, written);
  if (!written) return 0;
  return static_cast<unsigned>(settings.parity) == code ? 1 : 0;
}

int writeBytes(SerialPort& port, const uint8_t* data, size_t n) {
  if (!port.isOpen()) return 0;
  const long written = port.device->write(data, n);
  if (port.trace) {
    port.trace->sent(port.line, {data, written > 0 ? static_cast<size_t>(written) : 0});
    if (written < 0 || static_cast<size_t>(written) != n)
      port.trace->event(port.line, "write failed");
  }
  return written >= 0 && static_cast<size_t>(written) == n ? 1 : 0;
}

int readBytes(SerialPort& port, uint8_t* buffer, size_t n, size_t& got) {
  got = 0;
  if (n == 0 || !port.isOpen()) return 0;
  const long r = port.device->read(buffer, n);
  if (r < 0) {
    if (port.trace) traceFailure(port, "read failed", -r);
    return static_cast<int>(-r);
  }
  got = static_cast<size_t>(r);
  if (port.trace) port.trace->received(port.line, {buffer, got});
  return 1;
}

int exchange(SerialPort& port, std::span<const uint8_t> command, std::span<uint8_t> reply, size_t m,
             uint32_t T, size_t* got) {
  size_t collected = 0;
  // `why` names, for the trace, what ended the exchange without its reply.
  auto finish = [&](int result, const char* why = nullptr) {
    if (got) *got = collected;
    if (port.trace) traceExchangeEnd(port, why, collected, m);
    return result;
  };
  if (!port.isOpen() || reply.size() < m) return finish(0);
  SerialDevice& device = *port.device;

  size_t sent = 0;
  bool writeFailed = false;
  while (sent < command.size()) {
    const long w = device.write(command.data() + sent, command.size() - sent);
    if (w > 0) sent += static_cast<size_t>(w);
    // A write that moves nothing would repeat for ever.
    if (w <= 0 || device.lost()) {
      writeFailed = true;
      break;
    }
  }
  if (port.trace) {
    // Reading on for the rest of a reply sends nothing: no TX line for it.
    if (!command.empty()) port.trace->sent(port.line, command.first(sent));
    port.trace->beginGroup();
  }
  if (writeFailed) return finish(0, "write failed");
  if (m == 0) return finish(1);

  // The first pause gives the module time to start its reply. T below 2 cannot read anything.
  device.waitForInput(kPauseUs);
  if (T > 0) --T;
  for (;;) {
    if (pumpMessages(port, kPumpIntervalMs)) port.host.setWaitCursor(true);
    if (port.host.escapePressed()) return finish(0, "Esc pressed");
    // The 1 ms pause of the cycle; it ends early when the reply's bytes arrive.
    device.waitForInput(kPauseUs);
    if (device.lost()) return finish(0, "line lost");
    if (T <= 1) return finish(0, "time-out");
    --T;
    const size_t room = std::min(kExchangeReadSize, reply.size() - collected);
    if (room == 0) return finish(0);
    const long r = device.read(reply.data() + collected, room);
    if (r < 0) return finish(0, "read failed");
    if (r > 0 && port.trace)
      port.trace->received(port.line, reply.subspan(collected, static_cast<size_t>(r)));
    collected += static_cast<size_t>(r);
    if (collected >= m) return finish(1);
    if (device.lost()) return finish(0, "line lost");
  }
}

namespace {

int collectLengthPrefixedText(SerialPort& port, std::string& text, uint32_t R) {
  SerialDevice& device = *port.device;
  std::array<uint8_t, kTextBufferSize> collected{};
  std::array<uint8_t, kTextReadSize> scratch{};
  size_t count = 0;
  size_t expected = 0;  // header length + 4, known once the header is in
  bool overflow = false;
  for (;;) {
    device.waitForInput(kPauseUs);
    if (R <= 1) return 0;
    --R;
    // A reply that does not fit the buffer can never complete; its bytes are still taken off the
    // line until the time-out, as for a reply longer than announced.
    const size_t room = std::min(kTextReadSize, collected.size() - count);
    uint8_t* target = overflow || room == 0 ? scratch.data() : collected.data() + count;
    const long r = device.read(target, overflow || room == 0 ? scratch.size() : room);
    if (r < 0) return 0;
    if (r > 0 && port.trace) port.trace->received(port.line, {target, static_cast<size_t>(r)});
    if (r > 0 && (overflow || room == 0)) overflow = true;
    if (!overflow) count += static_cast<size_t>(r);
    if (count >= kTextHeaderSize && expected == 0) {
      expected = ((size_t{collected[2]} << 8) | collected[3]) + kTextHeaderSize;
      if (expected > collected.size()) overflow = true;
    }
    if (!overflow && expected != 0 && count == expected) {
      const auto begin = collected.begin() + kTextHeaderSize;
      const auto end = std::find(begin, collected.begin() + static_cast<long>(count), 0);
      text.assign(begin, end);
      return 1;
    }
  }
}

}  // namespace

int readLengthPrefixedText(SerialPort& port, std::string& text, uint32_t R) {
  if (!port.isOpen()) return 0;
  if (!port.trace) return collectLengthPrefixedText(port, text, R);
  port.trace->beginGroup();
  const int result = collectLengthPrefixedText(port, text, R);
  traceExchangeEnd(port, result ? nullptr : "no complete text", 0, 0);
  return result;
}

int discardInput(SerialPort& port) {
  if (!port.isOpen()) return 0;
  const long waiting = port.device->clearErrorAndCountWaiting();
  if (waiting <= 0) return 0;
  std::vector<uint8_t> scratch(static_cast<size_t>(waiting));
  const long r = port.device->read(scratch.data(), scratch.size());
  if (r > 0 && port.trace) {
    // Bytes read away get a line of their own, apart from the reply they followed.
    port.trace->beginGroup();
    port.trace->received(port.line, {scratch.data(), static_cast<size_t>(r)});
    port.trace->endGroup();
  }
  return 1;
}

void preciseDelay(Clock& clock, uint32_t ms) {
  clock.sleepMs(ms);
}

int pumpMessages(SerialPort& port, uint32_t intervalMs) {
  const uint32_t now = port.clock.tickMs();
  if (now - port.state.lastPumpTime < intervalMs) return 0;
  port.state.lastPumpTime = now;
  port.host.pumpEvents();
  return 1;
}

}  // namespace qdqm
