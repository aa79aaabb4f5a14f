#include "link/posix_serial.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "link/port_info.h"
#include "link/port_map.h"

namespace qdqm {

namespace {

struct RateCode {
  uint32_t baud;
  speed_t code;
};

constexpr RateCode kRates[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

uint64_t monotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1'000'000 + uint64_t(ts.tv_nsec) / 1000;
}

// Wire time of one byte: start bit, 8 data bits, the parity bit when there is one, stop bit.
uint64_t byteTimeUs(const LineSettings& s) {
  const uint64_t bits = s.parity == Parity::None ? 10 : 11;
  const uint64_t baud = s.baud ? s.baud : 19200;
  return bits * 1'000'000 / baud;
}

// The quiet time that ends a read once bytes have come: about three characters at the line's
// rate, between 0.2 ms and 1 ms.
uint64_t interByteUs(const LineSettings& s) {
  return std::clamp<uint64_t>(3 * byteTimeUs(s), 200, 1000);
}

void sleepUntilUs(uint64_t us) {
  const timespec ts{static_cast<time_t>(us / 1'000'000), static_cast<long>(us % 1'000'000) * 1000};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

bool isLineGone(int err) {
  return err == EIO || err == ENXIO || err == ENODEV;
}

}  // namespace

// The C library refuses (EINVAL) settings the kernel accepted when a pty dropped PARENB. The
// settings are then in force except for the parity, which a pty cannot carry anyway.
bool PosixSerialDevice::parityDroppedByPty(const termios& wanted) const {
  termios now{};
  if (errno != EINVAL || !(wanted.c_cflag & PARENB) || tcgetattr(fd_, &now) != 0) return false;
  const tcflag_t parityBits = PARENB | PARODD;
  return (now.c_cflag & ~parityBits) == (wanted.c_cflag & ~parityBits) &&
         now.c_iflag == wanted.c_iflag && now.c_lflag == wanted.c_lflag &&
         now.c_oflag == wanted.c_oflag;
}

std::unique_ptr<PosixSerialDevice> PosixSerialDevice::open(const std::string& path, int& error) {
  error = 0;
  if (path.empty()) {
    error = ENOENT;
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    error = errno;
    ::close(fd);
    return nullptr;
  }
  // TIOCEXCL keeps other users out, the lock keeps out root and a second instance of the tool.
  ioctl(fd, TIOCEXCL);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return nullptr;
  }
  int modem = 0;
  const bool modemLines = ioctl(fd, TIOCMGET, &modem) == 0;
  // USB adapters hold short replies back for their latency timer unless asked not to; devices
  // that do not know the request are fine as they are.
  serial_struct ss{};
  if (ioctl(fd, TIOCGSERIAL, &ss) == 0) {
    ss.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &ss);
  }
  // The read time-outs are fractions of a millisecond; the kernel's default timer slack (50 us)
  // would stretch each of them, once per record.
  prctl(PR_SET_TIMERSLACK, 1UL);
  return std::unique_ptr<PosixSerialDevice>(
      new PosixSerialDevice(fd, shortDeviceName(path), modemLines));
}

PosixSerialDevice::~PosixSerialDevice() {
  ::close(fd_);
}

// The kernel's tty buffers are fixed; the output queue is kept by write() instead, so that a
// stream written without replies (a decoder image) is never further ahead of the wire than the
// queue the procedures were made for, whatever the adapter's driver would buffer.
bool PosixSerialDevice::setQueueSizes(size_t, size_t output) {
  outputQueue_ = output;
  return !lost_;
}

bool PosixSerialDevice::readSettings(LineSettings& out) {
  termios tio{};
  if (lost_ || tcgetattr(fd_, &tio) != 0) return false;
  const speed_t code = cfgetospeed(&tio);
  out.baud = 0;
  for (const RateCode& r : kRates) {
    if (r.code == code) out.baud = r.baud;
  }
  out.parity = !(tio.c_cflag & PARENB)  ? Parity::None
               : (tio.c_cflag & PARODD) ? Parity::Odd
                                        : Parity::Even;
  return true;
}

bool applyLineSettings(termios& tio, const LineSettings& settings) {
  const RateCode* rate = std::find_if(std::begin(kRates), std::end(kRates),
                                      [&](const RateCode& r) { return r.baud == settings.baud; });
  if (rate == std::end(kRates)) return false;
  // Raw 8-bit bytes both ways: images contain every byte value, including CR, LF, XON and XOFF.
  tio.c_iflag &=
      ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  if (settings.parity != Parity::None) tio.c_cflag |= PARENB;
  if (settings.parity == Parity::Odd) tio.c_cflag |= PARODD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, rate->code);
  cfsetospeed(&tio, rate->code);
  return true;
}

bool PosixSerialDevice::writeSettings(const LineSettings& settings) {
  termios tio{};
  if (lost_ || tcgetattr(fd_, &tio) != 0) return false;
  if (!applyLineSettings(tio, settings)) return false;
  // A new rate or parity must not cut the bytes still leaving (a raw end record is followed by
  // no reply): drain the output, and since adapters and ptys report it drained before the last
  // byte is on the wire, also wait for the wire time of what was written.
  if (settings != written_) sleepUntilUs(outputDoneUs_);
  if (tcsetattr(fd_, TCSADRAIN, &tio) != 0 && !parityDroppedByPty(tio)) return false;
  written_ = settings;
  if (modemLines_) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd_, TIOCMBIS, &lines);
  }
  return true;
}

