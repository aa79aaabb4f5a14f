// Intel-HEX record lines of a controller data file: the checks made before anything is erased,
// and the packing the record-protocol boot loader needs, which refuses any record that crosses a
// 64-byte block of the address space.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qdqm {

constexpr size_t kFlashBlock = 64;

// ":" LL AAAA TT data CC in hex digits of either case, 11 + 2 * LL characters, and a checksum that
// makes the byte sum 0. `line` is without its line end.
bool isWellFormedRecord(std::string_view line);
// The end of data: the first 11 characters are ":00000001FF" in either case.
bool isEndRecord(std::string_view line);
// The two characters of the record type (positions 7 and 8) equal `type`, in either case.
bool hasRecordType(std::string_view line, std::string_view type);

// Value of the hex byte at line[at], line[at + 1] (digits of either case).
uint8_t hexByteAt(std::string_view line, size_t at);

// The bytes the data records of a file write, by address (extended segment and linear address
// records move the base). A boot loader writes each record as it comes and flash bits only clear
// until the next erase, so two records that give one address different bytes leave neither in
// the flash: such a file must be refused before the erase. The same byte written twice is fine.
class RecordImage {
 public:
  // Takes one well-formed record line; false when it writes a byte other than the one an earlier
  // record wrote at the same address.
  bool take(std::string_view line);

 private:
  uint32_t base_ = 0;
  std::unordered_map<uint32_t, uint8_t> bytes_;
};

// The records to send for one well-formed record line: the line itself when its data stay inside
// one 64-byte block, otherwise one record per block it touches, each with its own checksum and
// without line end. The first keeps the line's address and type, the others are data records at
// the block starts. Characters taken from the line keep their case; the counts, the later
// addresses and the checksums are written in upper-case hex.
std::vector<std::string> packIntoBlocks(std::string_view line);

}  // namespace qdqm
