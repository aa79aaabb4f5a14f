// Identification, speed switch and Connect against the simulated controller on the virtual clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/catalogue.h"
#include "app/list_handlers.h"
#include "app/update_folder.h"
#include "link/base_unit.h"
#include "link/controller.h"
#include "procedures/connect.h"
#include "procedures/procedures.h"
#include "sim/base_unit.h"
#include "sim/controller.h"
#include "tests/support/base_unit_window.h"
#include "tests/support/scripted_host.h"
#include "tests/support/sim_line.h"
#include "tests/support/sim_window.h"

namespace qdqm {
namespace {

using ::testing::ElementsAre;

// Everything a frame-level test needs: a controller on COM1 and an open port.
struct Bench {
  explicit Bench(sim::Profile profile, sim::Faults faults = {})
      : device(std::move(profile), faults), opener(clock), port(opener, clock, host) {
    opener.attach(1, device);
    EXPECT_EQ(openPort(1, port), 1);
  }
  std::string type() {
    uint8_t t[kModuleTypeBuffer]{};
    if (!identifyModule(port, t)) return "";
    return std::string(reinterpret_cast<char*>(t), 5);
  }
  uint32_t rate() const { return opener_line()->settings().baud; }
  testing::SimLine* opener_line() const { return const_cast<Bench*>(this)->opener.line(1); }
  // Every frame the tool wrote, as text.
  std::string sent() const {
    std::string s;
    for (const auto& w : opener_line()->writes) s.append(w.bytes.begin(), w.bytes.end());
    return s;
  }

