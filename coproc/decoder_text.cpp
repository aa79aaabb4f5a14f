#include "coproc/decoder_text.h"

#include <span>

#include "common/helpers.h"
#include "coproc/serial_waits.h"

namespace qdqm {
namespace {

constexpr uint32_t kNoReplyT = 100;
constexpr uint32_t kQueryT = 100;
constexpr size_t kNameLength = 4;

constexpr uint32_t kBootSettleMs = 250;
constexpr int kSyncBytes = 10;
constexpr uint32_t kSyncPauseMs = 50;

constexpr uint32_t kLoaderAnswerC = 8000;
constexpr int kLoaderDs = 4;
constexpr uint32_t kLoaderDPauseMs = 50;
constexpr std::string_view kLoaderReady = "Waiting";
constexpr uint32_t kLoaderReadyC = 500;
constexpr std::array<uint8_t, 4> kVersQuery{'V', 'E', 'R', 'S'};
constexpr uint32_t kVersionC = 200;
constexpr std::string_view kStartCode = "###00@@";
constexpr std::string_view kStartAnswer = "ACK ";
constexpr uint32_t kStartAnswerC = 1000;

struct ProgressText {
  DecoderProgress which;
  std::string_view text;
  uint32_t C;
};
// "Programming" is looked for by its first 10 characters.
constexpr ProgressText kProgressTexts[] = {
    {DecoderProgress::DataOk, "Data Ok", 3000},
    {DecoderProgress::Programming, std::string_view("Programming").substr(0, 10), 6000},
    {DecoderProgress::Programmed, "Programmed", 10000},
    {DecoderProgress::Running, "Running 'Code  1'", 3000},
    {DecoderProgress::Module, "MODULE", 3000},
};

// Written as writeWithoutReply writes: no reply awaited, the same time-out.
int writeText(SerialPort& port, std::string_view text) {
  return exchange(port, text, std::span<uint8_t>(), 0, kNoReplyT);
}

}  // namespace

int writeWithoutReply(SerialPort& port, const uint8_t* bytes, size_t n) {
  return exchange(port, std::span<const uint8_t>(bytes, n), std::span<uint8_t>(), 0, kNoReplyT);
}

int queryDecoderName(SerialPort& port) {
  std::array<uint8_t, kNameLength + 4> reply{};
  return exchange(port, "name\r", reply, kNameLength, kQueryT);
}

int querySwidVersion(SerialPort& port, SwidVersion& reply) {
  reply.fill(0);
  return exchange(port, "swid\r", reply, kSwidVersionLength, kQueryT);
}

int sendDecoderBoot(SerialPort& port) {
  writeText(port, "boot\r");
  port.clock.sleepMs(kBootSettleMs);
  for (int i = 0; i < kSyncBytes; ++i) {
    writeText(port, "U");
    port.clock.sleepMs(kSyncPauseMs);
  }
  return 1;
}

int enterDecoderLoader(SerialPort& port) {
  writeText(port, "REST");
  if (!waitForAnyInput(port, kLoaderAnswerC)) return 0;
  for (int i = 0; i < kLoaderDs; ++i) {
    writeText(port, "D");
    if (i + 1 < kLoaderDs) port.clock.sleepMs(kLoaderDPauseMs);
  }
  if (!waitForText(port, kLoaderReady, kLoaderReadyC)) return 0;
  discardInput(port);
  return 1;
}

std::string decoderVersionText(std::string_view fileName) {
  const std::string_view name = nameProper(fileName);
  std::string text;
  for (size_t i = 0; i < name.size() && text.size() < kMaxNameCopy; ++i) {
    if (i > 0 && name[i] == '.') break;
    text += name[i] == '_' ? '.' : name[i];
  }
  return text;
}

int decoderReportsVersion(SerialPort& port, std::string_view fileName, std::string_view version,
                          std::span<const uint8_t> query) {
  const std::string_view name = nameProper(fileName);
  if (name.empty() || name[0] == 'U' || name[0] == 'u' || version.empty()) return 0;
  writeWithoutReply(port, query.data(), query.size());
  const int arrived = waitForText(port, version, kVersionC);
  discardInput(port);
  return arrived;
}

int queryDecoderVersion(SerialPort& port, std::string_view fileName) {
  return decoderReportsVersion(port, fileName, decoderVersionText(fileName), kVersQuery);
}

int sendDecoderStartCode(SerialPort& port) {
  writeText(port, kStartCode);
  return waitForText(port, kStartAnswer, kStartAnswerC);
}

int waitForDecoderProgress(SerialPort& port, DecoderProgress which) {
  for (const ProgressText& p : kProgressTexts)
    if (p.which == which) return waitForText(port, p.text, p.C);
  return 0;
}

}  // namespace qdqm
