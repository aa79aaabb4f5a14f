// Intel-HEX records decoded independently of the tool, to judge what it accepts and sends.
#pragma once

#include <cctype>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qdqm::fuzz {

struct Record {
  uint8_t count = 0;
  uint16_t address = 0;
  uint8_t type = 0;
  std::vector<uint8_t> data;
};

inline int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// ":" LL AAAA TT data CC, hex digits of either case, the bytes summing to 0.
inline std::optional<Record> decode(std::string_view line) {
  if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 1; i < line.size(); i += 2) {
    const int hi = hexValue(line[i]), lo = hexValue(line[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  if (sum != 0 || bytes.size() != size_t{bytes[0]} + 5) return std::nullopt;
  Record r;
  r.count = bytes[0];
  r.address = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
  r.type = bytes[3];
  r.data.assign(bytes.begin() + 4, bytes.end() - 1);
  return r;
}

// ":00000001FF" at the start, in either case.
inline bool isEnd(std::string_view line) {
  constexpr std::string_view kEnd = ":00000001ff";
  if (line.size() < kEnd.size()) return false;
  for (size_t i = 0; i < kEnd.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(line[i])) != kEnd[i]) return false;
  return true;
}

// The file as the reader must see it: CR LF read as LF, every other byte as stored.
inline std::string normalised(const std::string& content) {
  std::string out;
  for (size_t i = 0; i < content.size(); ++i)
    if (!(content[i] == '\r' && i + 1 < content.size() && content[i + 1] == '\n'))
      out += content[i];
  return out;
}

// Whether the records up to the end record are all whole, judged line by line, and no two of them
// write different bytes to one address (02 and 04 records with two data bytes set the base; an
// offset wraps inside its 64 KiB segment).
inline bool wholeUpToEnd(const std::string& text) {
  std::map<uint32_t, uint8_t> written;
  uint32_t base = 0;
  size_t at = 0;
  while (at < text.size()) {
    const size_t lf = text.find('\n', at);
    const size_t end = lf == std::string::npos ? text.size() : lf;
    const std::string_view line(text.data() + at, end - at);
    if (isEnd(line)) return true;
    const std::optional<Record> r = decode(line);
    if (!r) return false;
    if ((r->type == 2 || r->type == 4) && r->count == 2)
      base = uint32_t(r->data[0] << 8 | r->data[1]) << (r->type == 2 ? 4 : 16);
    for (size_t i = 0; r->type == 0 && i < r->count; ++i) {
      const auto [it, added] = written.emplace(base + uint16_t(r->address + i), r->data[i]);
      if (!added && it->second != r->data[i]) return false;
    }
    at = end + 1;
  }
  return false;
}

}  // namespace qdqm::fuzz
