#include "sim/controller.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/sim/wire.h"

namespace qdqm::sim {
namespace {

using testing::bytes;
using testing::dataRecord;
using testing::Wire;

TEST(SimController, RawQueriesAnswerTheTable) {
  Profile p;
  p.software = {0x03, 0x19};
  p.bootLoader = {0x01, 0x07};
  p.hardware = 'B';
  p.topSpeed = '3';
  Controller c(p);
  Wire w(c);
  EXPECT_EQ(w.ask(":0100000501f9"), "QM65A");
  EXPECT_EQ(w.ask(":0100000502f8"), bytes({0x03, 0x19}));
  EXPECT_EQ(w.ask(":0100000500fa"), bytes({0x01, 0x07}));
  EXPECT_EQ(w.ask(":0100000503f7"), "B");
  EXPECT_EQ(w.ask(":0100000508f2"), "3");
  EXPECT_EQ(w.ask(":020000030000fb"), ".");
  EXPECT_EQ(w.ask(":0100000306f6"), ".");
  EXPECT_EQ(w.ask(":0100000509F1"), bytes({0, 0}));
  // Case and line end are part of the frame; a record-protocol query gets no raw answer.
  EXPECT_EQ(w.ask(":0100000501F9"), "");
  EXPECT_EQ(w.ask(":050000090000000010E2\r\n"), "");
  // Bootloader below 2 takes only the old erase frame.
  EXPECT_EQ(w.ask(":021000030100ea"), "A");
  EXPECT_EQ(w.ask(":0210000301d812"), ".");
}

TEST(SimController, RecordQueriesEchoThenDataThenThreeBytes) {
  Profile p;
  p.protocol = Protocol::Record;
  p.type = "QM47B";
  p.software = {0x0A, 0x05};
  p.hardware = 0x2C;
  p.topSpeed = '1';
  Controller c(p);
  Wire w(c);
  const std::string type = w.ask(":050000090000000010E2\r\n");
  ASSERT_EQ(type.size(), 29u);
  EXPECT_EQ(type.substr(0, 21), ":050000090000000010E2");
  EXPECT_EQ(type.substr(21, 5), "QM47B");
  EXPECT_EQ(w.ask(":0100000501f9").substr(0, 5), ":0100");
  EXPECT_EQ(w.ask(":050000090000000011e1\r\n").substr(21, 4), "0A05");
  EXPECT_EQ(w.ask(":050000090000000011e1\r\n").size(), 28u);
  EXPECT_EQ(w.ask(":00000001ff").substr(11, 2), bytes({0x02, 0x00}));
  EXPECT_EQ(w.ask(":050000090000000012e0\r\n").substr(21, 2), "2C");
  EXPECT_EQ(w.ask(":05000009000000008171\r\n").at(22), '1');
  const std::string erase = w.ask(":0300000480000079\r\n");
  ASSERT_EQ(erase.size(), 21u);
  EXPECT_EQ(erase[17], '.');
  EXPECT_EQ(w.ask(":0200000280007c\r\n"), ":0200000280007c.\r\n");
  EXPECT_EQ(w.ask(":00000008f8\r\n").size(), 12u);
}

TEST(SimController, SpeedChangeAcknowledgesAtOldRateThenListensAtNew) {
  Controller c(Profile{});
  Wire w(c);
  EXPECT_EQ(w.ask(":020000030402f5"), ".");
  EXPECT_EQ(c.listening().baud, 57600u);
  EXPECT_NE(w.ask(":0100000501f9"), "QM65A");  // host still at 19200: garbled or nothing
  EXPECT_EQ(w.ask(":0100000501f9", Line{57600}), "QM65A");
  EXPECT_EQ(w.ask(":0100000501f9", Line{57600, Parity::Even}), "");

  Faults stay;
  stay.speed = SpeedFault::AckButStay;
  Controller s(Profile{}, stay);
  Wire ws(s);
  EXPECT_EQ(ws.ask(":020000030403f4"), ".");
  EXPECT_EQ(s.listening().baud, 19200u);

  Faults other;
  other.speed = SpeedFault::OtherTypeAtNewRate;
  other.otherType = "QD99A";
  Controller o(Profile{}, other);
  Wire wo(o);
  EXPECT_EQ(wo.ask(":020000030401f6"), ".");
  EXPECT_EQ(wo.ask(":0100000501f9", Line{38400}), "QD99A");
}

TEST(SimController, FourCharacterTypeAndBootLoaderWakeUp) {
  Profile ps;
  ps.type = "PS17";
  Controller c(ps);
  Wire w(c);
  EXPECT_EQ(w.ask(":0100000501f9"), "PS17");

  Profile sleepy;
  sleepy.needsWakeUp = true;
  Controller s(sleepy);
  Wire ws(s);
  EXPECT_EQ(ws.ask(":0100000501f9"), "");
  const Line slow{2400};
  EXPECT_EQ(ws.ask(bytes({0x15, 0x01, 0x01}), slow), ".");
  EXPECT_EQ(ws.ask(bytes({0x15, 0xEF, 0x00}), slow), bytes({0xEF}));
  EXPECT_EQ(ws.ask(":0100000501f9"), "QM65A");
}

TEST(SimController, ReplyFaultsApplyToTheWakeUpAnswers) {
  Profile sleepy;
  sleepy.needsWakeUp = true;
  const Line slow{2400};
  // Both wake-up answers count as replies: mute=2 swallows the second one as well.
  Faults mute;
  mute.muteReplies = 2;
  Controller m(sleepy, mute);
  Wire wm(m);
  EXPECT_EQ(wm.ask(bytes({0x15, 0x01, 0x01}), slow), "");
  EXPECT_EQ(wm.ask(bytes({0x15, 0xEF, 0x00}), slow), "");
  EXPECT_EQ(m.listening().baud, 19200u);
  EXPECT_EQ(wm.ask(":0100000501f9"), "QM65A");

  // late=N delays it, extra=N lengthens it; it still leaves at 2400.
  Faults late;
  late.lateMs = 300;
  late.extraBytes = 1;
  Controller l(sleepy, late);
  Wire wl(l);
  wl.ask(bytes({0x15, 0x01, 0x01}), slow);
  const uint64_t sent = wl.now;
  const std::vector<Emission> woken = wl.exchange(bytes({0x15, 0xEF, 0x00}), slow);
  ASSERT_EQ(woken.size(), 2u);
  EXPECT_EQ(woken[0].byte, 0xEF);
  EXPECT_EQ(woken[1].byte, '~');
  EXPECT_EQ(woken[0].line, slow);
  EXPECT_GE(woken[0].doneUs, sent + 3 * byteTimeUs(slow) + 300'000);
}

TEST(SimController, RawRecordsBuildTheImageWithExtendedAddresses) {
  Controller c(Profile{});
  Wire w(c);
  EXPECT_EQ(w.ask(":021000030100ea"), ".");
  EXPECT_EQ(w.ask(dataRecord(0x0010, {0x12, 0x34}) + "\n"), ".");
  EXPECT_EQ(w.ask(dataRecord(0, {0x10, 0x00}, 2) + "\n"), ".");  // segment 0x1000 -> 0x10000
  EXPECT_EQ(w.ask(dataRecord(0x0002, {0xAB}) + "\n"), ".");
  EXPECT_EQ(w.ask(dataRecord(0, {0x00, 0x02}, 4) + "\n"), ".");  // linear 0x0002 -> 0x20000
  std::string lower = dataRecord(0x0100, {0xCD, 0xEF});
  for (char& ch : lower) ch = static_cast<char>(std::tolower(ch));
  EXPECT_EQ(w.ask(lower + "\n"), ".");
  const std::map<uint32_t, uint8_t> want{
      {0x10, 0x12}, {0x11, 0x34}, {0x10002, 0xAB}, {0x20100, 0xCD}, {0x20101, 0xEF}};
  EXPECT_EQ(c.flash(), want);
  w.ask(":00000001FF\n");
  EXPECT_TRUE(c.programmingEnded());
  // Lower-case end record, and the restarted module reports its new version after the pause.
  Controller d(Profile{});
  Wire wd(d);
  wd.ask(":021000030100ea");
  wd.ask(":00000001ff\n");
  EXPECT_TRUE(d.programmingEnded());
  wd.wait(2'000'000);
  EXPECT_EQ(wd.ask(":0100000502f8"), bytes({0x03, 0x20}));
}

TEST(SimController, RecordsAreRefusedWithTheirCodes) {
  Faults f;
  f.refuseRecord = 2;
  f.refuseCode = 'P';
  Profile p;
  p.protocol = Protocol::Record;
  Controller c(p, f);
  Wire w(c);
  w.ask(":021000030100ea");
  const std::string good = dataRecord(0x0038, {1, 2, 3, 4, 5, 6, 7, 8});
  const std::string r = w.ask(good + "\n");
  ASSERT_EQ(r.size(), good.size() + 4);  // line length + 3
  EXPECT_EQ(r.substr(0, good.size()), good);
  EXPECT_EQ(r[good.size()], '.');
  EXPECT_EQ(w.ask(good + "\n")[good.size()], 'P');  // the refused second record
  std::string bad = good;
  bad.back() = bad.back() == '0' ? '1' : '0';
  EXPECT_EQ(w.ask(bad + "\n")[bad.size()], 'C');
  // 16 bytes at 0x38 cross the 64-byte block.
  const std::string across =
      dataRecord(0x0038, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  EXPECT_EQ(w.ask(across + "\n")[across.size()], 'A');
  // Packed halves without line end: reply is the record length + 3.
  const std::string head = dataRecord(0x0038, {1, 2, 3, 4, 5, 6, 7, 8});
  const std::string tail = dataRecord(0x0040, {9, 10, 11, 12, 13, 14, 15, 16});
  EXPECT_EQ(w.ask(head), head + ".\r\n");
  EXPECT_EQ(w.ask(tail), tail + ".\r\n");
  EXPECT_EQ(c.flashByte(0x3F), 8);
  EXPECT_EQ(c.flashByte(0x40), 9);
}

TEST(SimController, StartAddressRecordsAreTakenWithoutProgramming) {
  for (Protocol protocol : {Protocol::Raw, Protocol::Record}) {
    Profile p;
    p.protocol = protocol;
    Controller c(p);
    Wire w(c);
    w.ask(":021000030100ea");
    const std::string linear = dataRecord(0, {0x00, 0x01, 0x20, 0x00}, 5);
    const std::string segment = dataRecord(0, {0x10, 0x00, 0x00, 0x40}, 3);
    const std::string shortOne = dataRecord(0, {0x00, 0x01}, 5);
    const std::string ack = protocol == Protocol::Record ? ".\r\n" : ".";
    const std::string refused = protocol == Protocol::Record ? "A\r\n" : "A";
    EXPECT_EQ(w.ask(linear), (protocol == Protocol::Record ? linear : "") + ack);
    EXPECT_EQ(w.ask(segment), (protocol == Protocol::Record ? segment : "") + ack);
    EXPECT_EQ(w.ask(shortOne), (protocol == Protocol::Record ? shortOne : "") + refused);
    EXPECT_TRUE(c.flash().empty());
    // Neither moves the address of the data behind them.
    EXPECT_EQ(w.ask(dataRecord(0x0004, {0x5A})).substr(protocol == Protocol::Record ? 13 : 0, 1),
              ".");
    EXPECT_EQ(c.flash(), (std::map<uint32_t, uint8_t>{{4, 0x5A}}));
  }
}

TEST(SimController, RecordProtocolSelectAndChecksumFrames) {
  Profile p;
  p.protocol = Protocol::Record;
  Controller c(p);
  Wire w(c);
  EXPECT_EQ(w.ask(":02000002880173\r\n"), ":02000002880173.\r\n>");
  EXPECT_EQ(w.ask(":0200000280007c\r\n"), ":0200000280007c.\r\n");
  EXPECT_FALSE(c.bootLoaderActive());

  // To a raw module the select text is a segment address record like any other.
  Controller r(Profile{});
  Wire wr(r);
  EXPECT_EQ(wr.ask(":02000002880173\r\n"), "");  // the application ignores records
  EXPECT_EQ(wr.ask(":021000030100ea"), ".");
  EXPECT_EQ(wr.ask(":02000002880173\r\n"), ".");
  EXPECT_EQ(wr.ask(dataRecord(0x0001, {0x42})), ".");
  EXPECT_EQ(r.flash(), (std::map<uint32_t, uint8_t>{{0x88011, 0x42}}));
  EXPECT_EQ(wr.ask(":0200000280007c\r\n"), "");
}

TEST(SimController, ServiceChannelWakeUpVersionAndPanel) {
  const Line slow{2400};
  Profile p;
  p.software = {0x01, 0x05};
  p.versionAfterReset = {0x0A, 0x10};
  p.resetSilenceMs = 10;
  Controller c(p);
  Wire w(c);
  EXPECT_EQ(w.ask(bytes({0x15, 0x01, 0x01}), slow), ".");
  EXPECT_EQ(w.ask(bytes({0x15, 0xEF, 0x00}), slow), bytes({0xEF}));
  EXPECT_EQ(w.ask(bytes({0x15, 0xEF, 0x01}), slow), "");
  EXPECT_EQ(w.ask(bytes({0x15, 0x11, 0x00}), slow), bytes({0x01, 0x05}));
  const std::string panel = std::string("V 1.05") + std::string(10, '\0');
  EXPECT_EQ(w.ask(bytes({0x14, 0x00}), slow), panel);
  EXPECT_EQ(w.ask(bytes({0x14, 0x03}), slow), panel);
  EXPECT_EQ(w.ask(bytes({0x14, 0x01}), slow), "");
  // Not the panel's: the FPGA query.
  EXPECT_EQ(w.ask(bytes({0x14, 0x04}), slow), "");
  // After programming, both report the new version; "%x": a.10.
  w.ask(":021000030100ea");
  w.ask(":00000001FF");
  w.wait(20'000);
  EXPECT_EQ(w.ask(bytes({0x15, 0x11, 0x00}), slow), bytes({0x0A, 0x10}));
  EXPECT_EQ(w.ask(bytes({0x14, 0x00}), slow), std::string("V a.10") + std::string(10, '\0'));

  // A silent coprocessor does not silence the panel.
  Faults quiet;
  quiet.coprocessorSilent = true;
  Controller q(Profile{}, quiet);
  Wire wq(q);
  EXPECT_EQ(wq.ask(bytes({0x14, 0x00}), slow).substr(0, 6), "V 3.19");

  // With a coprocessor, 14 00 is not answered and 14 03 is the coprocessor's or nobody's.
  for (CoprocessorKind kind :
       {CoprocessorKind::Fpga, CoprocessorKind::Crc32Decoder, CoprocessorKind::Crc16Decoder}) {
    Profile cp;
    cp.coprocessor = kind;
    Controller k(cp);
    Wire wk(k);
    EXPECT_EQ(wk.ask(bytes({0x14, 0x00}), slow), "");
    EXPECT_EQ(wk.ask(bytes({0x14, 0x03}), slow),
              kind == CoprocessorKind::Crc16Decoder ? "Fv1.00          " : "");
    EXPECT_EQ(wk.ask(bytes({0x15, 0x11, 0x00}), slow), bytes({0x03, 0x19}));
  }
}

TEST(SimController, Qm21FamilyWakesWithTwoBytes) {
  const Line slow{2400};
  for (const char* type : {"QM21A", "QM21H", "QM21_"}) {
    Profile p;
    p.type = type;
    Controller c(p);
    Wire w(c);
    EXPECT_EQ(w.ask(bytes({0x15, 0x01, 0x01}), slow), ".") << type;
    EXPECT_EQ(w.ask(bytes({0x15, 0xEF}), slow), bytes({0x15})) << type;
    // The three-byte frame is that frame and a stray 00.
    EXPECT_EQ(w.ask(bytes({0x15, 0xEF, 0x00}), slow), bytes({0x15})) << type;
    EXPECT_EQ(w.ask(bytes({0x15, 0x11, 0x00}), slow), bytes({0x03, 0x19})) << type;
  }
  for (const char* type : {"QM21M", "QM23A", "QM2"}) {
    Profile p;
    p.type = type;
    Controller c(p);
    Wire w(c);
    EXPECT_EQ(w.ask(bytes({0x15, 0xEF}), slow), "") << type;
    EXPECT_EQ(w.ask(bytes({0x00}), slow), bytes({0xEF})) << type;
  }
}

TEST(SimController, FlashBitsOnlyClearUntilErase) {
  Controller c(Profile{});
  Wire w(c);
  w.ask(":021000030100ea");
  w.ask(dataRecord(0x0000, {0xF0}) + "\n");
  w.ask(dataRecord(0x0000, {0x0F}) + "\n");
  EXPECT_EQ(c.flashByte(0), 0x00);
  w.ask(":021000030100ea");
  EXPECT_EQ(c.flashByte(0), 0xFF);

  // A failed erase leaves the old content under the new bytes.
  Faults f;
  f.eraseCode = 'P';
  Controller e(Profile{}, f);
  Wire we(e);
  EXPECT_EQ(we.ask(":021000030100ea"), "P");
  EXPECT_EQ(we.ask(dataRecord(0x0000, {0x11}) + "\n"), ".");
  EXPECT_NE(e.flashByte(0), 0x11);
}

TEST(SimController, ChangedOnlyByWhatItKeeps) {
  // Queries, a record the application ignores, a damaged record and a refused erase leave what
  // the module keeps as it was.
  Faults f;
  f.eraseCode = 'P';
  Controller refused(Profile{}, f);
  Wire wr(refused);
  wr.ask(":0100000501f9");
  wr.ask(dataRecord(0x0000, {0x11}) + "\n");
  EXPECT_EQ(wr.ask(":021000030100ea"), "P");
  std::string damaged = dataRecord(0x0000, {0x11});
  damaged[9] = '3';
  EXPECT_EQ(wr.ask(damaged + "\n"), "C");
  EXPECT_FALSE(refused.changed());
  // The loader answered the damaged record as it arrived; the application answered nothing.
  ASSERT_EQ(refused.answeredRecords().size(), 1u);
  EXPECT_EQ(refused.answeredRecords()[0].text, damaged);
  EXPECT_EQ(refused.answeredRecords()[0].answer, 'C');
  EXPECT_TRUE(refused.answeredRecords()[0].loader);
  // A record written after it does change it.
  EXPECT_EQ(wr.ask(dataRecord(0x0000, {0x11}) + "\n"), ".");
  EXPECT_TRUE(refused.changed());

  Controller erased(Profile{});
  Wire we(erased);
  EXPECT_EQ(we.ask(":021000030100ea"), ".");
  EXPECT_TRUE(erased.changed());
}

TEST(SimController, ResetRestartsSilentlyWithTheNewVersion) {
  Profile p;
  p.protocol = Protocol::Record;
  p.versionAfterReset = {0x04, 0x01};
  p.resetSilenceMs = 500;
  Controller c(p);
  Wire w(c);
  w.ask(":021000030100ea");
  w.ask(":0200000280007c\r\n");
  w.ask(":00000008f8\r\n");
  EXPECT_EQ(w.ask(":050000090000000011e1\r\n"), "");
  w.wait(600'000);
  EXPECT_EQ(w.ask(":050000090000000011e1\r\n").substr(21, 4), "0401");
}

TEST(SimController, ReplyFaults) {
  Faults f;
  f.dropReplyByte = 2;
  f.garbleReplyByte = 4;
  f.extraBytes = 1;
  Controller c(Profile{}, f);
  Wire w(c);
  const std::string r = w.ask(":0100000501f9");
  EXPECT_EQ(r.size(), 5u);  // Q, 6, ?, A, ~  (M dropped, 5 garbled)
  EXPECT_EQ(r.substr(0, 2), "Q6");
  EXPECT_NE(r[2], '5');
  EXPECT_EQ(r.substr(3), "A~");

  Faults v;
  v.vanishAfterRecords = 1;
  v.lateMs = 100;
  Controller gone(Profile{}, v);
  w.now = 0;
  Wire wg(gone);
  wg.ask(":021000030100ea");
  EXPECT_GE(wg.now, 100'000u);
  EXPECT_EQ(wg.ask(dataRecord(0, {1}) + "\n"), ".");
  EXPECT_EQ(wg.ask(dataRecord(1, {2}) + "\n"), "");
  EXPECT_EQ(wg.ask(":0100000501f9"), "");
}

TEST(SimController, FaultWords) {
  Faults f;
  EXPECT_EQ(parseFault("refuse=3:A", f), 1);
  EXPECT_EQ(f.refuseRecord, 3u);
  EXPECT_EQ(f.refuseCode, 'A');
  EXPECT_EQ(parseFault("late=250", f), 1);
  EXPECT_EQ(f.lateMs, 250u);
  EXPECT_EQ(parseFault("speed-type=QD09A", f), 1);
  EXPECT_EQ(f.speed, SpeedFault::OtherTypeAtNewRate);
  EXPECT_EQ(parseFault("late=x", f), 0);
  EXPECT_EQ(parseFault("refuse=0:C", f), 0);
  EXPECT_EQ(parseFault("loud", f), 0);
}

}  // namespace
}  // namespace qdqm::sim