// Reads are bounded by the time-outs in read() itself; what must work is the terminal state.
bool PosixSerialDevice::setReadTimeouts() {
  termios tio{};
  return !lost_ && tcgetattr(fd_, &tio) == 0;
}

// Input is noticed by poll on the descriptor; the descriptor's flags must be readable.
bool PosixSerialDevice::readEventMask() {
  return !lost_ && fcntl(fd_, F_GETFL) >= 0;
}

bool PosixSerialDevice::addReceiveEvent() {
  pollfd p{fd_, POLLIN, 0};
  return !lost_ && ::poll(&p, 1, 0) >= 0 && !(p.revents & POLLNVAL);
}

long PosixSerialDevice::write(const uint8_t* data, size_t n) {
  if (lost_) return -EIO;
  // A full queue is let drain to half before more goes in: one sleep per half queue, not per byte.
  const uint64_t byteUs = byteTimeUs(written_);
  const uint64_t now = monotonicUs();
  if (outputQueue_ > 0 && outputDoneUs_ > now &&
      outputDoneUs_ - now + n * byteUs > outputQueue_ * byteUs) {
    sleepUntilUs(outputDoneUs_ - std::min(outputDoneUs_ - now, outputQueue_ / 2 * byteUs));
  }
  for (int attempt = 0;; ++attempt) {
    const ssize_t w = ::write(fd_, data, n);
    if (w >= 0) {
      outputDoneUs_ = std::max(outputDoneUs_, monotonicUs()) + static_cast<uint64_t>(w) * byteUs;
      return static_cast<long>(w);
    }
    const int err = errno;
    if (err == EINTR) continue;
    if ((err == EAGAIN || err == EWOULDBLOCK) && attempt < 2) {
      // Output queue full: wait for room as a blocking write would.
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 1000);
      if (p.revents & POLLHUP) lost_ = true;
      if (!lost_) continue;
    }
    if (isLineGone(err)) lost_ = true;
    return -err;
  }
}

bool PosixSerialDevice::pollInput(uint64_t us) {
  if (lost_) return false;
  pollfd p{fd_, POLLIN, 0};
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(us / 1'000'000);
  ts.tv_nsec = static_cast<long>((us % 1'000'000) * 1000);
  int r;
  do {
    r = ::ppoll(&p, 1, &ts, nullptr);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return false;
  // A hang-up comes with POLLIN set (the read then gives 0 or EIO): the line is gone, not readable.
  // Bytes the peer sent just before hanging up are given up with it, since the line is gone.
  if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
    lost_ = true;
    return false;
  }
  return (p.revents & POLLIN) != 0;
}

void PosixSerialDevice::waitForInput(uint32_t us) {
  pollInput(us);
}

long PosixSerialDevice::read(uint8_t* buffer, size_t n) {
  if (lost_) return -EIO;
  if (n == 0) return 0;
  const uint64_t start = monotonicUs();
  const uint64_t totalEnd = start + 1000 + 1000 * uint64_t(n);
  const uint64_t quiet = interByteUs(written_);
  size_t got = 0;
  uint64_t lastByte = 0;
  for (;;) {
    const ssize_t r = ::read(fd_, buffer + got, n - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
      lastByte = monotonicUs();
      if (got == n) return static_cast<long>(got);
    } else if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      const int err = errno;
      if (isLineGone(err)) lost_ = true;
      return got ? static_cast<long>(got) : -err;
    }
    const uint64_t now = monotonicUs();
    const uint64_t end = got ? std::min(totalEnd, lastByte + quiet) : totalEnd;
    if (now >= end) return static_cast<long>(got);
    if (!pollInput(end - now)) {
      if (lost_) return got ? static_cast<long>(got) : -EIO;
      if (monotonicUs() >= end) return static_cast<long>(got);
    }
  }
}

long PosixSerialDevice::clearErrorAndCountWaiting() {
  int waiting = 0;
  if (lost_ || ioctl(fd_, TIOCINQ, &waiting) != 0) return -1;
  return waiting;
}

std::unique_ptr<SerialDevice> PosixPortOpener::open(unsigned n, int& error) {
  std::unique_ptr<PosixSerialDevice> device = PosixSerialDevice::open(devicePath(n), error);
  if (device && onOpened) onOpened(device->descriptor());
  return device;
}

std::string PosixPortOpener::deviceBehind(unsigned n) const {
  const std::string path = devicePath(n);
  return path.empty() ? path : shortDeviceName(path);
}

std::string PosixPortOpener::devicePath(unsigned n) const {
  const auto it = assigned_.find(n);
  return it != assigned_.end() ? it->second : devicePathForPort(n);
}

bool PosixPortOpener::assignDevice(unsigned n, const std::string& path) {
  assigned_[n] = path;
  return true;
}

std::string PosixPortOpener::describe(unsigned n, const SerialDevice& opened) const {
  return deviceNote(opened.name(), devicePath(n));
}

}  // namespace qdqm
