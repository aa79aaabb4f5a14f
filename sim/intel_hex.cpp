#include "sim/intel_hex.h"

#include <cstdio>
#include <vector>

namespace qdqm::sim {

std::string hexPair(uint8_t b) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", b);
  return text;
}

std::string toIntelHex(const Image& image, unsigned recordBytes, std::string_view lineEnd) {
  if (recordBytes == 0 || recordBytes > 255) recordBytes = 16;
  std::string out;
  uint32_t upper = 0;
  auto line = [&](uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(data.size()),
                               static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                               type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    uint8_t sum = 0;
    out += ':';
    for (uint8_t b : bytes) {
      out += hexPair(b);
      sum = static_cast<uint8_t>(sum + b);
    }
    out += hexPair(static_cast<uint8_t>(-sum));
    out += lineEnd;
  };
  for (auto it = image.begin(); it != image.end();) {
    const uint32_t start = it->first;
    if (start >> 16 != upper) {
      upper = start >> 16;
      line(0x04, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
    }
    std::vector<uint8_t> data;
    while (it != image.end() && it->first == start + data.size() && data.size() < recordBytes &&
           (it->first >> 16) == upper) {
      data.push_back(it->second);
      ++it;
    }
    line(0x00, static_cast<uint16_t>(start), data);
  }
  line(0x01, 0, {});
  return out;
}

std::vector<uint8_t> syntheticBytes(uint32_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 8);
    if (b == 0xFF) b = 0x5A;
  }
  return bytes;
}

Image syntheticImage(uint32_t start, uint32_t size, uint32_t seed) {
  Image image;
  uint32_t at = start;
  for (uint8_t b : syntheticBytes(size, seed)) image[at++] = b;
  return image;
}

std::string makeDataFile(const DataFileHeader& header, const Image& image, unsigned recordBytes) {
  constexpr std::string_view kEnd = "\r\n";
  std::string out = header.type;
  for (const std::string* line : {&header.fpga, &header.mpeg}) {
    out += kEnd;
    out += *line;
  }
  out += kEnd;
  return out + toIntelHex(image, recordBytes, kEnd);
}

}  // namespace qdqm::sim
