#include "common/helpers.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qdqm {

namespace {

constexpr size_t kMaxCopy = 255;
constexpr size_t kBlockCompare = 5;
constexpr size_t kModuleDigitsMax = 20;
constexpr uint32_t kSendWordTimeout = 100;
constexpr std::string_view kFpgaVersionQuery = ":0100000509F1";
constexpr uint32_t kFpgaVersionTimeout = 100;

// Characters past the end of a text read as NUL.
char at(std::string_view s, size_t i) {
  return i < s.size() ? s[i] : '\0';
}

// strtol in base 10 over at most `count` characters from `pos`.
long leadingNumber(std::string_view s, size_t pos, size_t count) {
  const std::string part(s.substr(std::min(pos, s.size()), count));
  return std::strtol(part.c_str(), nullptr, 10);
}

bool isU(char c) {
  return c == 'U' || c == 'u';
}

// Compares `count` characters as strncmp does: equal when both end at the same place.
bool sameChars(std::string_view a, size_t ai, std::string_view b, size_t bi, size_t count) {
  for (size_t k = 0; k < count; ++k) {
    const char ca = at(a, ai + k);
    if (ca != at(b, bi + k)) return false;
    if (ca == '\0') return true;
  }
  return true;
}

// The version digits after the last "$" of a file name, "_" read as "0"; empty when none. With
// uFlag also empty for a forced ("U") file and for an empty name proper: a single character (no
// digits either way) or a name ending in a separator (a directory, never a file a stage opens).
std::string fileDigits(std::string_view fileName, bool uFlag) {
  if (uFlag) {
    const std::string_view name = nameProper(fileName);
    if (name.empty() || isU(name[0])) return {};
  }
  const size_t dollar = fileName.rfind('$');
  const size_t start = dollar == std::string_view::npos ? 1 : dollar + 1;
  if (start >= fileName.size()) return {};
  std::string digits;
  for (size_t i = start; i < fileName.size() && fileName[i] != '.' && digits.size() < kMaxCopy;
       ++i) {
    digits += fileName[i] == '_' ? '0' : fileName[i];
  }
  return digits;
}

constexpr std::array<uint32_t, 256> makeCrc32Table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrc32Table = makeCrc32Table();

}  // namespace

std::string formatMessage(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, again);
  va_end(again);
  return out;
}

unsigned versionNumber(std::string_view text) {
  const size_t dot = text.rfind('.');
  const long major = dot != std::string_view::npos && dot > 0
                         ? leadingNumber(text, dot - 1, 4)
                         : leadingNumber(text, text.size() >= 4 ? text.size() - 4 : 0, 4);
  const long minor = leadingNumber(text, text.size() >= 2 ? text.size() - 2 : 0, 2);
  return static_cast<unsigned>(major * 100 + minor);
}

uint32_t crc32(size_t length, const uint8_t* bytes, uint32_t start) {
  uint32_t crc = start;
  for (size_t i = 0; i < length; ++i) crc = (crc >> 8) ^ kCrc32Table[(crc ^ bytes[i]) & 0xFF];
  return crc;
}

uint16_t crc16Ccitt(size_t length, const uint8_t* bytes, uint32_t start) {
  uint16_t crc = static_cast<uint16_t>(start);
  for (size_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>((crc >> 8) | (crc << 8));
    crc = static_cast<uint16_t>(crc ^ bytes[i]);
    crc = static_cast<uint16_t>(crc ^ ((crc & 0xFF) >> 4));
    crc = static_cast<uint16_t>(crc ^ (crc << 12));
    crc = static_cast<uint16_t>(crc ^ ((crc & 0xFF) << 5));
  }
  return crc;
}

int sendWord32(SerialPort& port, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    const uint8_t byte = static_cast<uint8_t>(value >> shift);
    exchange(port, std::span<const uint8_t>(&byte, 1), std::span<uint8_t>(), 0, kSendWordTimeout);
  }
  return 1;
}

std::string_view nameProper(std::string_view fileName) {
  const size_t sep = fileName.find_last_of("\\/");
  const size_t start = sep == std::string_view::npos ? 1 : sep + 1;
  return start >= fileName.size() ? std::string_view() : fileName.substr(start);
}

int isUFileName(std::string_view fileName) {
  const std::string_view name = nameProper(fileName);
  return !name.empty() && isU(name[0]) ? 1 : 0;
}

