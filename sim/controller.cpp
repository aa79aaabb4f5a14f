#include "sim/controller.h"

#include "sim/intel_hex.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>
#include <vector>

namespace qdqm::sim {

enum class Controller::Action : uint8_t {
  QueryType,
  QueryTypeRecord,
  Software,
  SoftwareRecord,
  BootLoader,
  BootLoaderRecord,
  Hardware,
  HardwareRecord,
  Acknowledge,
  EraseLow,
  EraseHigh,
  EraseQM4x,
  EraseQD09,
  TopSpeed,
  TopSpeedRecord,
  Speed38400,
  Speed57600,
  Speed115200,
  Speed19200,
  Fpga,
  FpgaMode,
  MpegMode,
  WakeUp1,
  WakeUp2,
  WriteChecksum,
  Reset,
};

namespace {

using Action = Controller::Action;

// Which modules know a frame: all, or only those speaking the record protocol (for a raw module
// the same text is an ordinary record).
enum class Speakers : uint8_t { All, Record };

struct Frame {
  std::string_view bytes;
  Action action;
  Speakers speakers = Speakers::All;
};

bool knows(const Frame& frame, Protocol protocol) {
  return frame.speakers == Speakers::All || protocol == Protocol::Record;
}

// Every frame the controller knows, byte for byte (case and line end included).
constexpr std::string_view kWake1{"\x15\x01\x01", 3};
constexpr std::string_view kWake2{"\x15\xEF\x00", 3};
constexpr Frame kFrames[] = {
    {":0100000501f9", Action::QueryType},
    {":050000090000000010E2\r\n", Action::QueryTypeRecord},
    {":0100000502f8", Action::Software},
    {":050000090000000011e1\r\n", Action::SoftwareRecord},
    {":0100000500fa", Action::BootLoader},
    {":00000001ff", Action::BootLoaderRecord},
    {":0100000503f7", Action::Hardware},
    {":050000090000000012e0\r\n", Action::HardwareRecord},
    {":020000030000fb", Action::Acknowledge},  // select controller
    {":02000002880173\r\n", Action::Acknowledge, Speakers::Record},
    {":0100000306f6", Action::FpgaMode},
    {":0100000302fa", Action::MpegMode},
    {":0210000301d812", Action::EraseLow},
    {":021000030100ea", Action::EraseHigh},
    {":0300000480000079\r\n", Action::EraseQM4x},
    {":0204000301f8fe", Action::EraseQD09},
    {":0100000508f2", Action::TopSpeed},
    {":05000009000000008171\r\n", Action::TopSpeedRecord},
    {":020000030401f6", Action::Speed38400},
    {":020000030402f5", Action::Speed57600},
    {":020000030403f4", Action::Speed115200},
    {":020000030400f7", Action::Speed19200},
    {":0200000281017A\r\n", Action::Speed38400},
    {":02000002810279\r\n", Action::Speed57600},
    {":0200000281007B\r\n", Action::Speed19200},
    {":0100000509F1", Action::Fpga},
    {kWake1, Action::WakeUp1},
    {kWake2, Action::WakeUp2},
    {":0200000280007c\r\n", Action::WriteChecksum},
    {":00000008f8\r\n", Action::Reset},
};

// The service channel's frames: 15 and two bytes, or 14 and one; the QM21 family's wake-up
// (15 EF) is two bytes.
enum class Service : uint8_t { Answer, UpdateMode, Version, Software, Panel };
constexpr int kAnyByte = -1;
constexpr int kNoArgument = -2;  // a two-byte 15 frame
struct ServiceFrame {
  uint8_t lead, command;
  int argument;  // the third byte of a 15 frame
  Service service;
  VersionBlock block;
  std::string_view reply;  // the whole answer (Answer), or sent behind the block (Version)
};
constexpr ServiceFrame kServiceFrames[] = {
    // The boot-loader wake-up, 15 01 01 then 15 EF 00; the QM21 family's own second frame 15 EF.
    {0x15, 0x01, 0x01, Service::Answer, {}, "."},
    {0x15, 0xEF, 0x00, Service::Answer, {}, "\xEF"},
    {0x15, 0xEF, kNoArgument, Service::Answer, {}, "\x15"},
    {0x15, 0xE0, kAnyByte, Service::UpdateMode, {}, {}},
    {0x15, 0x20, 0x00, Service::Version, VersionBlock::Decoder, {"\0", 1}},
    {0x15, 0x11, 0x00, Service::Software, {}, {}},
    {0x14, 0x04, 0, Service::Version, VersionBlock::Fpga, {}},
    {0x14, 0x02, 0, Service::Version, VersionBlock::TwinFirst, {}},
    {0x14, 0x03, 0, Service::Version, VersionBlock::TwinSecond, {}},
    // Without a coprocessor behind them, 14 00 and 14 03 reach the front panel's version.
    {0x14, 0x00, 0, Service::Panel, {}, {}},
    {0x14, 0x03, 0, Service::Panel, {}, {}},
};
constexpr uint8_t kModeTaken = 0xE0;
// The rate of the transfer behind the update mode.
constexpr uint32_t kTransferBaud = 19200;

// The panel's version block: "V ", the software version as "1.05", zeros up to 16 bytes.
constexpr size_t kPanelBlock = 16;
std::string panelBlock(const std::array<uint8_t, 2>& version) {
  char text[kPanelBlock + 1] = {};
  std::snprintf(text, sizeof text, "V %x.%02x", version[0], version[1]);
  std::string block(text);
  block.resize(kPanelBlock, '\0');
  return block;
}

// The QM21 family (QM21M aside) wakes its boot loader with its own two-byte frame.
bool twoByteWakeUp(std::string_view type) {
  return type.starts_with("QM21") && !type.starts_with("QM21M");
}

// Bytes the record protocol appends to every reply (never looked at by the host).
constexpr std::string_view kTail = "\r\n>";
constexpr char kAck = '.';
// The answer to the boot-loader wake-up's second frame (15 EF 00): its command byte.
constexpr char kWokenUp = '\xEF';
constexpr size_t kHistory = 32;

bool isLineEnd(char c) {
  return c == '\r' || c == '\n';
}

std::string_view withoutLineEnd(std::string_view frame) {
  while (!frame.empty() && isLineEnd(frame.back())) frame.remove_suffix(1);
  return frame;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What the flash held before the first erase: old firmware, anything but blank.
uint8_t oldContent(uint32_t address) {
  return static_cast<uint8_t>(address * 37u + 0x5Au);
}

}  // namespace

Controller::Controller(Profile profile, Faults faults)
    : profile_(std::move(profile)),
      faults_(std::move(faults)),
      coproc_(Coprocessors::Setup{profile_.coprocessor, profile_.coprocessorVersion,
                                  profile_.coprocessorVersionAfter, profile_.fpga,
                                  profile_.fpgaAfterUpdate}),
      decoder_(Decoder::Setup{profile_.decoder, profile_.decoderVersion,
                              profile_.decoderVersionAfter, profile_.bootLoaderText,
                              profile_.decoderRestartMs}) {
  awake_ = !profile_.needsWakeUp;
  if (!awake_) listen_.baud = 2400;
  // Erased and part programmed by a flash that never ended: the boot loader waits for records.
  if (faults_.programGone) {
    erasedOnce_ = true;
    loader_ = true;
    for (uint32_t a = 0; a < 0x100; ++a) flash_[a] = oldContent(a);
  }
}

uint8_t Controller::flashByte(uint32_t address) const {
  const auto it = flash_.find(address);
  if (it != flash_.end()) return it->second;
  return erasedOnce_ ? 0xFF : oldContent(address);
}

std::string Controller::typeNow() const {
  return otherType_ ? faults_.otherType : profile_.type;
}

void Controller::reply(std::string_view echo, std::string_view data, size_t tail, uint64_t atUs) {
  std::string bytes;
  if (profile_.protocol == Protocol::Record) bytes.append(echo);
  bytes.append(data);
  if (profile_.protocol == Protocol::Record) bytes.append(kTail.substr(0, tail));
  send(std::move(bytes), atUs, listen_);
}

void Controller::send(std::string bytes, uint64_t atUs, const Line& line) {
  if (mutedReplies_ < faults_.muteReplies) {
    ++mutedReplies_;
    return;
  }
  bytes.append(faults_.extraBytes, '~');
  std::string sent;
  for (char c : bytes) {
    ++replyBytes_;
    if (replyBytes_ == faults_.dropReplyByte) continue;
    sent.push_back(replyBytes_ == faults_.garbleReplyByte
                       ? static_cast<char>(garble(static_cast<uint8_t>(c)))
                       : c);
  }
  emit(sent, atUs + uint64_t{faults_.lateMs} * 1000, line);
}

bool Controller::changed() const {
  return erasedOnce_ || !flash_.empty() || coproc_.changed() || decoder_.changed();
}

std::vector<uint8_t> Controller::decoderImage() const {
  if (profile_.decoder != DecoderKind::None) return decoder_.image();
  return coproc_.decoderImage();
}

void Controller::receive(uint8_t byte, const Line& sent, uint64_t atUs) {
  // Once routed, every byte is the decoder's until the module is switched off.
  if (routed_) return toDecoder(byte, sent, atUs);
  if (faults_.silent || vanished_ || dead_ || atUs < silentUntilUs_) return;
  // The application hears the service channel at 2400 baud besides its own rate.
  if (sent == kServiceLine && awake_ && !loader_) return service(byte, atUs);
  const uint8_t heard = sent == listen_ ? byte : garble(byte);
  if (frameMode_) return frameByte(heard, atUs);
  take(static_cast<char>(heard), atUs);
}

void Controller::toDecoder(uint8_t byte, const Line& sent, uint64_t atUs) {
  if (faults_.decoderSilent) return;
  // Its replies go out through the controller's line driver: the reply faults apply to them.
  decoder_.receive(byte, sent, atUs, faults_,
                   [&](std::string_view bytes, uint64_t readyUs, const Line& line) {
                     const size_t before = output().size();
                     send(std::string(bytes), readyUs, line);
                     return Decoder::Sent{output().size() - before, busyUntilUs()};
                   });
}

size_t Controller::serviceFrameLength() const {
  const auto at = [&](size_t i) { return static_cast<uint8_t>(service_[i]); };
  if (!isServiceLead(at(0))) return 0;
  if (at(0) == 0x14) return 2;
  const bool wake = service_.size() >= 2 && at(1) == 0xEF;
  return wake && twoByteWakeUp(profile_.type) ? 2 : 3;
}

void Controller::service(uint8_t byte, uint64_t atUs) {
  // A tool that went back to the service channel has given up the transfer.
  frameMode_ = false;
  service_.push_back(static_cast<char>(byte));
  const size_t length = serviceFrameLength();
  if (length == 0) return service_.clear();
  if (service_.size() < length) return;
  const std::string frame = std::exchange(service_, {});
  const auto at = [&](size_t i) { return static_cast<uint8_t>(frame[i]); };
  auto answer = [&](std::string_view bytes) { send(std::string(bytes), atUs, kServiceLine); };
  const auto fits = [&](const ServiceFrame& f) {
    if (f.lead != at(0) || f.command != at(1)) return false;
    if (f.lead != 0x15) return true;
    if (frame.size() == 2) return f.argument == kNoArgument;
    return f.argument == kAnyByte || f.argument == at(2);
  };
  for (const ServiceFrame& f : kServiceFrames) {
    if (!fits(f)) continue;
    switch (f.service) {
      case Service::Answer:
        return answer(f.reply);
      case Service::UpdateMode: {
        const std::optional<uint8_t> mode = coproc_.modeByte();
        if (!mode) return;
        ++modeRequests_;
        if (modeRequests_ <= faults_.refuseUpdateMode || at(2) != *mode) {
          return answer(std::string(1, static_cast<char>(kRefused)));
        }
        // The answer leaves at 2400; the transfer follows at 19200.
        answer(std::string(1, static_cast<char>(kModeTaken)));
        listen_.baud = kTransferBaud;
        history_.clear();
        record_.clear();
        return enterFrameMode(coproc_.kind(), false);
      }
      case Service::Version: {
        // Another kind's block: perhaps the panel answers the frame instead.
        const std::string block = coproc_.versionBlock(f.block);
        if (block.empty()) continue;
        if (!faults_.coprocessorSilent) answer(block + std::string(f.reply));
        return;
      }
      case Service::Software:
        return answer({reinterpret_cast<const char*>(profile_.software.data()), 2});
      case Service::Panel:
        if (coproc_.kind() == CoprocessorKind::None) answer(panelBlock(profile_.software));
        return;
    }
  }
}

void Controller::enterFrameMode(CoprocessorKind target, bool byRecord) {
  frameMode_ = true;
  frameByRecord_ = byRecord;
  frames_.reset();
  coproc_.begin(target);
  dataFrames_ = 0;
}

void Controller::frameByte(uint8_t byte, uint64_t atUs) {
  // Frame replies are single raw bytes in either protocol.
  auto answer = [&](uint8_t code) { send(std::string(1, static_cast<char>(code)), atUs, listen_); };
  const bool silent = faults_.coprocessorSilent;
  switch (frames_.take(byte)) {
    case FrameReader::Event::None:
      return;
    case FrameReader::Event::NoFrame: {
      // Not a frame: the tool talks to the controller again.
      frameMode_ = false;
      const std::string stray(frames_.stray());
      for (char c : stray) take(c, atUs);
      return;
    }
    case FrameReader::Event::Erase:
      if (!silent) answer(coproc_.erase());
      return;
    case FrameReader::Event::Data:
      ++dataFrames_;
      if (!silent) answer(coproc_.data(frames_.body(), faults_.refuseBlock));
      return;
    case FrameReader::Event::Check: {
      const std::span<const uint8_t> b = frames_.body();
      const uint32_t value =
          uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
      frameMode_ = false;
      ++crcChecks_;
      lastCheckGood_ = !silent && coproc_.check(value, faults_.wrongCrc);
      if (!silent) answer(lastCheckGood_ ? kCrcGood : kCrcBad);
      // The QD FPGA's new configuration takes a restart of the whole module.
      if (lastCheckGood_ && frameByRecord_) restart(atUs);
      return;
    }
  }
}

void Controller::take(char c, uint64_t atUs) {
  history_.push_back(c);
  if (history_.size() > kHistory) history_.erase(0, history_.size() - kHistory);

  for (const Frame& frame : kFrames) {
    const std::string_view h = history_;
    if (!knows(frame, profile_.protocol)) continue;
    if (h.size() >= frame.bytes.size() && h.substr(h.size() - frame.bytes.size()) == frame.bytes) {
      history_.clear();
      record_.clear();
      command(frame.action, frame.bytes, atUs);
      return;
    }
  }
  if (!awake_) return;

  if (c == ':') {
    record_.assign(1, c);
    return;
  }
  if (record_.empty()) {
    // The line end behind a record: the record protocol echoes it.
    if (isLineEnd(c) && loader_ && profile_.protocol == Protocol::Record) {
      emit(std::string(1, c), atUs, listen_);
    }
    return;
  }
  record_.push_back(c);
  if (record_.size() < 3) return;
  const int n0 = hexValue(record_[1]), n1 = hexValue(record_[2]);
  if (n0 < 0 || n1 < 0) {
    record_.clear();
    return;
  }
  const size_t length = 11 + 2 * static_cast<size_t>(n0 * 16 + n1);
  if (record_.size() < length) return;
  // A record that begins a known frame waits for the frame's line end.
  for (const Frame& frame : kFrames) {
    if (knows(frame, profile_.protocol) && frame.bytes.size() > record_.size() &&
        frame.bytes.substr(0, record_.size()) == record_) {
      return;
    }
  }
  record(atUs);
}

void Controller::record(uint64_t atUs) {
  const std::string text = std::exchange(record_, {});
  ++records_;
  if (faults_.vanishAfterRecords && records_ > faults_.vanishAfterRecords) {
    vanished_ = true;
    return;
  }
  std::vector<uint8_t> bytes;
  bool digits = true;
  for (size_t i = 1; i + 1 < text.size(); i += 2) {
    const int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
    digits = digits && hi >= 0 && lo >= 0;
    bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  auto answer = [&](char code) {
    answered_.push_back({text, code, loader_});
    reply(text, std::string(1, code), 2, atUs);
  };
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  if (!digits || sum != 0) return answer('C');

  const size_t count = bytes[0];
  const uint32_t address = uint32_t{bytes[1]} << 8 | bytes[2];
  const uint8_t type = bytes[3];
  if (type == 0x01) {
    // The raw protocol's end of data: the controller starts its new program.
    ended_ = true;
    restart(atUs);
    return;
  }
  if (type == 0x00) ++dataRecords_;
  if (type == 0x00 && faults_.refuseRecord && dataRecords_ == faults_.refuseRecord) {
    return answer(faults_.refuseCode);
  }
  if (!loader_) return;  // the application ignores records
  switch (type) {
    case 0x00: {
      if (profile_.protocol == Protocol::Record && address % 64 + count > 64) return answer('A');
      for (size_t i = 0; i < count; ++i) {
        const uint32_t at = base_ + ((address + i) & 0xFFFF);
        flash_[at] = static_cast<uint8_t>(flashByte(at) & bytes[4 + i]);
      }
      return answer(kAck);
    }
    case 0x03:
    case 0x05:
      // Start addresses: taken, nothing to program.
      return answer(count == 4 ? kAck : 'A');
    case 0x02:
    case 0x04: {
      if (count != 2) return answer('A');
      const uint32_t value = uint32_t{bytes[4]} << 8 | bytes[5];
      base_ = type == 0x02 ? value << 4 : value << 16;
      return answer(kAck);
    }
    default:
      return answer('A');
  }
}

void Controller::restart(uint64_t atUs) {
  // The new program starts with the line at its power-on settings; without one (erased, and no
  // flash ended since) the boot loader runs on.
  listen_ = Line{};
  loader_ = erasedOnce_ && !ended_;
  base_ = 0;
  profile_.software = profile_.versionAfterReset;
  frameMode_ = false;
  service_.clear();
  dead_ = faults_.deadAfterRestart;
  silentUntilUs_ = std::max(atUs, busyUntilUs()) + uint64_t{profile_.resetSilenceMs} * 1000;
}

void Controller::command(Action action, std::string_view frame, uint64_t atUs) {
  const std::string_view echo = withoutLineEnd(frame);
  const bool record = profile_.protocol == Protocol::Record;
  auto ack = [&](char code) { reply(echo, std::string(1, code), 3, atUs); };
  auto erase = [&](bool mine) {
    ++erases_;
    const char code = mine ? faults_.eraseCode : 'A';
    // A failed erase still starts the loader, but the flash keeps what it held.
    if (mine) loader_ = true;
    if (code == kAck) {
      flash_.clear();
      erasedOnce_ = true;
      ended_ = false;
      base_ = 0;
      records_ = dataRecords_ = 0;
    }
    ack(code);
  };
  auto speed = [&](uint32_t baud) {
    ack(kAck);
    if (faults_.speed == SpeedFault::AckButStay) return;
    listen_.baud = baud;
    otherType_ = faults_.speed == SpeedFault::OtherTypeAtNewRate && baud != 19200;
  };
  const std::string type = typeNow();
  const bool qm4x = type.starts_with("QM4");
  const bool qd09 =
      type.starts_with("QD09") || (type.starts_with("QD01") && profile_.bootLoader[0] != 2);

  if (!awake_) {
    if (action == Action::WakeUp1) reply({}, std::string(1, kAck), 0, atUs);
    if (action == Action::WakeUp2) {
      // The second frame's answer still leaves at 2400; then the loader runs at 19200.
      send(std::string(1, kWokenUp), atUs, listen_);
      awake_ = true;
      listen_.baud = 19200;
    }
    return;
  }
  switch (action) {
    case Action::QueryType:
      return reply(echo, type, 3, atUs);
    case Action::QueryTypeRecord:
      if (record) reply(echo, type, 3, atUs);
      return;
    case Action::Software:
      if (!record)
        reply(echo, {reinterpret_cast<const char*>(profile_.software.data()), 2}, 3, atUs);
      return;
    case Action::SoftwareRecord:
      if (record)
        reply(echo, hexPair(profile_.software[0]) + hexPair(profile_.software[1]), 3, atUs);
      return;
    case Action::BootLoader:
      if (!record)
        reply(echo, {reinterpret_cast<const char*>(profile_.bootLoader.data()), 2}, 3, atUs);
      return;
    case Action::BootLoaderRecord:
      if (record) {
        return reply(echo, {reinterpret_cast<const char*>(profile_.bootLoader.data()), 2}, 3, atUs);
      }
      // In the raw protocol this is the end record written in lower case.
      if (loader_) {
        ended_ = true;
        restart(atUs);
      }
      return;
    case Action::Hardware:
      if (!record) reply(echo, std::string(1, static_cast<char>(profile_.hardware)), 3, atUs);
      return;
    case Action::HardwareRecord:
      if (record) reply(echo, hexPair(profile_.hardware), 3, atUs);
      return;
    case Action::Acknowledge:
      return ack(kAck);
    case Action::EraseLow:
      return erase(!qm4x && !qd09 && profile_.bootLoader[0] < 2);
    case Action::EraseHigh:
      return erase(!qm4x && !qd09 && profile_.bootLoader[0] >= 2);
    case Action::EraseQM4x:
      return erase(qm4x);
    case Action::EraseQD09:
      return erase(qd09);
    case Action::TopSpeed:
      if (!record) reply(echo, std::string(1, profile_.topSpeed), 3, atUs);
      return;
    case Action::TopSpeedRecord:
      if (record) reply(echo, std::string{'0', profile_.topSpeed}, 3, atUs);
      return;
    case Action::Speed38400:
      return speed(38400);
    case Action::Speed57600:
      return speed(57600);
    case Action::Speed115200:
      return speed(115200);
    case Action::Speed19200:
      return speed(19200);
    case Action::Fpga: {
      if (faults_.coprocessorSilent) return;
      const std::array<uint8_t, 2> fpga = coproc_.fpgaVersion();
      return reply(echo, {reinterpret_cast<const char*>(fpga.data()), 2}, 3, atUs);
    }
    case Action::FpgaMode:
      // The FPGA is reached through frames at the rate the controller listens at.
      ack(kAck);
      return enterFrameMode(CoprocessorKind::Fpga, true);
    case Action::MpegMode:
      // From the next byte on the decoder has the line.
      ack(kAck);
      routed_ = profile_.decoder != DecoderKind::None;
      return;
    case Action::WakeUp1:
      return reply({}, std::string(1, kAck), 0, atUs);
    case Action::WakeUp2:
      return reply({}, std::string(1, kWokenUp), 0, atUs);
    case Action::WriteChecksum:
      // The record protocol acknowledges it right behind the echo.
      if (record) return reply(echo, std::string(1, kAck), 2, atUs);
      return reply(echo, {}, 3, atUs);
    case Action::Reset:
      reply(echo, {}, 1, atUs);
      ended_ = true;
      return restart(atUs);
  }
}

}  // namespace qdqm::sim
