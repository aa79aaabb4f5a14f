#include "link/base_unit.h"

#include <array>
#include <span>

namespace qdqm {
namespace {

constexpr std::array<uint8_t, 3> kQueryBaseUnit{0x00, 0x00, 0xB0};
constexpr std::array<uint8_t, 3> kReadSlotOccupancy{0x00, 0x00, 0x30};
constexpr uint8_t kSelectSlotCode = 0xA1;
constexpr uint32_t kBaseUnitT = 1000;
constexpr uint8_t kNoSuchSlot = 0x95;  // answer of an 8-slot unit to slot 9
constexpr size_t kSlack = 4;

int sendSelect(SerialPort& port, uint8_t slot, uint8_t& answer) {
  const std::array<uint8_t, 4> frame{0x00, 0x00, kSelectSlotCode, slot};
  std::array<uint8_t, 1 + kSlack> r{};
  const int ok = exchange(port, frame, r, 1, kBaseUnitT);
  answer = r[0];
  return ok;
}

}  // namespace

int queryBaseUnit(SerialPort& port, uint8_t* version) {
  if (!port.isOpen() || version == nullptr) return 0;
  std::array<uint8_t, 3 + kSlack> r{};
  if (!exchange(port, kQueryBaseUnit, r, 3, kBaseUnitT)) return 0;
  version[0] = r[0];
  version[1] = r[1];
  return 1;
}

int readSlotOccupancy(SerialPort& port, uint8_t* occupancy) {
  if (!port.isOpen() || occupancy == nullptr) return 0;
  // The caller's buffer receives the 9 occupancy bytes.
  std::array<uint8_t, 9 + kSlack> r{};
  if (!exchange(port, kReadSlotOccupancy, r, 9, kBaseUnitT)) return 0;
  std::copy(r.begin(), r.begin() + 9, occupancy);
  port.clock.sleepMs(50);
  discardInput(port);
  return 1;
}

int selectSlot(SerialPort& port, uint8_t slot) {
  if (!port.isOpen()) return 0;
  uint8_t answer = 0xFF;
  return sendSelect(port, slot, answer) && answer == 0x00 ? 1 : 0;
}

int probeSlotCount(SerialPort& port, int& slotCount) {
  if (!port.isOpen()) return 0;
  uint8_t answer = 0;
  sendSelect(port, 9, answer);
  const int result = answer == kNoSuchSlot ? 0 : 1;
  slotCount = answer == kNoSuchSlot ? 8 : 9;
  sendSelect(port, 0, answer);
  return result;
}

}  // namespace qdqm
