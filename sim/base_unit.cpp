#include "sim/base_unit.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace qdqm::sim {

namespace {

// The PC's line.
constexpr Line kPcLine{19200, Parity::None};

constexpr std::pair<std::string_view, uint8_t> kTypeCodes[] = {
    {"QM292", 0x53}, {"QM21_", 0x56}, {"QM21H", 0x6B}, {"QM21M", 0x6D}, {"QM23_", 0x5E},
    {"QM20C", 0x63}, {"QM20T", 0x64}, {"QM492", 0x67}, {"QM40_", 0x6C}, {"QM61_", 0x52},
    {"QM37_", 0x42}, {"QM39_", 0x43}, {"QM38_", 0x44}, {"QM31_", 0x45}, {"QM32_", 0x4A},
    {"QM66_", 0x50}, {"QM66S", 0x51}, {"QM76_", 0x54}, {"QM76S", 0x55}, {"QM33_", 0x5C},
    {"QM61A", 0x5F}, {"QM34_", 0x60}, {"QM30_", 0x61}, {"QM63_", 0x62}, {"QM76A", 0x65},
    {"QM66A", 0x66},
};
constexpr char kAnyCharacter = '_';

constexpr std::string_view kRecordTypes[] = {"QM492", "QM40"};

// The base unit's own commands, the byte after 00 00.
constexpr uint8_t kVersion = 0xB0;
constexpr uint8_t kTypeCodeList = 0x30;
constexpr uint8_t kSelect = 0xA1;
constexpr uint8_t kNoSuchSlot = 0x95;

// The slot frame's letters: the unit of its time-out, and whether it is a record-protocol
// transaction (CR LF appended to the payload, the module's echo of it skipped).
struct Letter {
  char letter;
  uint32_t unitMs;
  bool transaction;
};
constexpr Letter kLetters[] = {
    {'P', 100, false},
    {'Q', 100, false},
    {'S', 10000, false},
    {'T', 100, true},
};
constexpr std::string_view kLineEnd = "\r\n";

const Letter* letterOf(char c) {
  for (const Letter& l : kLetters) {
    if (l.letter == c) return &l;
  }
  return nullptr;
}

}  // namespace

std::optional<uint8_t> defaultTypeCode(std::string_view type) {
  for (const auto& [name, code] : kTypeCodes) {
    if (name == type) return code;
  }
  for (const auto& [name, code] : kTypeCodes) {
    if (name.back() == kAnyCharacter && type.size() == name.size() &&
        type.starts_with(name.substr(0, name.size() - 1))) {
      return code;
    }
  }
  return std::nullopt;
}

Protocol defaultSlotProtocol(std::string_view type) {
  for (std::string_view prefix : kRecordTypes) {
    if (type.starts_with(prefix)) return Protocol::Record;
  }
  return Protocol::Raw;
}

BaseUnit::BaseUnit(BaseUnitSetup setup) : setup_(setup) {
  setup_.slots = std::min(setup_.slots, kMaxSlots);
}

void BaseUnit::setWireTiming(bool on) {
  Device::setWireTiming(on);
  for (Slot& s : slots_) {
    if (s.module) s.module->setWireTiming(on);
  }
}

BaseUnit::Slot* BaseUnit::slotAt(unsigned n) {
  return n >= 1 && n <= setup_.slots ? &slots_[n - 1] : nullptr;
}

const BaseUnit::Slot* BaseUnit::slotAt(unsigned n) const {
  return n >= 1 && n <= setup_.slots ? &slots_[n - 1] : nullptr;
}

void BaseUnit::plug(unsigned slot, Profile profile, Faults faults, std::optional<uint8_t> code,
                    unsigned wrongSlotFrom) {
  Slot* s = slotAt(slot);
  if (!s) throw std::out_of_range("no slot " + std::to_string(slot) + " in this base unit");
  s->code = code.value_or(defaultTypeCode(profile.type).value_or(0));
  s->module = std::make_unique<Controller>(std::move(profile), std::move(faults));
  s->module->setWireTiming(wireTiming());
  s->wrongSlotFrom = wrongSlotFrom;
  s->frames = 0;
  s->lineFreeUs = 0;
}

Controller* BaseUnit::module(unsigned slot) {
  Slot* s = slotAt(slot);
  return s ? s->module.get() : nullptr;
}

const Controller* BaseUnit::module(unsigned slot) const {
  const Slot* s = slotAt(slot);
  return s ? s->module.get() : nullptr;
}

uint8_t BaseUnit::typeCode(unsigned slot) const {
  const Slot* s = slotAt(slot);
  return s && s->module ? s->code : 0;
}

void BaseUnit::powerOff() {
  for (Slot& s : slots_) {
    if (s.module) s.module->powerOff();
  }
}

void BaseUnit::receive(uint8_t byte, const Line& sent, uint64_t atUs) {
  take(sent == kPcLine ? byte : garble(byte), atUs);
}

