// A serial line on the virtual clock whose incoming bytes come from the fuzz input: bytes that
// arrive at given times, and replies handed out one per write, as a module answers its commands.
// It keeps the device time-out rules of a real port and records what was written and read.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/serial_device.h"

namespace qdqm::fuzz {

class ScriptLine final : public SerialDevice {
 public:
  explicit ScriptLine(VirtualClock& clock) : clock_(clock) {}

  // Bytes that arrive `afterUs` from now, `gapUs` apart.
  void arrive(const std::string& bytes, uint64_t afterUs, uint64_t gapUs) {
    uint64_t t = std::max(clock_.nowUs() + afterUs, incoming_.empty() ? 0 : incoming_.back().at);
    for (char c : bytes) {
      incoming_.push_back({t, static_cast<uint8_t>(c)});
      t += gapUs;
    }
  }
  // The answer to the next write that finds no earlier answer waiting to be given.
  struct Reply {
    std::string bytes;
    uint64_t afterUs = 0;
    uint64_t gapUs = 0;
  };
  std::deque<Reply> replies;
  // The line goes away at this time (an adapter pulled out), or once a write finds no answer left
  // in the script: a quicker end than the time-out for inputs that have run out.
  uint64_t loseAtUs = std::numeric_limits<uint64_t>::max();
  bool hangUpWhenScriptEnds = false;

  // Every write, and the answer each one got (empty when the script had none left).
  std::vector<std::string> writes;
  std::vector<std::string> answers;
  // Bytes the tool has read off the line, in order, and how many it had read at each write.
  std::string consumed;
  std::vector<size_t> consumedAtWrite;
  // What the tool read after its last write: the reply it collected to its last command.
  std::string readSinceLastWrite() const {
    return consumedAtWrite.empty() ? consumed : consumed.substr(consumedAtWrite.back());
  }

  bool hasModemLines() const override { return false; }
  std::string name() const override { return "script"; }
  bool setQueueSizes(size_t, size_t) override { return true; }
  bool readSettings(LineSettings& out) override {
    out = settings_;
    return true;
  }
  bool writeSettings(const LineSettings& s) override {
    settings_ = s;
    return true;
  }
  bool setReadTimeouts() override { return true; }
  bool readEventMask() override { return true; }
  bool addReceiveEvent() override { return true; }

  long write(const uint8_t* data, size_t n) override {
    if (lost()) return -EIO;
    writes.emplace_back(reinterpret_cast<const char*>(data), n);
    consumedAtWrite.push_back(consumed.size());
    Reply r;
    if (!replies.empty()) {
      r = std::move(replies.front());
      replies.pop_front();
    } else if (hangUpWhenScriptEnds) {
      loseAtUs = std::min(loseAtUs, clock_.nowUs());
    }
    answers.push_back(r.bytes);
    arrive(r.bytes, r.afterUs, r.gapUs);
    return static_cast<long>(n);
  }
  void waitForInput(uint32_t us) override {
    if (lost() || waiting() > 0) return;
    uint64_t until = clock_.nowUs() + us;
    if (!incoming_.empty()) until = std::min(until, incoming_.front().at);
    clock_.sleepUntilUs(std::min(until, loseAtUs));
  }
  // Ends at n bytes, after 1 ms of quiet once bytes came, or after 1 ms + 1 ms per byte.
  long read(uint8_t* buffer, size_t n) override {
    if (lost()) return -EIO;
    const uint64_t totalEnd = clock_.nowUs() + 1000 + 1000 * uint64_t{n};
    size_t got = 0;
    while (got < n) {
      while (got < n && !incoming_.empty() && incoming_.front().at <= clock_.nowUs()) {
        buffer[got++] = incoming_.front().byte;
        consumed.push_back(static_cast<char>(incoming_.front().byte));
        incoming_.pop_front();
      }
      if (got == n) break;
      const uint64_t end = got ? std::min(totalEnd, clock_.nowUs() + 1000) : totalEnd;
      if (incoming_.empty() || incoming_.front().at > end) {
        clock_.sleepUntilUs(end);
        break;
      }
      clock_.sleepUntilUs(incoming_.front().at);
    }
    return static_cast<long>(got);
  }
  long clearErrorAndCountWaiting() override { return lost() ? -1 : static_cast<long>(waiting()); }
  bool lost() const override { return clock_.nowUs() >= loseAtUs; }

 private:
  size_t waiting() const {
    size_t n = 0;
    // Arrivals are kept in time order.
    for (const auto& b : incoming_) {
      if (b.at > clock_.nowUs()) break;
      ++n;
    }
    return n;
  }
  struct Arrival {
    uint64_t at;
    uint8_t byte;
  };
  VirtualClock& clock_;
  LineSettings settings_;
  std::deque<Arrival> incoming_;
};

// Hands out a ScriptLine for every port number; `line` is the one handed out last.
class ScriptOpener final : public PortOpener {
 public:
  explicit ScriptOpener(VirtualClock& clock) : clock_(clock) {}
  std::unique_ptr<SerialDevice> open(unsigned, int& error) override {
    error = 0;
    auto l = std::make_unique<ScriptLine>(clock_);
    line = l.get();
    return l;
  }
  ScriptLine* line = nullptr;

 private:
  VirtualClock& clock_;
};

}  // namespace qdqm::fuzz