  VirtualClock clock;
  sim::Controller device;
  testing::SimPortOpener opener;
  testing::ScriptedHost host;
  SerialPort port;
};

sim::Profile profile(std::string type, sim::Protocol p = sim::Protocol::Raw, char top = '2') {
  sim::Profile pr;
  pr.type = std::move(type);
  pr.protocol = p;
  pr.topSpeed = top;
  return pr;
}

TEST(Identify, RawAndRecordProtocols) {
  Bench raw(profile("QD21S"));
  EXPECT_EQ(raw.type(), "QD21S");
  EXPECT_FALSE(isRecordProtocol(raw.port));

  Bench wide(profile("QM65A"));
  EXPECT_EQ(wide.type(), "QM65x");

  sim::Profile rec = profile("QM41B", sim::Protocol::Record);
  rec.software = {0x0A, 0x05};
  Bench record(rec);
  EXPECT_EQ(record.type(), "QM41B");
  EXPECT_TRUE(isRecordProtocol(record.port));
  EXPECT_NE(record.sent().find(":050000090000000010E2\r\n"), std::string::npos);
  uint8_t v[2]{};
  ASSERT_EQ(readSoftwareVersion(record.port, v), 1);
  EXPECT_EQ(v[0], 0x0A);
  EXPECT_EQ(v[1], 0x05);
  // Raw queries select the controller, the record protocol needs no selection.
  const size_t before = record.sent().size();
  EXPECT_EQ(selectControllerRetry(record.port), 1);
  EXPECT_EQ(record.sent().size(), before);
}

TEST(Identify, PartialPs17AndWakeUp) {
  Bench ps17(profile("PS17"));
  EXPECT_EQ(ps17.type(), "PS17_");
  EXPECT_FALSE(isRecordProtocol(ps17.port));
  EXPECT_EQ(ps17.sent().find("\x15\x01\x01"), std::string::npos);

  sim::Profile sleeping = profile("QM65A");
  sleeping.needsWakeUp = true;
  Bench wake(sleeping);
  EXPECT_EQ(wake.type(), "QM65A");  // no replacement after the wake-up
  EXPECT_EQ(wake.rate(), 19200u);
  EXPECT_NE(wake.sent().find("\x15\xEF"), std::string::npos);

  sim::Faults silent;
  silent.silent = true;
  Bench dead(profile("QD21S"), silent);
  EXPECT_EQ(dead.type(), "");
  EXPECT_EQ(dead.rate(), 19200u);
}

TEST(HighSpeed, RawRecordAndFallBack) {
  Bench raw(profile("QD21S", sim::Protocol::Raw, '3'));
  uint8_t t[kModuleTypeBuffer]{};
  ASSERT_EQ(identifyModule(raw.port, t), 1);
  EXPECT_EQ(switchToHighSpeed(raw.port, t), 1);
  EXPECT_EQ(raw.rate(), 115200u);

  Bench rec(profile("QM41B", sim::Protocol::Record, '3'));
  ASSERT_EQ(identifyModule(rec.port, t), 1);
  EXPECT_EQ(switchToHighSpeed(rec.port, t), 1);
  EXPECT_EQ(rec.rate(), 57600u);  // never 115200 in the record protocol
  EXPECT_NE(rec.sent().find(":02000002810279\r\n"), std::string::npos);

  sim::Faults other;
  other.speed = sim::SpeedFault::OtherTypeAtNewRate;
  Bench wrong(profile("QD21S", sim::Protocol::Raw, '2'), other);
  ASSERT_EQ(identifyModule(wrong.port, t), 1);
  EXPECT_EQ(switchToHighSpeed(wrong.port, t), 1);
  EXPECT_EQ(wrong.rate(), 19200u);
  EXPECT_NE(wrong.sent().find(":020000030400f7"), std::string::npos);
  EXPECT_TRUE(wrong.host.boxes.empty());

  Bench none(profile("QD21S", sim::Protocol::Raw, '0'));
  ASSERT_EQ(identifyModule(none.port, t), 1);
  EXPECT_EQ(switchToHighSpeed(none.port, t), 1);
  EXPECT_EQ(none.rate(), 19200u);
}

TEST(RevisionSuffix, ByTypeTable) {
  struct Case {
    std::string type;
    uint8_t hardware;
    uint8_t boot;
    std::string suffix;
  };
  for (const Case& c : std::vector<Case>{{"QD21M", 0x1a, 2, "1a"},
                                         {"QD21M", 5, 2, "5"},
                                         {"QD09T", 3, 2, "3"},
                                         {"QD01A", 7, 1, ""},
                                         {"QD01A", 7, 2, "2"},
                                         {"QD61D", 4, 2, "1"},
                                         {"QD61D", 4, 3, "4"},
                                         {"QM41B", 4, 2, ""}}) {
    sim::Profile p = profile(c.type);
    p.hardware = c.hardware;
    p.bootLoader = {c.boot, 0};
    Bench b(p);
    ASSERT_EQ(b.type(), c.type);
    std::string suffix = "?", hw;
    EXPECT_EQ(revisionSuffix(b.port, c.type, suffix, hw), SuffixOutcome::Ok);
    EXPECT_EQ(suffix, c.suffix) << c.type;
  }
  sim::Faults silent;
  silent.silent = true;
  Bench dead(profile("PS9xA"), silent);
  std::string suffix, hw;
  EXPECT_EQ(revisionSuffix(dead.port, "PS9xA", suffix, hw), SuffixOutcome::Ok);
  EXPECT_EQ(suffix, "1");
  EXPECT_EQ(revisionSuffix(dead.port, "QD20A", suffix, hw), SuffixOutcome::NoHardwareInfo);
  EXPECT_EQ(revisionSuffix(dead.port, "QD01A", suffix, hw), SuffixOutcome::NoBootLoaderVersion);
}

// A base unit as far as Connect drives it: version, slot occupancy and slot selection.
class TestBaseUnit : public sim::Device {
 public:
  TestBaseUnit(uint8_t major, uint8_t minor, int slots)
      : major_(major), minor_(minor), slots_(slots) {}
  void receive(uint8_t byte, const sim::Line& sent, uint64_t atUs) override {
    frame_.push_back(static_cast<char>(byte));
    if (frame_.size() < 3 || frame_[0] != 0 || frame_[1] != 0) {
      if (frame_.size() >= 2 && (frame_[0] != 0 || frame_[1] != 0)) frame_.erase(0, 1);
      return;
    }
    const uint8_t code = static_cast<uint8_t>(frame_[2]);
    if (code == 0xB0) {
      emit(std::string{static_cast<char>(major_), static_cast<char>(minor_), 0}, atUs, sent);
    } else if (code == 0x30) {
      emit(std::string(9, '\x01'), atUs, sent);
    } else if (code == 0xA1) {
      if (frame_.size() < 4) return;
      const int slot = frame_[3];
      emit(std::string(1, slot > slots_ ? '\x95' : '\0'), atUs, sent);
    }
    frame_.clear();
  }

