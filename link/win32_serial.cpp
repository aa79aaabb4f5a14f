#include "link/win32_serial.h"

#include <windows.h>
// windows.h first: timeapi.h needs its types.
#include <timeapi.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "link/port_info.h"
#include "link/port_map.h"

namespace qdqm {

namespace {

constexpr uint32_t kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
// Polls of the input count while waiting for input: Sleep(1) with the timer at 1 ms.
constexpr DWORD kWaitStepMs = 1;

uint64_t steadyUs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

// Wire time of one byte: start bit, 8 data bits, the parity bit when there is one, stop bit.
uint64_t byteTimeUs(const LineSettings& s) {
  const uint64_t bits = s.parity == Parity::None ? 10 : 11;
  const uint64_t baud = s.baud ? s.baud : 19200;
  return bits * 1'000'000 / baud;
}

void sleepUntilUs(uint64_t t) {
  for (uint64_t now = steadyUs(); now < t; now = steadyUs())
    Sleep(static_cast<DWORD>((t - now + 999) / 1000));
}

}  // namespace

bool applyLineSettings(DCB& dcb, const LineSettings& settings) {
  if (std::find(std::begin(kRates), std::end(kRates), settings.baud) == std::end(kRates))
    return false;
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = settings.baud;
  dcb.ByteSize = 8;
  dcb.StopBits = ONESTOPBIT;
  dcb.Parity = settings.parity == Parity::Odd    ? ODDPARITY
               : settings.parity == Parity::Even ? EVENPARITY
                                                 : NOPARITY;
  dcb.fParity = settings.parity != Parity::None;
  // Images contain every byte value, XON, XOFF and 0 included: nothing is stripped, replaced or
  // taken as flow control, and a line error does not stop the reads until it is cleared.
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  return true;
}

LineSettings lineSettingsOf(const DCB& dcb) {
  LineSettings s;
  s.baud = dcb.BaudRate;
  s.parity = dcb.Parity == ODDPARITY    ? Parity::Odd
             : dcb.Parity == EVENPARITY ? Parity::Even
                                        : Parity::None;
  return s;
}

bool isLineGoneError(unsigned long win32Error) {
  switch (win32Error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_OPERATION_ABORTED:
    // What wine reports once the tty behind the port has hung up.
    case ERROR_NOT_READY:
      return true;
    default:
      return false;
  }
}

int errnoForWin32Error(unsigned long win32Error) {
  switch (win32Error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    // A COM port is opened without sharing: another program holding it gives access denied.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EBUSY;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      return ENOTTY;
    default:
      return EIO;
  }
}

std::unique_ptr<Win32SerialDevice> Win32SerialDevice::open(const std::string& path, int& error) {
  error = 0;
  // Synchronous I/O, no sharing: one program at a time owns the port.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = errnoForWin32Error(GetLastError());
    return nullptr;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  // Anything but a communications device (a file, a printer port) has no DCB.
  if (!GetCommState(h, &dcb)) {
    error = ENOTTY;
    CloseHandle(h);
    return nullptr;
  }
  DWORD modem = 0;
  const bool modemLines = GetCommModemStatus(h, &modem) != 0;
  // Bytes a previous user of the port left in the driver's queues are not this run's replies.
  PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
  // The exchange's 1 ms pauses and waits need the system timer at 1 ms (15.6 ms by default).
  timeBeginPeriod(1);
  return std::unique_ptr<Win32SerialDevice>(
      new Win32SerialDevice(h, shortDeviceName(path), modemLines));
}

Win32SerialDevice::~Win32SerialDevice() {
  CloseHandle(handle_);
  timeEndPeriod(1);
}

int Win32SerialDevice::failed() {
  const DWORD err = GetLastError();
  if (isLineGoneError(err)) lost_ = true;
  return errnoForWin32Error(err);
}

bool Win32SerialDevice::setQueueSizes(size_t input, size_t output) {
  if (lost_) return false;
  if (SetupComm(handle_, static_cast<DWORD>(input), static_cast<DWORD>(output))) return true;
  failed();
  return false;
}

bool Win32SerialDevice::readSettings(LineSettings& out) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (lost_ || !GetCommState(handle_, &dcb)) return false;
  out = lineSettingsOf(dcb);
  return true;
}

