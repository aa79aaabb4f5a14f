// The reference exchange of the benchmark: the serial cycle taken literally, as the tool ran it on
// its original platform. The 1 ms pause of every cycle busy-waits on the monotonic clock without
// yielding the processor, and a read lasts its whole total time-out (1 ms + 1 ms per requested
// byte, 6 ms for the exchange's 5-byte reads) unless all requested bytes came earlier. Everything
// else is the POSIX device underneath.
#pragma once

#include <memory>

#include "link/serial_device.h"

namespace qdqm::bench {

class LiteralSerialDevice final : public SerialDevice {
 public:
  explicit LiteralSerialDevice(std::unique_ptr<SerialDevice> inner) : inner_(std::move(inner)) {}

  bool hasModemLines() const override { return inner_->hasModemLines(); }
  std::string name() const override { return inner_->name(); }
  bool setQueueSizes(size_t input, size_t output) override {
    return inner_->setQueueSizes(input, output);
  }
  bool readSettings(LineSettings& out) override { return inner_->readSettings(out); }
  bool writeSettings(const LineSettings& settings) override {
    return inner_->writeSettings(settings);
  }
  bool setReadTimeouts() override { return inner_->setReadTimeouts(); }
  bool readEventMask() override { return inner_->readEventMask(); }
  bool addReceiveEvent() override { return inner_->addReceiveEvent(); }
  long write(const uint8_t* data, size_t n) override { return inner_->write(data, n); }
  // Busy-waits the full time, whether bytes come or not.
  void waitForInput(uint32_t us) override;
  // Ends when n bytes are in or after 1 ms + 1 ms per requested byte, never earlier.
  long read(uint8_t* buffer, size_t n) override;
  long clearErrorAndCountWaiting() override { return inner_->clearErrorAndCountWaiting(); }
  bool lost() const override { return inner_->lost(); }

 private:
  std::unique_ptr<SerialDevice> inner_;
};

// Opens ports as the tool does and wraps them in the literal cycle.
class LiteralPortOpener final : public PortOpener {
 public:
  explicit LiteralPortOpener(PortOpener& inner) : inner_(inner) {}
  std::unique_ptr<SerialDevice> open(unsigned n, int& error) override;

 private:
  PortOpener& inner_;
};

}  // namespace qdqm::bench
