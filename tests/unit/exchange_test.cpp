#include <gtest/gtest.h>

#include <array>
#include <string>

#include "link/serial_port.h"
#include "tests/support/fake_line.h"
#include "tests/support/scripted_host.h"

namespace qdqm {
namespace {

using testing::FakeLine;
using testing::FakeLineFaults;
using testing::FakeOpener;
using testing::ScriptedHost;

class ExchangeTest : public ::testing::Test {
 protected:
  ExchangeTest() {
    opener.present[2] = {};
    EXPECT_EQ(openPort(2, port), 1);
    line = opener.last;
  }
  std::string written() const { return std::string(line->written.begin(), line->written.end()); }

  VirtualClock clock;
  ScriptedHost host;
  FakeOpener opener{clock};
  SerialPort port{opener, clock, host};
  FakeLine* line = nullptr;
  std::array<uint8_t, 16> reply{};
  size_t got = 0;
};

TEST_F(ExchangeTest, ZeroLengthReplyReturnsRightAfterWriting) {
  const uint64_t before = clock.nowUs();
  EXPECT_EQ(exchange(port, "UU", reply, 0, 100, &got), 1);
  EXPECT_EQ(written(), "UU");
  EXPECT_EQ(clock.nowUs(), before);
  EXPECT_EQ(line->waits, 0);
}

TEST_F(ExchangeTest, CycleCountBoundsTheReads) {
  line->reply("abcdefg", 0);
  EXPECT_EQ(exchange(port, "x", reply, 1, 2, &got), 0);
  EXPECT_EQ(line->reads, 0);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(written(), "x");

  // 4 bytes where 5 are expected: T - 2 reads, and the 4 bytes stay in the buffer.
  discardInput(port);
  line->reads = 0;
  line->reply("wxyz", 2000);
  EXPECT_EQ(exchange(port, "q", reply, 5, 30, &got), 0);
  EXPECT_EQ(line->reads, 28);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(reply.begin(), reply.begin() + 4), "wxyz");
}

TEST_F(ExchangeTest, SurplusOfOneReadStaysBehindTheReply) {
  line->reply("1234567");
  EXPECT_EQ(exchange(port, "q", reply, 3, 30, &got), 1);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::string(reply.begin(), reply.begin() + 5), "12345");
  EXPECT_EQ(line->waiting(), 2u);
  EXPECT_EQ(discardInput(port), 1);
  EXPECT_EQ(line->waiting(), 0u);
  EXPECT_EQ(discardInput(port), 0);
}

TEST_F(ExchangeTest, SlowReplyIsCollectedAcrossCycles) {
  // 12 bytes, 1.5 ms apart: the quiet time ends each read, later cycles append.
  line->reply("ABCDEFGHIJKL", 3000, 1500);
  EXPECT_EQ(exchange(port, "q", reply, 12, 200, &got), 1);
  EXPECT_GE(got, 12u);
  EXPECT_EQ(std::string(reply.begin(), reply.begin() + 12), "ABCDEFGHIJKL");
  EXPECT_GT(line->reads, 3);
}

TEST_F(ExchangeTest, NeverWritesPastTheReplySpan) {
  line->reply("123456789");
  std::array<uint8_t, 8> big{};
  EXPECT_EQ(exchange(port, "q", std::span<uint8_t>(big).first(3), 3, 30, &got), 1);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(big[3], 0);
}

TEST_F(ExchangeTest, EscEndsALongWaitWithinOneCycle) {
  host.escAtQuery = 3;
  EXPECT_EQ(exchange(port, "q", reply, 5, 30000, &got), 0);
  EXPECT_EQ(host.escQueries, 3);
  EXPECT_EQ(line->reads, 2);
}

