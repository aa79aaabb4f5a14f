#include "sim/device.h"

#include <algorithm>

namespace qdqm::sim {

namespace {

uint32_t bitsPerByte(const Line& line) {
  return line.parity == Parity::None ? 10 : 11;
}

}  // namespace

uint32_t byteTimeUs(const Line& line) {
  return line.baud ? bitsPerByte(line) * 1'000'000u / line.baud : 0;
}

double byteTimeNs(const Line& line) {
  return line.baud ? static_cast<double>(bitsPerByte(line)) * 1e9 / line.baud : 0;
}

uint8_t garble(uint8_t byte) {
  return static_cast<uint8_t>((byte ^ 0xA5u) | 0x80u) ^ 0x01u;
}

void Device::emit(std::string_view bytes, uint64_t startUs, const Line& line) {
  uint64_t t = std::max(startUs, busyUntil_);
  const uint32_t step = wireTiming_ ? byteTimeUs(line) : 0;
  for (char c : bytes) {
    t += step;
    out_.push_back(Emission{t, static_cast<uint8_t>(c), line});
  }
  busyUntil_ = t;
}

}  // namespace qdqm::sim
