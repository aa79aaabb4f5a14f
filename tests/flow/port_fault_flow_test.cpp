// The window after a fault on its line, against simulated controllers on the virtual clock: an
// adapter unplugged and plugged back (the line lost, or the number leading to another device), a
// new adapter while the window is open, the port list during a run, a close during a run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "app/update_dialog.h"
#include "link/clock.h"
#include "procedures/procedures.h"
#include "sim/controller.h"
#include "tests/support/scripted_host.h"
#include "tests/support/sim_line.h"
#include "tests/support/update_fixture.h"

namespace qdqm {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using testing::profile;
using testing::SimLine;

constexpr const char* kNoModule = "Could not connect to module !\nError Code: 20";
constexpr const char* kAnother = "Do you wish to update another QD21S ?";

// The window as a technician meets it: the controller on COM7 (a USB adapter, so the port list is
// in use), the list focused and "Com 7" chosen.
struct Com7Window {
  Com7Window(const std::filesystem::path& programDir)
      : first(profile("QD21S"), {}), dlg(opener, clock, host, windowProcedures()) {
    opener.attach(7, first);
    dlg.initWindow();
    dlg.programDir = programDir.string();
    dlg.onPortListFocus();
    choose("Com 7");
  }
  Control& list() { return dlg.control(ids::PortList); }
  int entry(const std::string& text) {
    const auto it = std::find(list().items.begin(), list().items.end(), text);
    return it == list().items.end() ? -1 : static_cast<int>(it - list().items.begin());
  }
  void choose(const std::string& text) {
    list().selection = entry(text);
    dlg.onPortListSelected();
  }
  std::string shown() {
    const int i = list().selection;
    return i < 0 || i >= static_cast<int>(list().items.size()) ? "" : list().items[size_t(i)];
  }
  void pickVersion(const std::string& file) {
    Control& versions = dlg.control(ids::VersionList);
    const auto it = std::find(versions.items.begin(), versions.items.end(), file);
    ASSERT_NE(it, versions.items.end());
    versions.selection = static_cast<int>(it - versions.items.begin());
    dlg.onVersionSelected();
  }
  // Connect, then Update with `file`; `action` runs once, at the n-th pump of the event queue
  // during the update run.
  void update(const std::string& file, int n = 0, std::function<void()> action = {}) {
    dlg.onConnectClicked();
    ASSERT_TRUE(dlg.control(ids::Update).enabled) << ::testing::PrintToString(host.texts());
    pickVersion(file);
    host.onPump = [n, action, count = 0]() mutable {
      if (++count == n) action();
    };
    dlg.onUpdateClicked();
    host.onPump = nullptr;
  }

