// A scripted serial line on the virtual clock: the test queues reply bytes with the time they
// arrive, the line keeps the device time-out rules of a real port and records what was written.
#pragma once

#include <algorithm>
#include <cerrno>
#include <deque>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include <string>

#include "link/clock.h"
#include "link/serial_device.h"
#include "link/serial_port.h"
#include "tests/support/scripted_host.h"

namespace qdqm::testing {

struct FakeLineFaults {
  bool settings = false;      // readSettings/writeSettings fail
  bool readTimeouts = false;  // setReadTimeouts fails
  bool readMask = false;      // readEventMask fails
  bool addEvent = false;      // addReceiveEvent fails
  bool keepsParity = true;    // false: like a pty, written parity is not read back
};

class FakeLine final : public SerialDevice {
 public:
  FakeLine(VirtualClock& clock, FakeLineFaults faults) : clock_(clock), faults_(faults) {}

  // Bytes that arrive `afterUs` from now, `gapUs` apart.
  void reply(std::string_view bytes, uint64_t afterUs = 0, uint64_t gapUs = 0) {
    uint64_t t = clock_.nowUs() + afterUs;
    for (char c : bytes) {
      incoming.push_back({t, static_cast<uint8_t>(c)});
      t += gapUs;
    }
  }
  void loseLine() { gone = true; }
  size_t waiting() const {
    size_t n = 0;
    for (const auto& b : incoming) n += b.at <= clock_.nowUs() ? 1 : 0;
    return n;
  }

  bool hasModemLines() const override { return false; }
  std::string name() const override { return "fake"; }
  bool setQueueSizes(size_t, size_t) override { return true; }
  bool readSettings(LineSettings& out) override {
    if (faults_.settings) return false;
    out = held_;
    return true;
  }
  bool writeSettings(const LineSettings& s) override {
    if (faults_.settings) return false;
    held_.baud = s.baud;
    if (faults_.keepsParity) held_.parity = s.parity;
    return true;
  }
  bool setReadTimeouts() override { return !faults_.readTimeouts; }
  bool readEventMask() override { return !faults_.readMask; }
  bool addReceiveEvent() override { return !faults_.addEvent; }

  long write(const uint8_t* data, size_t n) override {
    if (gone) return -EIO;
    written.insert(written.end(), data, data + n);
    return static_cast<long>(n);
  }
  void waitForInput(uint32_t us) override {
    ++waits;
    if (gone || waiting() > 0) return;
    uint64_t until = clock_.nowUs() + us;
    if (!incoming.empty() && incoming.front().at < until) until = incoming.front().at;
    clock_.sleepUntilUs(until);
  }
  // Ends at n bytes, after 1 ms of quiet once bytes came, or after 1 ms + 1 ms per byte.
  long read(uint8_t* buffer, size_t n) override {
    ++reads;
    if (gone) return -EIO;
    const uint64_t totalEnd = clock_.nowUs() + 1000 + 1000 * uint64_t(n);
    size_t got = 0;
    while (got < n) {
      while (got < n && !incoming.empty() && incoming.front().at <= clock_.nowUs()) {
        buffer[got++] = incoming.front().byte;
        incoming.pop_front();
      }
      if (got == n) break;
      const uint64_t end = got ? std::min(totalEnd, clock_.nowUs() + 1000) : totalEnd;
      if (incoming.empty() || incoming.front().at > end) {
        clock_.sleepUntilUs(end);
        break;
      }
      clock_.sleepUntilUs(incoming.front().at);
    }
    return static_cast<long>(got);
  }
  long clearErrorAndCountWaiting() override { return gone ? -1 : static_cast<long>(waiting()); }
  bool lost() const override { return gone; }

  std::vector<uint8_t> written;
  int reads = 0;
  int waits = 0;
  bool gone = false;

 private:
  struct Arrival {
    uint64_t at;
    uint8_t byte;
  };
  VirtualClock& clock_;
  FakeLineFaults faults_;
  LineSettings held_{9600, Parity::Odd};  // not the open settings, so open must change them
  std::deque<Arrival> incoming;
};

// Hands out a FakeLine for every port listed in `present`; other numbers fail with ENOENT,
// numbers in `refused` with EACCES. `last` points at the line handed out last.
class FakeOpener final : public PortOpener {
 public:
  explicit FakeOpener(VirtualClock& clock) : clock_(clock) {}
  std::unique_ptr<SerialDevice> open(unsigned n, int& error) override {
    ++opens;
    if (refused.count(n)) {
      error = EACCES;
      return nullptr;
    }
    auto it = present.find(n);
    if (it == present.end()) {
      error = ENOENT;
      return nullptr;
    }
    auto line = std::make_unique<FakeLine>(clock_, it->second);
    last = line.get();
    return line;
  }

  std::map<unsigned, FakeLineFaults> present;
  std::map<unsigned, bool> refused;
  FakeLine* last = nullptr;
  int opens = 0;

 private:
  VirtualClock& clock_;
};

// A port open on a FakeLine (COM1), for tests of the frames that go over it.
class FakeLineTest : public ::testing::Test {
 protected:
  FakeLineTest() {
    opener.present[1] = {};
    EXPECT_EQ(openPort(1, port), 1);
    line = opener.last;
  }
  // What was written since the last call.
  std::string written() {
    std::string s(line->written.begin(), line->written.end());
    line->written.clear();
    return s;
  }

  VirtualClock clock;
  ScriptedHost host;
  FakeOpener opener{clock};
  SerialPort port{opener, clock, host};
  FakeLine* line = nullptr;
};

}  // namespace qdqm::testing
