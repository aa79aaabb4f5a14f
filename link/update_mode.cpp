#include "link/update_mode.h"

#include <algorithm>
#include <array>
#include <span>

#include "link/type_codes.h"

namespace qdqm {
namespace {

constexpr uint8_t kFrameStart = 0x3A;  // ":"
constexpr uint8_t kDataCommand = 0xE1;
constexpr uint8_t kCrcCommand = 0xE2;
constexpr uint8_t kEraseCommand = 0xE3;
constexpr uint8_t kModeAnswer = 0xE0;
constexpr uint8_t kCrcGood = 'O';

constexpr std::array<uint8_t, 3> kPrepare{0x15, 0x01, 0x01};
constexpr uint32_t kPrepareT = 1000;
constexpr uint32_t kPrepareSleepMs = 100;
constexpr uint32_t kModeT = 23000;
constexpr uint32_t kLengthT = 24001;
constexpr uint32_t kEraseT = 23000;
// A frame's module time-out in ms becomes this many more cycles for the PC's wait.
constexpr uint32_t kExtraCycles = 1001;
constexpr size_t kMaxBlock = 255;
constexpr size_t kSlack = 4;

// The mode frame by group: QM4x decoders take 02, the other coprocessors 00.
struct ModeFrame {
  TypeGroup group;
  uint8_t mode;
};
constexpr ModeFrame kModeFrames[] = {
    {TypeGroup::QM292, 0x00},
    {TypeGroup::QM23, 0x00},
    {TypeGroup::QM20, 0x00},
    {TypeGroup::QM4x, 0x02},
};

// Sends a frame and expects one reply byte equal to `answer`.
int sendForAnswer(SerialPort& port, std::span<const uint8_t> frame, uint32_t T, uint8_t answer) {
  std::array<uint8_t, 1 + kSlack> reply{};
  return exchange(port, frame, reply, 1, T) && reply[0] == answer ? 1 : 0;
}

void putWord32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

}  // namespace

int enterCoprocessorUpdateMode(SerialPort& port, uint8_t typeCode) {
  if (!port.isOpen()) return 0;
  const TypeGroup group = typeGroupOf(typeCode);
  if (group == TypeGroup::Self) return 1;
  const ModeFrame* frame = nullptr;
  for (const ModeFrame& f : kModeFrames)
    if (f.group == group) frame = &f;
  if (frame == nullptr) return 0;
  std::array<uint8_t, 1 + kSlack> reply{};
  // The first answer's value is not looked at; the controller only has to be listening.
  if (!exchange(port, kPrepare, reply, 1, kPrepareT)) return 0;
  port.clock.sleepMs(kPrepareSleepMs);
  const std::array<uint8_t, 3> mode{0x15, kModeAnswer, frame->mode};
  return sendForAnswer(port, mode, kModeT, kModeAnswer);
}

int sendDataBlock(SerialPort& port, const uint8_t* bytes, size_t n, uint32_t t) {
  if (!port.isOpen() || n > kMaxBlock) return 0;
  if (n == 0) return 1;
  discardInput(port);
  port.moduleChanged = true;
  std::array<uint8_t, 3 + kMaxBlock> frame{kFrameStart, kDataCommand, static_cast<uint8_t>(n)};
  std::copy_n(bytes, n, frame.begin() + 3);
  return sendForAnswer(port, std::span<const uint8_t>(frame.data(), n + 3), t + kExtraCycles,
                       kDataCommand);
}

int sendDataLength(SerialPort& port, uint32_t value) {
  if (!port.isOpen()) return 0;
  discardInput(port);
  std::array<uint8_t, 7> frame{kFrameStart, kDataCommand, 0x04};
  putWord32(frame.data() + 3, value);
  return sendForAnswer(port, frame, kLengthT, kDataCommand);
}

int checkCrc(SerialPort& port, uint32_t crc, uint32_t t) {
  if (!port.isOpen()) return 0;
  discardInput(port);
  std::array<uint8_t, 6> frame{kFrameStart, kCrcCommand};
  putWord32(frame.data() + 2, crc);
  return sendForAnswer(port, frame, t + kExtraCycles, kCrcGood);
}

int eraseFpga(SerialPort& port, uint8_t typeCode) {
  if (!port.isOpen()) return 0;
  const TypeGroup group = typeGroupOf(typeCode);
  if (group == TypeGroup::Self) return 1;
  if (group != TypeGroup::QM23) return 0;
  port.moduleChanged = true;
  const std::array<uint8_t, 2> frame{kFrameStart, kEraseCommand};
  return sendForAnswer(port, frame, kEraseT, kEraseCommand);
}

}  // namespace qdqm
