// Replies of a record-protocol controller: the versions and the hardware byte come as hex digit
// pairs, which controllers write in either case.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "link/controller.h"
#include "tests/support/fake_line.h"

namespace qdqm {
namespace {

// The controller repeats the command without its line end, sends the digits, then three bytes
// nobody reads.
std::string recordReply(std::string_view command, std::string_view digits) {
  return std::string(command) + std::string(digits) + "\r\n>";
}

class RecordReplies : public testing::FakeLineTest {
 protected:
  RecordReplies() { port.state.recordProtocol = true; }
};

TEST_F(RecordReplies, VersionAndHardwareDigitsInEitherCase) {
  for (const char* digits : {"0a3f", "0A3F", "0a3F"}) {
    SCOPED_TRACE(digits);
    line->reply(recordReply(":050000090000000011e1", digits), 2000, 100);
    uint8_t version[2]{};
    ASSERT_EQ(readSoftwareVersion(port, version), 1);
    EXPECT_EQ(version[0], 0x0A);
    EXPECT_EQ(version[1], 0x3F);
    EXPECT_EQ(written(), ":050000090000000011e1\r\n");
  }
  for (const char* digits : {"1b", "1B"}) {
    SCOPED_TRACE(digits);
    line->reply(recordReply(":050000090000000012e0", digits), 2000, 100);
    uint8_t hardware = 0;
    ASSERT_EQ(readHardwareInfo(port, &hardware), 1);
    EXPECT_EQ(hardware, 0x1B);
    EXPECT_EQ(written(), ":050000090000000012e0\r\n");
  }
}

TEST(HexDigits, EveryDigitByItsValue) {
  const std::string_view digits = "0123456789abcdef";
  for (uint8_t value = 0; value < 16; ++value) {
    const char lower = digits[value];
    const char upper = static_cast<char>(lower >= 'a' ? lower - 'a' + 'A' : lower);
    EXPECT_EQ(hexDigitValue(static_cast<uint8_t>(lower)), value) << lower;
    EXPECT_EQ(hexDigitValue(static_cast<uint8_t>(upper)), value) << upper;
  }
}

}  // namespace
}  // namespace qdqm