TEST_F(ExchangeTest, MessagesArePumpedAtMostEvery100ms) {
  host.setWaitCursor(false);
  const uint64_t start = clock.nowUs();
  EXPECT_EQ(exchange(port, "q", reply, 5, 100, &got), 0);
  const uint64_t elapsedMs = (clock.nowUs() - start) / 1000;
  // An idle cycle lasts about 7 ms: 1 ms pause and a 6 ms read.
  EXPECT_GE(elapsedMs, 98u * 7);
  EXPECT_EQ(host.pumps, static_cast<int>(elapsedMs / 100) + 1);
  EXPECT_TRUE(host.waitCursor);

  port.state.lastPumpTime = clock.tickMs();
  EXPECT_EQ(pumpMessages(port, 100), 0);
  clock.advanceUs(100'000);
  EXPECT_EQ(pumpMessages(port, 100), 1);
}

TEST_F(ExchangeTest, LostLineFailsAtOnce) {
  line->loseLine();
  const uint64_t before = clock.nowUs();
  EXPECT_EQ(exchange(port, "q", reply, 5, 30000, &got), 0);
  EXPECT_LT(clock.nowUs() - before, 10'000u);
  EXPECT_EQ(discardInput(port), 0);
}

TEST_F(ExchangeTest, LineLostDuringTheWaitFailsAtOnce) {
  host.onPump = [&] { line->loseLine(); };
  EXPECT_EQ(exchange(port, "q", reply, 5, 30000, &got), 0);
  EXPECT_EQ(line->reads, 0);
}

TEST_F(ExchangeTest, LengthPrefixedText) {
  std::string text = "old";
  line->reply(std::string("\x01\x02\x00\x00", 4));
  EXPECT_EQ(readLengthPrefixedText(port, text, 250), 1);
  EXPECT_EQ(text, "");

  line->reply(std::string("\x01\x02\x00\x05Hello", 9), 2000, 500);
  EXPECT_EQ(readLengthPrefixedText(port, text, 250), 1);
  EXPECT_EQ(text, "Hello");

  // More than announced never completes.
  line->reply(std::string("\x01\x02\x00\x02okX", 7));
  EXPECT_EQ(readLengthPrefixedText(port, text, 50), 0);
  discardInput(port);
}

TEST_F(ExchangeTest, OverlongLengthPrefixedTextTimesOut) {
  std::string text = "kept";
  std::string longReply("\x00\x00\x00\xC8", 4);  // announces 200 bytes
  longReply += std::string(200, 'x');
  line->reply(longReply, 0, 100);
  EXPECT_EQ(readLengthPrefixedText(port, text, 250), 0);
  EXPECT_EQ(text, "kept");

  // Announces 95 and delivers 146 at once: the 10-byte reads step over 99 straight to the full
  // buffer, and the rest is read away without being stored.
  std::string over("\x00\x00\x00\x5F", 4);
  over += std::string(146, 'y');
  line->reply(over);
  EXPECT_EQ(readLengthPrefixedText(port, text, 250), 0);
}

TEST_F(ExchangeTest, ClosedPortFailsEverything) {
  port.close();
  size_t n = 0;
  EXPECT_EQ(exchange(port, "q", reply, 0, 30), 0);
  EXPECT_EQ(setBaudRate(port, 9600), 0);
  EXPECT_EQ(setParity(port, 2), 0);
  EXPECT_EQ(writeBytes(port, reply.data(), 1), 0);
  EXPECT_EQ(readBytes(port, reply.data(), 1, n), 0);
  EXPECT_EQ(discardInput(port), 0);
  std::string text;
  EXPECT_EQ(readLengthPrefixedText(port, text, 10), 0);
}

TEST_F(ExchangeTest, RateAndParity) {
  LineSettings s;
  ASSERT_TRUE(line->readSettings(s));
  EXPECT_EQ(s, (LineSettings{19200, Parity::None}));
  EXPECT_EQ(setBaudRate(port, 4800), 0);
  EXPECT_EQ(setBaudRate(port, 115200), 1);
  EXPECT_EQ(setBaudRate(port, 4800), 0);
  ASSERT_TRUE(line->readSettings(s));
  EXPECT_EQ(s.baud, 115200u);

  EXPECT_EQ(setParity(port, 2), 1);
  EXPECT_EQ(setParity(port, 3), 0);
  ASSERT_TRUE(line->readSettings(s));
  EXPECT_EQ(s.parity, Parity::Even);
  EXPECT_EQ(setParity(port, 0), 1);
}

TEST_F(ExchangeTest, ReadAndWriteBytes) {
  size_t n = 7;
  EXPECT_EQ(readBytes(port, reply.data(), 0, n), 0);
  EXPECT_EQ(readBytes(port, reply.data(), 4, n), 1);
  EXPECT_EQ(n, 0u);
  line->reply("ab");
  EXPECT_EQ(readBytes(port, reply.data(), 4, n), 1);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(writeBytes(port, reinterpret_cast<const uint8_t*>("hi"), 2), 1);
  EXPECT_EQ(written(), "hi");
  line->loseLine();
  EXPECT_EQ(readBytes(port, reply.data(), 4, n), EIO);
  EXPECT_EQ(writeBytes(port, reply.data(), 1), 0);
}

struct OpenCase {
  FakeLineFaults faults;
  int result;
  const char* message;  // null: no message
  bool staysOpen;
};

class OpenPortTest : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenPortTest, ResultMessageAndPort) {
  VirtualClock clock;
  ScriptedHost host;
  FakeOpener opener{clock};
  opener.present[5] = GetParam().faults;
  SerialPort port{opener, clock, host};
  EXPECT_EQ(openPort(5, port), GetParam().result);
  EXPECT_EQ(port.isOpen(), GetParam().staysOpen);
  if (GetParam().message) {
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, GetParam().message);
    EXPECT_EQ(host.boxes[0].caption, host.programName);
  } else {
    EXPECT_TRUE(host.boxes.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, OpenPortTest,
    ::testing::Values(
        OpenCase{{}, 1, nullptr, true}, OpenCase{{.settings = true}, 0, nullptr, false},
        OpenCase{{.readTimeouts = true}, 0, "Could not get communication timeouts !!!", true},
        OpenCase{{.readMask = true}, 0, "Could not get communication mask !!!", true},
        OpenCase{{.addEvent = true}, 0, "Could not set communication mask !!!", true},
        OpenCase{{.keepsParity = false}, 1, nullptr, true}));

TEST(OpenPort, NumbersAndErrors) {
  VirtualClock clock;
  ScriptedHost host;
  FakeOpener opener{clock};
  opener.present[1] = {};
  opener.present[3] = {};
  opener.refused[4] = true;
  SerialPort port{opener, clock, host};

  EXPECT_EQ(openPort(0, port), 0);
  EXPECT_EQ(openPort(100, port), 0);
  EXPECT_EQ(opener.opens, 0);

  EXPECT_EQ(openPort(1, port), 1);
  EXPECT_EQ(openPort(3, port), 1);  // closes COM1 first
  EXPECT_EQ(opener.opens, 2);
  EXPECT_EQ(openPort(2, port), 0);
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(port.lastOpenError, ENOENT);
  EXPECT_EQ(openPort(4, port), 0);
  EXPECT_EQ(port.lastOpenError, EACCES);
  EXPECT_TRUE(host.boxes.empty());
}

}  // namespace
}  // namespace qdqm