 private:
  uint8_t major_, minor_;
  int slots_;
  std::string frame_;
};

TEST(BaseUnit, SlotCountAndVersion) {
  for (int slots : {8, 9}) {
    VirtualClock clock;
    testing::ScriptedHost host;
    TestBaseUnit unit(2, 0x07, slots);
    testing::SimPortOpener opener(clock);
    opener.attach(1, unit);
    UpdateDialog dlg(opener, clock, host, windowProcedures());
    dlg.selectPort(1);
    dlg.control(ids::BaseUnit).checked = true;
    onConnect(dlg);
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(dlg.slotCount, slots);
    EXPECT_EQ(dlg.deviceText, slots == 8 ? "QM65A   V2.07" : "QM65B   V2.07");
    EXPECT_EQ(dlg.control(kSlotRows[8].name).visible, slots == 9);
    EXPECT_TRUE(dlg.control(ids::LowSpeed).checked);
    EXPECT_FALSE(dlg.control(ids::BaseUnit).enabled);
  }
  VirtualClock clock;
  testing::ScriptedHost host;
  TestBaseUnit old(1, 0x03, 9);
  testing::SimPortOpener opener(clock);
  opener.attach(1, old);
  UpdateDialog dlg(opener, clock, host, windowProcedures());
  dlg.selectPort(1);
  dlg.control(ids::BaseUnit).checked = true;
  onConnect(dlg);
  EXPECT_EQ(dlg.deviceText, "QM65_   V1.03");
  EXPECT_THAT(host.texts(),
              ElementsAre("No QM65A connected! \nModulupdate not available \nError Code: 24"));
}

// Connect through the window model with a type directory beside a temporary program directory.
class ConnectFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("qdqm-connect-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  void file(const std::string& name) {
    std::filesystem::create_directories((dir / name).parent_path());
    std::ofstream(dir / name) << "x\n";
  }
  using Run = testing::SimWindow;
  std::filesystem::path dir;
};

TEST_F(ConnectFlow, SingleModuleFillsSortedList) {
  file("QD21S_5/upd1.05");
  file("QD21S_5/UPD2.01");
  file("QD21S_5/upd1.10");
  sim::Profile p = profile("QD21S");
  p.software = {1, 5};
  p.hardware = 5;
  Run r(p, {}, dir);
  onConnect(r.dlg);
  EXPECT_TRUE(r.host.boxes.empty());
  EXPECT_EQ(r.dlg.deviceText, "QD21S V1.05");
  EXPECT_THAT(r.dlg.control(ids::VersionList).items, ElementsAre("UPD2.01", "upd1.10", "upd1.05"));
  EXPECT_EQ(r.dlg.selectedFile, "UPD2.01");
  EXPECT_TRUE(r.dlg.control(ids::Update).enabled);
  EXPECT_FALSE(r.dlg.control(ids::Connect).enabled);
  EXPECT_EQ(r.dlg.workingDir, (dir / "QD21S_5").string());
}

// Another update folder chosen in the dialog: what Connect listed is forgotten (Update off,
// Connect on), and the next Connect lists the new folder's versions. A remembered folder that is
// gone (a USB stick taken out) does not count.
TEST_F(ConnectFlow, AnotherUpdateFolderIsListedByTheNextConnect) {
  file("QD21S_5/upd1.10");
  file("stick/QD21S_5/upd2.01");
  sim::Profile p = profile("QD21S");
  p.hardware = 5;
  Run r(p, {}, dir);
  onConnect(r.dlg);
  ASSERT_THAT(r.dlg.control(ids::VersionList).items, ElementsAre("upd1.10"));
  changeUpdateFolder(r.dlg, (dir / "stick").string());
  EXPECT_EQ(r.dlg.programDir, (dir / "stick").string());
  EXPECT_FALSE(r.dlg.control(ids::Update).enabled);
  EXPECT_TRUE(r.dlg.control(ids::Connect).enabled);
  EXPECT_TRUE(r.dlg.control(ids::VersionList).items.empty());
  EXPECT_EQ(r.dlg.deviceText, "");
  r.dlg.onConnectClicked();
  EXPECT_THAT(r.dlg.control(ids::VersionList).items, ElementsAre("upd2.01"));
  EXPECT_EQ(rememberedUpdateFolder((dir / "stick").string()), (dir / "stick").string());
  EXPECT_EQ(rememberedUpdateFolder((dir / "gone").string()), "");
}

TEST_F(ConnectFlow, ClicksDuringConnectAreIgnored) {
  file("QD21S_5/upd1.05");
  sim::Profile p = profile("QD21S", sim::Protocol::Raw, '3');
  p.hardware = 5;
  Run r(p, {}, dir);
  int pumps = 0;
  r.host.onPump = [&] {
    ++pumps;
    r.dlg.onConnectClicked();  // a second click while the first Connect drives the port
  };
  r.dlg.onConnectClicked();
  EXPECT_GT(pumps, 0);
  EXPECT_TRUE(r.host.boxes.empty());
  EXPECT_THAT(r.dlg.control(ids::VersionList).items, ElementsAre("upd1.05"));
  EXPECT_EQ(r.opener.line(1)->settings().baud, 115200u);
}

TEST_F(ConnectFlow, LowSpeedSendsNoSpeedCommand) {
  file("QD21S_5/upd1.05");
  sim::Profile p = profile("QD21S", sim::Protocol::Raw, '3');
  p.hardware = 5;
  Run r(p, {}, dir);
  r.dlg.control(ids::LowSpeed).checked = true;
  onConnect(r.dlg);
  EXPECT_EQ(r.sent().find(":0100000508f2"), std::string::npos);
  EXPECT_EQ(r.opener.line(1)->settings().baud, 19200u);
  EXPECT_THAT(r.dlg.control(ids::VersionList).items, ElementsAre("upd1.05"));
}

TEST_F(ConnectFlow, FailuresShowOneNumberedBox) {
  {
    Run r(profile("QD21S"), {}, dir);  // hardware 'A': directory QD21S_q is missing
    onConnect(r.dlg);
    EXPECT_THAT(r.host.texts(), ElementsAre("No update available !\nError Code: 30"));
    EXPECT_EQ(r.host.boxes[0].caption, "Error message");
    EXPECT_TRUE(r.dlg.control(ids::Connect).enabled);
  }
  {
    std::filesystem::create_directories(dir / "QD44A_");
    Run r(profile("QD44A"), {}, dir);
    onConnect(r.dlg);
    EXPECT_TRUE(r.host.boxes.empty());  // empty directory: silent
    EXPECT_FALSE(r.dlg.control(ids::Update).enabled);
    EXPECT_TRUE(r.dlg.control(ids::Connect).enabled);
  }
  {
    // What was shown before the failure stays; the QD292 is shown under both its names.
    Run r(profile("QD292"), {}, dir);
    onConnect(r.dlg);
    EXPECT_EQ(r.dlg.deviceText, "QD29/22 V3.19");
    EXPECT_THAT(r.host.texts(), ElementsAre("No update available !\nError Code: 30"));
  }
  {
    sim::Faults silent;
    silent.silent = true;
    Run r(profile("QD21S", sim::Protocol::Raw, '3'), silent, dir);
    onConnect(r.dlg);
    EXPECT_THAT(r.host.texts(), ElementsAre("Could not connect to module !\nError Code: 20"));
    EXPECT_EQ(r.opener.line(1)->settings().baud, 19200u);
  }
  {
    // Base-unit branch against a module that does not speak the base unit's frames.
    Run r(profile("QD21S"), {}, dir);
    r.dlg.control(ids::BaseUnit).checked = true;
    onConnect(r.dlg);
    EXPECT_THAT(r.host.texts(), ElementsAre("Could not connect to QM65 !\nError Code: 20"));
  }
}

// The type directory's name comes from what the module reports: a hardware byte of 0xFF gives "/"
// as the revision digit, which must not lead to the files of the directory without a revision.
TEST_F(ConnectFlow, DamagedRevisionByteOffersNoOtherDirectory) {
  file("QD21S_/upd1.05");
  sim::Profile p = profile("QD21S");
  p.hardware = 0xFF;
  Run r(p, {}, dir);
  onConnect(r.dlg);
  EXPECT_THAT(r.host.texts(), ElementsAre("No update available !\nError Code: 30"));
  EXPECT_TRUE(r.dlg.control(ids::VersionList).items.empty());
  EXPECT_FALSE(r.dlg.control(ids::Update).enabled);
  EXPECT_TRUE(isTypeDirSpec(".\\QD21S_1"));
  EXPECT_TRUE(isTypeDirSpec(".\\PS17_"));
  for (const char* bad :
       {".\\QD21S_/", ".\\..", ".\\.", ".\\", "QD21S_1", ".\\QD\\21", ".\\QD:1", ".\\QD\x01"})
    EXPECT_FALSE(isTypeDirSpec(bad)) << bad;
}

// Whichever one reply byte of Connect arrives damaged, the window never names another module: the
// type in the device text (which picks the coprocessor stages) is the one identified, or Connect
// ends with a message.
TEST_F(ConnectFlow, ADamagedReplyByteNeverNamesAnotherModule) {
  file("QD29E_/upd2.01");
  for (unsigned n = 1; n <= 60; ++n) {
    sim::Faults damaged;
    damaged.garbleReplyByte = n;
    Run r(profile("QD29E"), damaged, dir);
    onConnect(r.dlg);
    EXPECT_TRUE(r.dlg.deviceText.empty() || r.dlg.deviceText.starts_with("QD29E"))
        << "byte " << n << ": " << r.dlg.deviceText;
    EXPECT_EQ(r.dlg.control(ids::Update).enabled, r.dlg.deviceText.starts_with("QD29E")) << n;
  }
}

// The rates at which the tool wrote the given frame, in order.
std::vector<uint32_t> ratesOf(const testing::SimLine& line, std::string_view frame) {
  std::vector<uint32_t> rates;
  for (const auto& w : line.writes)
    if (std::string_view(reinterpret_cast<const char*>(w.bytes.data()), w.bytes.size()) == frame)
      rates.push_back(w.settings.baud);
  return rates;
}

constexpr std::string_view kRaw19200 = ":020000030400f7";
constexpr std::string_view kRecord19200 = ":0200000281007B\r\n";

TEST_F(ConnectFlow, SecondConnectFindsTheModuleAtItsRaisedRate) {
  std::filesystem::create_directories(dir / "QD21S_5");
  sim::Profile p = profile("QD21S", sim::Protocol::Raw, '3');
  p.hardware = 5;
  Run r(p, {}, dir);
  onConnect(r.dlg);  // empty directory: ends silently at the raised speed
  EXPECT_EQ(r.opener.line(1)->settings().baud, 115200u);
  const size_t first = r.opener.line(1)->writes.size();
  onConnect(r.dlg);
  const auto& writes = r.opener.line(1)->writes;
  ASSERT_GT(writes.size(), first);
  EXPECT_EQ(writes[first].settings.baud, 19200u);
  // Nothing answers at 19200 (nor the wake-up at 2400); the module is found at 115200, told to go
  // back to 19200 and identified there, then raised again as by any Connect.
  EXPECT_TRUE(r.host.boxes.empty()) << r.host.texts()[0];
  EXPECT_THAT(ratesOf(*r.opener.line(1), kRaw19200), ElementsAre(115200u));
  EXPECT_EQ(r.dlg.deviceText, "QD21S V3.19");
  EXPECT_EQ(r.opener.line(1)->settings().baud, 115200u);
  EXPECT_EQ(r.device.listening().baud, 115200u);
}

// A program that ended after Connect (the port closed and opened again at 19200): the record
// protocol is found at 57600 and told back with its own record.
TEST_F(ConnectFlow, RecordModuleLeftAtRaisedRateIsFound) {
  file("QM41B_/upd2.01");
  Run r(profile("QM41B", sim::Protocol::Record, '2'), {}, dir);
  r.dlg.control(ids::LowSpeed).checked = false;
  onConnect(r.dlg);
  ASSERT_EQ(r.device.listening().baud, 57600u);
  ASSERT_EQ(r.dlg.selectPort(1), 1);  // reopened at 19200; the module stays at 57600
  r.dlg.control(ids::LowSpeed).checked = true;
  onConnect(r.dlg);
  EXPECT_TRUE(r.host.boxes.empty());
  EXPECT_THAT(ratesOf(*r.opener.line(1), kRecord19200), ElementsAre(57600u));
  EXPECT_EQ(r.device.listening().baud, 19200u);
  EXPECT_EQ(r.opener.line(1)->settings().baud, 19200u);
  EXPECT_THAT(r.dlg.control(ids::VersionList).items, ElementsAre("upd2.01"));
}

TEST_F(ConnectFlow, ModuleAnsweringNowhereStillGetsCode20) {
  sim::Faults silent;
  silent.silent = true;
  Run r(profile("QD21S", sim::Protocol::Raw, '3'), silent, dir);
  onConnect(r.dlg);
  EXPECT_THAT(r.host.texts(), ElementsAre("Could not connect to module !\nError Code: 20"));
  // Every raised rate was asked, none was told to go back, and the line ends at 19200.
  std::vector<uint32_t> asked = ratesOf(*r.opener.line(1), ":0100000501f9");
  EXPECT_THAT(asked, ElementsAre(19200u, 38400u, 57600u, 115200u));
  EXPECT_TRUE(ratesOf(*r.opener.line(1), kRaw19200).empty());
  EXPECT_EQ(r.opener.line(1)->settings().baud, 19200u);
}

// Exit after a Connect that was not followed by an update sends the controller back to 19200,
// so that the next program finds it where every Connect starts; at 19200 Exit sends nothing.
TEST_F(ConnectFlow, ExitAfterConnectLeavesTheModuleAt19200) {
  file("QD21S_5/upd1.05");
  sim::Profile p = profile("QD21S", sim::Protocol::Raw, '3');
  p.hardware = 5;
  {
    Run r(p, {}, dir);
    onConnect(r.dlg);
    ASSERT_EQ(r.device.listening().baud, 115200u);
    r.dlg.onExitClicked();
    EXPECT_TRUE(r.dlg.ended());
    EXPECT_EQ(r.device.listening().baud, 19200u);
    EXPECT_THAT(ratesOf(*r.opener.line(1), kRaw19200), ElementsAre(115200u));
  }
  {
    Run r(p, {}, dir);
    r.dlg.control(ids::LowSpeed).checked = true;
    onConnect(r.dlg);
    const size_t before = r.opener.line(1)->writes.size();
    r.dlg.onExitClicked();
    EXPECT_EQ(r.opener.line(1)->writes.size(), before);
  }
}

// Bytes a previous session left unread wait on the line: Connect clears them before it asks
// anything, so neither the module's type nor the base unit's version is read from them.
TEST_F(ConnectFlow, StaleInputBeforeConnectIsNeverAReply) {
  file("QD21S_5/upd2.01");
  file("QM21__/upd2.01");
  {
    sim::Profile p = profile("QD21S");
    p.hardware = 5;
    Run r(p, {}, dir);
    r.opener.line(1)->stale("QD99Z\x01\x05.");
    onConnect(r.dlg);
    EXPECT_TRUE(r.host.boxes.empty());
    EXPECT_EQ(r.dlg.deviceText, "QD21S V3.19");
    EXPECT_TRUE(r.dlg.control(ids::Update).enabled);
  }
  // The base unit's version is the first reply of its branch, with no sync before it: stale type
  // codes would read as version 56.67.
  testing::BaseUnitWindow u({9, {0x02, 0x22}}, dir);
  sim::Profile qm21 = profile("QM21_");
  qm21.software = {0x01, 0x05};
  u.unit.plug(1, qm21);
  u.opener.line(1)->stale(std::string("\x56\x67\x00\x00\x00\x00\x00\x00\x00", 9));
  onConnect(u.dlg);
  EXPECT_TRUE(u.host.boxes.empty());
  EXPECT_EQ(u.dlg.deviceText, "QM65B   V2.22");
  EXPECT_EQ(u.dlg.slots[0].nameText, "QM21_");
  EXPECT_EQ(u.dlg.slots[0].versionText, "Ver.: 1.05");
  EXPECT_EQ(u.dlg.slots[1].nameText, "empty");
}

}  // namespace
}  // namespace qdqm
