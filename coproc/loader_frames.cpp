#include "coproc/loader_frames.h"

#include <array>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "common/helpers.h"
#include "coproc/decoder_text.h"

namespace qdqm {
namespace {

constexpr uint8_t kTextFrame = 0x02;
constexpr uint8_t kFlashCommand = 'F';
constexpr std::array<uint8_t, 5> kBootRequest{kTextFrame, 'S', 0x00, 0x01, 'B'};
constexpr std::array<uint8_t, 5> kVersionRequest{kTextFrame, 'S', 0x00, 0x01, 'V'};
constexpr std::string_view kEraseAnswer = "FLM:: Erase Flash from:";
constexpr std::string_view kWriteAnswer = "FLM:: Write Flash from";

// A flash frame: 02 46 00 n, then the n text bytes.
int sendFlashText(SerialPort& port, const std::string& text) {
  std::vector<uint8_t> frame{kTextFrame, kFlashCommand, 0x00, static_cast<uint8_t>(text.size())};
  frame.insert(frame.end(), text.begin(), text.end());
  return writeBytes(port, frame.data(), frame.size());
}

int answered(SerialPort& port, std::string_view prefix, uint32_t T) {
  std::string reply;
  return readLengthPrefixedText(port, reply, T) && reply.starts_with(prefix) ? 1 : 0;
}

std::string hex(uint32_t value) {
  char text[12];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

}  // namespace

int requestBootMode(SerialPort& port) {
  return writeBytes(port, kBootRequest.data(), kBootRequest.size());
}

int eraseDecoderFlash(SerialPort& port, uint32_t length, uint32_t T) {
  port.moduleChanged = true;
  if (!sendFlashText(port, "E0x" + hex(kDecoderFlashBase) + ", 0x" + hex(length))) return 0;
  return answered(port, kEraseAnswer, T);
}

int loadBlockToRam(SerialPort& port, uint16_t length) {
  const std::array<uint8_t, 8> header{
      0x03, 'M', static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), 0x2E, 0x1C,
      0x00, 0x00};
  port.moduleChanged = true;
  return writeBytes(port, header.data(), header.size());
}

int writeDecoderFlash(SerialPort& port, uint32_t address, uint16_t length, uint32_t T) {
  char text[32];
  std::snprintf(text, sizeof text, "W0x%08x, 0x0000%x", address, unsigned{length});
  port.moduleChanged = true;
  if (!sendFlashText(port, text)) return 0;
  return answered(port, kWriteAnswer, T);
}

int decoderVersionTest(SerialPort& port, std::string_view fileName) {
  // The version is what follows the first "." of the name proper; none without a ".".
  const std::string_view name = nameProper(fileName);
  const size_t dot = name.substr(0, kMaxNameCopy).find('.');
  const std::string_view version =
      dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1, kMaxNameCopy);
  return decoderReportsVersion(port, fileName, version, kVersionRequest);
}

}  // namespace qdqm
