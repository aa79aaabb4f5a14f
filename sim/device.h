// A simulated device as seen from its own side of the wire: bytes arrive with the line settings the
// sender used, replies leave with the settings the device itself runs at. Time is in microseconds
// and supplied by the transport (virtual time in tests, the monotonic clock behind a pty).
#pragma once
#include <cstdint>
#include <deque>
#include <string_view>

namespace qdqm::sim {

enum class Parity : uint8_t { None, Odd, Even };

struct Line {
  uint32_t baud = 19200;
  Parity parity = Parity::None;
  bool operator==(const Line&) const = default;
};

// One reply byte: when its last bit has left the device, and at which settings it was sent.
struct Emission {
  uint64_t doneUs = 0;
  uint8_t byte = 0;
  Line line;
};

// 8 data bits, 1 stop bit, a start bit and the parity bit when there is one: whole microseconds
// for pacing the bytes, unrounded nanoseconds for adding up wire time. 0 at 0 baud.
uint32_t byteTimeUs(const Line& line);
double byteTimeNs(const Line& line);

// What a receiver listening at other settings makes of a byte: never the byte itself.
uint8_t garble(uint8_t byte);

class Device {
 public:
  virtual ~Device() = default;
  // A byte whose last bit arrived at `atUs`, sent at `sent`.
  virtual void receive(uint8_t byte, const Line& sent, uint64_t atUs) = 0;
  // Reply bytes in wire order; the transport removes those it has delivered.
  std::deque<Emission>& output() { return out_; }
  // Without wire timing all bytes of a reply are ready at once (a pty paces them itself).
  virtual void setWireTiming(bool on) { wireTiming_ = on; }
  bool wireTiming() const { return wireTiming_; }

 protected:
  // Queues bytes that start leaving at `startUs` (or when the previous reply is out).
  void emit(std::string_view bytes, uint64_t startUs, const Line& line);
  uint64_t busyUntilUs() const { return busyUntil_; }

 private:
  std::deque<Emission> out_;
  uint64_t busyUntil_ = 0;
  bool wireTiming_ = true;
};

}  // namespace qdqm::sim
