// qdqm-sim: one simulated module, or a base unit with modules in its slots, on a pseudo-terminal,
// linked as COMn in the port directory.
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/base_unit.h"
#include "sim/controller.h"
#include "sim/intel_hex.h"
#include "sim/options.h"

namespace {

using qdqm::sim::BaseUnit;
using qdqm::sim::Controller;
using qdqm::sim::Device;
using qdqm::sim::Line;
using qdqm::sim::ModuleOptions;

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) {
  stopRequested = 1;
}

constexpr int kUsage = 64;

void usage(FILE* to) {
  std::fprintf(to,
               "usage: qdqm-sim --com N --module TYPE [module options]\n"
               "       qdqm-sim --com N --base-unit A|B [--base-version X.YY]\n"
               "                [--slot K=TYPE [--code 0xNN] [module options]]...\n"
               "  --com N             link the pty as COMN in the port directory\n"
               "  --base-unit A|B     a base unit with 8 (A) or 9 (B) slots instead of one module\n"
               "  --base-version X.YY the base unit's version in hex digits (default 2.22)\n"
               "  --slot K=TYPE       a module of TYPE in slot K; the module options after it,\n"
               "                      up to the next --slot, are that module's\n"
               "  --code 0xNN         the slot's type code (default by type)\n"
               "module options:\n"
               "  --module TYPE       reported type (5 characters, or 4 like PS17)\n"
               "  --protocol raw|record\n"
               "  --version X.YY      software version in hex digits (1.05 = 01 05)\n"
               "  --bootloader X.YY   boot-loader version in hex digits\n"
               "  --new-version X.YY  version reported after a programming reset\n"
               "  --hw R              hardware revision byte (1, 26, 0x1a)\n"
               "  --top-speed D       0 none, 1 38400, 2 57600, 3 115200\n"
               "  --wake-up           listens at 2400 baud until woken\n"
               "  --restart-ms MS     silence after a restart (default 1500)\n"
               "  --coprocessor none|fpga|crc32|crc16\n"
               "                      what answers the update mode (default by module type)\n"
               "  --coproc-version D.DD\n"
               "                      its version, 4 characters (default 1.00)\n"
               "  --coproc-new-version D.DD\n"
               "                      its version after a good image (default 2.00)\n"
               "  --fpga-version HHHH the FPGA's two version bytes (default 0000)\n"
               "  --fpga-new-version HHHH\n"
               "                      the FPGA's version after a good image (default 0100)\n"
               "  --decoder none|swid|vers|bootloader\n"
               "                      the decoder the MPEG update mode routes the line to\n"
               "                      (default by module type)\n"
               "  --decoder-version TEXT\n"
               "                      the version text it reports (default by kind)\n"
               "  --decoder-new-version TEXT\n"
               "                      the version text after an update (default by kind)\n"
               "  --decoder-bootloader X.YY\n"
               "                      the boot-loader decoder's loader version (default 0.90)\n"
               "  --decoder-restart-ms MS\n"
               "                      swid: quiet after the image (default 3000)\n"
               "  --flash-out FILE    write the programmed flash as Intel-HEX on exit\n"
               "  --fpga-out FILE     write the FPGA flash as raw bytes on exit\n"
               "  --decoder-out FILE  write the decoder flash as raw bytes on exit (the routed\n"
               "                      decoder's when the module has one)\n"
               "  --fault FAULT       add a fault (may repeat):\n%.*s"
               "  wrong-slot-byte[=N]\n"
               "                    after --slot: the base unit's answers for that slot end\n"
               "                    in the slot number + 1 (from its Nth slot frame on)\n"
               "  --wire-timing       pace both directions at the line's rate\n"
               "  --report-flash      print a line when programming starts and one when it ends,\n"
               "                      the same for a coprocessor or decoder transfer; with a\n"
               "                      base unit also a line at every slot select and at the\n"
               "                      first slot frame to a slot after a select or another slot\n",
               static_cast<int>(qdqm::sim::faultHelp().size()), qdqm::sim::faultHelp().data());
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

// Bytes both ways and their wire time, each at its line's bits a byte, counted from the start; a
// window's figures are the difference of two counts.
struct Counts {
  uint64_t bytesIn = 0;
  uint64_t bytesOut = 0;
  double wireNs = 0;
};

// One stretch of traffic, printed as "NAME start T" when it opens and "NAME end T UNIT N baud B
// bytes-in I bytes-out O wire-us W wall-us D FLAG F" when it closes; a module in a base unit's
// slot prefixes its lines with "slot K ".
class Window {
 public:
  Window(FILE* to, const std::string& prefix, const char* name, const char* unit, const char* flag)
      : to_(to), name_(prefix + name), unit_(unit), flag_(flag) {}
  bool isOpen() const { return open_; }
  void discard() { open_ = false; }
  void open(uint64_t startUs, const Counts& start) {
    open_ = true;
    startUs_ = endUs_ = startUs;
    start_ = end_ = start;
    std::fprintf(to_, "%s start %llu\n", name_.c_str(), static_cast<unsigned long long>(startUs_));
    std::fflush(to_);
  }
  // The window now reaches up to endUs and the bytes counted so far.
  void extend(uint64_t endUs, const Counts& now, uint32_t baud, unsigned count) {
    endUs_ = endUs;
    end_ = now;
    baud_ = baud;
    count_ = count;
  }
  void close(int flag) {
    open_ = false;
    std::fprintf(to_,
                 "%s end %llu %s %u baud %u bytes-in %llu bytes-out %llu wire-us %.0f "
                 "wall-us %llu %s %d\n",
                 name_.c_str(), static_cast<unsigned long long>(endUs_), unit_, count_, baud_,
                 static_cast<unsigned long long>(end_.bytesIn - start_.bytesIn),
                 static_cast<unsigned long long>(end_.bytesOut - start_.bytesOut),
                 (end_.wireNs - start_.wireNs) / 1000.0,
                 static_cast<unsigned long long>(endUs_ - startUs_), flag_, flag);
    std::fflush(to_);
  }

 private:
  FILE* to_;
  std::string name_;
  const char* unit_;
  const char* flag_;
  Counts start_, end_;
  uint64_t startUs_ = 0, endUs_ = 0;
  unsigned count_ = 0;
  uint32_t baud_ = 0;
  bool open_ = false;
};

// The programming as seen on the wire, from the first record after an erase to the last record
// and its reply, and a coprocessor transfer from its first data frame to the CRC check's reply:
// how long they took and how long their bytes need at the line's rate. A routed decoder delimits
// its transfers itself; they are printed as "decoder start T" and "decoder end T kind K bytes-in I
// bytes-out O wire-us W wall-us D ok F".
class WireReport {
 public:
  explicit WireReport(FILE* to, std::string prefix = {})
      : to_(to),
        prefix_(std::move(prefix)),
        flash_(to, prefix_, "flash", "records", "ended"),
        coproc_(to, prefix_, "coproc", "blocks", "ok") {}

  // A byte from the tool whose last bit arrives at atUs, before the device takes it.
  void byteIn(const Controller& device, uint8_t byte, const Line& line, uint64_t atUs) {
    const double byteNs = qdqm::sim::byteTimeNs(line);
    const auto startUs = static_cast<uint64_t>(static_cast<double>(atUs) - byteNs / 1000);
    if (byte == ':') {
      lineStartUs_ = startUs;
      atLineStart_ = now_;
    }
    if (device.frameMode() && !device.frameInProgress()) {
      frameStartUs_ = startUs;
      atFrameStart_ = now_;
    }
    ++now_.bytesIn;
    now_.wireNs += byteNs;
  }
  // After the device took a byte: its new reply bytes and what the byte did to the programming
  // and to a coprocessor transfer.
  void afterReceive(Controller& device, size_t firstNew, const Line& line, uint64_t atUs) {
    const auto& out = device.output();
    uint64_t endUs = atUs;
    for (size_t i = firstNew; i < out.size(); ++i) {
      ++now_.bytesOut;
      now_.wireNs += qdqm::sim::byteTimeNs(out[i].line);
      endUs = std::max(endUs, out[i].doneUs);
    }
    flash(device, line.baud, endUs);
    coprocessor(device, line.baud, endUs);
    decoder(device);
  }
  // At exit: a programming whose end the module never recognised (its end record arrived
  // garbled, or the tool stopped) is reported up to its last record, a transfer without CRC check
  // up to its last data frame.
  void finish(const Controller& device) {
    if (flash_.isOpen()) flash_.close(0);
    if (coproc_.isOpen()) coproc_.close(0);
    decoder(device);
  }

 private:
  void flash(const Controller& device, uint32_t baud, uint64_t endUs) {
    if (device.erases() != erases_) {
      erases_ = device.erases();
      flashDone_ = false;
      flash_.discard();
    }
    if (device.recordsTaken() != records_) {
      records_ = device.recordsTaken();
      if (erases_ > 0 && !flash_.isOpen() && !flashDone_ && records_ > 0) {
        flash_.open(lineStartUs_, atLineStart_);
      }
      if (flash_.isOpen()) flash_.extend(endUs, now_, baud, records_);
    }
    if (flash_.isOpen() && device.programmingEnded()) {
      flashDone_ = true;
      flash_.close(1);
    }
  }
  void coprocessor(const Controller& device, uint32_t baud, uint64_t endUs) {
    if (device.dataFrames() != frames_) {
      // The first data frame since the controller entered frame mode opens the window.
      if (frames_ == 0) {
        if (coproc_.isOpen()) coproc_.close(0);
        coproc_.open(frameStartUs_, atFrameStart_);
      }
      frames_ = device.dataFrames();
      if (frames_ == 0 && coproc_.isOpen()) coproc_.close(0);
      if (coproc_.isOpen()) coproc_.extend(endUs, now_, baud, device.dataBlocks());
    }
    if (device.crcChecks() != checks_) {
      checks_ = device.crcChecks();
      if (coproc_.isOpen()) {
        coproc_.extend(endUs, now_, baud, device.dataBlocks());
        coproc_.close(device.lastCheckGood() ? 1 : 0);
      }
    }
  }

  void decoder(const Controller& device) {
    const auto& transfers = device.decoder().transfers();
    for (;;) {
      if (decoderEnds_ < decoderStarts_ && transfers[decoderEnds_].ended) {
        const auto& t = transfers[decoderEnds_++];
        const std::string_view kind = qdqm::sim::decoderName(device.profile().decoder);
        std::fprintf(to_,
                     "%sdecoder end %llu kind %.*s bytes-in %llu bytes-out %llu wire-us %.0f "
                     "wall-us %llu ok %d\n",
                     prefix_.c_str(), static_cast<unsigned long long>(t.endUs),
                     static_cast<int>(kind.size()), kind.data(),
                     static_cast<unsigned long long>(t.bytesIn),
                     static_cast<unsigned long long>(t.bytesOut), t.wireUs,
                     static_cast<unsigned long long>(t.endUs - t.startUs), t.ok ? 1 : 0);
      } else if (decoderStarts_ < transfers.size() && decoderEnds_ == decoderStarts_) {
        std::fprintf(to_, "%sdecoder start %llu\n", prefix_.c_str(),
                     static_cast<unsigned long long>(transfers[decoderStarts_++].startUs));
      } else {
        break;
      }
      std::fflush(to_);
    }
  }
  FILE* to_;
  std::string prefix_;
  Window flash_, coproc_;
  Counts now_, atLineStart_, atFrameStart_;
  uint64_t lineStartUs_ = 0, frameStartUs_ = 0;
  unsigned erases_ = 0, records_ = 0, frames_ = 0, checks_ = 0;
  size_t decoderStarts_ = 0, decoderEnds_ = 0;
  bool flashDone_ = false;
};

// The modules in a base unit's slots report their own programming and transfers, prefixed with
// "slot K ", in terms of the line between the base unit and the module.
class SlotReports : public qdqm::sim::ModuleTap {
 public:
  explicit SlotReports(FILE* to) : to_(to) {}
  void before(unsigned slot, Controller& module, uint8_t byte, const Line& line,
              uint64_t atUs) override {
    report(slot).byteIn(module, byte, line, atUs);
  }
  void after(unsigned slot, Controller& module, size_t firstNew, const Line& line,
             uint64_t atUs) override {
    report(slot).afterReceive(module, firstNew, line, atUs);
  }
  void finish(const BaseUnit& base) {
    for (auto& [slot, r] : reports_) r->finish(*base.module(slot));
  }

 private:
  WireReport& report(unsigned slot) {
    auto& r = reports_[slot];
    if (!r) r = std::make_unique<WireReport>(to_, "slot " + std::to_string(slot) + " ");
    return *r;
  }
  FILE* to_;
  std::map<unsigned, std::unique_ptr<WireReport>> reports_;
};

// The two sides of a base unit, as counts since the start from which a benchmark takes its
// windows: on the PC side the bytes both ways and their wire time, on the modules' side the time
// the slot frames kept their lines busy (BaseUnit::moduleWireUs). Printed at every slot select
// (00 00 A1 n) as "base select N T bytes-in I bytes-out O wire-us W module-wire-us M", T when the
// frame's last byte arrived and the frame and its answer counted; and where the frames turn to a
// slot, at the first slot frame after a select or after frames to another slot, as "base slot K
// T ..." with the same counts, T when the frame's first byte began arriving and the frame not yet
// counted.
class BaseReport {
 public:
  explicit BaseReport(FILE* to) : to_(to) {}
  // A byte from the PC whose last bit arrives at atUs, before the base unit takes it.
  void byteIn(const BaseUnit& base, const Line& line, uint64_t atUs) {
    const double byteNs = qdqm::sim::byteTimeNs(line);
    beforeByte_ = now_;
    beforeModuleUs_ = base.moduleWireUs();
    byteFromUs_ = static_cast<uint64_t>(static_cast<double>(atUs) - byteNs / 1000);
    ++now_.bytesIn;
    now_.wireNs += byteNs;
  }
  void afterReceive(BaseUnit& base, size_t firstNew, uint64_t atUs) {
    const auto& out = base.output();
    for (size_t i = firstNew; i < out.size(); ++i) {
      ++now_.bytesOut;
      now_.wireNs += qdqm::sim::byteTimeNs(out[i].line);
    }
    if (base.frameStarts() != frameStarts_) {
      frameStarts_ = base.frameStarts();
      atFrame_ = beforeByte_;
      atFrameModuleUs_ = beforeModuleUs_;
      frameFromUs_ = byteFromUs_;
    }
    if (base.slotFrames() != slotFrames_) {
      slotFrames_ = base.slotFrames();
      if (afterSelect_ || base.lastSlotFrame() != lastSlot_) {
        print("slot", base.lastSlotFrame(), frameFromUs_, atFrame_, atFrameModuleUs_);
      }
      afterSelect_ = false;
      lastSlot_ = base.lastSlotFrame();
    }
    if (base.selectFrames() != selects_) {
      selects_ = base.selectFrames();
      afterSelect_ = true;
      print("select", base.lastSelect(), atUs, now_, base.moduleWireUs());
    }
  }

 private:
  void print(const char* what, unsigned n, uint64_t atUs, const Counts& c, double moduleUs) {
    std::fprintf(
        to_, "base %s %u %llu bytes-in %llu bytes-out %llu wire-us %.0f module-wire-us %.0f\n",
        what, n, static_cast<unsigned long long>(atUs), static_cast<unsigned long long>(c.bytesIn),
        static_cast<unsigned long long>(c.bytesOut), c.wireNs / 1000.0, moduleUs);
    std::fflush(to_);
  }

  FILE* to_;
  Counts now_, beforeByte_, atFrame_;
  double beforeModuleUs_ = 0, atFrameModuleUs_ = 0;
  uint64_t byteFromUs_ = 0, frameFromUs_ = 0;
  unsigned selects_ = 0, slotFrames_ = 0, frameStarts_ = 0;
  unsigned lastSlot_ = 0;
  bool afterSelect_ = true;
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

// Writes a module's flashes as asked: the controller flash as Intel-HEX, the coprocessor flashes
// byte for byte (an empty file when nothing was programmed). A module has one decoder: the one the
// MPEG update mode routes to when it has one, else that of frame mode.
bool writeFlashes(const Controller& module, const ModuleOptions& m) {
  if (!m.flashOut.empty()) {
    FILE* f = std::fopen(m.flashOut.c_str(), "w");
    if (!f) return false;
    const std::string hex = qdqm::sim::toIntelHex(module.flash());
    const bool written = std::fwrite(hex.data(), 1, hex.size(), f) == hex.size();
    if (std::fclose(f) != 0 || !written) return false;
  }
  const std::vector<uint8_t> decoderImage = module.decoderImage();
  for (const auto& [path, bytes] :
       {std::pair{&m.fpgaOut, &module.fpgaImage()}, std::pair{&m.decoderOut, &decoderImage}}) {
    if (path->empty()) continue;
    FILE* f = std::fopen(path->c_str(), "wb");
    if (!f) return false;
    const bool written =
        bytes->empty() || std::fwrite(bytes->data(), 1, bytes->size(), f) == bytes->size();
    if (std::fclose(f) != 0 || !written) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  std::string error;
  const std::optional<qdqm::sim::Options> parsed = qdqm::sim::parseOptions(args, error);
  if (!parsed) {
    std::fprintf(stderr, "qdqm-sim: %s\n", error.c_str());
    usage(stderr);
    return kUsage;
  }
  const qdqm::sim::Options& options = *parsed;
  if (options.help) {
    usage(stdout);
    return 0;
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
  const std::filesystem::path link = dir / ("COM" + std::to_string(options.com));
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

  // The device on the line: one module, or a base unit with its modules.
  std::unique_ptr<Controller> single;
  std::unique_ptr<BaseUnit> base;
  if (options.baseUnit) {
    base = std::make_unique<BaseUnit>(*options.baseUnit);
    for (const auto& [slot, m] : options.slots) {
      base->plug(slot, m.profile, m.faults, m.code, m.wrongSlotFrom);
    }
  } else {
    single = std::make_unique<Controller>(options.single.profile, options.single.faults);
  }
  Device& device = base ? static_cast<Device&>(*base) : *single;
  device.setWireTiming(options.wireTiming);
  // Byte times are tens of microseconds; the default timer slack of 50 us would stretch them.
  if (options.wireTiming) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::printf("COM%u %s\n", options.com, slavePath.c_str());
  std::fflush(stdout);

  const bool reportFlash = options.reportFlash;
  WireReport report(stdout);
  SlotReports slotReports(stdout);
  BaseReport baseReport(stdout);
  if (base && reportFlash) base->setTap(&slotReports);
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
    const Line sent{baudOf(cfgetospeed(&now_tio)), qdqm::sim::Parity::None};
    // Parity is not visible on a pty: compare the rate only, and take the bytes as sent with the
    // parity the module (or the decoder it routes the line to) expects. A base unit listens at
    // 8N1.
    Line heard = sent;
    heard.parity = single ? single->listening().parity : qdqm::sim::Parity::None;
    const double atNs = static_cast<double>(nowUs()) * 1000;
    const double stepNs = options.wireTiming ? qdqm::sim::byteTimeNs(heard) : 0;
    inboundDoneNs = std::max(inboundDoneNs, atNs);
    for (long i = 0; i < n; ++i) {
      inboundDoneNs += stepNs;
      const uint64_t at = static_cast<uint64_t>(inboundDoneNs / 1000);
      const size_t before = out.size();
      if (reportFlash && single) report.byteIn(*single, buffer[i], heard, at);
      if (reportFlash && base) baseReport.byteIn(*base, heard, at);
      device.receive(buffer[i], heard, at);
      if (reportFlash && single) report.afterReceive(*single, before, heard, at);
      if (reportFlash && base) baseReport.afterReceive(*base, before, at);
    }
  }

  // Switched off: a swid image still arriving is complete, an open decoder transfer ends.
  if (single) single->powerOff();
  if (base) base->powerOff();
  if (reportFlash && single) report.finish(*single);
  if (reportFlash && base) slotReports.finish(*base);
  std::filesystem::remove(link, ec);
  close(slave);
  close(master);
  bool written = true;
  if (single) written = writeFlashes(*single, options.single);
  for (const auto& [slot, m] : options.slots)
    written = writeFlashes(*base->module(slot), m) && written;
  return written ? 0 : 1;
}