  VirtualClock clock;
  testing::ScriptedHost host;
  sim::Controller first;
  testing::SimPortOpener opener{clock};
  UpdateDialog dlg;
};

using PortFaultFlow = testing::UpdateFlow;

// The adapter was pulled out during the transfer and put back: the run reports the failure, and
// the next Connect reaches the module through the new line instead of failing with code 20.
TEST_F(PortFaultFlow, ConnectAfterTheAdapterCameBackReachesTheModule) {
  dataFile("QD21S_1/upd2.01", "QD21S", 0, 8192);
  Com7Window w(dir);
  sim::Controller second(profile("QD21S"), {});
  w.host.answers = {true};  // update another: Yes, the window stays
  w.update("upd2.01", 20, [&] {
    w.opener.unplug(7);
    w.opener.attach(7, second);
  });
  EXPECT_EQ(w.dlg.verdict, Verdict::Failure);
  EXPECT_THAT(w.host.texts(), Contains(kAnother));
  ASSERT_FALSE(w.dlg.ended());
  SimLine* before = w.opener.line(7);
  ASSERT_NE(before, nullptr);
  EXPECT_TRUE(before->writes.empty());  // nothing reached the new line yet

  w.host.boxes.clear();
  w.dlg.onConnectClicked();
  EXPECT_THAT(w.host.texts(), IsEmpty());
  EXPECT_TRUE(w.dlg.control(ids::Update).enabled);
  EXPECT_EQ(w.dlg.deviceText, "QD21S V1.05");
  EXPECT_FALSE(w.opener.line(7)->writes.empty());
  EXPECT_EQ(w.dlg.port.device->name(), "sim7.2");
  EXPECT_EQ(w.list().notes[size_t(w.entry("Com 7"))], "sim7.2");
}

// Unplugged and not back: Connect says which port cannot be opened, not that the module is mute,
// and stays disabled until a port opens.
TEST_F(PortFaultFlow, ConnectOnAPortThatIsGoneNamesThePort) {
  Com7Window w(dir);
  w.opener.unplug(7);
  w.dlg.onConnectClicked();
  EXPECT_THAT(w.host.texts(), ElementsAre("Could not open serial port COM 7\nError Code: 17"));
  EXPECT_FALSE(w.dlg.control(ids::Connect).enabled);
  EXPECT_FALSE(w.dlg.port.isOpen());
  EXPECT_EQ(w.dlg.portIndex, -1);
  // Plugged back, the port is chosen again: Connect works.
  w.host.boxes.clear();
  w.opener.attach(7, w.first);
  w.choose("Com 7");
  EXPECT_TRUE(w.dlg.control(ids::Connect).enabled);
  dataFile("QD21S_1/upd2.01", "QD21S", 0, 64);
  w.dlg.onConnectClicked();
  EXPECT_THAT(w.host.texts(), IsEmpty());
  EXPECT_TRUE(w.dlg.control(ids::Update).enabled);
}

// The adapter pulled between Connect and Update: Update does not start on a line that reaches no
// module, and says why (the line lost when the port opens again, the port's open message when it
// does not); nothing of the module is offered until the next Connect.
TEST_F(PortFaultFlow, UpdateOnALineGoneSinceConnectSaysSo) {
  dataFile("QD21S_1/upd2.01", "QD21S", 0, 64);
  for (const bool back : {true, false}) {
    SCOPED_TRACE(back ? "plugged back" : "gone");
    Com7Window w(dir);
    sim::Controller second(profile("QD21S"), {});
    w.dlg.onConnectClicked();
    ASSERT_TRUE(w.dlg.control(ids::Update).enabled);
    w.opener.unplug(7);
    if (back) w.opener.attach(7, second);
    w.dlg.onUpdateClicked();
    EXPECT_THAT(w.host.texts(),
                ElementsAre(back ? "Connection lost on serial port COM 7 !\nCheck the update "
                                   "cable, then connect again.\nError Code: 17"
                                 : "Could not open serial port COM 7\nError Code: 17"));
    EXPECT_EQ(w.dlg.verdict, Verdict::None);
    EXPECT_EQ(w.first.erases() + second.erases(), 0u);
    EXPECT_FALSE(w.dlg.control(ids::Update).enabled);
    EXPECT_TRUE(w.dlg.control(ids::VersionList).items.empty());
    EXPECT_EQ(w.dlg.control(ids::Connect).enabled, back);
    EXPECT_EQ(w.dlg.deviceText, "");
  }
}

// Choosing the port in use again keeps a line that is still there (Connect has raised its rate),
// and opens the port anew when its line went away or its number now leads to another device.
TEST_F(PortFaultFlow, ChoosingThePortAgainReopensOnlyALineThatChanged) {
  dataFile("QD21S_1/upd2.01", "QD21S", 0, 64);
  struct Case {
    const char* what;
    bool unplugFirst;
  };
  for (const Case c :
       {Case{"line lost, adapter back", true}, Case{"link to another device", false}}) {
    SCOPED_TRACE(c.what);
    Com7Window w(dir);
    w.dlg.onConnectClicked();
    ASSERT_TRUE(w.dlg.control(ids::Update).enabled);
    const uint32_t raised = w.opener.line(7)->settings().baud;
    ASSERT_NE(raised, 19200u);

    w.choose("Com 7");  // nothing changed: the line and its rate stay
    EXPECT_EQ(w.dlg.port.device->name(), "sim7");
    EXPECT_EQ(w.opener.line(7)->settings().baud, raised);

    sim::Controller second(profile("QD21S"), {});
    if (c.unplugFirst) w.opener.unplug(7);
    w.opener.attach(7, second);
    w.choose("Com 7");
    EXPECT_EQ(w.dlg.port.device->name(), "sim7.2");
    EXPECT_EQ(w.opener.line(7)->settings().baud, 19200u);
    EXPECT_EQ(w.dlg.portIndex, 6);
    EXPECT_TRUE(w.dlg.control(ids::Connect).enabled);
    EXPECT_THAT(w.host.texts(), IsEmpty());
    // Connect (enabled again by the port choice, as after any port choice) reaches the new one.
    w.dlg.control(ids::Connect).enabled = true;
    w.dlg.onConnectClicked();
    EXPECT_THAT(w.host.texts(), IsEmpty());
    EXPECT_FALSE(w.opener.line(7)->writes.empty());
    w.dlg.onExitClicked();  // `second` goes out of scope: the window lets go of its line first
  }
}

// Opening the port list probes the ports again: an adapter plugged in since start-up appears, one
// pulled out disappears, and the port in use stays listed and selected without being reopened.
TEST_F(PortFaultFlow, OpeningThePortListProbesAgain) {
  Com7Window w(dir);
  sim::Controller other(profile("QD21S"), {});
  w.opener.attach(5, other);
  EXPECT_THAT(w.list().items, ElementsAre("Com 7"));
  ASSERT_TRUE(w.dlg.onPortListOpened());
  EXPECT_THAT(w.list().items, ElementsAre("Com 5", "Com 7"));
  EXPECT_THAT(w.list().notes, ElementsAre("sim5", "sim7"));
  EXPECT_EQ(w.shown(), "Com 7");
  EXPECT_EQ(w.dlg.port.device->name(), "sim7");
  EXPECT_FALSE(w.host.waitCursor);

  w.opener.unplug(5);
  ASSERT_TRUE(w.dlg.onPortListOpened());
  EXPECT_THAT(w.list().items, ElementsAre("Com 7"));
  EXPECT_EQ(w.shown(), "Com 7");

  // The new adapter can be chosen without a restart.
  w.opener.attach(5, other);
  w.dlg.onPortListOpened();
  w.choose("Com 5");
  EXPECT_EQ(w.dlg.port.device->name(), "sim5.2");
  EXPECT_EQ(w.dlg.portIndex, 4);

  // The port in use went away: the list shows what its number leads to now, or drops it.
  w.opener.unplug(5);
  ASSERT_TRUE(w.dlg.onPortListOpened());
  EXPECT_THAT(w.list().items, ElementsAre("Com 7"));
  EXPECT_EQ(w.shown(), "");
  w.opener.attach(5, other);
  ASSERT_TRUE(w.dlg.onPortListOpened());
  EXPECT_THAT(w.list().items, ElementsAre("Com 5", "Com 7"));
  EXPECT_THAT(w.list().notes, ElementsAre("sim5.3", "sim7"));
  EXPECT_EQ(w.shown(), "Com 5");
  EXPECT_EQ(w.dlg.port.device->name(), "sim5.2");  // opened again only when chosen
}

// Before the list was first focused, its placeholder stays first and selected.
TEST_F(PortFaultFlow, ProbeKeepsThePlaceholderUntilTheListWasFocused) {
  VirtualClock clock;
  testing::ScriptedHost host;
  sim::Controller device(profile("QD21S"), {});
  testing::SimPortOpener opener{clock};
  UpdateDialog dlg(opener, clock, host, windowProcedures());
  opener.attach(6, device);
  dlg.initWindow();
  opener.attach(8, device);
  ASSERT_TRUE(dlg.onPortListOpened());
  const Control& list = dlg.control(ids::PortList);
  EXPECT_THAT(list.items, ElementsAre("SelectCom", "Com 6", "Com 8"));
  EXPECT_EQ(list.selection, 0);
  EXPECT_TRUE(dlg.portPlaceholder);
}

// During a run the port list keeps showing the port in use: a choice made meanwhile (keyboard,
// wheel) is put back, the list does not open, and the other port is never touched.
TEST_F(PortFaultFlow, PortListKeepsThePortInUseDuringARun) {
  const sim::Image image = dataFile("QD21S_1/upd2.01", "QD21S", 0, 8192);
  Com7Window w(dir);
  sim::Controller other(profile("QD21S"), {});
  w.opener.attach(9, other);
  w.dlg.onPortListOpened();
  ASSERT_THAT(w.list().items, ElementsAre("Com 7", "Com 9"));
  w.host.answers = {true};
  std::string shownAfterChoice, shownAfterPlaceholder;
  bool opened = true;
  std::vector<std::string> itemsDuringRun;
  w.opener.attach(3, other);  // plugged in during the run: not probed until the run has ended
  w.update("upd2.01", 10, [&] {
    w.choose("Com 9");
    shownAfterChoice = w.shown();
    w.list().selection = -1;
    w.dlg.onPortListSelected();
    shownAfterPlaceholder = w.shown();
    opened = w.dlg.onPortListOpened();
    itemsDuringRun = w.list().items;
  });
  EXPECT_EQ(shownAfterChoice, "Com 7");
  EXPECT_EQ(shownAfterPlaceholder, "Com 7");
  EXPECT_FALSE(opened);
  EXPECT_THAT(itemsDuringRun, ElementsAre("Com 7", "Com 9"));
  EXPECT_TRUE(w.opener.line(9)->writes.empty());
  EXPECT_EQ(w.dlg.verdict, Verdict::Success);
  EXPECT_EQ(w.first.flash(), image);
  EXPECT_EQ(w.dlg.port.device->name(), "sim7");
}

// A close asked for during a run ends the program after it: the verdict is shown, the question
// whether to update another module is not asked, the clean-up has put the line back to 19200.
TEST_F(PortFaultFlow, CloseDuringARunEndsWithoutAskingForAnother) {
  struct Case {
    const char* what;
    unsigned refuseRecord;  // the module refuses this data record, 0: none
    Verdict verdict;
  };
  for (const Case c :
       {Case{"success", 0, Verdict::Success}, Case{"failure", 3, Verdict::Failure}}) {
    SCOPED_TRACE(c.what);
    dataFile("QD21S_1/upd2.01", "QD21S", 0, 8192);
    Com7Window w(dir);
    w.first.faults().refuseRecord = c.refuseRecord;
    w.update("upd2.01", 1, [&] { w.dlg.onCloseRequested(); });
    EXPECT_EQ(w.dlg.verdict, c.verdict);
    EXPECT_THAT(w.host.texts(), Not(Contains(HasSubstr("update another"))));
    EXPECT_EQ(w.host.unscriptedQuestions, 0);
    EXPECT_TRUE(w.dlg.ended());
    EXPECT_TRUE(w.host.closed);
    EXPECT_FALSE(w.dlg.port.isOpen());
    EXPECT_EQ(w.opener.line(7)->settings().baud, 19200u);
    EXPECT_EQ(w.opener.line(7)->settings().parity, Parity::None);
  }
}

}  // namespace
}  // namespace qdqm