void BaseUnit::take(uint8_t byte, uint64_t atUs) {
  switch (state_) {
    case State::Idle:
      if (byte == 0x00) {
        state_ = State::Address;
        ++frameStarts_;
      }
      return;
    case State::Address:
      if (byte == 0x00) {
        state_ = State::Command;
        return;
      }
      if (byte > kMaxSlots) break;
      slot_ = byte;
      state_ = State::Letter;
      return;
    case State::Command:
      // 00 00 00: the first 00 was a stray.
      if (byte == 0x00) return;
      if (byte == kSelect) {
        state_ = State::Select;
        return;
      }
      state_ = State::Idle;
      if (byte == kVersion || byte == kTypeCodeList) return command(byte, atUs);
      break;
    case State::Select: {
      state_ = State::Idle;
      ++selectFrames_;
      lastSelect_ = byte;
      const bool have = byte <= setup_.slots;
      if (have) selected_ = byte;
      emit(std::string(1, static_cast<char>(have ? 0x00 : kNoSuchSlot)), atUs, kPcLine);
      return;
    }
    case State::Letter:
      if (!letterOf(static_cast<char>(byte))) break;
      letter_ = static_cast<char>(byte);
      state_ = State::Length;
      return;
    case State::Length:
      // The count covers m, t and the payload.
      if (byte < 2) break;
      need_ = byte - 2u;
      state_ = State::Count;
      return;
    case State::Count:
      expect_ = byte;
      state_ = State::Wait;
      return;
    case State::Wait:
      wait_ = byte;
      payload_.clear();
      state_ = State::Payload;
      if (need_ == 0) {
        state_ = State::Idle;
        slotFrame(atUs);
      }
      return;
    case State::Payload:
      // Any byte value, 00 included: only the count tells where the frame ends.
      payload_.push_back(static_cast<char>(byte));
      if (payload_.size() < need_) return;
      state_ = State::Idle;
      return slotFrame(atUs);
  }
  // Not a frame after all: the byte may begin the next one.
  state_ = byte == 0x00 ? State::Address : State::Idle;
  if (state_ == State::Address) ++frameStarts_;
}

void BaseUnit::command(uint8_t byte, uint64_t atUs) {
  std::string answer;
  if (byte == kVersion) {
    answer = {static_cast<char>(setup_.version[0]), static_cast<char>(setup_.version[1]), '\0'};
  } else {
    for (unsigned n = 1; n <= kMaxSlots; ++n) answer.push_back(static_cast<char>(typeCode(n)));
  }
  emit(answer, atUs, kPcLine);
}

void BaseUnit::slotFrame(uint64_t atUs) {
  ++slotFrames_;
  lastSlotFrame_ = slot_;
  Slot* s = slotAt(slot_);
  if (!s || !s->module) return;
  Controller& module = *s->module;
  ++s->frames;
  const Letter& letter = *letterOf(letter_);
  std::string forward = payload_;
  if (letter.transaction) forward += kLineEnd;
  // Service commands go out as the module hears its service channel; anything else at the
  // settings it listens at, so it always arrives whole.
  const bool service =
      !letter.transaction && !payload_.empty() && isServiceLead(static_cast<uint8_t>(payload_[0]));
  const Line line = service ? kServiceLine : module.listening();

  // What the module sent before this payload is not part of its answer.
  auto& out = module.output();
  out.clear();
  const uint32_t step = wireTiming() ? byteTimeUs(line) : 0;
  uint64_t t = std::max(atUs, s->lineFreeUs);
  const uint64_t forwardFromUs = t;
  for (char c : forward) {
    t += step;
    const auto byte = static_cast<uint8_t>(c);
    const size_t before = out.size();
    if (tap_) tap_->before(slot_, module, byte, line, t);
    module.receive(byte, line, t);
    if (tap_) tap_->after(slot_, module, before, line, t);
  }
  s->lineFreeUs = t;

  // A record-protocol module first echoes the payload (without the line end); a raw one, or one
  // whose line goes to its decoder, echoes nothing.
  const bool echoes = module.profile().protocol == Protocol::Record && !module.decoderRouted();
  const size_t skip = letter.transaction && echoes && expect_ > 0 ? payload_.size() : 0;
  const uint64_t deadline = t + uint64_t{wait_} * letter.unitMs * 1000;
  std::string answer;
  uint64_t readyUs = t;
  // The reply bytes the base unit waits for: up to the last one it collects, or those done by the
  // time-out when the answer does not come; none when it collects nothing.
  size_t waited = 0;
  bool complete = true;
  if (expect_ > 0) {
    const size_t last = skip + expect_ - 1;
    // Too few bytes in time: the base unit answers nothing.
    complete = out.size() > last && out[last].doneUs <= deadline;
    if (complete) {
      for (size_t i = skip; i <= last; ++i) answer.push_back(static_cast<char>(out[i].byte));
      readyUs = std::max(readyUs, out[last].doneUs);
      waited = last + 1;
    }
    while (!complete && waited < out.size() && out[waited].doneUs <= deadline) ++waited;
  }
  moduleWireNs_ += static_cast<double>(forward.size()) * byteTimeNs(line);
  for (size_t i = 0; i < waited; ++i) {
    // The part of the reply byte that went while the payload was still going out.
    const uint64_t doneUs = out[i].doneUs;
    const uint64_t fromUs = doneUs - std::min<uint64_t>(doneUs, byteTimeUs(out[i].line));
    const uint64_t hi = std::min(doneUs, t), lo = std::max(fromUs, forwardFromUs);
    const uint64_t overlapUs = hi > lo ? hi - lo : 0;
    moduleWireNs_ += byteTimeNs(out[i].line) - static_cast<double>(overlapUs) * 1000.0;
  }
  if (!complete) return out.clear();
  // The rest of the module's reply is dropped.
  out.clear();
  const bool wrong = s->wrongSlotFrom != 0 && s->frames >= s->wrongSlotFrom;
  answer.push_back(static_cast<char>(wrong ? slot_ + 1 : slot_));
  emit(answer, readyUs, kPcLine);
}

}  // namespace qdqm::sim
