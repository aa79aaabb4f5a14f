// The time seam: a millisecond tick, sleeps and the 1 ms precise delay of the exchange cycle.
// SteadyClock runs on the monotonic clock; VirtualClock advances instantly for flow tests.
#pragma once

#include <cstdint>

namespace qdqm {

class Clock {
 public:
  virtual ~Clock() = default;
  // Microseconds since an arbitrary start; never goes backwards.
  virtual uint64_t nowUs() = 0;
  // The millisecond tick counter (wraps like a 32-bit tick).
  uint32_t tickMs() { return static_cast<uint32_t>(nowUs() / 1000); }
  // Sleeps until nowUs() >= t (no busy waiting).
  virtual void sleepUntilUs(uint64_t t) = 0;
  void sleepMs(uint32_t ms) { sleepUntilUs(nowUs() + uint64_t{ms} * 1000); }
};

class SteadyClock final : public Clock {
 public:
  uint64_t nowUs() override;
  void sleepUntilUs(uint64_t t) override;
};

// Time moves only when someone sleeps or advances it.
class VirtualClock final : public Clock {
 public:
  uint64_t nowUs() override { return now_; }
  void sleepUntilUs(uint64_t t) override {
    if (t > now_) now_ = t;
  }
  void advanceUs(uint64_t us) { now_ += us; }

 private:
  uint64_t now_ = 1'000'000;  // start away from 0 so tick differences behave as on a live PC
};

}  // namespace qdqm
