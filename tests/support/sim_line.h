// Flow-test transport: simulated devices on in-process lines driven by the virtual clock.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "link/clock.h"
#include "link/serial_device.h"
#include "sim/device.h"

namespace qdqm::testing {

class SimLine : public qdqm::SerialDevice {
 public:
  struct Written {
    uint64_t atUs = 0;
    std::vector<uint8_t> bytes;
    qdqm::LineSettings settings;
  };

  // What can go wrong on the line itself, from a moment a test chooses: the device's bytes stop
  // arriving (a broken wire), arrive late or one of them damaged, or the whole line goes away
  // (an adapter unplugged: every later call fails); or a burst of noise arrives between two
  // replies (at once, not after written bytes).
  enum class Trouble { None, Silent, Late, Garble, Lost, Noise };

  SimLine(qdqm::VirtualClock& clock, sim::Device& device, std::string name)
      : clock_(clock), device_(device), name_(std::move(name)) {}

  // The trouble starts once the tool has written `afterBytes` more bytes (0: now). Late: the
  // device's bytes from then on arrive `value` ms late; Garble: the `value`th of them (0-based)
  // arrives damaged; Lost: the write that would pass `afterBytes` fails and the line is gone;
  // Noise: `value` bytes of noise (stray acknowledges among them) wait on the line at once.
  void trouble(Trouble kind, size_t afterBytes, uint32_t value = 0);
  // Damage on the wire itself, each way on its own, as a poor cable or a flaky adapter gives it.
  // Bytes are counted each way from the line's start: 0 is the first byte the tool writes, or the
  // first the device sends back. Several may be set; each happens once.
  enum class Way { ToDevice, ToTool };
  enum class Damage {
    Drop,       // the byte is lost (it took its time on the wire)
    Duplicate,  // the byte arrives twice
    Gap,        // the byte arrives `ms` late, and the bytes behind it with it: a stretched gap
    Gone,       // the line goes away: to the device, the write that would carry the byte fails;
                // to the tool, the byte never arrives; every later call fails
  };
  struct WireFault {
    Damage damage = Damage::Drop;
    Way way = Way::ToDevice;
    uint64_t at = 0;
    uint32_t ms = 0;
  };
  void damage(const WireFault& fault) { wireFaults_.push_back(fault); }
  // Every data bit of the bytes going `way` arrives flipped with probability `rate`, the flips
  // drawn from `seed`.
  void flipBits(Way way, double rate, uint64_t seed);
  // What the wire did so far, each way.
  struct Damaged {
    uint64_t bytes = 0;  // bytes that went this way (dropped ones included)
    uint64_t flippedBits = 0;
    uint64_t flippedBytes = 0;
    uint64_t dropped = 0;
    uint64_t duplicated = 0;
    uint64_t delayed = 0;  // gaps that started
    uint32_t longestGapMs = 0;
    bool gone = false;
  };
  const Damaged& damaged(Way way) const {
    return way == Way::ToDevice ? toDevice_.done : toTool_.done;
  }

  // An adapter without this rate (it keeps its old one), or without parity (refuses it).
  void withoutRate(uint32_t baud) { missingRates_.insert(baud); }
  void withoutParity() { noParity_ = true; }
  // Bytes left waiting on the line from before (a previous session's unread replies).
  void stale(std::string_view bytes) { input_.insert(input_.end(), bytes.begin(), bytes.end()); }

  bool hasModemLines() const override { return false; }
  std::string name() const override { return name_; }
  // The output queue: a writer waits while more than this many bytes are not yet on the wire.
  bool setQueueSizes(size_t, size_t output) override {
    outputQueue_ = output;
    return true;
  }
  bool readSettings(qdqm::LineSettings& out) override;
  bool writeSettings(const qdqm::LineSettings& settings) override;
  bool setReadTimeouts() override { return true; }
  bool readEventMask() override { return true; }
  bool addReceiveEvent() override { return true; }
  long write(const uint8_t* data, size_t n) override;
  void waitForInput(uint32_t us) override;
  long read(uint8_t* buffer, size_t n) override;
  long clearErrorAndCountWaiting() override;
  bool lost() const override { return lost_; }
  // The adapter is unplugged: every later call fails at once, as on a tty that hung up.
  void unplug() { lost_ = true; }

  qdqm::LineSettings settings() const { return settings_; }
  // What the tool asked for last, whether or not the line could take it.
  qdqm::LineSettings requested() const { return requested_; }
  std::vector<Written> writes;
  // Every read that returned bytes, stamped when it returned.
  std::vector<Written> reads;

 private:
  sim::Line line() const;
  void collect();  // moves the device's bytes that have arrived by now into the input queue
  uint64_t nextArrival() const;
  // When a device byte done at `doneUs` reaches the tool, and whether it does at all.
  uint64_t arrival(uint64_t doneUs) const;
  bool troubled(uint64_t doneUs) const { return triggered_ && doneUs > triggerUs_; }
  long readInput(uint8_t* buffer, size_t n);
  // The wire's own damage, each way.
  struct WayState {
    Damaged done;
    double rate = 0;
    std::mt19937_64 random;
    uint64_t nextFlip = 0;        // the bit (counted over the way's bytes) flipped next
    uint64_t stalledUntilUs = 0;  // bytes done before then arrive then (a stretched gap)
  };
  WayState& way(Way w) { return w == Way::ToDevice ? toDevice_ : toTool_; }
  // The fault of `damage` set for the way's next byte, if any.
  const WireFault* wireFault(Way w, Damage damage) const;
  uint64_t nextFlipGap(WayState& w);
  // The data bits of the way's next byte flipped as drawn.
  uint8_t flip(WayState& w, uint8_t byte);

  qdqm::VirtualClock& clock_;
  sim::Device& device_;
  std::string name_;
  qdqm::LineSettings settings_;
  std::deque<uint8_t> input_;
  uint64_t sendingUntilUs_ = 0;
  size_t outputQueue_ = 0;
  qdqm::LineSettings requested_;
  std::set<uint32_t> missingRates_;
  bool noParity_ = false;
  Trouble trouble_ = Trouble::None;
  size_t troubleAfter_ = 0;  // bytes still to be written before the trouble starts
  uint32_t troubleValue_ = 0;
  bool triggered_ = false;
  uint64_t triggerUs_ = 0;
  size_t troubledBytes_ = 0;  // device bytes delivered since the trouble started
  bool lost_ = false;
  std::vector<WireFault> wireFaults_;
  WayState toDevice_, toTool_;
};

class SimPortOpener : public qdqm::PortOpener {
 public:
  explicit SimPortOpener(qdqm::VirtualClock& clock) : clock_(clock) {}
  // Port n leads to `device` on a new line. A line n led to before stays with the handles that
  // hold it (an adapter plugged in again: the number now names another line).
  void attach(unsigned n, sim::Device& device);
  // The line behind port n goes away: it reports lost, and n opens nothing until attached again.
  void unplug(unsigned n);
  void refuse(unsigned n, int error);
  std::unique_ptr<qdqm::SerialDevice> open(unsigned n, int& error) override;
  std::string deviceBehind(unsigned n) const override;
  SimLine* line(unsigned n);

 private:
  qdqm::VirtualClock& clock_;
  std::map<unsigned, std::unique_ptr<SimLine>> lines_;
  std::vector<std::unique_ptr<SimLine>> retired_;
  std::map<unsigned, unsigned> attached_;  // lines made for each port: each gets a name of its own
  std::map<unsigned, int> refused_;
};

}  // namespace qdqm::testing
