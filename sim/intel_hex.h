// Intel-HEX text of a flash image, and the synthetic controller data files the demo, the tests and
// the benchmark flash: three header lines, then the records, lines ended in CR LF as the files of
// the original platform are.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qdqm::sim {

using Image = std::map<uint32_t, uint8_t>;

// Two upper-case hex digits.
std::string hexPair(uint8_t b);

// Data records of at most recordBytes bytes (a record never runs past the end of a contiguous
// range), an extended linear address record wherever the upper 16 address bits change, and the
// end record; every line ended with lineEnd.
std::string toIntelHex(const Image& image, unsigned recordBytes = 16,
                       std::string_view lineEnd = "\n");

// `size` pseudo-random bytes, the same for the same seed, never 0xFF (so a missing erase or
// program step shows).
std::vector<uint8_t> syntheticBytes(uint32_t size, uint32_t seed);
// The same bytes from `start` on.
Image syntheticImage(uint32_t start, uint32_t size, uint32_t seed);

struct DataFileHeader {
  std::string type;        // line 1: the module type the file is for
  std::string fpga = ";";  // line 2: hardware revision character / FPGA file, ";" for none
  std::string mpeg = ";";  // line 3: MPEG file, ";" for none
};

// A controller data file: the header lines and the image's records, all lines ended in CR LF.
std::string makeDataFile(const DataFileHeader& header, const Image& image,
                         unsigned recordBytes = 16);

}  // namespace qdqm::sim