bool Win32SerialDevice::writeSettings(const LineSettings& settings) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (lost_ || !GetCommState(handle_, &dcb)) return false;
  if (!applyLineSettings(dcb, settings)) return false;
  // A new rate or parity must not cut the bytes still leaving (a raw end record is followed by
  // no reply): a write returns when the driver has the bytes, not when they are on the wire.
  if (settings != written_) sleepUntilUs(outputDoneUs_);
  if (!SetCommState(handle_, &dcb)) return false;
  written_ = settings;
  return true;
}

bool Win32SerialDevice::setReadTimeouts() {
  COMMTIMEOUTS t{};
  if (lost_ || !GetCommTimeouts(handle_, &t)) return false;
  // 1 ms between two bytes; 1 ms + 1 ms per requested byte for one read. Write time-outs stay.
  t.ReadIntervalTimeout = 1;
  t.ReadTotalTimeoutMultiplier = 1;
  t.ReadTotalTimeoutConstant = 1;
  return SetCommTimeouts(handle_, &t) != 0;
}

bool Win32SerialDevice::readEventMask() {
  return !lost_ && GetCommMask(handle_, &eventMask_) != 0;
}

bool Win32SerialDevice::addReceiveEvent() {
  return !lost_ && SetCommMask(handle_, eventMask_ | EV_RXCHAR) != 0;
}

long Win32SerialDevice::write(const uint8_t* data, size_t n) {
  if (lost_) return -EIO;
  DWORD written = 0;
  if (!WriteFile(handle_, data, static_cast<DWORD>(n), &written, nullptr)) return -failed();
  outputDoneUs_ = std::max(outputDoneUs_, steadyUs()) + written * byteTimeUs(written_);
  return static_cast<long>(written);
}

// Polls the input count in 1 ms sleeps. WaitCommEvent would need the port opened for overlapped
// I/O (on a synchronous handle it blocks without a time-out), which would change every read and
// write; a poll per millisecond costs nothing measurable and wakes within the cycle's 1 ms.
void Win32SerialDevice::waitForInput(uint32_t us) {
  const uint64_t end = steadyUs() + us;
  for (;;) {
    const long waiting = clearErrorAndCountWaiting();
    // A state that cannot be read (and is no lost line) waits as an empty queue does.
    if (waiting > 0 || lost_ || steadyUs() >= end) return;
    Sleep(kWaitStepMs);
  }
}

long Win32SerialDevice::read(uint8_t* buffer, size_t n) {
  if (lost_) return -EIO;
  if (n == 0) return 0;
  DWORD got = 0;
  // The read time-outs of setReadTimeouts bound the call.
  if (!ReadFile(handle_, buffer, static_cast<DWORD>(n), &got, nullptr)) return -failed();
  return static_cast<long>(got);
}

long Win32SerialDevice::clearErrorAndCountWaiting() {
  DWORD errors = 0;
  COMSTAT stat{};
  if (lost_) return -1;
  if (!ClearCommError(handle_, &errors, &stat)) {
    failed();
    return -1;
  }
  return static_cast<long>(stat.cbInQue);
}

std::unique_ptr<SerialDevice> Win32PortOpener::open(unsigned n, int& error) {
  const std::string path = devicePathForPort(n);
  if (path.empty()) {
    error = ENOENT;
    return nullptr;
  }
  std::unique_ptr<Win32SerialDevice> device = Win32SerialDevice::open(path, error);
  if (device && onOpened) onOpened(device->handle());
  return device;
}

std::string Win32PortOpener::devicePath(unsigned n) const {
  return devicePathForPort(n);
}

std::string Win32PortOpener::describe(unsigned n, const SerialDevice& opened) const {
  return deviceNote(opened.name(), devicePathForPort(n));
}

}  // namespace qdqm
