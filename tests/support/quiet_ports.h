// Ports for window tests: a line that never answers, and an opener where chosen port numbers
// exist, are refused with an errno, or are missing.
#pragma once

#include <cerrno>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "link/serial_device.h"

namespace qdqm::testing {

class QuietLine final : public SerialDevice {
 public:
  explicit QuietLine(std::string name) : name_(std::move(name)) {}
  bool hasModemLines() const override { return false; }
  std::string name() const override { return name_; }
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
  long write(const uint8_t*, size_t n) override { return static_cast<long>(n); }
  void waitForInput(uint32_t) override {}
  long read(uint8_t*, size_t) override { return 0; }
  long clearErrorAndCountWaiting() override { return 0; }
  bool lost() const override { return false; }

 private:
  std::string name_;
  LineSettings settings_;
};

// Ports that exist open; every other number fails with its configured errno (ENOENT by default).
// Port n leads to "/dev/fakeN" unless `devices` names another device for it (an adapter plugged
// in again).
class ProbeOpener final : public PortOpener {
 public:
  explicit ProbeOpener(std::set<unsigned> present) : present(std::move(present)) {}
  std::unique_ptr<SerialDevice> open(unsigned n, int& error) override {
    opened.push_back(n);
    if (auto it = refused.find(n); it != refused.end()) {
      error = it->second;
      return nullptr;
    }
    if (!present.contains(n)) {
      error = ENOENT;
      return nullptr;
    }
    return std::make_unique<QuietLine>(deviceBehind(n));
  }
  std::string deviceBehind(unsigned n) const override {
    const auto it = devices.find(n);
    return it != devices.end() ? it->second : "/dev/fake" + std::to_string(n);
  }
  std::string devicePath(unsigned n) const override { return deviceBehind(n); }
  std::set<unsigned> present;
  std::map<unsigned, int> refused;
  std::map<unsigned, std::string> devices;
  std::vector<unsigned> opened;
};

}  // namespace qdqm::testing
