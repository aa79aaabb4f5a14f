// The coprocessor frames and waits on a scripted line: frames byte for byte, the cycle counts of
// their time-outs, the version queries and the version tests of the coprocessor stages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "app/update_dialog.h"
#include "common/helpers.h"
#include "common/stage_common.h"
#include "coproc/serial_waits.h"
#include "link/serial_port.h"
#include "link/update_mode.h"
#include "link/version_query.h"
#include "procedures/procedures.h"
#include "tests/support/fake_line.h"
#include "tests/support/scripted_host.h"
#include "tests/support/test_bytes.h"

namespace qdqm {
namespace {

using testing::bytes;

class CoprocLine : public testing::FakeLineTest {
 protected:
  // The reads an exchange makes that waits out T cycles without an answer.
  int readsOfUnansweredExchange(const std::function<void()>& call) {
    line->reads = 0;
    call();
    return line->reads;
  }
};

TEST_F(CoprocLine, UpdateModeFramesByTypeCode) {
  line->reply(bytes({0x2E}), 2000);
  line->reply(bytes({0xE0}), 200'000);
  const uint64_t start = clock.nowUs();
  EXPECT_EQ(enterCoprocessorUpdateMode(port, 0x53), 1);
  EXPECT_EQ(written(), bytes({0x15, 0x01, 0x01, 0x15, 0xE0, 0x00}));
  EXPECT_GE(clock.nowUs() - start, 100'000u);  // 100 ms between the two frames

  line->reply(bytes({0x00}), 2000);  // the first answer's value is not looked at
  line->reply(bytes({0xE0}), 200'000);
  EXPECT_EQ(enterCoprocessorUpdateMode(port, 0x6C), 1);
  EXPECT_EQ(written(), bytes({0x15, 0x01, 0x01, 0x15, 0xE0, 0x02}));

  line->reply(bytes({0x2E}), 2000);
  line->reply(bytes({0xEE}), 200'000);
  EXPECT_EQ(enterCoprocessorUpdateMode(port, 0x5E), 0);
  EXPECT_EQ(written(), bytes({0x15, 0x01, 0x01, 0x15, 0xE0, 0x00}));

  // Code 0: nothing to switch; codes without a mode frame (QM21, QM61, unknown) fail unsent.
  EXPECT_EQ(enterCoprocessorUpdateMode(port, 0x00), 1);
  EXPECT_EQ(enterCoprocessorUpdateMode(port, 0x56), 0);
  EXPECT_EQ(enterCoprocessorUpdateMode(port, 0x52), 0);
  EXPECT_EQ(enterCoprocessorUpdateMode(port, 0x41), 0);
  EXPECT_EQ(written(), "");

  // The first frame waits 1000 cycles; with no answer the mode frame is not sent.
  EXPECT_EQ(readsOfUnansweredExchange([&] { enterCoprocessorUpdateMode(port, 0x53); }), 998);
  EXPECT_EQ(written(), bytes({0x15, 0x01, 0x01}));
  line->reply(bytes({0x2E}), 2000);
  EXPECT_EQ(readsOfUnansweredExchange([&] { enterCoprocessorUpdateMode(port, 0x53); }), 1 + 22998);
}

TEST_F(CoprocLine, DataLengthAndCrcFrames) {
  const std::string block = bytes({0x3A, 0xE1, 0x00, 0xFF});
  line->reply(bytes({0xE1}), 2000);
  EXPECT_EQ(sendDataBlock(port, reinterpret_cast<const uint8_t*>(block.data()), 4, 2000), 1);
  EXPECT_EQ(written(), bytes({0x3A, 0xE1, 0x04, 0x3A, 0xE1, 0x00, 0xFF}));
  // Any other answer refuses the block; an empty block is not sent.
  line->reply(bytes({0xE2}), 2000);
  EXPECT_EQ(sendDataBlock(port, reinterpret_cast<const uint8_t*>(block.data()), 1, 2000), 0);
  written();
  EXPECT_EQ(sendDataBlock(port, nullptr, 0, 2000), 1);
  EXPECT_EQ(written(), "");
  // Input left from before the block is discarded: a stale E1 does not confirm it.
  line->reply(bytes({0xE1}), 0);
  clock.advanceUs(1000);
  EXPECT_EQ(sendDataBlock(port, reinterpret_cast<const uint8_t*>(block.data()), 2, 2000), 0);
  written();
  // The module time-out t becomes t + 1001 cycles.
  EXPECT_EQ(readsOfUnansweredExchange([&] {
              sendDataBlock(port, reinterpret_cast<const uint8_t*>(block.data()), 1, 2000);
            }),
            2999);
  written();

  line->reply(bytes({0xE1}), 2000);
  EXPECT_EQ(sendDataLength(port, 0x0103FFEC), 1);
  EXPECT_EQ(written(), bytes({0x3A, 0xE1, 0x04, 0x01, 0x03, 0xFF, 0xEC}));
  EXPECT_EQ(readsOfUnansweredExchange([&] { sendDataLength(port, 1); }), 23999);
  written();

  // A CRC-16 goes as 00 00 hh ll; the coprocessor answers "O" when it matches.
  line->reply("O", 2000);
  EXPECT_EQ(checkCrc(port, 0x0000ABCD, 40000), 1);
  EXPECT_EQ(written(), bytes({0x3A, 0xE2, 0x00, 0x00, 0xAB, 0xCD}));
  line->reply("E", 2000);
  EXPECT_EQ(checkCrc(port, 0xCBF43926, 30000), 0);
  EXPECT_EQ(written(), bytes({0x3A, 0xE2, 0xCB, 0xF4, 0x39, 0x26}));
  EXPECT_EQ(readsOfUnansweredExchange([&] { checkCrc(port, 1, 30000); }), 30999);
}

TEST_F(CoprocLine, EraseFpga) {
  line->reply(bytes({0xE3}), 2000);
  EXPECT_EQ(eraseFpga(port, 0x5E), 1);
  EXPECT_EQ(written(), bytes({0x3A, 0xE3}));
  line->reply(bytes({0xE1}), 2000);
  EXPECT_EQ(eraseFpga(port, 0x5E), 0);
  written();
  EXPECT_EQ(eraseFpga(port, 0x00), 1);
  EXPECT_EQ(eraseFpga(port, 0x53), 0);
  EXPECT_EQ(written(), "");
  EXPECT_EQ(readsOfUnansweredExchange([&] { eraseFpga(port, 0x5E); }), 22998);
}

TEST_F(CoprocLine, CoprocessorVersionQueries) {
  VersionBlock block;
  line->reply(std::string("1.23") + std::string(13, '\0'), 2000);
  EXPECT_EQ(readCoprocessorVersion(port, 0x53, &block), "Ver.: 1.23");
  EXPECT_EQ(written(), bytes({0x15, 0x20, 0x00}));
  EXPECT_EQ(block.text(), "1.23");

  line->reply(std::string("v 2.05") + std::string(10, '\0'), 2000);
  EXPECT_EQ(readCoprocessorVersion(port, 0x5E, &block), "Ver.: 2.05");
  EXPECT_EQ(written(), bytes({0x14, 0x04}));
  EXPECT_EQ(block.text(), "v 2.05");

  // QM21M: characters 2 to 5 of the direct reply.
  line->reply("abcdefghijklmnop", 2000);
  EXPECT_EQ(readCoprocessorVersion(port, 0x6D, nullptr), "Ver.: cdef");
  EXPECT_EQ(written(), bytes({0x14, 0x03}));

  // QM4x: the second block is asked only when a block is wanted; the text is from the last reply.
  line->reply("Mv1.23          ", 2000);
  line->reply("Fv1.24          ", 200'000);
  EXPECT_EQ(readCoprocessorVersion(port, 0x67, &block), "Ver.: 1.24");
  EXPECT_EQ(written(), bytes({0x14, 0x02, 0x14, 0x03}));
  EXPECT_EQ(block.text(), "Mv1.23          Fv1.24          ");
  line->reply("Mv1.23          ", 2000);
  EXPECT_EQ(readCoprocessorVersion(port, 0x69, nullptr), "Ver.: 1.23");
  EXPECT_EQ(written(), bytes({0x14, 0x02}));

  // No answer, or a code without a direct query (QM61, plain, 0): "Ver.: ?.??", block empty.
  block.bytes[0] = 'x';
  EXPECT_EQ(readCoprocessorVersion(port, 0x53, &block), "Ver.: ?.??");
  EXPECT_EQ(block.text(), "");
  written();
  for (uint8_t code : {0x00, 0x52, 0x5C, 0x41})
    EXPECT_EQ(readCoprocessorVersion(port, code, &block), "Ver.: ?.??");
  EXPECT_EQ(written(), "");
  EXPECT_TRUE(isNoVersion("Ver.: ?.?? and more"));
  EXPECT_FALSE(isNoVersion("Ver.: 1.23"));
}

// A coprocessor that reports itself current is asked once more: only the same answer again skips
// its update. One that is not current is not asked again.
TEST(ConfirmedCurrent, OneDamagedReplyNeverSkipsAnUpdate) {
  const auto blockOf = [](std::string_view text) {
    VersionBlock b;
    std::copy(text.begin(), text.end(), b.bytes.begin());
    return b;
  };
  const struct {
    const char* first;
    const char* second;  // "" when it must not be asked
    bool current;
  } kCases[] = {
      {"v 2.01", "v 2.01", true},   // current, and said again
      {"v 2.01", "v 1.05", false},  // the first answer was damaged into "current"
      {"v 2.01", "", false},        // the second asking went unanswered
      {"v 1.05", "", false},        // not current: asked once
  };
  for (const auto& c : kCases) {
    int asked = 0;
    const VersionReader again = [&](VersionBlock& b) {
      ++asked;
      b = blockOf(c.second);
      return std::string(c.second);
    };
    EXPECT_EQ(confirmedCurrent(again, blockOf(c.first), notOlderVersionTest, "fpga$2_01.bin"),
              c.current)
        << c.first << " / " << c.second;
    EXPECT_EQ(asked, std::string_view(c.first) == "v 2.01" ? 1 : 0) << c.first;
  }
}

TEST_F(CoprocLine, WaitForTextSkipsWhatComesFirst) {
  line->reply("xyACK ", 3000, 2000);
  const uint64_t start = clock.nowUs();
  EXPECT_EQ(waitForText(port, "ACK ", 100), 1);
  // One byte a cycle of at least 1 ms: the last byte arrives 13 ms in.
  EXPECT_GE(clock.nowUs() - start, 13'000u);
  EXPECT_EQ(line->waiting(), 0u);

  // "ACK" without its blank never matches; the cycles bound the wait.
  line->reply("ACKACK", 0);
  const uint64_t again = clock.nowUs();
  EXPECT_EQ(waitForText(port, "ACK ", 50), 0);
  EXPECT_GE(clock.nowUs() - again, 50'000u);
  EXPECT_LT(clock.nowUs() - again, 60'000u);
  // Nothing is discarded beyond the bytes read.
  line->reply("tail", 0);
  EXPECT_EQ(waitForText(port, "ACK ", 2), 0);
  EXPECT_EQ(line->waiting(), 2u);
}

TEST_F(CoprocLine, WaitForAnyInputReadsNothing) {
  line->reply("z", 5000);
  EXPECT_EQ(waitForAnyInput(port, 100), 1);
  EXPECT_EQ(line->waiting(), 1u);
  discardInput(port);
  const uint64_t start = clock.nowUs();
  EXPECT_EQ(waitForAnyInput(port, 30), 0);
  EXPECT_GE(clock.nowUs() - start, 30'000u);
}

TEST_F(CoprocLine, WaitsEndAtOnceOnALostLine) {
  line->loseLine();
  const uint64_t start = clock.nowUs();
  EXPECT_EQ(waitForText(port, "O", 10000), 0);
  EXPECT_EQ(waitForAnyInput(port, 10000), 0);
  EXPECT_EQ(clock.nowUs(), start);
}

TEST(CoprocProgress, NeverDividesByZeroNorPasses100) {
  EXPECT_EQ(progressOf(0, 2), 0);
  EXPECT_EQ(progressOf(1, 2), 50);
  EXPECT_EQ(progressOf(2, 2), 100);
  EXPECT_EQ(progressOf(3, 2), 100);
  EXPECT_EQ(progressOf(0, 0), 0);  // a file shorter than one block
  EXPECT_EQ(progressOf(1, 0), 100);
}

// The version poll tells a module that stays silent (Failed, after its message) from a user who
// aborts a wait between two tries (Abort).
TEST(VersionPoll, ThreeTriesFailedWhenSilentAbortOnEsc) {
  VirtualClock clock;
  testing::ScriptedHost host;
  testing::FakeOpener opener{clock};
  UpdateDialog dlg(opener, clock, host, windowProcedures());
  VersionBlock block;
  std::string version;
  int reads = 0;
  const VersionReader silent = [&](VersionBlock&) {
    ++reads;
    return std::string(kUnknownVersionText);
  };
  EXPECT_EQ(pollVersion(dlg, silent, block, version), Outcome::Failed);
  EXPECT_EQ(reads, 3);
  ASSERT_EQ(host.texts().size(), 1u);
  EXPECT_EQ(host.texts()[0], "QM-Module is not running after Update !!!");

  host.boxes.clear();
  reads = 0;
  const VersionReader atSecond = [&](VersionBlock&) {
    return ++reads == 2 ? std::string("Ver.: 1.23") : std::string(kUnknownVersionText);
  };
  EXPECT_EQ(pollVersion(dlg, atSecond, block, version), Outcome::Done);
  EXPECT_EQ(version, "Ver.: 1.23");
  EXPECT_EQ(dlg.control(ids::Progress).position, 0);
  EXPECT_TRUE(host.boxes.empty());

  reads = 0;
  host.escLatched = true;
  host.answers = {true};
  EXPECT_EQ(pollVersion(dlg, silent, block, version), Outcome::Abort);
  EXPECT_EQ(reads, 1);
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_TRUE(host.boxes[0].question);
}

TEST(VersionTests, NotOlder) {
  // A block ending in a blank and 1.23 reads as 1023.
  EXPECT_EQ(notOlderVersionTest("QM23 FPGA 1.23", "fpga$1_23.bin"), 1);
  EXPECT_EQ(notOlderVersionTest("QM23 FPGA 1.23", "fpga$1_05.bin"), 1);      // the file is older
  EXPECT_EQ(notOlderVersionTest("QM23 FPGA 1.23", "fpga$1_30.bin"), 0);      // the file is newer
  EXPECT_EQ(notOlderVersionTest("QM23 FPGA 1.23", "d\\Ufpga$1_05.bin"), 0);  // forced
  EXPECT_EQ(notOlderVersionTest("v 1.23", "d\\fpga$1_23.bin"), 1);
  // A longer module version than the file's counts as older than the file.
  EXPECT_EQ(notOlderVersionTest("v 1.234", "fpga$1_23.bin"), 0);
  // No ".", "." first, "?" before it: no usable version.
  EXPECT_EQ(notOlderVersionTest("v 123", "fpga$1_23.bin"), 0);
  EXPECT_EQ(notOlderVersionTest(".23", "fpga$0_23.bin"), 0);
  EXPECT_EQ(notOlderVersionTest("Ver.: ?.??", "fpga$0_00.bin"), 0);
  // Without a blank the version starts at the block's second character.
  EXPECT_EQ(notOlderVersionTest("x1.23", "fpga$1_23.bin"), 1);
  EXPECT_EQ(notOlderVersionTest("1.23", "fpga$1_23.bin"), 0);
  EXPECT_EQ(notOlderVersionTest("v 1.23", "fpga$.bin"), 0);  // no file digits
}

TEST(VersionTests, Twin) {
  const std::string both = "Mv1.23          Fv1.23          ";
  EXPECT_EQ(twinVersionTest(both, "mpeg$1_23.bin"), 1);
  EXPECT_EQ(twinVersionTest(both, "mpeg$1_24.bin"), 0);
  EXPECT_EQ(twinVersionTest(both, "m\\Umpeg$1_23.bin"), 0);
  EXPECT_EQ(twinVersionTest(both, "mpeg$1_230.bin"), 1);  // compared over the second version
  EXPECT_EQ(twinVersionTest(both, "mpeg$1_2.bin"), 0);    // the file's end matches nothing
  EXPECT_EQ(twinVersionTest("Mv1.22          Fv1.23          ", "mpeg$1_23.bin"), 0);
  EXPECT_EQ(twinVersionTest("Mv1.23          Fv1.22          ", "mpeg$1_23.bin"), 0);
  EXPECT_EQ(twinVersionTest("Mv1.23          Fv1.23", "mpeg$1_23.bin"), 0);  // under 30
  EXPECT_EQ(twinVersionTest("Mv?.23          Fv1.23          ", "mpeg$1_23.bin"), 0);
  EXPECT_EQ(twinVersionTest("M 1.23          Fv1.23          ", "mpeg$1_23.bin"), 0);
  EXPECT_EQ(twinVersionTest("Mv1.23          F 1.23          ", "mpeg$1_23.bin"), 0);
}

TEST(HostBoxes, ArrowForEveryBoxAndTheWaitCursorBackAfterwards) {
  testing::ScriptedHost host;  // fails the test for a box under the wait cursor
  host.setWaitCursor(true);
  host.answers = {true};
  EXPECT_TRUE(host.ask("Question", "Go on?", Icon::Question));
  EXPECT_TRUE(host.waitCursor);
  host.message("Attention", "done", Icon::Information);
  EXPECT_TRUE(host.waitCursor);
  host.setWaitCursor(false);
  host.message("Attention", "idle", Icon::Information);
  EXPECT_FALSE(host.waitCursor);
  EXPECT_EQ(host.boxes.size(), 3u);
}

}  // namespace
}  // namespace qdqm
