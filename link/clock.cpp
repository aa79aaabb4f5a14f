#include "link/clock.h"

#include <cerrno>
#include <ctime>

namespace qdqm {

uint64_t SteadyClock::nowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1'000'000 + uint64_t(ts.tv_nsec) / 1000;
}

void SteadyClock::sleepUntilUs(uint64_t t) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(t / 1'000'000);
  ts.tv_nsec = static_cast<long>((t % 1'000'000) * 1000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

}  // namespace qdqm
