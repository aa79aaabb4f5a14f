#include "sim/coprocessor.h"

#include <algorithm>
#include <utility>

namespace qdqm::sim {

namespace {

constexpr std::pair<std::string_view, CoprocessorKind> kByType[] = {
    {"QM23", CoprocessorKind::Fpga},          {"QM29", CoprocessorKind::Crc32Decoder},
    {"QM22", CoprocessorKind::Crc32Decoder},  {"QM20", CoprocessorKind::Crc32Decoder},
    {"QM492", CoprocessorKind::Crc16Decoder}, {"QM40", CoprocessorKind::Crc16Decoder},
};

// How a transfer to each kind goes.
struct Rules {
  CoprocessorKind kind;
  uint8_t mode;      // the mode byte of 15 E0 xx
  bool flash;        // an FPGA: erased, then written at the running offset as blocks come
  bool lengthFirst;  // the transfer's first E1 frame carries the payload length, 4 bytes
  size_t header;     // image bytes ahead of the payload the CRC covers
  bool crc32;        // else a CRC-16, sent as 00 00 hh ll
};
constexpr Rules kRules[] = {
    {CoprocessorKind::Fpga, 0x00, true, false, 0, false},
    {CoprocessorKind::Crc32Decoder, 0x00, false, true, 20, true},
    {CoprocessorKind::Crc16Decoder, 0x02, false, false, 0, false},
};

const Rules* rulesOf(CoprocessorKind kind) {
  for (const Rules& r : kRules) {
    if (r.kind == kind) return &r;
  }
  return nullptr;
}

// Each block: a lead, the 4-character version, filled up to 16 bytes.
struct BlockForm {
  VersionBlock which;
  CoprocessorKind kind;
  std::string_view lead;
  char fill;
};
constexpr size_t kBlockBytes = 16;
constexpr size_t kVersionChars = 4;
constexpr BlockForm kBlocks[] = {
    {VersionBlock::Decoder, CoprocessorKind::Crc32Decoder, "", '\0'},
    {VersionBlock::Fpga, CoprocessorKind::Fpga, "v ", '\0'},
    {VersionBlock::TwinFirst, CoprocessorKind::Crc16Decoder, "Mv", ' '},
    {VersionBlock::TwinSecond, CoprocessorKind::Crc16Decoder, "Fv", ' '},
};

// The frames of frame mode: what follows the command byte.
constexpr uint8_t kFrameStart = 0x3A;
constexpr size_t kLengthByte = SIZE_MAX;  // a length byte, then that many bytes
struct FrameForm {
  uint8_t command;
  FrameReader::Event event;
  size_t body;
};
constexpr FrameForm kFrameForms[] = {
    {0xE3, FrameReader::Event::Erase, 0},
    {0xE1, FrameReader::Event::Data, kLengthByte},
    {0xE2, FrameReader::Event::Check, 4},
};

}  // namespace

CoprocessorKind defaultCoprocessor(std::string_view type) {
  for (const auto& [prefix, kind] : kByType) {
    if (type.starts_with(prefix)) return kind;
  }
  return CoprocessorKind::None;
}

uint8_t oldFlashByte(size_t offset) {
  return static_cast<uint8_t>((offset * 37u + 0x5Au) & 0x7Fu);
}

uint32_t crc32(std::span<const uint8_t> bytes, uint32_t crc) {
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}

uint16_t crc16(std::span<const uint8_t> bytes, uint16_t crc) {
  for (uint8_t b : bytes) {
    crc = static_cast<uint16_t>(crc ^ (b << 8));
    for (int i = 0; i < 8; ++i) {
      crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

void FrameReader::reset() {
  state_ = State::Start;
  body_.clear();
  stray_.clear();
}

FrameReader::Event FrameReader::take(uint8_t byte) {
  switch (state_) {
    case State::Start:
      if (byte != kFrameStart) {
        stray_.assign(1, static_cast<char>(byte));
        return Event::NoFrame;
      }
      state_ = State::Command;
      return Event::None;
    case State::Command: {
      const auto form = std::find_if(std::begin(kFrameForms), std::end(kFrameForms),
                                     [&](const FrameForm& f) { return f.command == byte; });
      if (form == std::end(kFrameForms)) {
        state_ = State::Start;
        stray_ = {static_cast<char>(kFrameStart), static_cast<char>(byte)};
        return Event::NoFrame;
      }
      body_.clear();
      event_ = form->event;
      need_ = form->body;
      state_ = need_ == kLengthByte ? State::Length : State::Body;
      break;
    }
    case State::Length:
      need_ = byte;
      state_ = State::Body;
      break;
    case State::Body:
      body_.push_back(byte);
      break;
  }
  if (state_ != State::Body || body_.size() < need_) return Event::None;
  state_ = State::Start;
  return event_;
}

Coprocessors::Coprocessors(Setup setup)
    : setup_(std::move(setup)), version_(setup_.version), fpga_(setup_.fpga) {}

std::optional<uint8_t> Coprocessors::modeByte() const {
  const Rules* r = rulesOf(setup_.kind);
  if (!r) return std::nullopt;
  return r->mode;
}

std::string Coprocessors::versionBlock(VersionBlock which) const {
  for (const BlockForm& f : kBlocks) {
    if (f.which != which || f.kind != setup_.kind) continue;
    std::string block(f.lead);
    block += version_.substr(0, kVersionChars);
    block.resize(f.lead.size() + kVersionChars, f.fill);
    block.resize(kBlockBytes, f.fill);
    return block;
  }
  return {};
}

void Coprocessors::begin(CoprocessorKind target) {
  target_ = target;
  received_.clear();
  length_.reset();
  imageFrames_ = taken_ = 0;
}

uint8_t Coprocessors::erase() {
  const Rules* r = rulesOf(target_);
  if (!r || !r->flash) return kRefused;
  ++fpgaErases_;
  fpgaFlash_.clear();
  fpgaErasedOnce_ = true;
  return kErased;
}

void Coprocessors::program(std::span<const uint8_t> bytes) {
  // Written at the running offset; a cell's bits only clear until the next erase.
  size_t at = received_.size();
  for (uint8_t b : bytes) {
    while (fpgaFlash_.size() <= at) {
      fpgaFlash_.push_back(fpgaErasedOnce_ ? 0xFF : oldFlashByte(fpgaFlash_.size()));
    }
    fpgaFlash_[at++] &= b;
  }
}

uint8_t Coprocessors::data(std::span<const uint8_t> bytes, unsigned refuseNth) {
  const Rules* r = rulesOf(target_);
  if (!r) return kRefused;
  if (r->lengthFirst && !length_) {
    if (bytes.size() != 4) return kRefused;
    length_ =
        uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
    return kTaken;
  }
  ++imageFrames_;
  if (imageFrames_ == refuseNth) return kRefused;
  if (r->flash) program(bytes);
  received_.insert(received_.end(), bytes.begin(), bytes.end());
  ++taken_;
  return kTaken;
}

bool Coprocessors::check(uint32_t value, bool spoilt) {
  const Rules* r = rulesOf(target_);
  if (!r || spoilt) return false;
  const size_t header = std::min(r->header, received_.size());
  const std::span<const uint8_t> payload(received_.data() + header, received_.size() - header);
  if (r->lengthFirst && (received_.size() < r->header || payload.size() != length_)) return false;
  if (r->crc32 ? crc32(payload) != value : (value >> 16 != 0 || crc16(payload) != value)) {
    return false;
  }
  if (r->flash) {
    // Either way of reaching the FPGA reports its new configuration.
    fpga_ = setup_.fpgaAfter;
    if (setup_.kind == CoprocessorKind::Fpga) version_ = setup_.versionAfter;
  } else {
    decoderFlash_ = received_;
    version_ = setup_.versionAfter;
  }
  return true;
}

}  // namespace qdqm::sim
