// Record checks and 64-byte block packing of controller data files, and how the file is read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/data_file.h"
#include "common/hex_record.h"

namespace qdqm {
namespace {

using ::testing::ElementsAre;

TEST(HexRecord, WellFormedAndEndRecords) {
  EXPECT_TRUE(isWellFormedRecord(":10003800000102030405060708090A0B0C0D0E0F40"));
  EXPECT_TRUE(isWellFormedRecord(":10003800000102030405060708090a0b0c0d0e0f40"));
  EXPECT_TRUE(isWellFormedRecord(":00000001FF"));
  EXPECT_FALSE(isWellFormedRecord(":10003800000102030405060708090A0B0C0D0E0F41"));  // checksum
  EXPECT_FALSE(isWellFormedRecord(":10003800000102030405060708090A0B0C0D0E5C"));    // short
  EXPECT_FALSE(isWellFormedRecord("10003800000102030405060708090A0B0C0D0E0F5C"));   // no colon
  EXPECT_FALSE(isWellFormedRecord(":0000G001FF"));
  EXPECT_FALSE(isWellFormedRecord(""));
  EXPECT_TRUE(isEndRecord(":00000001ff"));
  EXPECT_TRUE(isEndRecord(":00000001FF"));
  EXPECT_FALSE(isEndRecord(":00000001F"));
  EXPECT_TRUE(hasRecordType(":04000005000000F007", "05"));
  EXPECT_TRUE(hasRecordType(":020000040001F9", "04"));
  EXPECT_FALSE(hasRecordType(":0200", "04"));
}

TEST(HexRecord, PackingAtBlockBoundaries) {
  // 16 bytes from 0x38 cross 0x40: 8 bytes each side, the second a data record at 0x40.
  // Characters taken from the line keep their case; count, second address and checksums are
  // written in upper case.
  EXPECT_THAT(packIntoBlocks(":10003800000102030405060708090a0b0c0d0e0f40"),
              ElementsAre(":080038000001020304050607A4", ":0800400008090a0b0c0d0e0f5C"));
  EXPECT_THAT(packIntoBlocks(":04003e00aabbccddb0"),
              ElementsAre(":02003e00aabb5B", ":02004000ccdd15"));
  // Ending exactly at the boundary: sent as read, lower case kept.
  EXPECT_THAT(packIntoBlocks(":10003000000102030405060708090a0b0c0d0e0f48"),
              ElementsAre(":10003000000102030405060708090a0b0c0d0e0f48"));
}

TEST(HexRecord, LongLinesAreSplitAtEveryBoundary) {
  // 150 bytes from 0x0010: 48, 64 and 38 bytes at 0x0010, 0x0040 and 0x0080.
  std::string data;
  uint32_t sum = 150 + 0x10;
  for (int i = 0; i < 150; ++i) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", i);
    data += b;
    sum += static_cast<uint32_t>(i);
  }
  char head[10], cs[3];
  std::snprintf(head, sizeof head, ":%02X001000", 150);
  std::snprintf(cs, sizeof cs, "%02X", static_cast<uint8_t>(-sum));
  const std::string line = head + data + cs;
  ASSERT_TRUE(isWellFormedRecord(line));
  const auto pieces = packIntoBlocks(line);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].substr(0, 9), ":30001000");
  EXPECT_EQ(pieces[1].substr(0, 9), ":40004000");
  EXPECT_EQ(pieces[2].substr(0, 9), ":26008000");
  std::string joined;
  for (const auto& p : pieces) {
    EXPECT_TRUE(isWellFormedRecord(p)) << p;
    joined += p.substr(9, p.size() - 11);
  }
  EXPECT_EQ(joined, data);
}

