#include "sim/decoder.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <span>
#include <utility>

#include "sim/coprocessor.h"

namespace qdqm::sim {

enum class Decoder::Command : uint8_t { Name, Swid, Boot, Version, Restart, Ready };
enum class Decoder::Where : uint8_t { Swid, VersApplication, VersLoader };

namespace {

using Command = Decoder::Command;
using Where = Decoder::Where;

// The five-character types first: QD20A is swid, QD20 otherwise VERS.
constexpr std::pair<std::string_view, DecoderKind> kByType[] = {
    {"QD29E", DecoderKind::Swid},      {"QD2xA", DecoderKind::Swid},
    {"QD20A", DecoderKind::Swid},      {"QD292", DecoderKind::Vers},
    {"QD22", DecoderKind::Vers},       {"QD24", DecoderKind::Vers},
    {"QD20", DecoderKind::Vers},       {"QD09", DecoderKind::BootLoader},
    {"QD29", DecoderKind::BootLoader},
};

// Each kind's line: its application's, and its loader's where that differs.
struct Lines {
  DecoderKind kind;
  Line application;
  Line loader;
  std::string_view version, versionAfter;
};
constexpr Lines kLines[] = {
    {DecoderKind::Swid, {19200, Parity::None}, {19200, Parity::None}, "1.05", "2.01"},
    {DecoderKind::Vers, {9600, Parity::Even}, {9600, Parity::Even}, "V1.05", "V2.01"},
    {DecoderKind::BootLoader, {9600, Parity::None}, {57600, Parity::None}, "v100", "v201"},
};

const Lines* linesOf(DecoderKind kind) {
  for (const Lines& l : kLines) {
    if (l.kind == kind) return &l;
  }
  return nullptr;
}

// The commands recognised as the last bytes heard, and where.
struct CommandText {
  Where where;
  std::string_view text;
  Command command;
};
constexpr CommandText kCommands[] = {
    {Where::Swid, "name\r", Command::Name},
    {Where::Swid, "swid\r", Command::Swid},
    {Where::Swid, "boot\r", Command::Boot},
    {Where::VersApplication, "VERS", Command::Version},
    {Where::VersApplication, "REST", Command::Restart},
    {Where::VersLoader, "###00@@", Command::Ready},
};
constexpr size_t kHistory = 16;

// swid: the answers, the update mode's sync burst and the pause that ends the image.
constexpr std::string_view kSwidName = "MPG2";
constexpr std::string_view kSwidText = " MPEG decoder";
constexpr size_t kSwidReply = 19;
constexpr uint8_t kSync = 'U';
constexpr unsigned kSyncBytes = 10;
constexpr uint64_t kImageEndUs = 1'000'000;

// VERS: the loader's texts, and what it sends after a right CRC, each so long after the previous
// text is out.
constexpr std::string_view kLoaderStarted = "\r\nLoader\r\n";
constexpr unsigned kLoaderDs = 4;
constexpr std::string_view kWaiting = "Waiting";
constexpr std::string_view kAck = "ACK ";
constexpr std::string_view kCrcError = "CRC Error";
constexpr std::string_view kDataOk = "Data Ok";
constexpr size_t kVersHeader = 20;
struct Progress {
  std::string_view text;
  uint32_t afterMs;
};
enum ProgressStep : size_t { kProgramming, kProgrammed, kRunning, kModule };
constexpr Progress kProgress[] = {
    {"Programming", 200},
    {"Programmed", 1000},
    {"Running 'Code  1'", 500},
    {"MODULE", 500},
};

// The boot-loader decoder's frames: a type byte, a command letter, then for text frames 00 and
// the payload length, for the RAM load the data length (16 bits) and four fixed bytes.
constexpr uint8_t kTextFrame = 0x02;
constexpr uint8_t kLoadFrame = 0x03;
constexpr size_t kTextHead = 4;
constexpr size_t kLoadHead = 8;
constexpr uint8_t kService = 'S';
constexpr uint8_t kFlash = 'F';
constexpr uint8_t kLoad = 'M';
constexpr uint8_t kVersionQuery = 'V';
constexpr uint8_t kBootRequest = 'B';
constexpr uint8_t kLoadMagic[] = {0x2E, 0x1C, 0x00, 0x00};
// Its replies: 02 54, the text length (16 bits, big-endian), the text.
constexpr uint8_t kReplyLead[] = {0x02, 0x54};
constexpr std::string_view kEraseText = "E0x2c020000, 0x";
constexpr std::string_view kWriteText = "W0x";
constexpr std::string_view kWriteLength = ", 0x0000";
constexpr std::string_view kEraseError = "FLM:: Erase error";
constexpr std::string_view kWriteError = "FLM:: Write error";
constexpr std::string_view kLoadError = "Prog load error";

uint64_t wireUs(std::string_view text, const Line& line) {
  return text.size() * uint64_t{byteTimeUs(line)};
}

std::string hex(uint32_t value, int digits = 0) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

// Lower-case hex digits, without leading zeros unless `digits` of them are wanted.
std::optional<uint32_t> hexNumber(std::string_view text, size_t digits = 0) {
  if (text.empty() || text.size() > 8 || (digits ? text.size() != digits : text[0] == '0')) {
    return std::nullopt;
  }
  if (std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'F'; })) {
    return std::nullopt;
  }
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

DecoderKind defaultDecoder(std::string_view type) {
  for (const auto& [prefix, kind] : kByType) {
    if (type.starts_with(prefix)) return kind;
  }
  return DecoderKind::None;
}

std::string_view defaultDecoderVersion(DecoderKind kind, bool afterUpdate) {
  const Lines* l = linesOf(kind);
  if (!l) return {};
  return afterUpdate ? l->versionAfter : l->version;
}

Decoder::Decoder(Setup setup) : setup_(std::move(setup)) {
  if (setup_.version.empty()) setup_.version = defaultDecoderVersion(setup_.kind, false);
  if (setup_.versionAfter.empty()) setup_.versionAfter = defaultDecoderVersion(setup_.kind, true);
  version_ = setup_.version;
}

Line Decoder::line() const {
  const Lines* l = linesOf(setup_.kind);
  if (!l) return Line{};
  return bootLoader_ ? l->loader : l->application;
}

bool Decoder::updating() const {
  return updating_ || bootLoader_ || (vers_ != Vers::Application && vers_ != Vers::Hung);
}

std::vector<uint8_t> Decoder::image() const {
  if (updating_ && !received_.empty()) return received_;
  if (setup_.kind == DecoderKind::BootLoader) {
    return std::vector<uint8_t>(flash_.begin(), flash_.begin() + static_cast<long>(writtenEnd_));
  }
  return flash_;
}

void Decoder::receive(uint8_t byte, const Line& sent, uint64_t atUs, const Faults& faults,
                      const Send& send) {
  const Line at = line();
  if (!linesOf(setup_.kind)) return;
  const uint8_t heard = sent == at ? byte : garble(byte);
  beforeByte_ = Mark{atUs - std::min<uint64_t>(atUs, byteTimeUs(at)), counts_};
  ++counts_.in;
  counts_.wireNs += byteTimeNs(at);
  switch (setup_.kind) {
    case DecoderKind::Swid:
      return swid(heard, atUs, faults, send);
    case DecoderKind::Vers:
      return vers(heard, atUs, faults, send);
    case DecoderKind::BootLoader:
      return loader(heard, faults, atUs, send);
    case DecoderKind::None:
      return;
  }
}

void Decoder::powerOff(const Faults& faults) {
  if (updating_ && !received_.empty()) finishImage(faults);
  if (open_) closeTransfer(setup_.kind == DecoderKind::BootLoader && loaderOk());
}

std::optional<Command> Decoder::heard(uint8_t byte, Where where) {
  history_.push_back(static_cast<char>(byte));
  if (history_.size() > kHistory) history_.erase(0, history_.size() - kHistory);
  for (const CommandText& c : kCommands) {
    if (c.where == where && history_.ends_with(c.text)) {
      history_.clear();
      return c.command;
    }
  }
  return std::nullopt;
}

Decoder::Sent Decoder::say(std::string_view text, uint64_t readyUs, const Send& send) {
  const Sent sent = send(text, readyUs, line());
  counts_.out += sent.bytes;
  counts_.wireNs += static_cast<double>(sent.bytes) * byteTimeNs(line());
  return sent;
}

Decoder::Sent Decoder::sayFramed(std::string_view text, uint64_t atUs, const Send& send) {
  std::string framed(std::begin(kReplyLead), std::end(kReplyLead));
  framed.push_back(static_cast<char>(text.size() >> 8));
  framed.push_back(static_cast<char>(text.size() & 0xFF));
  framed.append(text);
  return say(framed, atUs, send);
}

void Decoder::openTransfer(const Mark& from) {
  transfers_.push_back(Transfer{from.atUs, from.atUs, 0, 0, 0, false, false});
  transferFrom_ = from.counts;
  open_ = true;
}

void Decoder::markTransfer(uint64_t endUs) {
  if (!open_) return;
  Transfer& t = transfers_.back();
  t.endUs = endUs;
  t.bytesIn = counts_.in - transferFrom_.in;
  t.bytesOut = counts_.out - transferFrom_.out;
  t.wireUs = (counts_.wireNs - transferFrom_.wireNs) / 1000;
}

void Decoder::closeTransfer(bool ok) {
  if (!open_) return;
  open_ = false;
  transfers_.back().ended = true;
  transfers_.back().ok = ok;
}

// swid ----------------------------------------------------------------------------------------

void Decoder::swid(uint8_t byte, uint64_t atUs, const Faults& faults, const Send& send) {
  // The image has ended when the line stayed quiet long enough; the decoder then restarts.
  if (updating_ && !received_.empty() && atUs >= lastImageUs_ + kImageEndUs) finishImage(faults);
  if (atUs < quietUntilUs_) return;
  if (updating_) {
    // Ten sync bytes, then everything is image data, whatever its value.
    if (sync_ < kSyncBytes) {
      if (byte == kSync) ++sync_;
      return;
    }
    if (received_.empty()) openTransfer(beforeByte_);
    received_.push_back(byte);
    lastImageUs_ = atUs;
    markTransfer(atUs);
    return;
  }
  const std::optional<Command> command = heard(byte, Where::Swid);
  if (!command) return;
  switch (*command) {
    case Command::Name:
      say(kSwidName, atUs, send);
      return;
    case Command::Swid: {
      std::string text = "V" + version_ + std::string(kSwidText);
      text.resize(kSwidReply, ' ');
      say(text, atUs, send);
      return;
    }
    case Command::Boot:
      updating_ = true;
      sync_ = 0;
      received_.clear();
      return;
    default:
      return;
  }
}

void Decoder::finishImage(const Faults& faults) {
  flash_ = std::exchange(received_, {});
  updating_ = false;
  sync_ = 0;
  history_.clear();
  quietUntilUs_ = lastImageUs_ + uint64_t{setup_.restartMs} * 1000;
  if (!faults.newCodeNotRunning) version_ = setup_.versionAfter;
  closeTransfer(true);
}

// VERS ----------------------------------------------------------------------------------------

void Decoder::vers(uint8_t byte, uint64_t atUs, const Faults& faults, const Send& send) {
  switch (vers_) {
    case Vers::Application: {
      const std::optional<Command> command = heard(byte, Where::VersApplication);
      if (command == Command::Version) {
        say("Version: " + version_ + "\r\n", atUs, send);
      } else if (command == Command::Restart) {
        // The application restarts into its loader, which waits for four D.
        say(kLoaderStarted, atUs, send);
        vers_ = Vers::WaitForD;
        count_ = 0;
      }
      return;
    }
    case Vers::WaitForD:
      if (byte == 'D' && ++count_ == kLoaderDs) {
        say(kWaiting, atUs, send);
        vers_ = Vers::Ready;
        history_.clear();
      }
      return;
    case Vers::Ready:
      if (heard(byte, Where::VersLoader) == Command::Ready) {
        say(kAck, atUs, send);
        vers_ = Vers::Length;
        count_ = 0;
        value_ = 0;
      }
      return;
    case Vers::Length:
      // Then by position only: length, header, payload, CRC, no replies in between.
      if (count_ == 0) openTransfer(beforeByte_);
      value_ = value_ << 8 | byte;
      if (++count_ < 4) return;
      length_ = value_;
      received_.clear();
      vers_ = Vers::Header;
      return;
    case Vers::Header:
    case Vers::Payload:
      received_.push_back(byte);
      if (received_.size() == kVersHeader + length_) {
        vers_ = Vers::Crc;
        count_ = 0;
        value_ = 0;
      } else if (received_.size() == kVersHeader) {
        vers_ = Vers::Payload;
      }
      return;
    case Vers::Crc:
      value_ = value_ << 8 | byte;
      if (++count_ == 4) versCheck(atUs, faults, send);
      return;
    case Vers::Hung:
      return;
  }
}

void Decoder::versCheck(uint64_t atUs, const Faults& faults, const Send& send) {
  // A reflected CRC-32 over the payload only, without final inversion.
  const std::span<const uint8_t> payload(received_.data() + kVersHeader, length_);
  const bool right = !faults.wrongCrc && crc32(payload) == value_;
  const Sent sent = say(right ? kDataOk : kCrcError, atUs, send);
  markTransfer(sent.doneUs);
  closeTransfer(right);
  history_.clear();
  if (!right) {
    vers_ = Vers::Ready;
    return;
  }
  vers_ = Vers::Hung;
  if (faults.noProgramming) return;
  // It programs the flash, then restarts into the new application.
  uint64_t readyUs = atUs + wireUs(kDataOk, line());
  for (size_t step = kProgramming; step <= kModule; ++step) {
    readyUs += uint64_t{kProgress[step].afterMs} * 1000;
    say(kProgress[step].text, readyUs, send);
    readyUs += wireUs(kProgress[step].text, line());
    if (step == kProgrammed) {
      flash_ = received_;
      if (faults.newCodeNotRunning) return;
    }
  }
  version_ = setup_.versionAfter;
  vers_ = Vers::Application;
}

// The boot-loader decoder --------------------------------------------------------------------

bool Decoder::loaderOk() const {
  return blocksWritten_ > 0 && !blockUnwritten_ && !blockLost_;
}

void Decoder::loader(uint8_t byte, const Faults& faults, uint64_t atUs, const Send& send) {
  auto start = [&] {
    frameBytes_.assign(1, byte);
    frameSize_ = byte == kTextFrame ? kTextHead : kLoadHead;
    frameStart_ = beforeByte_;
    frame_ = Frame::Head;
  };
  switch (frame_) {
    case Frame::Idle:
      if (byte == kTextFrame || byte == kLoadFrame) start();
      return;
    case Frame::Head: {
      frameBytes_.push_back(byte);
      const bool text = frameBytes_[0] == kTextFrame;
      // Not a frame after all: a new one may start with this byte.
      if ((frameBytes_.size() == 2 && !text && byte != kLoad) ||
          (frameBytes_.size() == 3 && text && byte != 0x00)) {
        frame_ = Frame::Idle;
        if (byte == kTextFrame || byte == kLoadFrame) start();
        return;
      }
      if (frameBytes_.size() < frameSize_) return;
      frameSize_ += text ? frameBytes_[3] : (size_t{frameBytes_[2]} << 8 | frameBytes_[3]);
      frame_ = Frame::Body;
      break;
    }
    case Frame::Body:
      frameBytes_.push_back(byte);
      break;
  }
  if (frameBytes_.size() < frameSize_) return;
  frame_ = Frame::Idle;
  loaderFrame(atUs, faults, send);
}

void Decoder::loaderFrame(uint64_t atUs, const Faults& faults, const Send& send) {
  const std::vector<uint8_t>& f = frameBytes_;
  if (f[0] == kLoadFrame) {
    if (!bootLoader_) return;
    // The first RAM load after an erase starts the transfer.
    if (!open_ && erasedSinceTransfer_) {
      openTransfer(frameStart_);
      erasedSinceTransfer_ = false;
      blockUnwritten_ = blockLost_ = false;
      blocksWritten_ = 0;
    }
    ++loads_;
    const bool magic = std::equal(std::begin(kLoadMagic), std::end(kLoadMagic), f.begin() + 4);
    if (blockUnwritten_) blockLost_ = true;
    if (!magic || loads_ <= faults.refuseRamLoad) {
      ram_.clear();
      ramLoaded_ = blockUnwritten_ = false;
      const Sent sent = sayFramed(kLoadError, atUs, send);
      if (blocksWritten_ == 0) markTransfer(sent.doneUs);
      return;
    }
    ram_.assign(f.begin() + kLoadHead, f.end());
    ramLoaded_ = blockUnwritten_ = true;
    const Sent sent = sayFramed("Prog loaded in RAM Start: 0x" + hex(kDecoderRamStart) +
                                    " Length: 0x" + hex(static_cast<uint32_t>(ram_.size())),
                                atUs, send);
    if (blocksWritten_ == 0) markTransfer(sent.doneUs);
    return;
  }
  const std::string_view payload(reinterpret_cast<const char*>(f.data()) + kTextHead,
                                 f.size() - kTextHead);
  if (f[1] == kService && payload.size() == 1) {
    if (payload[0] == kVersionQuery && !bootLoader_) {
      sayFramed("Version: " + version_, atUs, send);
    } else if (payload[0] == kBootRequest && !bootLoader_) {
      // The boot loader starts without a word and listens at its own rate from now on.
      bootLoader_ = !faults.bootModeSilent;
    } else if (payload[0] == kBootRequest) {
      closeTransfer(loaderOk());
      sayFramed("BTL:: BootLoader Version: " + setup_.bootLoader, atUs, send);
    }
    return;
  }
  if (f[1] != kFlash || !bootLoader_ || payload.empty()) return;
  if (payload[0] == kEraseText[0]) return erase(payload, atUs, send);
  if (payload[0] == kWriteText[0]) return write(payload, atUs, faults, send);
}

void Decoder::erase(std::string_view text, uint64_t atUs, const Send& send) {
  closeTransfer(loaderOk());
  const std::optional<uint32_t> length =
      text.starts_with(kEraseText) ? hexNumber(text.substr(kEraseText.size())) : std::nullopt;
  if (!length || *length > kDecoderFlashEnd - kDecoderFlashStart) {
    sayFramed(kEraseError, atUs, send);
    return;
  }
  if (flash_.size() < *length) {
    for (size_t i = flash_.size(); i < *length; ++i) flash_.push_back(oldFlashByte(i));
  }
  std::fill(flash_.begin(), flash_.begin() + *length, 0xFF);
  erasedFrom_ = kDecoderFlashStart;
  erasedTo_ = kDecoderFlashStart + *length;
  erasedSinceTransfer_ = true;
  sayFramed("FLM:: Erase Flash from: 0x" + hex(kDecoderFlashStart) + " to 0x" + hex(erasedTo_),
            atUs, send);
}

void Decoder::write(std::string_view text, uint64_t atUs, const Faults& faults, const Send& send) {
  // W0x<address, 8 digits>, 0x0000<length>
  std::optional<uint32_t> address, length;
  const size_t comma = kWriteText.size() + 8;
  if (text.size() > comma && text.starts_with(kWriteText) &&
      text.substr(comma).starts_with(kWriteLength)) {
    address = hexNumber(text.substr(kWriteText.size(), 8), 8);
    length = hexNumber(text.substr(comma + kWriteLength.size()));
  }
  const bool fits = address && length && ramLoaded_ && ram_.size() == *length &&
                    *address >= erasedFrom_ && *address <= erasedTo_ &&
                    *length <= erasedTo_ - *address;
  if (faults.refuseFlashWrite || !fits) {
    const Sent sent = sayFramed(kWriteError, atUs, send);
    if (blocksWritten_ == 0) markTransfer(sent.doneUs);
    return;
  }
  // Bits only clear until the next erase.
  const size_t at = *address - kDecoderFlashStart;
  for (size_t i = 0; i < ram_.size(); ++i) flash_[at + i] &= ram_[i];
  writtenEnd_ = std::max(writtenEnd_, at + ram_.size());
  blockUnwritten_ = false;
  ++blocksWritten_;
  const Sent sent = sayFramed(
      "FLM:: Write Flash from 0x" + hex(*address, 8) + " to 0x" + hex(*address + *length, 8), atUs,
      send);
  markTransfer(sent.doneUs);
}

}  // namespace qdqm::sim
