// Flow-test transport: simulated devices on in-process lines driven by the virtual clock.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
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

  SimLine(qdqm::VirtualClock& clock, sim::Device& device, std::string name)
      : clock_(clock), device_(device), name_(std::move(name)) {}

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
  bool lost() const override { return false; }

  qdqm::LineSettings settings() const { return settings_; }
  std::vector<Written> writes;
  // Every read that returned bytes, stamped when it returned.
  std::vector<Written> reads;

 private:
  sim::Line line() const;
  void collect();  // moves the device's bytes that have arrived by now into the input queue
  uint64_t nextArrival() const;
  long readInput(uint8_t* buffer, size_t n);

  qdqm::VirtualClock& clock_;
  sim::Device& device_;
  std::string name_;
  qdqm::LineSettings settings_;
  std::deque<uint8_t> input_;
  uint64_t sendingUntilUs_ = 0;
  size_t outputQueue_ = 0;
};

class SimPortOpener : public qdqm::PortOpener {
 public:
  explicit SimPortOpener(qdqm::VirtualClock& clock) : clock_(clock) {}
  void attach(unsigned n, sim::Device& device);
  void refuse(unsigned n, int error);
  std::unique_ptr<qdqm::SerialDevice> open(unsigned n, int& error) override;
  SimLine* line(unsigned n);

 private:
  qdqm::VirtualClock& clock_;
  std::map<unsigned, std::unique_ptr<SimLine>> lines_;
  std::map<unsigned, int> refused_;
};

}  // namespace qdqm::testing
