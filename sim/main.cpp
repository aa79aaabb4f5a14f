// qdqm-sim: one simulated module on a pseudo-terminal, linked as COMn in the port directory.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

#include "sim/controller.h"
#include "sim/intel_hex.h"

namespace {

using qdqm::sim::Controller;
using qdqm::sim::Faults;
using qdqm::sim::Profile;

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) {
  stopRequested = 1;
}

constexpr int kUsage = 64;

void usage(FILE* to) {
  std::fprintf(to,
               "usage: qdqm-sim --com N --module TYPE [options]\n"
               "  --com N             link the pty as COMN in the port directory\n"
               "  --module TYPE       reported type (5 characters, or 4 like PS17)\n"
               "  --protocol raw|record\n"
               "  --version X.YY      software version in hex digits (1.05 = 01 05)\n"
               "  --bootloader X.YY   boot-loader version in hex digits\n"
               "  --new-version X.YY  version reported after a programming reset\n"
               "  --hw R              hardware revision byte (1, 26, 0x1a)\n"
               "  --top-speed D       0 none, 1 38400, 2 57600, 3 115200\n"
               "  --wake-up           listens at 2400 baud until woken\n"
               "  --wire-timing       pace both directions at the line's rate\n"
               "  --report-flash      print a line when programming starts and one when it ends\n"
               "  --flash-out FILE    write the programmed flash as Intel-HEX on exit\n"
               "  --fault FAULT       add a fault (may repeat):\n%.*s",
               static_cast<int>(qdqm::sim::faultHelp().size()), qdqm::sim::faultHelp().data());
}

bool hexVersion(std::string_view text, std::array<uint8_t, 2>& out) {
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos) return false;
  unsigned major = 0, minor = 0;
  const auto a = std::from_chars(text.data(), text.data() + dot, major, 16);
  const auto b = std::from_chars(text.data() + dot + 1, text.data() + text.size(), minor, 16);
  if (a.ec != std::errc{} || a.ptr != text.data() + dot || b.ec != std::errc{} ||
      b.ptr != text.data() + text.size() || major > 255 || minor > 255) {
    return false;
  }
  out = {static_cast<uint8_t>(major), static_cast<uint8_t>(minor)};
  return true;
}

std::filesystem::path portDirectory() {
  if (const char* d = std::getenv("QDQM_PORT_DIR"); d && *d) return d;
  if (const char* r = std::getenv("XDG_RUNTIME_DIR"); r && *r) {
    return std::filesystem::path(r) / "qdqm-update" / "ports";
  }
  return "/tmp/qdqm-update-" + std::to_string(getuid()) + "/ports";
}

uint64_t nowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1'000'000 + uint64_t(ts.tv_nsec) / 1000;
}

// The programming as seen on the wire, from the first record after an erase to the last record
// and its reply: how long it took and how long its bytes need at the line's rate (10 bits each).
class FlashReport {
 public:
  explicit FlashReport(FILE* to) : to_(to) {}

  // A byte from the tool whose last bit arrived at atUs.
  void byteIn(uint8_t byte, uint32_t baud, uint64_t atUs) {
    if (byte == ':') {
      lineStartUs_ = atUs - wireNs(baud) / 1000;
      atLineStart_ = now_;
    }
    ++now_.bytesIn;
    now_.wireNs += wireNs(baud);
  }
  // After the device took a byte: its new reply bytes and what the byte did to the programming.
  void afterReceive(Controller& device, size_t firstNew, uint32_t baud, uint64_t atUs) {
    const auto& out = device.output();
    uint64_t endUs = atUs;
    for (size_t i = firstNew; i < out.size(); ++i) {
      ++now_.bytesOut;
      now_.wireNs += wireNs(out[i].line.baud);
      endUs = std::max(endUs, out[i].doneUs);
    }
    if (device.erases() != erases_) {
      erases_ = device.erases();
      open_ = ended_ = false;
    }
    if (device.recordsTaken() != records_) {
      records_ = device.recordsTaken();
      if (erases_ > 0 && !open_ && !ended_ && records_ > 0) {
        open_ = true;
        startUs_ = lineStartUs_;
        start_ = atLineStart_;
        std::fprintf(to_, "flash start %llu\n", static_cast<unsigned long long>(startUs_));
        std::fflush(to_);
      }
      if (open_) {
        end_ = now_;
        endUs_ = endUs;
        baud_ = baud;
        count_ = records_;
      }
    }
    if (open_ && device.programmingEnded()) print(true);
  }
  // At exit: a programming whose end the module never recognised (its end record arrived
  // garbled, or the tool stopped) is reported up to its last record.
  void finish() {
    if (open_) print(false);
  }