int blockVersionTest(std::string_view versionBlock, std::string_view fileName) {
  const std::string_view name = nameProper(fileName);
  if (name.empty()) return 0;
  std::string copy;
  for (size_t i = 0; i < name.size() && name[i] != '.' && copy.size() < kMaxCopy; ++i) {
    copy += name[i] == '_' ? '.' : name[i];
  }
  if (copy.empty() || isU(copy[0])) return 0;
  const size_t fileDot = copy.rfind('.');
  const size_t fileStart = fileDot == std::string::npos ? 1 : fileDot + 1;
  const size_t blockDot = versionBlock.rfind('.');
  const size_t moduleStart = blockDot == std::string_view::npos ? 1 : blockDot + 1;
  if (moduleStart >= versionBlock.size()) return 0;
  return sameChars(copy, fileStart, versionBlock, moduleStart, kBlockCompare) ? 1 : 0;
}

int textVersionTest(std::string_view moduleText, std::string_view fileName, bool uFlag) {
  const std::string digits = fileDigits(fileName, uFlag);
  if (digits.empty()) return 0;
  std::string module;
  for (size_t i = 0; i < moduleText.size() && module.size() < kModuleDigitsMax; ++i) {
    const char c = moduleText[i];
    if (c == ' ' || c == '\0') break;
    if (c == 'v' || c == 'V') continue;
    module += c == '.' ? '0' : c;
  }
  return sameChars(digits, 0, module, 0, digits.size()) ? 1 : 0;
}

int fpgaVersionTest(SerialPort& port, std::string_view fileName, bool uFlag) {
  const std::string digits = fileDigits(fileName, uFlag);
  if (digits.empty()) return 0;
  std::array<uint8_t, 2 + 4> reply{};
  // No reply: the version is unknown, so the image is not taken as current and the stage runs.
  if (!exchange(port, kFpgaVersionQuery, reply, 2, kFpgaVersionTimeout)) return 0;
  const uint8_t e = reply[0];
  const uint8_t f = reply[1];
  if (e == 0 && f == 0) return 1;
  const char module[] = {static_cast<char>((e >> 4) + 0x30), '0',
                         static_cast<char>((e & 0x0F) + 0x30), static_cast<char>((f >> 4) + 0x30),
                         static_cast<char>((f & 0x0F) + 0x30)};
  return sameChars(digits, 0, std::string_view(module, sizeof module), 0, digits.size()) ? 1 : 0;
}

int notOlderVersionTest(std::string_view versionBlock, std::string_view fileName) {
  // A forced ("U") file is never current.
  const std::string file = fileDigits(fileName, true);
  if (file.empty()) return 0;
  const std::string_view t = versionBlock;
  const size_t dot = t.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || t[dot - 1] == '?') return 0;
  const size_t blank = t.rfind(' ', dot);
  std::string module;
  for (size_t i = blank == std::string_view::npos ? 1 : blank + 1;
       i < t.size() && t[i] != ' ' && module.size() < kMaxCopy; ++i)
    module += t[i] == '.' ? '0' : t[i];
  // Past its end the file version reads as a character above every other: a longer module version
  // counts as older.
  for (size_t i = 0; i < module.size(); ++i) {
    if (i >= file.size()) return 0;
    const auto f = static_cast<unsigned char>(file[i]);
    const auto m = static_cast<unsigned char>(module[i]);
    if (f != m) return f > m ? 0 : 1;
  }
  return 1;
}

namespace {

// One half of a two-part version block: the version after "v" in front of the last "." found in
// [from, to), up to `last` or the first blank, "." read as "0". Empty when the "." is missing, is
// preceded by "?" or has no "v" two characters before it.
std::string twinHalf(std::string_view t, size_t from, size_t to, size_t last) {
  size_t dot = std::string_view::npos;
  for (size_t i = from; i < to && i < t.size(); ++i)
    if (t[i] == '.') dot = i;
  if (dot == std::string_view::npos || dot < 2 || t[dot - 1] == '?' || t[dot - 2] != 'v') return {};
  std::string version;
  for (size_t i = dot - 1; i <= last && i < t.size() && t[i] != ' '; ++i)
    version += t[i] == '.' ? '0' : t[i];
  return version;
}

}  // namespace

int twinVersionTest(std::string_view versionBlock, std::string_view fileName) {
  constexpr size_t kHalf = 16;
  constexpr size_t kShortestBlock = 30;
  // A forced ("U") file is never current.
  const std::string file = fileDigits(fileName, true);
  if (file.empty() || versionBlock.size() < kShortestBlock) return 0;
  const std::string first = twinHalf(versionBlock, 1, kHalf, kHalf - 1);
  const std::string second =
      twinHalf(versionBlock, kHalf + 1, versionBlock.size(), versionBlock.size() - 1);
  if (first.empty() || second.empty()) return 0;
  for (size_t i = 0; i < second.size(); ++i)
    if (at(file, i) != second[i] || at(first, i) != second[i]) return 0;
  return 1;
}

}  // namespace qdqm
