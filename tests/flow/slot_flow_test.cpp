// A base unit with modules in its slots against the simulator on the virtual clock: the search
// that fills the slot rows, then the update slot by slot, every module's flash and coprocessor
// image compared with its files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/run_result.h"
#include "app/update_dialog.h"
#include "sim/base_unit.h"
#include "sim/intel_hex.h"
#include "tests/support/base_unit_window.h"
#include "tests/support/test_bytes.h"
#include "tests/support/update_fixture.h"

namespace qdqm {
namespace {

using testing::bytes;
using testing::count;
using testing::imageBytes;
using testing::text;

using testing::BaseUnitWindow;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kAllFailed =
    "Could not update all the modules !\nCorrect function of modules, where the backcolor \nof "
    "the updatestate is red, is no longer guaranteed !\nTry again to update, or contact your "
    "local dealer !";

sim::Profile slotModule(std::string type, sim::Protocol protocol = sim::Protocol::Raw) {
  sim::Profile p;
  p.type = std::move(type);
  p.protocol = protocol;
  p.software = {0x01, 0x05};
  p.versionAfterReset = {0x02, 0x01};
  p.coprocessor = sim::defaultCoprocessor(p.type);
  p.coprocessorVersion = "1.05";
  p.coprocessorVersionAfter = "2.01";
  return p;
}

class SlotFlow : public testing::UpdateFlow {
 protected:
  // A controller data file for `type` in `dir` and its image.
  sim::Image slotFile(const std::string& dir, const std::string& file, const std::string& type,
                      uint32_t size, const std::string& mpeg = ";") {
    return dataFile(dir + "/" + file, type, 0, size, ";", mpeg);
  }
  std::string coprocessorFile(const std::string& path, size_t size) {
    const std::string image = imageBytes(size, static_cast<unsigned>(size));
    write(path, image);
    return image;
  }
  struct Unit : BaseUnitWindow {
    using BaseUnitWindow::BaseUnitWindow;
    void connect() {
      dlg.onConnectClicked();
      sentBefore = sent().size();
      host.boxes.clear();
    }
    void update() { dlg.onUpdateClicked(); }
    std::string sentByUpdate() { return sent().substr(sentBefore); }
    const Control& check(int k) { return dlg.control(kSlotRows[k].check); }
    const Control& list(int k) { return dlg.control(kSlotRows[k].versionList); }
    size_t sentBefore = 0;
  };
};

TEST_F(SlotFlow, SearchNamesModulesReadsVersionsAndListsFiles) {
  for (const char* f : {"A1", "b2", "C3"}) slotFile("QM21__", f, "QM21_", 64);
  slotFile("QM492_", "upd2.01", "QM492", 64);
  slotFile("QM21M_2", "upd2.01", "QM21M", 64);
  Unit u({9, {0x02, 0x22}}, dir);
  u.unit.plug(1, slotModule("QM21_"));
  u.unit.plug(2, slotModule("QM492", sim::Protocol::Record));
  u.unit.plug(3, slotModule("QM37_"));
  u.unit.plug(4, slotModule("QM61_"));
  u.unit.plug(5, slotModule("QM21M"));
  u.unit.plug(7, slotModule("QM21_"), {}, uint8_t{0x00});  // found only by asking it directly
  u.connect();
  EXPECT_EQ(u.dlg.deviceText, "QM65B   V2.22");
  ASSERT_EQ(u.dlg.slotCount, 9);
  EXPECT_TRUE(u.dlg.control(kSlotRows[8].name).visible);

  const auto& s = u.dlg.slots;
  EXPECT_EQ(s[0].nameText, "QM21_");
  EXPECT_EQ(s[0].versionText, "Ver.: 1.05");
  EXPECT_THAT(u.list(0).items, ElementsAre("C3", "b2", "A1"));
  EXPECT_EQ(s[0].selectedFile, "C3");
  EXPECT_TRUE(u.check(0).enabled && u.check(0).checked);
  EXPECT_EQ(s[1].nameText, "QM492");
  EXPECT_EQ(s[1].recordProtocol, 1);
  EXPECT_TRUE(u.check(1).checked);
  // Known but not updatable: named, version shown, row disabled.
  EXPECT_EQ(s[2].nameText, "QM37_");
  EXPECT_EQ(s[2].versionText, "Ver.: n.a.");
  EXPECT_FALSE(u.check(2).enabled);
  EXPECT_EQ(s[3].nameText, "QM61_");
  EXPECT_EQ(s[3].versionText, "Ver.: 1.05");
  EXPECT_FALSE(u.check(3).checked);
  // QM21M: files of hardware revision 2, the module not asked for it.
  EXPECT_EQ(s[4].dirSpec, ".\\QM21M_2");
  EXPECT_THAT(u.sent(), Not(HasSubstr(":0100000503f7")));
  EXPECT_EQ(s[5].nameText, "empty");
  EXPECT_FALSE(u.check(5).enabled);
  EXPECT_EQ(s[6].nameText, "QM21_");
  EXPECT_EQ(s[6].typeCode, 0);
  EXPECT_TRUE(u.check(6).checked);
  EXPECT_EQ(s[6].selectedFile, "C3");
  EXPECT_TRUE(u.dlg.control(ids::Update).enabled);
  EXPECT_FALSE(u.dlg.control(ids::Connect).enabled);
  EXPECT_EQ(u.dlg.workingDir, u.dlg.programDir);
}

TEST_F(SlotFlow, EightSlotUnitHidesTheNinthRow) {
  slotFile("QM292_", "upd2.01", "QM292", 64);
  Unit u({8, {0x02, 0x22}}, dir);
  u.unit.plug(8, slotModule("QM292"));
  std::vector<std::string> statuses;
  u.host.onControlsChanged = [&] {
    if (statuses.empty() || statuses.back() != u.dlg.statusText)
      statuses.push_back(u.dlg.statusText);
  };
  u.connect();
  EXPECT_EQ(u.dlg.deviceText, "QM65A   V2.22");
  EXPECT_EQ(u.dlg.slotCount, 8);
  EXPECT_FALSE(u.dlg.control(kSlotRows[8].name).visible);
  EXPECT_THAT(statuses, ::testing::Contains("search in QM65A slot 8"));
  EXPECT_THAT(statuses, Not(::testing::Contains("search in QM65A slot 9")));
  EXPECT_EQ(u.dlg.slots[7].nameText, "QM292");
}

// A module still starting answers its version query late: the search asks three times, waiting
// between the attempts. One that never answers may have lost its program: its row is offered
// for a flash through the boot loader, but left unticked.
TEST_F(SlotFlow, ModuleAnsweringAtTheThirdAttemptIsFound) {
  slotFile("QM21__", "upd2.01", "QM21_", 64);
  sim::Faults twoLost, threeLost;
  ASSERT_TRUE(sim::parseFault("mute=2", twoLost));
  ASSERT_TRUE(sim::parseFault("mute=3", threeLost));
  Unit u({9, {0x02, 0x22}}, dir);
  u.unit.plug(1, slotModule("QM21_"), twoLost);
  u.unit.plug(2, slotModule("QM21_"), threeLost);
  // Each wait for the module is shown once with its status before the bar runs.
  int waits = 0;
  u.host.onRepaint = [&] { waits += u.dlg.statusText == "waiting for controller ..."; };
  u.connect();
  const auto& s = u.dlg.slots;
  EXPECT_EQ(s[0].versionText, "Ver.: 1.05");
  EXPECT_TRUE(u.check(0).enabled && u.check(0).checked);
  EXPECT_EQ(s[0].selectedFile, "upd2.01");
  EXPECT_EQ(waits, 2 + 3);
  EXPECT_THAT(s[1].versionText, ::testing::EndsWith("?.??"));
  EXPECT_TRUE(u.check(1).enabled);
  EXPECT_FALSE(u.check(1).checked);
  EXPECT_TRUE(u.list(1).enabled);
  EXPECT_EQ(s[1].selectedFile, "upd2.01");
  EXPECT_TRUE(u.dlg.control(kSlotRows[1].verLabel).enabled);  // its version stays readable
}

TEST_F(SlotFlow, EveryKindOfSlotIsUpdated) {
  const sim::Image qm21 = slotFile("QM21__", "upd2.01", "QM21_", 3000);
  const sim::Image qm492 = slotFile("QM492_", "upd2.01", "QM492", 3000, "mpeg\\mpg$2_01.bin");
  const std::string decoder16 = coprocessorFile("QM492_/mpeg/mpg$2_01.bin", 1000);
  const sim::Image qm292 = slotFile("QM292_", "upd2.01", "QM292", 3000, "mpeg\\QM292_2_01.bin");
  const std::string decoder32 = coprocessorFile("QM292_/mpeg/QM292_2_01.bin", 1300);
  const sim::Image qm23 = slotFile("QM23__", "upd2.01", "QM23_", 3000, "fpga\\fpga23$2_01.bin");
  const std::string fpga = coprocessorFile("QM23__/fpga/fpga23$2_01.bin", 130);
  Unit u({9, {0x02, 0x22}}, dir);
  u.unit.plug(1, slotModule("QM21_"));
  u.unit.plug(2, slotModule("QM492", sim::Protocol::Record));
  u.unit.plug(3, slotModule("QM292"));
  u.unit.plug(4, slotModule("QM23_"));
  u.unit.plug(5, slotModule("QM21_"), {}, uint8_t{0x00});
  u.connect();
  u.host.answers = {true};
  u.dlg.historyPath = (dir / "history.jsonl").string();
  u.update();
  EXPECT_EQ(u.unit.module(1)->flash(), qm21);
  EXPECT_EQ(u.unit.module(2)->flash(), qm492);
  EXPECT_EQ(text(u.unit.module(2)->decoderImage()), decoder16);
  EXPECT_EQ(u.unit.module(3)->flash(), qm292);
  EXPECT_EQ(text(u.unit.module(3)->decoderImage()), decoder32);
  EXPECT_EQ(u.unit.module(4)->flash(), qm23);
  EXPECT_EQ(text(u.unit.module(4)->fpgaImage()), fpga);
  EXPECT_EQ(u.unit.module(5)->flash(), qm21);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(u.dlg.slots[k].state, SlotUpdated) << k;
  for (int k = 5; k < 9; ++k) EXPECT_EQ(u.dlg.slots[k].state, SlotNotUpdated) << k;
  EXPECT_EQ(u.dlg.verdict, Verdict::Success);
  EXPECT_THAT(u.host.texts(),
              ElementsAre(testing::kSuccessText, "Do you wish to update another QMxx ... ?"));
  // Every slot that reached its end was deselected.
  EXPECT_EQ(count(u.sentByUpdate(), bytes({0x00, 0x00, 0xA1, 0x00})), 5u);
  EXPECT_EQ(u.unit.selected(), 0);
  // The service record: one line, the checked slots with their files, and every image sent.
  std::ifstream in(dir / "history.jsonl");
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  const nlohmann::json record = nlohmann::json::parse(line);
  EXPECT_EQ(record["device"], "QM65B   V2.22");
  EXPECT_EQ(record["result"], "updated");
  ASSERT_EQ(record["slots"].size(), 5u);
  EXPECT_EQ(record["slots"][2]["slot"], 3);
  EXPECT_EQ(record["slots"][2]["name"], "QM292");
  EXPECT_EQ(record["slots"][2]["file"], "upd2.01");
  EXPECT_EQ(record["slots"][2]["sha256"].get<std::string>().size(), 64u);
  EXPECT_EQ(record["slots"][2]["state"], "updated");
  EXPECT_EQ(record["coprocessor_files"].size(), 3u);
  EXPECT_FALSE(std::getline(in, line));
}

TEST_F(SlotFlow, ResultsColourTheRowsAndFailuresTheVerdict) {
  slotFile("QM21__", "upd2.01", "QM21_", 2000);
  slotFile("QM292_", "upd2.01", "QM21_", 2000);  // a file for another module
  slotFile("QM20C_", "upd2.01", "QM20C", 2000);
  Unit u({9, {0x02, 0x22}}, dir);
  u.unit.plug(1, slotModule("QM21_"));
  u.unit.plug(2, slotModule("QM292"));
  sim::Faults refuse;
  refuse.refuseRecord = 3;
  refuse.refuseCode = 'P';
  u.unit.plug(3, slotModule("QM20C"), refuse);
  u.unit.plug(4, slotModule("QM21_"));
  u.connect();
  u.dlg.control(kSlotRows[3].check).checked = false;  // slot 4 unticked
  u.host.answers = {true};
  u.update();
  EXPECT_EQ(u.dlg.slots[0].state, SlotUpdated);
  EXPECT_EQ(u.dlg.slots[1].state, SlotDataFileError);
  EXPECT_EQ(u.dlg.slots[2].state, SlotFailed);
  EXPECT_EQ(u.dlg.slots[3].state, SlotNotUpdated);
  EXPECT_THAT(u.host.texts(), ElementsAre("Data file not for this module type !\nError Code: 42",
                                          "Could not programm byte to flash !\nError Code: 202",
                                          kAllFailed, "Do you wish to update another QMxx ... ?"));
  EXPECT_EQ(u.dlg.verdict, Verdict::Failure);
  EXPECT_EQ(u.unit.module(4)->erases(), 0u);
  // A data file error alone does not fail the run.
  Unit v({9, {0x02, 0x22}}, dir);
  v.unit.plug(1, slotModule("QM21_"));
  v.unit.plug(2, slotModule("QM292"));
  v.connect();
  v.host.answers = {true};
  v.update();
  EXPECT_EQ(v.dlg.slots[1].state, SlotDataFileError);
  EXPECT_EQ(v.dlg.verdict, Verdict::Success);
}

TEST_F(SlotFlow, OldBaseUnitChecksumAndTheHandsetHint) {
  slotFile("QM292_", "upd2.01", "QM292", 500, "mpeg\\QM292_2_01.bin");
  coprocessorFile("QM292_/mpeg/QM292_2_01.bin", 300);
  Unit u({9, {0x02, 0x21}}, dir);
  sim::Faults wrongCrc;
  wrongCrc.wrongCrc = true;
  u.unit.plug(1, slotModule("QM292"), wrongCrc);
  u.connect();
  u.host.answers = {true};
  u.update();
  // Letter P with the longest time-out such a unit takes: 25.5 s.
  EXPECT_THAT(u.sentByUpdate(), HasSubstr(bytes({0x00, 0x01, 'P', 0x08, 0x01, 0xFF, 0x3A, 0xE2})));
  EXPECT_EQ(u.host.boxes.at(0).caption, "Check module-version after complet update!");
  EXPECT_EQ(u.dlg.slots[0].state, SlotUpdated);
}

// A damaged data file or a missing coprocessor file: nothing is sent to the module.
TEST_F(SlotFlow, FilesAreCheckedBeforeTheModuleIsTouched) {
  write("QM21__/upd2.01", "QM21_\r\n;\r\n;\r\n:0400100001020304E2\r\n");     // no end record
  dataFile("QM292_/upd2.01", "QM292", 0, 500, ";", "mpeg\\QM292_2_01.bin");  // file missing
  Unit u({9, {0x02, 0x22}}, dir);
  u.unit.plug(1, slotModule("QM21_"));
  u.unit.plug(2, slotModule("QM292"));
  u.connect();
  u.host.answers = {true};
  u.update();
  EXPECT_EQ(u.dlg.slots[0].state, SlotDataFileError);
  EXPECT_EQ(u.dlg.slots[1].state, SlotDataFileError);
  EXPECT_THAT(u.host.texts(),
              ElementsAre("Unexpected end of data file upd2.01 !\nError Code: 41",
                          "Could not open data file mpeg\\QM292_2_01.bin !\nError Code: 40",
                          testing::kSuccessText, "Do you wish to update another QMxx ... ?"));
  EXPECT_THAT(u.sentByUpdate(), Not(HasSubstr(bytes({0x00, 0x01}))));
  EXPECT_THAT(u.sentByUpdate(), Not(HasSubstr(bytes({0x00, 0x02}))));
  EXPECT_EQ(u.unit.module(1)->erases(), 0u);
}

// Esc and Yes in a slot's coprocessor stage: the slot is not updated (grey), the next one follows.
// A terminal's interrupt ends the slot in work the same way, and no further slot starts. Either
// way the unit was updated only in part.
TEST_F(SlotFlow, AbortedCoprocessorStageIsNotAnUpdate) {
  slotFile("QM292_", "upd2.01", "QM292", 500, "mpeg\\QM292_2_01.bin");
  coprocessorFile("QM292_/mpeg/QM292_2_01.bin", 300);
  slotFile("QM21__", "upd2.01", "QM21_", 500);
  for (const bool interrupt : {false, true}) {
    SCOPED_TRACE(interrupt ? "interrupt" : "Esc");
    Unit u({9, {0x02, 0x22}}, dir);
    u.unit.plug(1, slotModule("QM292"));
    u.unit.plug(2, slotModule("QM21_"));
    u.connect();
    bool pressed = false;
    u.host.onPump = [&] {
      if (!pressed && u.dlg.statusText == "waiting for controller reset..." &&
          u.dlg.control(ids::Progress).position > 0) {
        pressed = true;
        u.host.escLatched = true;
        u.host.stopRun = interrupt;
      }
    };
    u.host.answers = {true, true};
    u.update();
    EXPECT_TRUE(pressed);
    EXPECT_EQ(u.dlg.slots[0].state, SlotNotUpdated);
    EXPECT_TRUE(u.unit.module(1)->decoderImage().empty());
    EXPECT_EQ(u.unit.selected(), 0);  // the slot's clean-up ran
    EXPECT_EQ(u.dlg.slots[1].state, interrupt ? SlotIdle : SlotUpdated);
    EXPECT_EQ(u.unit.module(2)->erases(), interrupt ? 0u : 1u);
    EXPECT_EQ(u.dlg.verdict, Verdict::Success);
    EXPECT_EQ(runResult(u.dlg), RunResult::PartlyUpdated);
  }
}

// A module whose flash was cut off has only its boot loader: no version, no answer to the
// wake-up. Its row is offered unticked; ticked, it is flashed as a woken module is and runs again.
TEST_F(SlotFlow, ModuleWithoutProgramIsRecoveredInTheRack) {
  const sim::Image image = slotFile("QM21__", "upd2.01", "QM21_", 600);
  sim::Faults gone;
  ASSERT_TRUE(sim::parseFault("program-gone", gone));
  Unit u({9, {0x02, 0x22}}, dir);
  u.unit.plug(1, slotModule("QM21_"), gone);
  u.connect();
  EXPECT_EQ(u.dlg.slots[0].versionText, "Ver.: ?.??");
  EXPECT_TRUE(u.check(0).enabled);
  EXPECT_FALSE(u.check(0).checked);
  EXPECT_EQ(u.dlg.slots[0].selectedFile, "upd2.01");
  EXPECT_TRUE(u.dlg.control(ids::Update).enabled);

  u.dlg.control(kSlotRows[0].check).checked = true;
  u.host.answers = {true};  // another module: yes, the window stays
  u.update();
  EXPECT_EQ(u.dlg.slots[0].state, SlotUpdated);
  EXPECT_EQ(u.dlg.verdict, Verdict::Success);
  EXPECT_EQ(u.unit.module(1)->flash(), image);
  EXPECT_TRUE(u.unit.module(1)->programmingEnded());
  EXPECT_THAT(u.host.texts(), Not(::testing::Contains(HasSubstr("Error Code: 26"))));

  // The program runs again: the next Connect reads its version.
  u.clock.sleepMs(5000);
  u.connect();
  EXPECT_EQ(u.dlg.slots[0].versionText, "Ver.: 2.01");
  EXPECT_TRUE(u.check(0).checked);
}

TEST_F(SlotFlow, WrongSlotNumberIsNeverData) {
  slotFile("QM21__", "upd2.01", "QM21_", 500);
  Unit u({9, {0x02, 0x22}}, dir);
  u.unit.plug(1, slotModule("QM21_"), {}, std::nullopt, true);
  u.connect();
  EXPECT_EQ(u.dlg.slots[0].versionText, "Ver.: ?.??");
  EXPECT_FALSE(u.check(0).checked);
}

}  // namespace
}  // namespace qdqm
