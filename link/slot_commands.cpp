#include "link/slot_commands.h"

#include <algorithm>
#include <array>

#include "link/controller.h"
#include "link/type_codes.h"

namespace qdqm {
namespace {

constexpr size_t kFrameHead = 6;
constexpr size_t kMaxPayload = 250;
constexpr uint32_t kExtraCycles = 1001;
constexpr uint8_t kAck = '.';
constexpr uint32_t kPrepareSleepMs = 100;
constexpr uint32_t kPrepareMs = 1000;
constexpr uint32_t kModeMs = 23000;
constexpr uint32_t kLengthMs = 23000;
constexpr uint32_t kEraseFpgaMs = 23000;

// Time-out byte: tenths of a second, or for letter S (the long checksum wait) units of 10 s.
uint8_t timeoutByte(SlotLetter letter, uint32_t timeoutMs) {
  const uint32_t units = letter == SlotLetter::S ? timeoutMs / 10000 : timeoutMs / 100;
  return static_cast<uint8_t>(std::min<uint32_t>(units, 255));
}

std::span<const uint8_t> bytesOf(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// One exchange expecting one reply byte equal to `answer`.
int sendForAnswer(SerialPort& port, SlotLetter letter, uint8_t slot,
                  std::span<const uint8_t> payload, uint32_t timeoutMs, uint8_t answer) {
  std::vector<uint8_t> reply;
  return slotExchange(port, letter, slot, payload, 1, timeoutMs, &reply) && reply[0] == answer ? 1
                                                                                               : 0;
}

// QM292 modules from 1.00 to 1.05 take their update-mode and data frames with letter Q.
SlotLetter dataLetter(uint8_t typeCode, unsigned moduleVersionNumber) {
  return typeGroupOf(typeCode) == TypeGroup::QM292 && moduleVersionNumber >= 100 &&
                 moduleVersionNumber <= 105
             ? SlotLetter::Q
             : SlotLetter::P;
}

constexpr std::array<uint8_t, 3> kPrepare{0x15, 0x01, 0x01};

// Wake-up of the boot loader by group: the first frame's time-out, the second frame with its
// letter, and the answer the second frame must get.
struct WakeRule {
  TypeGroup group;
  uint32_t firstMs;
  bool pause;
  SlotLetter letter;
  std::array<uint8_t, 3> second;
  size_t secondLength;
  uint8_t answer;
};
constexpr WakeRule kWakeRules[] = {
    {TypeGroup::QM292, 1000, true, SlotLetter::Q, {0x15, 0xEF, 0x00}, 3, 0xEF},
    {TypeGroup::QM23, 1000, true, SlotLetter::Q, {0x15, 0xEF, 0x00}, 3, 0xEF},
    {TypeGroup::QM20, 1000, true, SlotLetter::Q, {0x15, 0xEF, 0x00}, 3, 0xEF},
    {TypeGroup::QM21M, 1000, true, SlotLetter::Q, {0x15, 0xEF, 0x00}, 3, 0xEF},
    {TypeGroup::QM21, 8000, false, SlotLetter::Q, {0x15, 0xEF}, 2, 0x15},
    {TypeGroup::QM4x, 1000, true, SlotLetter::P, {0x15, 0xEF, 0x00}, 3, 0xEF},
};
constexpr uint32_t kWakeSecondMs = 8000;

// The controller commands that differ by protocol: the record protocol's go with letter T.
struct ProtocolCommand {
  SlotLetter letter;
  std::string_view record;
  size_t m;
};
constexpr ProtocolCommand kEraseRecord{SlotLetter::T, ":0300000480000079", 3};
constexpr ProtocolCommand kEraseRaw{SlotLetter::Q, ":021000030100ea", 1};
constexpr ProtocolCommand kSelectRecord{SlotLetter::T, ":02000002880173", 3};
constexpr ProtocolCommand kSelectRaw{SlotLetter::Q, ":020000030000fb", 1};
constexpr uint32_t kEraseMs = 13000;
constexpr uint32_t kSelectMs = 1000;

// Which of the two a type code takes; null for codes that have neither.
const ProtocolCommand* byProtocol(uint8_t typeCode, uint8_t recordProtocol,
                                  const ProtocolCommand& record, const ProtocolCommand& raw) {
  switch (typeGroupOf(typeCode)) {
    case TypeGroup::Self:
      return recordProtocol ? &record : &raw;
    case TypeGroup::QM4x:
      return &record;
    case TypeGroup::QM292:
    case TypeGroup::QM21:
    case TypeGroup::QM21M:
    case TypeGroup::QM23:
    case TypeGroup::QM20:
      return &raw;
    default:
      return nullptr;
  }
}

constexpr std::string_view kQueryType = ":0100000501f9";
constexpr std::string_view kQueryTypeRecord = ":050000090000000010E2";
constexpr std::string_view kHardwareInfo = ":0100000503f7";
constexpr std::string_view kRecordFamily = "QM";
constexpr std::string_view kQM21M = "QM21M";
constexpr uint32_t kIdentifySyncMs = 30;
constexpr uint32_t kIdentifyMs = 1000;
constexpr uint32_t kIdentifyPauseMs = 5;
constexpr size_t kTypeLength = 5;

}  // namespace

int slotExchange(SerialPort& port, SlotLetter letter, uint8_t slot,
                 std::span<const uint8_t> payload, size_t m, uint32_t timeoutMs,
                 std::vector<uint8_t>* reply) {
  if (!port.isOpen() || payload.empty() || payload.size() > kMaxPayload) return 0;
  std::array<uint8_t, kFrameHead + kMaxPayload> frame{0x00,
                                                      slot,
                                                      static_cast<uint8_t>(letter),
                                                      static_cast<uint8_t>(payload.size() + 2),
                                                      static_cast<uint8_t>(m),
                                                      timeoutByte(letter, timeoutMs)};
  std::copy(payload.begin(), payload.end(), frame.begin() + kFrameHead);
  discardInput(port);
  std::vector<uint8_t> got(m + 1 + 4);
  const int ok = exchange(port, std::span<const uint8_t>(frame.data(), kFrameHead + payload.size()),
                          got, m + 1, timeoutMs + kExtraCycles);
  if (reply) reply->assign(got.begin(), got.begin() + static_cast<long>(m));
  // A reply whose last byte is not the slot number is not this slot's answer.
  return ok && got[m] == slot ? 1 : 0;
}

int slotExchange(SerialPort& port, SlotLetter letter, uint8_t slot, std::string_view payload,
                 size_t m, uint32_t timeoutMs, std::vector<uint8_t>* reply) {
  return slotExchange(port, letter, slot, bytesOf(payload), m, timeoutMs, reply);
}

void slotSyncBytes(SerialPort& port, uint8_t slot, uint32_t timeoutMs) {
  slotExchange(port, SlotLetter::T, slot, "UU", 2, timeoutMs);
}

std::string slotIdentify(SerialPort& port, uint8_t slot, SlotModule& entry) {
  const std::string empty = "empty";
  entry.recordProtocol = 0;
  entry.present = false;
  if (!port.isOpen()) return empty;
  slotSyncBytes(port, slot, kIdentifySyncMs);
  port.clock.sleepMs(kIdentifyPauseMs);
  std::vector<uint8_t> reply;
  if (!slotExchange(port, SlotLetter::P, slot, kQueryType, kTypeLength, kIdentifyMs, &reply))
    return empty;
  std::string type(reply.begin(), reply.end());
  if (!type.starts_with(kRecordFamily)) {
    // Not a raw answer: the module speaks the record protocol.
    port.clock.sleepMs(kIdentifyPauseMs);
    slotExchange(port, SlotLetter::T, slot, kSelectRecord.record, 2, kIdentifySyncMs);
    port.clock.sleepMs(kIdentifyPauseMs);
    if (!slotExchange(port, SlotLetter::T, slot, kQueryTypeRecord, 7, kIdentifyMs, &reply))
      return empty;
    type.assign(reply.begin(), reply.begin() + kTypeLength);
    entry.dirSpec = ".\\" + type + "_";
    entry.recordProtocol = 1;
  } else if (type == kQM21M) {
    if (!slotExchange(port, SlotLetter::P, slot, kHardwareInfo, 1, kIdentifyMs, &reply))
      return empty;
    entry.dirSpec = ".\\" + type + "_" + static_cast<char>(reply[0] + 0x30);
  } else {
    entry.dirSpec = ".\\" + type + "_";
  }
  entry.present = true;
  entry.typeCode = 0;
  return type;
}

int slotWakeBootLoader(SerialPort& port, uint8_t slot, uint8_t typeCode) {
  if (!port.isOpen()) return 0;
  const TypeGroup group = typeGroupOf(typeCode);
  if (group == TypeGroup::Self) return 1;
  const auto rule = std::find_if(std::begin(kWakeRules), std::end(kWakeRules),
                                 [group](const WakeRule& r) { return r.group == group; });
  if (rule == std::end(kWakeRules)) return 0;
  if (!slotExchange(port, SlotLetter::P, slot, kPrepare, 1, rule->firstMs)) return 0;
  if (rule->pause) port.clock.sleepMs(kPrepareSleepMs);
  return sendForAnswer(port, rule->letter, slot,
                       std::span<const uint8_t>(rule->second.data(), rule->secondLength),
                       kWakeSecondMs, rule->answer);
}

int slotEraseFlash(SerialPort& port, uint8_t slot, uint8_t typeCode, uint8_t recordProtocol) {
  const ProtocolCommand* c = byProtocol(typeCode, recordProtocol, kEraseRecord, kEraseRaw);
  if (!port.isOpen() || c == nullptr) return 0;
  std::vector<uint8_t> reply;
  port.moduleChanged = true;
  if (!slotExchange(port, c->letter, slot, c->record, c->m, kEraseMs, &reply)) return 0;
  return eraseResultCode(reply[0]);
}

int slotSelectController(SerialPort& port, uint8_t slot, uint8_t typeCode, uint8_t recordProtocol) {
  const ProtocolCommand* c = byProtocol(typeCode, recordProtocol, kSelectRecord, kSelectRaw);
  if (!port.isOpen() || c == nullptr) return 0;
  std::vector<uint8_t> reply;
  return slotExchange(port, c->letter, slot, c->record, c->m, kSelectMs, &reply) && reply[0] == kAck
             ? 1
             : 0;
}

int slotEnterUpdateMode(SerialPort& port, uint8_t slot, uint8_t typeCode,
                        unsigned moduleVersionNumber) {
  if (!port.isOpen()) return 0;
  uint8_t mode = 0x00;
  switch (typeGroupOf(typeCode)) {
    case TypeGroup::Self:
      return 1;
    case TypeGroup::QM292:
    case TypeGroup::QM23:
    case TypeGroup::QM20:
      break;
    case TypeGroup::QM4x:
      mode = 0x02;
      break;
    default:
      return 0;
  }
  if (!slotExchange(port, SlotLetter::P, slot, kPrepare, 1, kPrepareMs)) return 0;
  port.clock.sleepMs(kPrepareSleepMs);
  const std::array<uint8_t, 3> frame{0x15, 0xE0, mode};
  return sendForAnswer(port, dataLetter(typeCode, moduleVersionNumber), slot, frame, kModeMs, 0xE0);
}

int slotSendDataBlock(SerialPort& port, uint8_t slot, const uint8_t* data, size_t length,
                      uint32_t timeoutMs, uint8_t typeCode, unsigned moduleVersionNumber) {
  if (!port.isOpen()) return 0;
  if (length == 0) return 1;
  port.moduleChanged = true;
  std::vector<uint8_t> payload{0x3A, 0xE1, static_cast<uint8_t>(length)};
  payload.insert(payload.end(), data, data + length);
  return sendForAnswer(port, dataLetter(typeCode, moduleVersionNumber), slot, payload, timeoutMs,
                       0xE1);
}

int slotSendDataLength(SerialPort& port, uint8_t slot, uint32_t value, uint8_t typeCode,
                       unsigned moduleVersionNumber) {
  const std::array<uint8_t, 7> payload{0x3A,
                                       0xE1,
                                       0x04,
                                       static_cast<uint8_t>(value >> 24),
                                       static_cast<uint8_t>(value >> 16),
                                       static_cast<uint8_t>(value >> 8),
                                       static_cast<uint8_t>(value)};
  return sendForAnswer(port, dataLetter(typeCode, moduleVersionNumber), slot, payload, kLengthMs,
                       0xE1);
}

int slotCheckCrc(SerialPort& port, uint8_t slot, uint32_t crc, uint32_t timeoutMs,
                 const std::array<uint8_t, 3>& baseUnitVersion) {
  constexpr uint32_t kShortUnitLimitMs = 25500;
  const std::array<uint8_t, 6> payload{0x3A,
                                       0xE2,
                                       static_cast<uint8_t>(crc >> 24),
                                       static_cast<uint8_t>(crc >> 16),
                                       static_cast<uint8_t>(crc >> 8),
                                       static_cast<uint8_t>(crc)};
  const uint8_t major = baseUnitVersion[0], minor = baseUnitVersion[1];
  if (major > 2 || (major == 2 && minor > 0x21))
    return sendForAnswer(port, SlotLetter::S, slot, payload, timeoutMs, 'O');
  const uint32_t limited = std::min(timeoutMs, kShortUnitLimitMs);
  std::vector<uint8_t> reply;
  if (!slotExchange(port, SlotLetter::P, slot, payload, 1, limited, &reply)) return 0;
  if (reply[0] == 'O') return 1;
  // The base unit gave up before the module could answer: only the handset can tell.
  if (timeoutMs < kShortUnitLimitMs) return 0;
  port.host.message("Check module-version after complet update!",
                    "To test the CRC-Checksum after update \nwill function with QM65-Version "
                    "higher 2.21 only. \nPlease test the version of the module when all "
                    "\nupdates finished with the QM68-Handset!",
                    Icon::Information);
  return 1;
}

int slotEraseFpga(SerialPort& port, uint8_t slot, uint8_t typeCode) {
  if (!port.isOpen()) return 0;
  const TypeGroup group = typeGroupOf(typeCode);
  if (group == TypeGroup::Self) return 1;
  if (group != TypeGroup::QM23) return 0;
  port.moduleChanged = true;
  return sendForAnswer(port, SlotLetter::P, slot, std::array<uint8_t, 2>{0x3A, 0xE3}, kEraseFpgaMs,
                       0xE3);
}

}  // namespace qdqm
