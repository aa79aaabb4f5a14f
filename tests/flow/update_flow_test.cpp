// A whole update of a stand-alone module against the simulated controller on the virtual clock;
// after every run the simulator's flash is compared with the image the data file encodes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/catalogue.h"
#include "app/list_handlers.h"
#include "common/progress.h"
#include "flash/controller_flash.h"
#include "link/controller.h"
#include "procedures/driver.h"
#include "procedures/procedures.h"
#include "sim/controller.h"
#include "sim/intel_hex.h"
#include "tests/support/scripted_host.h"
#include "tests/support/sim_line.h"
#include "tests/support/sim_window.h"
#include "tests/support/update_fixture.h"

namespace qdqm {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kSuccess = testing::kSuccessText;
constexpr const char* kFailure = testing::kFailureText;
constexpr const char* kOlder =
    "The selected software version is older\nthan the one already programmed to the controller "
    "flash.\n Do you whish to overwrite the newer version ?";
constexpr const char* kSame =
    "This software version is already\nprogrammed to the controller flash.\nDo you want to "
    "overwrite it ?";

using testing::expectIdle;
using testing::profile;
using testing::UpdateFlow;

TEST_F(UpdateFlow, RawProtocolFlashesTheImage) {
  const sim::Image image = dataFile("QD21S_1/upd2.01", "QD21S", 0, 8192);
  dataFile("QD21S_1/upd1.05", "QD21S", 0, 100);
  Run r(profile("QD21S"), {}, dir);
  r.host.answers = {true};  // another module: Yes
  r.update("upd2.01");
  EXPECT_EQ(r.device.flash(), image);
  EXPECT_EQ(r.device.erases(), 1u);
  EXPECT_TRUE(r.device.programmingEnded());
  EXPECT_THAT(r.host.texts(), ElementsAre(kSuccess, "Do you wish to update another QD21S ?"));
  EXPECT_EQ(r.host.boxes[0].caption, "Attention");
  EXPECT_EQ(r.host.boxes[1].caption, "Question");
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  // The raw boot loader gets the end record (line end LF, never CR) and no closing commands.
  const std::string sent = r.sentByUpdate();
  EXPECT_THAT(sent, HasSubstr(":00000001FF\n"));
  EXPECT_THAT(sent, Not(HasSubstr("\r")));
  EXPECT_THAT(sent, Not(HasSubstr(":0200000280007c")));
  EXPECT_THAT(sent, Not(HasSubstr(":00000008f8")));
  expectIdle(r);
  EXPECT_FALSE(r.dlg.ended());
}

TEST_F(UpdateFlow, NoToAnotherModuleEndsTheProgram) {
  dataFile("QD21S_1/upd2.01", "QD21S", 0, 64);  // shorter than 100 bytes: no progress divisor
  Run r(profile("QD21S"), {}, dir);
  r.update("upd2.01");
  EXPECT_EQ(r.host.unscriptedQuestions, 1);
  EXPECT_TRUE(r.dlg.ended());
  EXPECT_TRUE(r.host.closed);
  EXPECT_FALSE(r.dlg.port.isOpen());
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
}

TEST_F(UpdateFlow, RecordProtocolPacksAtBlockBoundaries) {
  // From 0x38 the 16-byte records start at 56 bytes into a block: each is sent as two.
  const sim::Image image = dataFile("QM41B_/upd2.01", "QM41B", 0x0038, 4096);
  Run r(profile("QM41B", sim::Protocol::Record), {}, dir);
  r.host.answers = {true};
  r.update("upd2.01");
  EXPECT_EQ(r.device.flash(), image);
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  const std::string sent = r.sentByUpdate();
  EXPECT_THAT(sent, HasSubstr(":08003800"));
  EXPECT_THAT(sent, HasSubstr(":08004000"));
  // The end record is not sent; the closing commands are.
  EXPECT_THAT(sent, Not(HasSubstr(":00000001FF")));
  EXPECT_THAT(sent, HasSubstr(":0200000280007c\r\n:00000008f8\r\n"));
  expectIdle(r);
}

TEST_F(UpdateFlow, RecordProtocolAlignedRecordsAndLongLines) {
  // Aligned 16-byte records end exactly at block boundaries and go as read, with their LF.
  const sim::Image aligned = dataFile("QM41B_/upd2.01", "QM41B", 0x0030, 512);
  // 200-byte lines from 0x1010 each touch four blocks.
  const sim::Image longLines = dataFile("QM41B_/upd2.02", "QM41B", 0x1010, 2000, ";", ";", 200);
  {
    Run r(profile("QM41B", sim::Protocol::Record), {}, dir);
    r.host.answers = {true};
    r.update("upd2.01");
    EXPECT_EQ(r.device.flash(), aligned);
    EXPECT_THAT(r.sentByUpdate(), HasSubstr(":10003000"));
    EXPECT_THAT(r.sentByUpdate(), Not(HasSubstr(":08")));
  }
  {
    Run r(profile("QM41B", sim::Protocol::Record), {}, dir);
    r.host.answers = {true};
    r.update("upd2.02");
    EXPECT_EQ(r.device.flash(), longLines);
    EXPECT_EQ(r.dlg.verdict, Verdict::Success);
    EXPECT_THAT(r.sentByUpdate(), HasSubstr(":30101000"));  // 48 bytes up to 0x1040
  }
  {
    // The raw boot loader takes a long line as one record.
    write("QD21S_1/upd2.02", sim::makeDataFile({"QD21S"}, longLines, 200));
    Run r(profile("QD21S"), {}, dir);
    r.host.answers = {true};
    r.update("upd2.02");
    EXPECT_EQ(r.device.flash(), longLines);
    EXPECT_THAT(r.sentByUpdate(), HasSubstr(":C8101000"));
  }
}

TEST_F(UpdateFlow, StartAddressRecordsSkippedEndRecordInLowerCase) {
  write("QD21S_1/upd2.01",
        "QD21S\r\n;\r\n;\r\n:020000040001F9\r\n:04000005000000F007\r\n"
        ":0400100001020304E2\r\n:00000001ff\r\nrest is not read\r\n");
  Run r(profile("QD21S"), {}, dir);
  r.host.answers = {true};
  r.update("upd2.01");
  EXPECT_EQ(r.device.flash(), (sim::Image{{0x10010, 1}, {0x10011, 2}, {0x10012, 3}, {0x10013, 4}}));
  EXPECT_THAT(r.sentByUpdate(), Not(HasSubstr(":04000005")));
  EXPECT_THAT(r.sentByUpdate(), HasSubstr(":00000001ff\n"));
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
}

TEST_F(UpdateFlow, VersionZeroChecksHeadersButFlashesNothing) {
  dataFile("QD21S_1/update", "QD21S", 0, 256);
  write("QD21S_1/other", "QD22A\r\n;\r\n;\r\n:00000001FF\r\n");
  {
    Run r(profile("QD21S"), {}, dir);
    r.host.answers = {true};
    r.update("update");
    EXPECT_EQ(r.device.erases(), 0u);
    EXPECT_FALSE(r.anyRecordSent());
    EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  }
  {
    Run r(profile("QD21S"), {}, dir);
    r.update("other");
    EXPECT_THAT(r.host.texts(),
                ElementsAre("Data file not for this module type !\nError Code: 42"));
    EXPECT_EQ(r.dlg.verdict, Verdict::None);
    expectIdle(r);
  }
}

TEST_F(UpdateFlow, VersionQuestions) {
  dataFile("QD21S_1/upd3.19", "QD21S", 0, 256);
  sim::Profile same = profile("QD21S");
  same.software = {0x03, 0x19};
  {
    Run r(same, {}, dir);
    r.update("upd3.19");  // No to the only question
    EXPECT_THAT(r.host.texts(), ElementsAre(kSame));
    EXPECT_EQ(r.host.boxes[0].caption, "Version conflict");
    EXPECT_EQ(r.host.boxes[0].icon, Icon::Exclamation);
    EXPECT_EQ(r.device.erases(), 0u);
    EXPECT_EQ(r.dlg.verdict, Verdict::None);
    expectIdle(r);
  }
  sim::Profile newer = profile("QD21S");
  newer.software = {0x03, 0x20};
  {
    Run r(newer, {}, dir);
    r.host.answers = {false};
    r.update("upd3.19");
    EXPECT_THAT(r.host.texts(), ElementsAre(kOlder));
    EXPECT_EQ(r.device.erases(), 0u);
  }
  {
    Run r(newer, {}, dir);
    r.host.answers = {true, true};
    r.update("upd3.19");
    EXPECT_THAT(r.host.texts(),
                ElementsAre(kOlder, kSuccess, "Do you wish to update another QD21S ?"));
    EXPECT_EQ(r.device.erases(), 1u);
  }
}

TEST_F(UpdateFlow, Qd09RevisionIsCheckedBeforeErasing) {
  dataFile("QD09T_1/upd2.01", "QD09T", 0, 256, "2");
  Run r(profile("QD09T"), {}, dir);
  r.update("upd2.01");
  EXPECT_THAT(r.host.texts(),
              ElementsAre("Data file upd2.01 is not for this hardware revision !\nError Code: 43"));
  EXPECT_EQ(r.device.erases(), 0u);
  EXPECT_EQ(r.dlg.verdict, Verdict::None);
}

TEST_F(UpdateFlow, DamagedFilesAreRefusedBeforeErasing) {
  const std::string head = "QD21S\r\n;\r\n;\r\n";
  write("QD21S_1/upd2.01", head + ":0400100001020304E2\r\n");  // no end record
  write("QD21S_1/upd2.02", head + ":0400100001020304E2\r\n:0400140001020304E0\r\n:00000001FF\r\n");
  write("QD21S_1/upd2.03", "QD21S\r\n;\r\n");  // no MPEG line
  struct Case {
    const char* entry;
    const char* text;
  };
  for (const Case& c : {
           Case{"upd2.01", "Unexpected end of data file upd2.01 !\nError Code: 41"},
           Case{"upd2.02", "Data file upd2.02 is corrupt in line 5 !\nError Code: 44"},
           Case{"upd2.03", "Unexpected end of data file upd2.03 !\nError Code: 41"},
       }) {
    Run r(profile("QD21S"), {}, dir);
    r.update(c.entry);
    EXPECT_THAT(r.host.texts(), ElementsAre(c.text));
    EXPECT_EQ(r.device.erases(), 0u) << c.entry;
    EXPECT_FALSE(r.anyRecordSent()) << c.entry;
    EXPECT_THAT(r.sentByUpdate(), Not(HasSubstr(":04001")));
    EXPECT_EQ(r.dlg.verdict, Verdict::None);
    expectIdle(r);
  }
}

TEST_F(UpdateFlow, EraseRefusals) {
  dataFile("QD21S_1/upd2.01", "QD21S", 0, 256);
  struct Case {
    char code;
    const char* text;
  };
  for (const Case& c : {Case{'C', "Erasing checksum error !\nError Code: 101"},
                        Case{'P', "Could not erase block in flash !\n Error Code: 102"},
                        Case{'A', "Erasing address error !\nError Code: 103"},
                        Case{'X', "Unknown return code !\nError Code: 104"},
                        // Bytes 0 and 1 are no code: neither "no answer" nor success.
                        Case{'\x01', "Unknown return code !\nError Code: 104"},
                        Case{'\0', "Unknown return code !\nError Code: 104"}}) {
    sim::Faults f;
    f.eraseCode = c.code;
    Run r(profile("QD21S"), f, dir);
    r.update("upd2.01");
    EXPECT_THAT(r.host.texts(), ElementsAre(c.text, "Could not erase flash !\nError Code: 50"));
    EXPECT_FALSE(r.anyRecordSent());
    EXPECT_EQ(r.dlg.verdict, Verdict::None);
    expectIdle(r);
  }
  // The record protocol's erase answers behind its echo; a 1 there is no success either.
  dataFile("QM41B_/upd2.01", "QM41B", 0, 256);
  sim::Faults f;
  f.eraseCode = '\x01';
  Run r(profile("QM41B", sim::Protocol::Record), f, dir);
  r.host.answers = {true};
  r.update("upd2.01");
  EXPECT_THAT(r.host.texts(), Contains("Unknown return code !\nError Code: 104"));
  EXPECT_THAT(r.host.texts(), Contains("Could not erase flash !\nError Code: 50"));
  EXPECT_FALSE(r.anyRecordSent());
  EXPECT_EQ(r.dlg.verdict, Verdict::None);
}

TEST_F(UpdateFlow, EraseCommandFollowsTheModuleType) {
  // A QD09 boot loader only knows its own erase frame; a QM4x erases in the record protocol.
  const sim::Image qd09 = dataFile("QD09A_1/upd2.01", "QD09A", 0, 512, "1");
  const sim::Image qm4x = dataFile("QM41B_/upd2.01", "QM41B", 0, 512);
  {
    Run r(profile("QD09A"), {}, dir);
    r.host.answers = {true};
    r.update("upd2.01");
    EXPECT_EQ(r.device.flash(), qd09);
    EXPECT_THAT(r.sentByUpdate(), HasSubstr(":0204000301f8fe"));
  }
  {
    Run r(profile("QM41B", sim::Protocol::Record), {}, dir);
    r.host.answers = {true};
    r.update("upd2.01");
    EXPECT_EQ(r.device.flash(), qm4x);
    EXPECT_THAT(r.sentByUpdate(), HasSubstr(":0300000480000079\r\n"));
  }
}

TEST_F(UpdateFlow, RecordRefusalsAndTimeOut) {
  dataFile("QD21S_1/upd2.01", "QD21S", 0, 1024);
  struct Case {
    sim::Faults faults;
    const char* text;
  };
  auto refuse = [](char code) {
    sim::Faults f;
    f.refuseRecord = 3;
    f.refuseCode = code;
    return f;
  };
  sim::Faults vanish;
  vanish.vanishAfterRecords = 5;
  for (const Case& c :
       {Case{refuse('C'), "Programming checksum error !\nError Code: 201"},
        Case{refuse('P'), "Could not programm byte to flash !\nError Code: 202"},
        Case{refuse('A'), "Programming address error !\n Error Code: 203"},
        Case{refuse('?'), "Unknown return code !\n Error Code: 204"},
        Case{vanish, "Time out while controller flash programming !\nError Code: 61"}}) {
    Run r(profile("QD21S"), c.faults, dir);
    r.host.answers = {true};
    r.update("upd2.01");
    EXPECT_THAT(r.host.texts(),
                ElementsAre(c.text, kFailure, "Do you wish to update another QD21S ?"));
    EXPECT_EQ(r.host.boxes[1].caption, "Error message");
    EXPECT_EQ(r.dlg.verdict, Verdict::Failure);
    EXPECT_FALSE(r.device.programmingEnded());
    expectIdle(r);
  }
}

TEST_F(UpdateFlow, EscDuringProgrammingIsATimeOut) {
  dataFile("QM41B_/upd2.01", "QM41B", 0, 4096);
  Run r(profile("QM41B", sim::Protocol::Record), {}, dir);
  r.dlg.control(ids::LowSpeed).checked = true;
  r.dlg.onConnectClicked();
  r.host.escAtQuery = r.host.escQueries + 200;
  r.host.answers = {true};
  r.dlg.onUpdateClicked();
  EXPECT_THAT(r.host.texts(),
              ElementsAre("Time out while controller flash programming !\nError Code: 61", kFailure,
                          "Do you wish to update another QM41B ?"));
  EXPECT_GT(r.device.recordsTaken(), 0u);
}

// Esc pressed while nothing ran (after Connect) must not abort the next Update's first exchange,
// which would leave the module erased.
TEST_F(UpdateFlow, EscPressedWhileIdleIsForgottenWhenUpdateStarts) {
  const sim::Image image = dataFile("QD21S_1/upd2.01", "QD21S", 0, 1024);
  Run r(profile("QD21S"), {}, dir);
  r.choose("upd2.01", false);
  r.host.escLatched = true;
  r.host.answers = {true};
  r.dlg.onUpdateClicked();
  EXPECT_EQ(r.device.flash(), image);
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  EXPECT_THAT(r.host.texts(), ElementsAre(kSuccess, "Do you wish to update another QD21S ?"));
}

// The driver's entries into the coprocessor stages, with stages that record how they were called.
struct StageCall {
  std::string line, status;
  unsigned resetPending = 0;
};
struct StageLog {
  std::vector<StageCall> fpga, mpeg;
  Outcome fpgaOutcome = Outcome::Done;
  Outcome mpegOutcome = Outcome::Done;
};
StageLog* stageLog = nullptr;  // the test's log; set by DriverFlow for the duration of one test

Outcome recordFpga(UpdateDialog& dlg, const std::string& line) {
  stageLog->fpga.push_back({line, dlg.statusText, dlg.resetPending});
  return stageLog->fpgaOutcome;
}
Outcome recordMpeg(UpdateDialog& dlg, const std::string& line) {
  stageLog->mpeg.push_back({line, dlg.statusText, dlg.resetPending});
  return stageLog->mpegOutcome;
}

class DriverFlow : public UpdateFlow {
 protected:
  void SetUp() override {
    UpdateFlow::SetUp();
    stageLog = &log;
    table.assign(kStageTable.begin(), kStageTable.end());
    for (StageRow& row : table) row.run = row.entry == StageEntry::Fpga ? recordFpga : recordMpeg;
  }
  void TearDown() override {
    stageLog = nullptr;
    UpdateFlow::TearDown();
  }
  // Connect, then the stand-alone run with the recording stages.
  void update(Run& r, const std::string& entry, bool lowSpeed = false) {
    r.choose(entry, lowSpeed);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(r.dlg.runGuarded([&] { runStandAlone(r.dlg, table); }));
  }
  // The coprocessor files the rows would open must be there before the controller is erased.
  void coprocessorFiles(const std::string& typeDir, std::initializer_list<const char*> names) {
    for (const char* name : names) write(typeDir + "/" + name, std::string(64, '\x5a'));
  }
  StageLog log;
  std::vector<StageRow> table;
};

constexpr const char* kResetStatus = "waiting for controller reset...";

TEST_F(DriverFlow, VersionZeroGoesStraightToTheFpgaAndTheMpegStageWaits) {
  dataFile("QD29E_/update", "QD29E", 0, 256, "FPGA$0102.bin", "MPG$0101.bin");
  coprocessorFiles("QD29E_", {"FPGA$0102.bin", "MPG$0101.bin"});
  Run r(profile("QD29E"), {}, dir);
  r.host.answers = {true};
  update(r, "update", true);
  ASSERT_EQ(log.fpga.size(), 1u);
  EXPECT_EQ(log.fpga[0].line, "FPGA$0102.bin\n");
  EXPECT_EQ(log.fpga[0].status, "compare FPGA version...");
  // Not flashed: the FPGA entry takes the installed version as pending reset, so the MPEG
  // stage behind it waits for the controller.
  EXPECT_EQ(log.fpga[0].resetPending, 105u);
  ASSERT_EQ(log.mpeg.size(), 1u);
  EXPECT_EQ(log.mpeg[0].line, "MPG$0101.bin\n");
  EXPECT_EQ(log.mpeg[0].status, kResetStatus);
  EXPECT_EQ(r.device.erases(), 0u);
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
}

TEST_F(DriverFlow, FpgaEntryAfterFlashWaitsAndSwitchesSpeedUnlessLowSpeed) {
  dataFile("QD29E_/upd2.01", "QD29E", 0, 512, "FPGA$0102.bin");
  coprocessorFiles("QD29E_", {"FPGA$0102.bin"});
  {
    Run r(profile("QD29E"), {}, dir);
    r.host.answers = {true};
    update(r, "upd2.01");
    ASSERT_EQ(log.fpga.size(), 1u);
    EXPECT_EQ(log.fpga[0].resetPending, 201u);
    // After the restart the module is found again at 19200 and moved up to its top speed.
    const std::string sent = r.sentByUpdate();
    EXPECT_THAT(sent.substr(sent.find(":00000001FF")), HasSubstr(":020000030403f4"));
    EXPECT_THAT(r.host.texts(), ElementsAre(kSuccess, "Do you wish to update another QD29E ?"));
    EXPECT_TRUE(log.mpeg.empty());  // MPEG line ";"
  }
  log = {};
  {
    Run r(profile("QD29E"), {}, dir);
    r.host.answers = {true};
    update(r, "upd2.01", true);
    ASSERT_EQ(log.fpga.size(), 1u);
    EXPECT_THAT(r.sentByUpdate(), Not(HasSubstr(":0100000508f2")));
    EXPECT_EQ(r.opener.line(1)->settings().baud, 19200u);
  }
}

// An FPGA found up to date does not turn the failed controller flash into a success.
TEST_F(DriverFlow, FailedFlashAsksBeforeTheFpgaAndAnUpToDateFpgaKeepsTheFailure) {
  dataFile("QD29E_/upd2.01", "QD29E", 0, 512, "FPGA$0102.bin");
  coprocessorFiles("QD29E_", {"FPGA$0102.bin"});
  sim::Faults f;
  f.refuseRecord = 2;
  f.refuseCode = 'P';
  const char* question =
      "The Flash-Update of QD29E V1.05 is failed! \n Do you want to start FPGA-Update "
      "nevertheless?";
  {
    // At 19200: a controller left in its boot loader does not come back to the normal rate.
    Run r(profile("QD29E"), f, dir);
    log.fpgaOutcome = Outcome::UpToDate;
    r.host.answers = {true, true};
    update(r, "upd2.01", true);
    EXPECT_THAT(r.host.texts(),
                ElementsAre("Could not programm byte to flash !\nError Code: 202", question,
                            kFailure, "Do you wish to update another QD29E ?"));
    EXPECT_EQ(log.fpga.size(), 1u);
    EXPECT_EQ(r.dlg.verdict, Verdict::Failure);
  }
  log = {};
  {
    Run r(profile("QD29E"), f, dir);
    r.host.answers = {false, true};
    update(r, "upd2.01");
    EXPECT_TRUE(log.fpga.empty());
    EXPECT_EQ(r.dlg.verdict, Verdict::Failure);
  }
}

// Nor does a decoder found up to date.
TEST_F(DriverFlow, UpToDateDecoderAfterAFailedFlashKeepsTheFailure) {
  dataFile("QM292_/upd2.01", "QM292", 0, 512, ";", "QM292_1_05.bin");
  coprocessorFiles("QM292_", {"QM292_1_05.bin"});
  sim::Faults f;
  f.refuseRecord = 2;
  f.refuseCode = 'P';
  Run r(profile("QM292"), f, dir);
  log.mpegOutcome = Outcome::UpToDate;
  r.host.answers = {true, true};
  update(r, "upd2.01", true);
  EXPECT_THAT(r.host.texts(),
              ElementsAre("Could not programm byte to flash !\nError Code: 202",
                          "The Flash-Update of QM29/22 V1.05 is failed! \n Do you want to start "
                          "MPEG-Update nevertheless?",
                          kFailure, "Do you wish to update another QM292 ?"));
  EXPECT_EQ(log.mpeg.size(), 1u);
  EXPECT_EQ(r.dlg.verdict, Verdict::Failure);
}

TEST_F(DriverFlow, EscDuringTheResetWaitOffersToAbort) {
  dataFile("QD29E_/upd2.01", "QD29E", 0, 512, "FPGA$0102.bin");
  coprocessorFiles("QD29E_", {"FPGA$0102.bin"});
  Run r(profile("QD29E"), {}, dir);
  r.host.onPump = [&] {
    if (r.dlg.statusText == kResetStatus && r.host.escAtQuery == 0)
      r.host.escAtQuery = r.host.escQueries + 1;
  };
  r.host.answers = {false, true};  // the first offer declined, the second taken
  update(r, "upd2.01");
  EXPECT_THAT(r.host.texts(), ElementsAre("Do you wish to abbort the QD29E V1.05 FPGA-Update ?",
                                          "Do you wish to abbort the QD29E V1.05 FPGA-Update ?"));
  EXPECT_TRUE(log.fpga.empty());
  EXPECT_EQ(r.dlg.verdict, Verdict::None);
  EXPECT_EQ(r.device.flash().size(), 512u);
  expectIdle(r);
}

TEST_F(DriverFlow, PlainQd09BootLoaderEntry) {
  sim::Profile p = profile("QD09A");
  p.software = {0x03, 0x22};
  p.versionAfterReset = {0x03, 0x25};
  p.resetSilenceMs = 0;
  dataFile("QD09A_1/upd3.25", "QD09A", 0, 256, "1", "MPG09$0105.bin");
  dataFile("QD09A_1/upd3.26", "QD09A", 0, 256, "1", ".\\U09$0105.bin");
  coprocessorFiles("QD09A_1", {"MPG09$0105.bin", "U09$0105.bin"});
  {
    // Controller software from 3.22 to 3.25: the decoder's boot loader is current.
    Run r(p, {}, dir);
    r.host.answers = {true};
    update(r, "upd3.25");
    EXPECT_TRUE(log.mpeg.empty());
    EXPECT_THAT(r.host.texts(), ElementsAre(kSuccess, "Do you wish to update another QD09A ?"));
  }
  {
    // An update file whose name starts with U is never current: after the restart wait the user
    // is told to remove the CA module, then the boot-loader stage runs.
    Run r(p, {}, dir);
    r.host.answers = {true};
    update(r, "upd3.26");
    ASSERT_EQ(log.mpeg.size(), 1u);
    EXPECT_EQ(log.mpeg[0].line, ".\\U09$0105.bin\n");
    EXPECT_THAT(r.host.texts(), ElementsAre("Remove CA module if present !", kSuccess,
                                            "Do you wish to update another QD09A ?"));
    EXPECT_THAT(r.host.beeps, ElementsAre(std::pair<unsigned, unsigned>{1000, 1000}));
    EXPECT_EQ(r.dlg.deviceText, "");  // cleared by the clean-up
  }
}

}  // namespace
}  // namespace qdqm
