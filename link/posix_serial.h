// The serial device on a Linux tty (real port, USB adapter or pty) through termios.
#pragma once

#include <termios.h>

#include <map>
#include <memory>
#include <string>

#include "link/serial_device.h"

namespace qdqm {

// Turns a tty's current settings into the line the modules expect: raw 8-bit bytes both ways,
// 1 stop bit, no flow control, the parity and rate asked for; the rest stays as it was. False
// (and `tio` unchanged) for a rate the tty layer has no code for.
bool applyLineSettings(termios& tio, const LineSettings& settings);

class PosixSerialDevice final : public SerialDevice {
 public:
  // Opens the device exclusively; null with an errno code in `error` on failure.
  static std::unique_ptr<PosixSerialDevice> open(const std::string& path, int& error);
  ~PosixSerialDevice() override;
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  bool hasModemLines() const override { return modemLines_; }
  std::string name() const override { return name_; }
  bool setQueueSizes(size_t input, size_t output) override;
  bool readSettings(LineSettings& out) override;
  bool writeSettings(const LineSettings& settings) override;
  bool setReadTimeouts() override;
  bool readEventMask() override;
  bool addReceiveEvent() override;
  long write(const uint8_t* data, size_t n) override;
  void waitForInput(uint32_t us) override;
  long read(uint8_t* buffer, size_t n) override;
  long clearErrorAndCountWaiting() override;
  bool lost() const override { return lost_; }
  int descriptor() const { return fd_; }

 private:
  PosixSerialDevice(int fd, std::string name, bool modemLines)
      : fd_(fd), name_(std::move(name)), modemLines_(modemLines) {}
  // Waits up to `us` for input; false on time-out or a lost line.
  bool pollInput(uint64_t us);
  bool parityDroppedByPty(const termios& wanted) const;

  int fd_;
  std::string name_;
  bool modemLines_;
  bool lost_ = false;
  LineSettings written_;       // what the last writeSettings asked for (ptys do not keep parity)
  uint64_t outputDoneUs_ = 0;  // when the last byte written has left, on the monotonic clock
  size_t outputQueue_ = 0;     // bytes that may wait to be sent (0: no limit)
};

// Opens "COM" n as the device the port map gives for n, or the one assigned to n.
class PosixPortOpener final : public PortOpener {
 public:
  std::unique_ptr<SerialDevice> open(unsigned n, int& error) override;
  std::string deviceBehind(unsigned n) const override;
  std::string devicePath(unsigned n) const override;
  bool assignDevice(unsigned n, const std::string& path) override;
  std::string describe(unsigned n, const SerialDevice& opened) const override;
  // Told the descriptor of every device opened (the terminal's interrupt handling needs it).
  void (*onOpened)(int fd) = nullptr;

 private:
  std::map<unsigned, std::string> assigned_;
};

}  // namespace qdqm