 private:
  struct Counts {
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    double wireNs = 0;
  };
  static double wireNs(uint32_t baud) { return baud ? 10.0 * 1e9 / baud : 0; }
  void print(bool ended) {
    open_ = false;
    ended_ = true;
    std::fprintf(to_,
                 "flash end %llu records %u baud %u bytes-in %llu bytes-out %llu wire-us %.0f "
                 "wall-us %llu ended %d\n",
                 static_cast<unsigned long long>(endUs_), count_, baud_,
                 static_cast<unsigned long long>(end_.bytesIn - start_.bytesIn),
                 static_cast<unsigned long long>(end_.bytesOut - start_.bytesOut),
                 (end_.wireNs - start_.wireNs) / 1000.0,
                 static_cast<unsigned long long>(endUs_ - startUs_), ended ? 1 : 0);
    std::fflush(to_);
  }

  FILE* to_;
  Counts now_, atLineStart_, start_, end_;
  uint64_t lineStartUs_ = 0, startUs_ = 0, endUs_ = 0;
  unsigned erases_ = 0, records_ = 0, count_ = 0;
  uint32_t baud_ = 0;
  bool open_ = false, ended_ = false;
};

uint32_t baudOf(speed_t s) {
  switch (s) {
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    default:
      return 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Profile profile;
  Faults faults;
  unsigned com = 0;
  bool wireTiming = false;
  bool reportFlash = false;
  std::string flashOut;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help") {
      usage(stdout);
      return 0;
    }
    auto value = [&]() -> std::string_view { return i + 1 < argc ? argv[++i] : ""; };
    bool ok = true;
    if (a == "--com") {
      const std::string_view v = value();
      ok = std::from_chars(v.data(), v.data() + v.size(), com).ec == std::errc{} && com > 0;
    } else if (a == "--module") {
      profile.type = value();
      ok = profile.type.size() == 4 || profile.type.size() == 5;
    } else if (a == "--protocol") {
      const std::string_view v = value();
      ok = v == "raw" || v == "record";
      profile.protocol = v == "record" ? qdqm::sim::Protocol::Record : qdqm::sim::Protocol::Raw;
    } else if (a == "--version") {
      ok = hexVersion(value(), profile.software);
    } else if (a == "--bootloader") {
      ok = hexVersion(value(), profile.bootLoader);
    } else if (a == "--new-version") {
      ok = hexVersion(value(), profile.versionAfterReset);
    } else if (a == "--hw") {
      // The revision as the module reports it: a byte value, decimal or 0x-prefixed hex.
      const std::string v(value());
      char* end = nullptr;
      const unsigned long r = std::strtoul(v.c_str(), &end, 0);
      ok = !v.empty() && *end == '\0' && r <= 0xFF;
      if (ok) profile.hardware = static_cast<uint8_t>(r);
    } else if (a == "--top-speed") {
      const std::string_view v = value();
      ok = v.size() == 1 && v[0] >= '0' && v[0] <= '3';
      if (ok) profile.topSpeed = v[0];
    } else if (a == "--wake-up") {
      profile.needsWakeUp = true;
    } else if (a == "--wire-timing") {
      wireTiming = true;
    } else if (a == "--report-flash") {
      reportFlash = true;
    } else if (a == "--flash-out") {
      flashOut = value();
      ok = !flashOut.empty();
    } else if (a == "--fault") {
      ok = qdqm::sim::parseFault(value(), faults) == 1;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "qdqm-sim: bad argument %s\n", argv[i]);
      usage(stderr);
      return kUsage;
    }
  }
  if (com == 0) {
    usage(stderr);
    return kUsage;
  }

  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("qdqm-sim: pty");
    return 1;
  }
  const std::string slavePath = ptsname(master);
  // Our own slave descriptor keeps the master readable while the tool has the port closed.
  const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
  if (slave < 0) {
    std::perror("qdqm-sim: slave");
    return 1;
  }
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  cfsetspeed(&tio, B19200);
  tcsetattr(slave, TCSANOW, &tio);

  const std::filesystem::path dir = portDirectory();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  const std::filesystem::path link = dir / ("COM" + std::to_string(com));
  std::filesystem::remove(link, ec);
  std::filesystem::create_symlink(slavePath, link, ec);
  if (ec) {
    std::fprintf(stderr, "qdqm-sim: cannot link %s: %s\n", link.c_str(), ec.message().c_str());
    return 1;
  }

  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  Controller device(profile, faults);
  device.setWireTiming(wireTiming);
  // Byte times are tens of microseconds; the default timer slack of 50 us would stretch them.
  if (wireTiming) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::printf("COM%u %s\n", com, slavePath.c_str());
  std::fflush(stdout);

  FlashReport report(stdout);
  // With wire timing the bytes the tool writes reach the module one after another at the line's
  // rate, as they leave a real UART; a pty hands them over at once.
  double inboundDoneNs = 0;
  while (!stopRequested) {
    // Deliver the reply bytes that are due, then sleep until the next one or new input.
    const uint64_t now = nowUs();
    auto& out = device.output();
    std::string due;
    while (!out.empty() && out.front().doneUs <= now) {
      due.push_back(static_cast<char>(out.front().byte));
      out.pop_front();
    }
    if (!due.empty() && write(master, due.data(), due.size()) < 0 && errno != EAGAIN) break;
    // Microsecond waits: at 115200 baud a byte takes 87 us, a millisecond poll would dominate.
    timespec wait{};
    const bool pending = !out.empty();
    if (pending) {
      const uint64_t us = out.front().doneUs - now;
      wait.tv_sec = static_cast<time_t>(us / 1'000'000);
      wait.tv_nsec = static_cast<long>(us % 1'000'000) * 1000;
    }
    pollfd p{master, POLLIN, 0};
    const int r = ppoll(&p, 1, pending ? &wait : nullptr, nullptr);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0 || !(p.revents & POLLIN)) continue;
    uint8_t buffer[256];
    const long n = read(master, buffer, sizeof buffer);
    if (n <= 0) continue;
    termios now_tio{};
    tcgetattr(master, &now_tio);
    const qdqm::sim::Line sent{baudOf(cfgetospeed(&now_tio)), qdqm::sim::Parity::None};
    // Parity is not visible on a pty: compare the rate only.
    qdqm::sim::Line heard = sent;
    heard.parity = device.listening().parity;
    const double atNs = static_cast<double>(nowUs()) * 1000;
    const double stepNs = wireTiming && sent.baud ? 10.0 * 1e9 / sent.baud : 0;
    inboundDoneNs = std::max(inboundDoneNs, atNs);
    for (long i = 0; i < n; ++i) {
      inboundDoneNs += stepNs;
      const uint64_t at = static_cast<uint64_t>(inboundDoneNs / 1000);
      const size_t before = out.size();
      device.receive(buffer[i], heard, at);
      if (reportFlash) {
        report.byteIn(buffer[i], sent.baud, at);
        report.afterReceive(device, before, sent.baud, at);
      }
    }
  }

  if (reportFlash) report.finish();
  std::filesystem::remove(link, ec);
  close(slave);
  close(master);
  if (!flashOut.empty()) {
    FILE* f = std::fopen(flashOut.c_str(), "w");
    if (!f) return 1;
    const std::string hex = qdqm::sim::toIntelHex(device.flash());
    std::fwrite(hex.data(), 1, hex.size(), f);
    std::fclose(f);
  }
  return 0;
}
