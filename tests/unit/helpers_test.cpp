#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>

#include "app/sha256.h"
#include "common/helpers.h"
#include "tests/support/fake_line.h"
#include "tests/support/scripted_host.h"

namespace qdqm {
namespace {

const uint8_t* bytes(std::string_view s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

TEST(VersionNumber, MajorBeforeTheLastDotMinorFromTheEnd) {
  EXPECT_EQ(versionNumber("QD09T V3.19"), 319u);
  EXPECT_EQ(versionNumber("upd2.01"), 201u);
  EXPECT_EQ(versionNumber("V12.05"), 205u);
  EXPECT_EQ(versionNumber("abcd"), 0u);
  EXPECT_EQ(versionNumber("V1.5"), 100u);  // ".5" reads as no minor number
  EXPECT_EQ(versionNumber("x 1234"), 1234u * 100 + 34);
  EXPECT_EQ(versionNumber(".05"), 5u);  // dot at the start: major from the last 4 characters
  EXPECT_EQ(versionNumber(""), 0u);
}

TEST(Checksums, PublishedCheckValuesAndChaining) {
  constexpr std::string_view check = "123456789";
  EXPECT_EQ(~crc32(check.size(), bytes(check), 0xFFFFFFFF), 0xCBF43926u);
  EXPECT_EQ(crc16Ccitt(check.size(), bytes(check), 0xFFFF), 0x29B1);
  EXPECT_EQ(crc16Ccitt(check.size(), bytes(check), 0), 0x31C3);
  // Only the low 16 bits of the start value count.
  EXPECT_EQ(crc16Ccitt(check.size(), bytes(check), 0xABCDFFFF), 0x29B1);

  const uint32_t partial = crc32(4, bytes(check), 0xFFFFFFFF);
  EXPECT_EQ(~crc32(5, bytes(check) + 4, partial), 0xCBF43926u);
  const uint16_t partial16 = crc16Ccitt(3, bytes(check), 0xFFFF);
  EXPECT_EQ(crc16Ccitt(6, bytes(check) + 3, partial16), 0x29B1);

  EXPECT_EQ(crc32(0, nullptr, 0x12345678), 0x12345678u);
  EXPECT_EQ(crc16Ccitt(0, nullptr, 0x12345678), 0x5678);

  // SHA-256: the published examples, and a message fed in pieces across its 64-byte blocks.
  const struct {
    std::string text;
    const char* digest;
  } kSha[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& s : kSha) {
    Sha256 whole;
    whole.add(s.text);
    EXPECT_EQ(whole.hex(), s.digest) << s.text.size();
    Sha256 pieces;
    for (size_t at = 0; at < s.text.size(); at += 37)
      pieces.add(std::string_view(s.text).substr(at, 37));
    EXPECT_EQ(pieces.hex(), s.digest) << s.text.size();
  }
}

TEST(FileNames, NameProperAndUFiles) {
  EXPECT_EQ(nameProper("dir\\sub\\fw$105.bin"), "fw$105.bin");
  EXPECT_EQ(nameProper("dir/sub/fw$105.bin"), "fw$105.bin");
  EXPECT_EQ(nameProper("Ufw$105.bin"), "fw$105.bin");
  EXPECT_EQ(nameProper("dir\\"), "");
  EXPECT_EQ(isUFileName("Ufw$105.bin"), 0);
  EXPECT_EQ(isUFileName("x\\Ufw$105.bin"), 1);
  EXPECT_EQ(isUFileName("x/ufw$105.bin"), 1);
  EXPECT_EQ(isUFileName("x\\"), 0);
  EXPECT_EQ(isUFileName(""), 0);
}

TEST(VersionTests, BlockVersion) {
  EXPECT_EQ(blockVersionTest("MPG V1.05", "mpeg\\mp3_1_05.bin"), 1);
  EXPECT_EQ(blockVersionTest("MPG V1.06", "mpeg\\mp3_1_05.bin"), 0);
  EXPECT_EQ(blockVersionTest("MPG V1.05", "mpeg/mp3_1_05.bin"), 1);
  EXPECT_EQ(blockVersionTest("MPG V1.05", "mpeg\\Ump3_1_05.bin"), 0);  // forced update
  EXPECT_EQ(blockVersionTest("MPG V1.", "mpeg\\mp3_1_05.bin"), 0);     // nothing after "."
  EXPECT_EQ(blockVersionTest("MPG V1.05", "mpeg\\"), 0);
  EXPECT_EQ(blockVersionTest("MPG V1.05", "mpeg\\.bin"), 0);
  // Without separators the comparison starts at the second character of each text.
  EXPECT_EQ(blockVersionTest("x12345", "m\\y12345"), 1);
  // Exactly five characters count: a difference in the fifth is a new version, one in the sixth
  // is not seen.
  EXPECT_EQ(blockVersionTest("x12345", "m\\y12346"), 0);
  EXPECT_EQ(blockVersionTest("DEC V1.12345", "mpeg\\dec_12346.bin"), 0);
  EXPECT_EQ(blockVersionTest("DEC V1.123456", "mpeg\\dec_123457.bin"), 1);
  EXPECT_EQ(blockVersionTest("x123456", "m\\y123457"), 1);
}

TEST(VersionTests, TextVersion) {
  EXPECT_EQ(textVersionTest("V1.05 ready", "fw$1_05.bin", true), 1);
  EXPECT_EQ(textVersionTest("V1.06 ready", "fw$1_05.bin", true), 0);
  EXPECT_EQ(textVersionTest("V1.05 ready", "d\\Ufw$1_05.bin", true), 0);
  EXPECT_EQ(textVersionTest("V1.05 ready", "d\\Ufw$1_05.bin", false), 1);
  EXPECT_EQ(textVersionTest("V1.05", "fw$.bin", true), 0);  // no digits
  EXPECT_EQ(textVersionTest("V1.05", "fw$", true), 0);
  // File digits longer than the module's: the module's end reads as NUL and differs.
  EXPECT_EQ(textVersionTest("V1.0", "fw$1_05.bin", true), 0);
  // No blank within 20 characters: at most 20 module digits are taken.
  EXPECT_EQ(textVersionTest("v12345678901234567890123", "f$123456789012345678901", true), 0);
  EXPECT_EQ(textVersionTest("v12345678901234567890123", "f$12345678901234567890", true), 1);
}

TEST(VersionTests, FpgaVersionFromTheController) {
  VirtualClock clock;
  testing::ScriptedHost host;
  testing::FakeOpener opener{clock};
  opener.present[1] = {};
  SerialPort port{opener, clock, host};
  ASSERT_EQ(openPort(1, port), 1);
  testing::FakeLine& line = *opener.last;

  line.reply("\x12\x34", 2000);
  EXPECT_EQ(fpgaVersionTest(port, "fpga\\fpga$1_234.bin", true), 1);
  EXPECT_EQ(std::string(line.written.begin(), line.written.end()), ":0100000509F1");
  line.reply("\x12\x35", 2000);
  EXPECT_EQ(fpgaVersionTest(port, "fpga\\fpga$1_234.bin", true), 0);
  line.reply(std::string("\0\0", 2), 2000);
  EXPECT_EQ(fpgaVersionTest(port, "fpga\\fpga$9_999.bin", true), 1);  // no FPGA version
  EXPECT_EQ(fpgaVersionTest(port, "fpga\\fpga$1_234.bin", true), 0);  // no reply
  line.written.clear();
  EXPECT_EQ(fpgaVersionTest(port, "fpga\\Ufpga$1_234.bin", true), 0);
  EXPECT_TRUE(line.written.empty());  // a forced update does not ask
}

TEST(SendWord32, FourBytesMostSignificantFirst) {
  VirtualClock clock;
  testing::ScriptedHost host;
  testing::FakeOpener opener{clock};
  opener.present[1] = {};
  SerialPort port{opener, clock, host};
  ASSERT_EQ(openPort(1, port), 1);
  EXPECT_EQ(sendWord32(port, 0x0102A0FF), 1);
  EXPECT_EQ(opener.last->written, (std::vector<uint8_t>{0x01, 0x02, 0xA0, 0xFF}));
  opener.last->loseLine();
  EXPECT_EQ(sendWord32(port, 1), 1);
}

TEST(PercentOf, StepPerWholeHundredthOfTheLength) {
  EXPECT_EQ(percentOf(0, 1000), 0);
  EXPECT_EQ(percentOf(19, 1000), 1);  // divisor 10
  EXPECT_EQ(percentOf(1000, 1000), 100);
  EXPECT_EQ(percentOf(250, 250), 100);  // divisor 2: 125, capped
  EXPECT_EQ(percentOf(150, 199), 100);  // divisor 1: 150, capped
  EXPECT_EQ(percentOf(25, 50), 50);     // under 100 bytes: scaled directly
  EXPECT_EQ(percentOf(0, 0), 0);        // an empty file
  EXPECT_EQ(percentOf(-1, 1000), 0);    // an unknown position stays at the start
  const PercentScale scale(1000);
  EXPECT_EQ(scale.of(500), percentOf(500, 1000));
}

}  // namespace
}  // namespace qdqm
