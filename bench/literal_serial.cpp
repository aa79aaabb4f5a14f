#include "bench/literal_serial.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace qdqm::bench {

namespace {

uint64_t monotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1'000'000 + uint64_t(ts.tv_nsec) / 1000;
}

}  // namespace

void LiteralSerialDevice::waitForInput(uint32_t us) {
  const uint64_t end = monotonicUs() + us;
  while (monotonicUs() < end) {
  }
}

long LiteralSerialDevice::read(uint8_t* buffer, size_t n) {
  if (n == 0) return 0;
  const uint64_t end = monotonicUs() + 1000 + 1000 * uint64_t(n);
  size_t got = 0;
  for (;;) {
    // Only bytes already waiting are taken, so the device's own read returns at once and its
    // shorter inter-byte time-out never ends this read early.
    const long waiting = inner_->clearErrorAndCountWaiting();
    if (waiting < 0) return got ? static_cast<long>(got) : -EIO;  // the line is gone
    if (waiting > 0) {
      const long r = inner_->read(buffer + got, std::min(n - got, static_cast<size_t>(waiting)));
      if (r < 0) return got ? static_cast<long>(got) : r;
      got += static_cast<size_t>(r);
      if (got == n) return static_cast<long>(got);
    }
    const uint64_t now = monotonicUs();
    if (now >= end) return static_cast<long>(got);
    inner_->waitForInput(static_cast<uint32_t>(end - now));
    if (inner_->lost()) return got ? static_cast<long>(got) : -EIO;
  }
}

std::unique_ptr<SerialDevice> LiteralPortOpener::open(unsigned n, int& error) {
  std::unique_ptr<SerialDevice> device = inner_.open(n, error);
  if (!device) return nullptr;
  return std::make_unique<LiteralSerialDevice>(std::move(device));
}

}  // namespace qdqm::bench
