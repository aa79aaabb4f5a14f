// A base unit: the box between the PC and up to nine plug-in modules. The PC talks only to it, at
// 19200 baud 8N1, in frames that begin 00:
//   00 00 B0                  its version: major, minor, 00
//   00 00 30                  the type codes of slots 1..9 (00 for an empty slot)
//   00 00 A1 n                select slot n (0: none): 00, or 95 for a slot it does not have
//   00 n L len m t payload    a slot frame: the payload (len - 2 bytes) goes to the module in slot
//                             n; the answer is the module's first m reply bytes and n, or nothing
//                             when they do not come within the time-out t (units by letter L)
// Every module is a whole Controller with its own profile and faults; its output reaches the PC
// only as part of a slot frame's answer.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sim/controller.h"
#include "sim/device.h"
#include "sim/faults.h"

namespace qdqm::sim {

constexpr unsigned kMaxSlots = 9;

struct BaseUnitSetup {
  unsigned slots = 9;  // 8 for a QM65A, 9 for a QM65B
  std::array<uint8_t, 2> version{0x02, 0x22};
};

// The type code a module of `type` reports in a slot: exact names first, then the family
// names written with "_" for any fifth character (QM21_ for QM21A); none for other types.
std::optional<uint8_t> defaultTypeCode(std::string_view type);
// The protocol a module of `type` speaks unless told otherwise in a slot: the record protocol for
// QM492 and the QM40 family, else raw.
Protocol defaultSlotProtocol(std::string_view type);

// Watches the bytes a base unit hands to its modules, for per-module reports: called before a
// module takes a byte, and after it, with the index of its first new reply byte in its output.
class ModuleTap {
 public:
  virtual ~ModuleTap() = default;
  virtual void before(unsigned slot, Controller& module, uint8_t byte, const Line& line,
                      uint64_t atUs) = 0;
  virtual void after(unsigned slot, Controller& module, size_t firstNew, const Line& line,
                     uint64_t atUs) = 0;
};

class BaseUnit : public Device {
 public:
  explicit BaseUnit(BaseUnitSetup setup = {});
  void receive(uint8_t byte, const Line& sent, uint64_t atUs) override;
  // The modules reply with the same timing as the base unit.
  void setWireTiming(bool on) override;

  // Puts a module into `slot` (1 .. slot count; throws std::out_of_range otherwise), replacing
  // any there. Its type code is `code`, else defaultTypeCode (00 for a type without one).
  // wrongSlotFrom: from the slot's Nth slot frame on (1: all of them; 0: never), the answers for
  // this slot end in the slot number + 1.
  void plug(unsigned slot, Profile profile, Faults faults = {},
            std::optional<uint8_t> code = std::nullopt, unsigned wrongSlotFrom = 0);
  Controller* module(unsigned slot);
  const Controller* module(unsigned slot) const;
  uint8_t typeCode(unsigned slot) const;
  uint8_t selected() const { return selected_; }
  // The modules are switched off (end of the program): see Controller::powerOff.
  void powerOff();

  // For the report: the select frames (00 00 A1 n) taken so far and the n of the last one.
  unsigned selectFrames() const { return selectFrames_; }
  uint8_t lastSelect() const { return lastSelect_; }
  // Slot frames taken so far (to any slot, answered or not) and the slot n of the last one; the
  // 00 bytes that began a frame, so that a report can take its counts where a frame began.
  unsigned slotFrames() const { return slotFrames_; }
  uint8_t lastSlotFrame() const { return lastSlotFrame_; }
  unsigned frameStarts() const { return frameStarts_; }
  // How long the slot frames kept the lines to the modules busy since the start, in microseconds:
  // each payload forwarded and the reply bytes its answer waited for (a record-protocol echo
  // included), every byte at its own line's bits a byte. A reply that begins while the payload's
  // last bytes are still going out (the record protocol answers a record before its CR LF is in)
  // overlaps them on the two directions of the line: that stretch counts once.
  double moduleWireUs() const { return moduleWireNs_ / 1000.0; }
  void setTap(ModuleTap* tap) { tap_ = tap; }

 private:
  struct Slot {
    std::unique_ptr<Controller> module;
    uint8_t code = 0;
    unsigned wrongSlotFrom = 0;
    unsigned frames = 0;      // slot frames to this slot so far
    uint64_t lineFreeUs = 0;  // the line to the module is busy with a payload until then
  };
  enum class State : uint8_t {
    Idle,
    Address,
    Command,
    Select,
    Letter,
    Length,
    Count,
    Wait,
    Payload
  };

  void take(uint8_t byte, uint64_t atUs);
  void command(uint8_t byte, uint64_t atUs);
  void slotFrame(uint64_t atUs);
  Slot* slotAt(unsigned n);
  const Slot* slotAt(unsigned n) const;

  BaseUnitSetup setup_;
  std::array<Slot, kMaxSlots> slots_;
  uint8_t selected_ = 0;
  unsigned selectFrames_ = 0;
  uint8_t lastSelect_ = 0;
  unsigned slotFrames_ = 0;
  uint8_t lastSlotFrame_ = 0;
  unsigned frameStarts_ = 0;
  double moduleWireNs_ = 0;
  ModuleTap* tap_ = nullptr;
  // The frame being taken apart.
  State state_ = State::Idle;
  uint8_t slot_ = 0;
  char letter_ = 0;
  size_t need_ = 0;  // payload bytes still to come
  uint8_t expect_ = 0;
  uint8_t wait_ = 0;
  std::string payload_;
};

}  // namespace qdqm::sim