// A record line of `type` at `offset` with the data bytes given in hex, with its checksum.
std::string record(const char* type, unsigned offset, const std::string& data) {
  char head[32];
  std::snprintf(head, sizeof head, ":%02X%04X%s", static_cast<unsigned>(data.size() / 2) & 0xFFu,
                offset & 0xFFFFu, type);
  std::string line = head + data;
  unsigned sum = 0;
  for (size_t at = 1; at < line.size(); at += 2) sum += std::stoul(line.substr(at, 2), nullptr, 16);
  char cs[3];
  std::snprintf(cs, sizeof cs, "%02X", (0x100 - sum % 0x100) % 0x100);
  return line + cs;
}

// Two records that give one address different bytes are found, also across the extended address
// records and where an offset wraps in its segment; the same bytes again, or another segment's
// same offset, are fine.
TEST(HexRecord, OneAddressWrittenTwice) {
  const struct {
    const char* what;
    std::vector<std::string> lines;
    bool lastTaken;
  } kCases[] = {
      {"same bytes again", {record("00", 0x10, "AABB"), record("00", 0x11, "BB")}, true},
      {"other byte", {record("00", 0x10, "AABB"), record("00", 0x11, "BC")}, false},
      {"neighbours", {record("00", 0x10, "AABB"), record("00", 0x12, "CC")}, true},
      {"other linear segment",
       {record("00", 0x10, "AA"), record("04", 0, "0001"), record("00", 0x10, "BB")},
       true},
      {"back to the first segment",
       {record("00", 0x10, "AA"), record("04", 0, "0001"), record("04", 0, "0000"),
        record("00", 0x10, "BB")},
       false},
      {"segment base meets a plain address",
       {record("00", 0x1000, "AA"), record("02", 0, "0100"), record("00", 0x0000, "BB")},
       false},
      {"offset wraps in its segment",
       {record("00", 0x0000, "AA"), record("00", 0xFFFF, "00BB")},
       false},
      {"start address records write nothing",
       {record("00", 0x10, "AA"), record("05", 0, "00000010")},
       true},
  };
  for (const auto& c : kCases) {
    RecordImage image;
    for (size_t i = 0; i + 1 < c.lines.size(); ++i) ASSERT_TRUE(image.take(c.lines[i])) << c.what;
    EXPECT_EQ(image.take(c.lines.back()), c.lastTaken) << c.what;
  }
}

TEST(DataFileRead, CrLfAsLfPiecesAndLineNumbers) {
  const auto path = std::filesystem::temp_directory_path() / "qdqm-datafile-read.txt";
  std::ofstream(path, std::ios::binary) << "QD21S and more\r\n"
                                        << std::string(10, 'x') << "\r\n"
                                        << "a\rb\n:00000001FF";
  DataFile f;
  ASSERT_TRUE(f.open(path.string()));
  EXPECT_EQ(f.length(), 16 + 12 + 4 + 11);
  std::string s;
  ASSERT_TRUE(f.readPiece(s, 98));
  EXPECT_EQ(s, "QD21S and more\n");
  ASSERT_TRUE(f.readPiece(s, 4));  // a longer line comes in pieces
  EXPECT_EQ(s, "xxxx");
  EXPECT_EQ(f.lineNumber(), 2u);
  const DataFile::Mark m = f.mark();
  ASSERT_TRUE(f.readLine(s));
  EXPECT_EQ(s, "xxxxxx\n");
  ASSERT_TRUE(f.readLine(s));
  EXPECT_EQ(s, "a\rb\n");  // a lone CR is data
  EXPECT_EQ(f.lineNumber(), 4u);
  ASSERT_TRUE(f.readLine(s));
  EXPECT_EQ(s, ":00000001FF");  // the last line may lack its line end
  EXPECT_FALSE(f.readLine(s));
  EXPECT_EQ(f.position(), f.length());
  ASSERT_TRUE(f.seek(m));
  ASSERT_TRUE(f.readLine(s));
  EXPECT_EQ(s, "xxxxxx\n");
  EXPECT_EQ(f.lineNumber(), 3u);
  // Opening another file closes this one (Windows removes no file that is open).
  EXPECT_FALSE(f.open((path.string() + ".missing")));
  EXPECT_TRUE(std::filesystem::remove(path));
}

}  // namespace
}  // namespace qdqm
