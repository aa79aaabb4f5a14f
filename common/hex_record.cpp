#include "common/hex_record.h"

#include <algorithm>
#include <cctype>

namespace qdqm {
namespace {

constexpr size_t kRecordOverhead = 11;  // ":" LL AAAA TT CC
constexpr std::string_view kEndRecord = ":00000001FF";

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendHex(std::string& out, uint32_t value, int digits) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

bool sameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

// The bytes written as hex pairs from the count on, summed modulo 256.
uint8_t byteSum(std::string_view line) {
  uint8_t sum = 0;
  for (size_t at = 1; at < line.size(); at += 2)
    sum = static_cast<uint8_t>(sum + hexByteAt(line, at));
  return sum;
}

// One record: the count, then the address and type characters and the data characters as given,
// then the two's complement checksum over every byte.
std::string makeRecord(std::string_view addressAndType, std::string_view dataDigits) {
  const size_t count = dataDigits.size() / 2;
  std::string out = ":";
  appendHex(out, static_cast<uint32_t>(count), 2);
  out += addressAndType;
  out += dataDigits;
  appendHex(out, static_cast<uint8_t>(-byteSum(out)), 2);
  return out;
}

}  // namespace

uint8_t hexByteAt(std::string_view line, size_t at) {
  return static_cast<uint8_t>(digitValue(line[at]) << 4 | digitValue(line[at + 1]));
}

bool isWellFormedRecord(std::string_view line) {
  if (line.size() < kRecordOverhead || line[0] != ':' || line.size() % 2 == 0) return false;
  if (!std::all_of(line.begin() + 1, line.end(), [](char c) { return digitValue(c) >= 0; }))
    return false;
  if (line.size() != kRecordOverhead + 2 * size_t{hexByteAt(line, 1)}) return false;
  return byteSum(line) == 0;
}

bool isEndRecord(std::string_view line) {
  return line.size() >= kEndRecord.size() &&
         sameText(line.substr(0, kEndRecord.size()), kEndRecord);
}

bool hasRecordType(std::string_view line, std::string_view type) {
  return line.size() >= 9 && sameText(line.substr(7, 2), type);
}

bool RecordImage::take(std::string_view line) {
  const size_t count = hexByteAt(line, 1);
  const uint16_t offset = static_cast<uint16_t>(hexByteAt(line, 3) << 8 | hexByteAt(line, 5));
  if (hasRecordType(line, "02") || hasRecordType(line, "04")) {
    if (count == 2) {
      const uint32_t value = uint32_t{hexByteAt(line, 9)} << 8 | hexByteAt(line, 11);
      base_ = hasRecordType(line, "02") ? value << 4 : value << 16;
    }
    return true;
  }
  if (!hasRecordType(line, "00")) return true;
  for (size_t i = 0; i < count; ++i) {
    // The offset wraps inside its 64 KiB segment.
    const uint32_t address = base_ + static_cast<uint16_t>(offset + i);
    const uint8_t byte = hexByteAt(line, 9 + 2 * i);
    const auto [at, added] = bytes_.try_emplace(address, byte);
    if (!added && at->second != byte) return false;
  }
  return true;
}

std::vector<std::string> packIntoBlocks(std::string_view line) {
  const size_t count = hexByteAt(line, 1);
  const uint16_t address = static_cast<uint16_t>(hexByteAt(line, 3) << 8 | hexByteAt(line, 5));
  const size_t off = address % kFlashBlock;
  if (off + count <= kFlashBlock) return {std::string(line)};

  const std::string_view data = line.substr(9, 2 * count);
  std::vector<std::string> records;
  size_t taken = 0;
  while (taken < count) {
    const size_t room = taken == 0 ? kFlashBlock - off : kFlashBlock;
    const size_t n = std::min(room, count - taken);
    // The first piece keeps the line's address and type characters; the rest are data records
    // at the next block starts. Data characters are copied as read, in their case.
    std::string addressAndType;
    if (taken == 0) {
      addressAndType = line.substr(3, 6);
    } else {
      appendHex(addressAndType, static_cast<uint16_t>(address + taken), 4);
      addressAndType += "00";
    }
    records.push_back(makeRecord(addressAndType, data.substr(2 * taken, 2 * n)));
    taken += n;
  }
  return records;
}

}  // namespace qdqm
