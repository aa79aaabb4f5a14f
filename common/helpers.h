// Small shared rules of the update stages: version numbers, checksums, sending a 32-bit value,
// and the tests that compare the version in a data file's name with what the module reports.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "link/serial_port.h"

namespace qdqm {

// A message with its fields filled in, printf style.
__attribute__((format(printf, 1, 2))) std::string formatMessage(const char* fmt, ...);

// major * 100 + minor of a version text or file name ("QD09T V3.19" -> 319).
unsigned versionNumber(std::string_view text);

// Reflected CRC-32 (polynomial 0xEDB88320) without final inversion; chain blocks by passing
// the previous result as `start`.
uint32_t crc32(size_t length, const uint8_t* bytes, uint32_t start);
// CRC-16 with polynomial 0x1021, MSB first, no final XOR; the low 16 bits of `start` are used.
uint16_t crc16Ccitt(size_t length, const uint8_t* bytes, uint32_t start);

// The progress of a transfer of `length` bytes: a step per whole hundredth of the length, so the
// bar moves at most a hundred times; a length under 100 has no whole bytes per percent and is
// scaled directly. Never below 0 nor past 100. Keep one for a loop: the divisor is taken once.
class PercentScale {
 public:
  constexpr explicit PercentScale(int64_t length) : length_(length), divisor_(length / 100) {}
  constexpr int of(int64_t done) const {
    const int64_t percent =
        divisor_ > 0 ? done / divisor_ : (length_ > 0 ? done * 100 / length_ : 0);
    return static_cast<int>(std::clamp<int64_t>(percent, 0, 100));
  }

 private:
  int64_t length_;
  int64_t divisor_;
};
// The same for a single position.
constexpr int percentOf(int64_t done, int64_t length) {
  return PercentScale(length).of(done);
}

// Four single-byte writes, most significant byte first. Always 1.
int sendWord32(SerialPort& port, uint32_t value);

// The name proper: after the last "\" or "/"; from the second character when there is none.
std::string_view nameProper(std::string_view fileName);

// 1 when the name proper starts with "U" or "u" (an update that is never current).
int isUFileName(std::string_view fileName);
// The version after the last "." of a coprocessor version block against the file name's.
int blockVersionTest(std::string_view versionBlock, std::string_view fileName);
// A module version text ("V1.05 ready") against the digits after "$" in the file name.
int textVersionTest(std::string_view moduleText, std::string_view fileName, bool uFlag);
// The module's FPGA version against the digits after "$"; 1 also when it reports none (00 00).
int fpgaVersionTest(SerialPort& port, std::string_view fileName, bool uFlag);
// 1 when the version in a coprocessor version block (the text after the last blank before its
// last ".") is the same as or newer than the digits after "$" in the file name.
int notOlderVersionTest(std::string_view versionBlock, std::string_view fileName);
// 1 when both versions of a two-part version block ("v" + version in each 16-character half)
// equal the digits after "$" in the file name.
int twinVersionTest(std::string_view versionBlock, std::string_view fileName);

}  // namespace qdqm
