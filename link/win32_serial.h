// The serial device on Windows: a COM port through the Win32 communications calls (CreateFile on
// \\.\COMn, DCB, COMMTIMEOUTS, ClearCommError, PurgeComm). Compiled for Windows only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "link/serial_device.h"

// The Win32 types of the interface, declared so that <windows.h> and its macros stay out of the
// files that include this one.
struct _DCB;

namespace qdqm {

// Turns a port's current DCB into the line the modules expect: binary 8-bit bytes, 1 stop bit,
// the parity and rate asked for, DTR and RTS on, no hardware or software flow control, no byte
// replaced or dropped; the other fields stay as they were. False (and `dcb` unchanged) for a
// rate outside the table of the serial layer.
bool applyLineSettings(_DCB& dcb, const LineSettings& settings);
// The settings a DCB holds (a mark or space parity reads as none: the modules use neither).
LineSettings lineSettingsOf(const _DCB& dcb);
// Whether a Win32 error code from a read, a write or ClearCommError means the port went away
// (a USB adapter unplugged): the driver fails every later call the same way.
bool isLineGoneError(unsigned long win32Error);
// The errno-style code the serial layer reports for a Win32 error code.
int errnoForWin32Error(unsigned long win32Error);

class Win32SerialDevice final : public SerialDevice {
 public:
  // Opens the device exclusively; null with an errno-style code in `error` on failure.
  static std::unique_ptr<Win32SerialDevice> open(const std::string& path, int& error);
  ~Win32SerialDevice() override;
  Win32SerialDevice(const Win32SerialDevice&) = delete;
  Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

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
  void* handle() const { return handle_; }

 private:
  Win32SerialDevice(void* handle, std::string name, bool modemLines)
      : handle_(handle), name_(std::move(name)), modemLines_(modemLines) {}
  // Notes the error of the call that just failed; its errno-style code.
  int failed();

  void* handle_;
  std::string name_;
  bool modemLines_;
  bool lost_ = false;
  unsigned long eventMask_ = 0;  // as read by readEventMask
  LineSettings written_;         // what the last writeSettings asked for
  uint64_t outputDoneUs_ = 0;    // when the last byte written has left, on the steady clock
};

// Opens "COM" n as \\.\COMn: port numbers are the system's own COM numbers.
class Win32PortOpener final : public PortOpener {
 public:
  std::unique_ptr<SerialDevice> open(unsigned n, int& error) override;
  std::string devicePath(unsigned n) const override;
  std::string describe(unsigned n, const SerialDevice& opened) const override;
  // Told the handle of every device opened (the console's interrupt handling needs it).
  void (*onOpened)(void* handle) = nullptr;
};

}  // namespace qdqm
