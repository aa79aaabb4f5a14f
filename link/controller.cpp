#include "link/controller.h"

#include <array>
#include <cstring>
#include <span>

namespace qdqm {
namespace {

// One command: its frame exactly as the controller expects it (case and line end included), the
// reply length it waits for and its time-out in polling cycles.
struct Command {
  std::string_view frame;
  size_t replyLength;
  uint32_t T;
  // Offset of the data in a record-protocol reply: the echo of the frame without its line end.
  size_t dataOffset() const { return frame.ends_with("\r\n") ? frame.size() - 2 : frame.size(); }
};

constexpr Command kSync{"UU", 2, 30};
constexpr Command kQueryType{":0100000501f9", 5, 100};
constexpr Command kQueryTypeRecord{":050000090000000010E2\r\n", 29, 100};
constexpr Command kSoftwareVersion{":0100000502f8", 2, 200};
constexpr Command kSoftwareVersionRecord{":050000090000000011e1\r\n", 28, 200};
constexpr Command kBootLoaderVersion{":0100000500fa", 2, 200};
constexpr Command kBootLoaderVersionRecord{":00000001ff", 16, 200};
constexpr Command kHardwareInfo{":0100000503f7", 1, 200};
constexpr Command kHardwareInfoRecord{":050000090000000012e0\r\n", 26, 200};
constexpr Command kSelectController{":020000030000fb", 1, 200};
constexpr Command kFpgaUpdateMode{":0100000306f6", 1, 200};
constexpr Command kMpegUpdateMode{":0100000302fa", 1, 200};
// Boot loaders before version 2 erase from a different start address.
constexpr Command kEraseFlashOldBoot{":0210000301d812", 1, 12000};
constexpr Command kEraseFlash{":021000030100ea", 1, 12000};
constexpr Command kEraseFlashQM4x{":0300000480000079\r\n", 21, 500};
constexpr Command kEraseFlashQD09{":0204000301f8fe", 1, 500};
constexpr Command kTopSpeed{":0100000508f2", 1, 200};
constexpr Command kTopSpeedRecord{":05000009000000008171\r\n", 26, 200};
constexpr size_t kTopSpeedRecordDigit = 22;

// The boot loader's wake-up, sent at 2400 baud.
constexpr std::array<uint8_t, 3> kWakeFirst{0x15, 0x01, 0x01};
constexpr std::array<uint8_t, 3> kWakeSecond{0x15, 0xEF, 0x00};
constexpr uint32_t kWakeFirstT = 100;
constexpr uint32_t kWakeSecondT = 4000;
constexpr uint32_t kWakeRate = 2400;

constexpr uint32_t kRawSpeedSleepMs = 250;
constexpr uint32_t kRecordSpeedSleepMs = 450;

// The rates a controller may be moved to, by its top-speed answer "1" to "3".
struct SpeedStep {
  uint32_t rate;
  Command raw;
  Command record;  // empty frame: the record protocol does not offer this rate
  std::string_view failText;
};
constexpr std::array<SpeedStep, 3> kSpeedSteps{{
    {38400,
     {":020000030401f6", 1, 100},
     {":0200000281017A\r\n", 19, 200},
     "Could not set baud rate to 38400 !!!"},
    {57600,
     {":020000030402f5", 1, 100},
     {":02000002810279\r\n", 19, 200},
     "Could not set baud rate to 57600!!!"},
    {115200, {":020000030403f4", 1, 100}, {"", 0, 0}, "Could not set baud rate to 115200 !!!"},
}};
constexpr Command kBackTo19200{":020000030400f7", 1, 100};
constexpr Command kBackTo19200Record{":0200000281007B\r\n", 19, 200};
constexpr size_t kRecordSpeedAck = 15;

constexpr std::string_view kRecordEcho = ":0100";
constexpr std::string_view kWideModuleType = "QM65A";
constexpr std::string_view kPartialType = "PS17";

constexpr size_t kSlack = 4;  // exchange may land up to 4 bytes behind the reply
using Reply = std::array<uint8_t, 32 + kSlack>;

// The echo of `command` could begin at reply[at]: the bytes collected from there agree with it.
bool echoBeginsAt(std::span<const uint8_t> collected, size_t at, std::string_view echo) {
  const size_t n = std::min(collected.size() - at, echo.size());
  return n > 0 && std::memcmp(collected.data() + at, echo.data(), n) == 0;
}

// A record-protocol reply, aligned on the echo of `command` (see exchangeCommand).
int exchangeEchoed(SerialPort& port, std::string_view command, std::span<uint8_t> reply, size_t m,
                   uint32_t T) {
  size_t got = 0;
  if (!exchange(port, command, reply, m, T, &got)) return 0;
  std::string_view echo = command;
  while (!echo.empty() && (echo.back() == '\r' || echo.back() == '\n')) echo.remove_suffix(1);
  const std::span<const uint8_t> collected = reply.first(got);
  size_t start = 0;
  while (start < got && !echoBeginsAt(collected, start, echo)) ++start;
  if (start == 0 || start == got) return 1;
  std::memmove(reply.data(), reply.data() + start, got - start);
  got -= start;
  if (got >= m) return 1;
  // The rest of the reply, with the same time-out; nothing more is sent.
  return exchange(port, std::span<const uint8_t>(), reply.subspan(got), m - got, T);
}

int send(SerialPort& port, const Command& c, uint8_t* reply) {
  return exchangeCommand(port, c.frame, std::span<uint8_t>(reply, c.replyLength + kSlack),
                         c.replyLength, c.T);
}

int sendForAck(SerialPort& port, const Command& c) {
  if (!port.isOpen()) return 0;
  Reply r{};
  return send(port, c, r.data()) && r[0] == kAckChar ? 1 : 0;
}

uint8_t hexPair(const uint8_t* p) {
  return static_cast<uint8_t>(hexDigitValue(p[0]) << 4 | hexDigitValue(p[1]));
}

bool sameFamily(const uint8_t* a, const uint8_t* b) {
  return std::memcmp(a, b, 4) == 0;
}

// The type query answered: a controller that repeated the command speaks the record protocol and
// is asked again in it.
int finishIdentification(SerialPort& port, uint8_t* type) {
  if (std::memcmp(type, kRecordEcho.data(), kRecordEcho.size()) != 0) return 1;
  port.clock.sleepMs(10);
  discardInput(port);
  if (!queryTypeRecord(port, type)) return 0;
  discardInput(port);
  port.state.recordProtocol = true;
  return 1;
}

}  // namespace

int exchangeCommand(SerialPort& port, std::string_view command, std::span<uint8_t> reply, size_t m,
                    uint32_t T) {
  discardInput(port);
  if (isRecordProtocol(port) && command.starts_with(':'))
    return exchangeEchoed(port, command, reply, m, T);
  return exchange(port, command, reply, m, T);
}

uint8_t hexDigitValue(uint8_t c) {
  return c < ':' ? static_cast<uint8_t>(c - 0x30) : static_cast<uint8_t>((c & ~0x20) - 0x37);
}

int syncBytes(SerialPort& port, uint8_t* reply) {
  if (!port.isOpen() || reply == nullptr) return 0;
  return send(port, kSync, reply);
}

int queryType(SerialPort& port, uint8_t* type) {
  if (!port.isOpen() || type == nullptr) return 0;
  return send(port, kQueryType, type);
}

int queryTypeRecord(SerialPort& port, uint8_t* type) {
  if (!port.isOpen() || type == nullptr) return 0;
  Reply r{};
  if (!send(port, kQueryTypeRecord, r.data())) return 0;
  std::memcpy(type, r.data() + kQueryTypeRecord.dataOffset(), 5);
  return 1;
}

int readSoftwareVersion(SerialPort& port, uint8_t* version) {
  if (!port.isOpen() || version == nullptr) return 0;
  Reply r{};
  if (!isRecordProtocol(port)) {
    if (!send(port, kSoftwareVersion, r.data())) return 0;
    version[0] = r[0];
    version[1] = r[1];
    return 1;
  }
  if (!send(port, kSoftwareVersionRecord, r.data())) return 0;
  const uint8_t* d = r.data() + kSoftwareVersionRecord.dataOffset();
  version[0] = hexPair(d);
  version[1] = hexPair(d + 2);
  discardInput(port);
  return 1;
}

int readBootLoaderVersion(SerialPort& port, uint8_t* version) {
  if (!port.isOpen() || version == nullptr) return 0;
  Reply r{};
  const Command& c = isRecordProtocol(port) ? kBootLoaderVersionRecord : kBootLoaderVersion;
  if (!send(port, c, r.data())) return 0;
  const size_t at = isRecordProtocol(port) ? c.dataOffset() : 0;
  version[0] = r[at];
  version[1] = r[at + 1];
  if (isRecordProtocol(port)) discardInput(port);
  return 1;
}

int readHardwareInfo(SerialPort& port, uint8_t* info) {
  if (!port.isOpen() || info == nullptr) return 0;
  Reply r{};
  if (!isRecordProtocol(port)) {
    if (!send(port, kHardwareInfo, r.data())) return 0;
    *info = r[0];
    return 1;
  }
  if (!send(port, kHardwareInfoRecord, r.data())) return 0;
  *info = hexPair(r.data() + kHardwareInfoRecord.dataOffset());
  discardInput(port);
  return 1;
}

int selectController(SerialPort& port) {
  return sendForAck(port, kSelectController);
}
int enterFpgaUpdateMode(SerialPort& port) {
  return sendForAck(port, kFpgaUpdateMode);
}
int enterMpegUpdateMode(SerialPort& port) {
  return sendForAck(port, kMpegUpdateMode);
}

int eraseFlash(SerialPort& port) {
  if (!port.isOpen()) return 0;
  uint8_t boot[2]{};
  if (!readBootLoaderVersion(port, boot)) return 0;
  Reply r{};
  port.moduleChanged = true;
  if (!send(port, boot[0] < 2 ? kEraseFlashOldBoot : kEraseFlash, r.data())) return 0;
  return eraseResultCode(r[0]);
}

int eraseFlashQM4x(SerialPort& port) {
  if (!port.isOpen()) return 0;
  Reply r{};
  port.moduleChanged = true;
  if (!send(port, kEraseFlashQM4x, r.data())) return 0;
  const uint8_t code = r[kEraseFlashQM4x.dataOffset()];
  if (code != kAckChar) return eraseResultCode(code);
  discardInput(port);
  return 1;
}

int eraseFlashQD09(SerialPort& port) {
  if (!port.isOpen()) return 0;
  Reply r{};
  port.moduleChanged = true;
  if (!send(port, kEraseFlashQD09, r.data())) return 0;
  return eraseResultCode(r[0]);
}

int wakeBootLoader(SerialPort& port) {
  if (!port.isOpen()) return 0;
  setBaudRate(port, kWakeRate);
  port.clock.sleepMs(1000);
  Reply r{};
  if (!exchange(port, kWakeFirst, std::span<uint8_t>(r.data(), 1 + kSlack), 1, kWakeFirstT) ||
      !exchange(port, kWakeSecond, std::span<uint8_t>(r.data(), 1 + kSlack), 1, kWakeSecondT)) {
    setBaudRate(port, kNormalRate);
    discardInput(port);
    return 0;
  }
  port.clock.sleepMs(2000);
  setBaudRate(port, kNormalRate);
  port.clock.sleepMs(10);
  discardInput(port);
  syncBytes(port, r.data());
  port.clock.sleepMs(10);
  discardInput(port);
  return 1;
}

int identifyModule(SerialPort& port, uint8_t* type) {
  port.state.recordProtocol = false;
  if (!port.isOpen() || type == nullptr) return 0;
  syncBytes(port, type);
  port.clock.sleepMs(10);
  discardInput(port);
  std::memset(type, 0, kModuleTypeBuffer);
  if (queryType(port, type)) {
    if (std::memcmp(type, kWideModuleType.data(), 5) == 0) type[4] = 'x';
  } else if (std::memcmp(type, kPartialType.data(), 4) == 0) {
    type[4] = '_';
    return 1;
  } else if (!wakeBootLoader(port) || !queryType(port, type)) {
    return 0;
  }
  return finishIdentification(port, type);
}

int selectControllerRetry(SerialPort& port) {
  if (isRecordProtocol(port)) return 1;
  for (int i = 0; i < 5; ++i)
    if (selectController(port)) return 1;
  return 0;
}

int switchToHighSpeed(SerialPort& port, const uint8_t* expectedType) {
  if (!port.isOpen() || expectedType == nullptr) return 0;
  uint8_t type[kModuleTypeBuffer]{};
  bool verify = true;  // false: the change went wrong, go straight to the fall-back
  uint8_t boot[2]{};
  if (readBootLoaderVersion(port, boot) && boot[0] >= 2) {
    const bool record = isRecordProtocol(port);
    Reply r{};
    uint8_t top = 0;
    if (record) {
      send(port, kTopSpeedRecord, r.data());
      top = r[kTopSpeedRecordDigit];
    } else if (send(port, kTopSpeed, r.data())) {
      top = r[0];
    }
    if (top >= '1' && top <= '3') {
      // The record protocol stops at 57600.
      size_t step = static_cast<size_t>(top - '1');
      if (record && step > 1) step = 1;
      const SpeedStep& s = kSpeedSteps[step];
      const Command& c = record ? s.record : s.raw;
      Reply ack{};
      send(port, c, ack.data());
      const uint8_t acknowledge = ack[record ? kRecordSpeedAck : 0];
      port.clock.sleepMs(record ? kRecordSpeedSleepMs : kRawSpeedSleepMs);
      if (!setBaudRate(port, s.rate)) {
        port.host.message("Error message", std::string(s.failText), Icon::Stop);
        verify = false;
      } else {
        discardInput(port);
        verify = acknowledge == kAckChar;
      }
    }
  }
  if (verify && identifyModule(port, type) && sameFamily(type, expectedType)) return 1;

  returnToNormalRate(port);
  std::memset(type, 0, sizeof type);
  return identifyModule(port, type) && sameFamily(type, expectedType) ? 1 : 0;
}

int returnToNormalRate(SerialPort& port) {
  if (!port.isOpen()) return 0;
  if (isRecordProtocol(port)) {
    discardInput(port);
    Reply r{};
    send(port, kBackTo19200Record, r.data());
    port.clock.sleepMs(kRecordSpeedSleepMs);
  } else {
    Reply r{};
    send(port, kBackTo19200, r.data());
    port.clock.sleepMs(kRawSpeedSleepMs);
  }
  setBaudRate(port, kNormalRate);
  discardInput(port);
  return 1;
}

int findModuleAtRaisedRate(SerialPort& port) {
  if (!port.isOpen()) return 0;
  for (const SpeedStep& s : kSpeedSteps) {
    if (!setBaudRate(port, s.rate)) continue;
    discardInput(port);
    uint8_t type[kModuleTypeBuffer]{};
    port.state.recordProtocol = false;
    syncBytes(port, type);
    port.clock.sleepMs(10);
    discardInput(port);
    std::memset(type, 0, sizeof type);
    if (queryType(port, type) && finishIdentification(port, type)) return returnToNormalRate(port);
  }
  port.state.recordProtocol = false;
  setBaudRate(port, kNormalRate);
  discardInput(port);
  return 0;
}

}  // namespace qdqm
