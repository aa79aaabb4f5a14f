// The main window model: start-up probe, port choice, enabling rules, busy guard and Exit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <set>
#include <sstream>

#include "app/box_place.h"
#include "app/update_dialog.h"
#include "cli/terminal_host.h"
#include "link/clock.h"
#include "procedures/procedures.h"
#include "tests/support/quiet_ports.h"
#include "tests/support/scripted_host.h"

namespace qdqm {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

using testing::ProbeOpener;

struct Window {
  explicit Window(std::set<unsigned> ports) : opener(std::move(ports)) {}
  ProbeOpener opener;
  VirtualClock clock;
  testing::ScriptedHost host;
  UpdateDialog dlg{opener, clock, host, windowProcedures()};
};

const std::vector<int> kRadios = {ids::Com1, ids::Com2, ids::Com3, ids::Com4};

TEST(WindowStart, OnlyCom1AndCom3DisableTheOtherRadiosAndHideTheList) {
  Window w({1, 3});
  EXPECT_FALSE(w.dlg.initWindow());
  EXPECT_TRUE(w.dlg.control(ids::Com1).enabled);
  EXPECT_FALSE(w.dlg.control(ids::Com2).enabled);
  EXPECT_TRUE(w.dlg.control(ids::Com3).enabled);
  EXPECT_FALSE(w.dlg.control(ids::Com4).enabled);
  for (int id : kRadios) EXPECT_TRUE(w.dlg.control(id).visible) << id;
  EXPECT_FALSE(w.dlg.control(ids::PortList).visible);
  // Every port of 1..32 was tried once and none stays open.
  EXPECT_EQ(w.opener.opened.size(), 32u);
  EXPECT_FALSE(w.dlg.port.isOpen());
  EXPECT_TRUE(w.host.boxes.empty());
  EXPECT_FALSE(w.host.waitCursor);
}

TEST(WindowStart, InitialStatesAndHalfWidth) {
  Window w({1});
  w.dlg.initWindow();
  const UpdateDialog& d = w.dlg;
  EXPECT_FALSE(d.programDir.empty());  // the directory of the running test program
  EXPECT_EQ(d.focusId, ids::Exit);
  EXPECT_FALSE(d.control(ids::Connect).enabled);
  for (int id : {ids::HintLine1, ids::HintLine2, ids::HintLine3})
    EXPECT_FALSE(d.control(id).visible);
  EXPECT_FALSE(d.control(ids::VersionList).enabled);
  EXPECT_FALSE(d.control(ids::Update).enabled);
  EXPECT_TRUE(d.control(ids::Exit).enabled);
  EXPECT_FALSE(d.control(ids::StatusLine).visible);
  EXPECT_FALSE(d.control(ids::LowSpeed).checked);
  EXPECT_FALSE(d.control(ids::BaseUnit).checked);
  EXPECT_EQ(d.portIndex, -1);
  EXPECT_EQ(d.slotCount, 9);
  for (const SlotEntry& s : d.slots) EXPECT_EQ(s.state, SlotIdle);
  EXPECT_EQ(d.fullWidth, kDialogWidth);
  EXPECT_EQ(d.windowWidth, kDialogWidth / 2);
  EXPECT_EQ(d.windowHeight, kDialogHeight);
  EXPECT_FALSE(d.control(ids::SlotPanel).visible);
  for (const SlotRowIds& r : kSlotRows)
    for (int id : {r.name, r.check, r.verLabel, r.versionList})
      EXPECT_FALSE(d.control(id).visible) << id;
}

TEST(WindowStart, ExtendedPortHidesRadiosAndListsDevices) {
  Window w({2, 7});
  w.dlg.initWindow();
  for (int id : kRadios) EXPECT_FALSE(w.dlg.control(id).visible) << id;
  const Control& list = w.dlg.control(ids::PortList);
  EXPECT_TRUE(list.visible);
  EXPECT_THAT(list.items, ElementsAre("SelectCom", "Com 2", "Com 7"));
  // The device goes beside the number in the open list.
  EXPECT_THAT(list.notes, ElementsAre("", HasSubstr("fake2"), HasSubstr("fake7")));
  EXPECT_EQ(list.selection, 0);
  EXPECT_TRUE(w.dlg.portPlaceholder);
}

TEST(WindowPortList, FocusRemovesPlaceholderOnceAndChoosingOpensThePort) {
  Window w({7});
  w.dlg.initWindow();
  Control& list = w.dlg.control(ids::PortList);
  w.dlg.onPortListFocus();
  EXPECT_FALSE(w.dlg.portPlaceholder);
  ASSERT_EQ(list.items.size(), 1u);
  EXPECT_THAT(list.items[0], StartsWith("Com 7"));
  EXPECT_THAT(list.notes, ElementsAre(HasSubstr("fake7")));
  EXPECT_EQ(list.selection, -1);
  w.dlg.onPortListFocus();  // the second focus keeps the real entry
  ASSERT_EQ(list.items.size(), 1u);

  w.opener.opened.clear();
  list.selection = 0;
  w.dlg.onPortListSelected();
  EXPECT_THAT(w.opener.opened, ElementsAre(7u));
  EXPECT_TRUE(w.dlg.port.isOpen());
  EXPECT_EQ(w.dlg.portIndex, 6);
  EXPECT_TRUE(w.dlg.control(ids::Connect).enabled);
  EXPECT_TRUE(w.dlg.control(ids::HintLine1).visible);
  for (int id : kRadios) EXPECT_FALSE(w.dlg.control(id).checked);
}

TEST(WindowPortList, PlaceholderAndOutOfRangeEntriesOpenNothing) {
  Window w({7});
  w.dlg.initWindow();
  Control& list = w.dlg.control(ids::PortList);
  w.opener.opened.clear();
  list.selection = 0;  // "SelectCom"
  w.dlg.onPortListSelected();
  list.items = {"Com 0", "Com 100", "Com x"};
  for (int i = 0; i < 3; ++i) {
    list.selection = i;
    w.dlg.onPortListSelected();
  }
  EXPECT_TRUE(w.opener.opened.empty());
}

TEST(WindowSelectPort, RefusedPortShowsNumberedMessageAndLeavesConnectDisabled) {
  Window w({1, 2, 3, 4});
  w.dlg.initWindow();
  w.dlg.onPortRadio(2);
  ASSERT_TRUE(w.dlg.control(ids::Com2).checked);
  ASSERT_TRUE(w.dlg.control(ids::Connect).enabled);

  w.opener.refused[3] = EBUSY;
  w.dlg.onPortRadio(3);
  ASSERT_EQ(w.host.boxes.size(), 1u);
  EXPECT_EQ(w.host.boxes[0].caption, "Error message");
  EXPECT_EQ(w.host.boxes[0].icon, Icon::Stop);
  // The numbered message, then who holds the busy device.
  EXPECT_TRUE(
      w.host.boxes[0].text.starts_with("Could not open serial port COM 3\nError Code: 13\n"))
      << w.host.boxes[0].text;
  EXPECT_TRUE(w.host.boxes[0].text.ends_with(" is in use by another program."))
      << w.host.boxes[0].text;
  EXPECT_FALSE(w.dlg.control(ids::Connect).enabled);
  EXPECT_FALSE(w.dlg.control(ids::HintLine2).visible);
  EXPECT_EQ(w.dlg.portIndex, -1);
  for (int id : kRadios) EXPECT_FALSE(w.dlg.control(id).checked) << id;
  EXPECT_FALSE(w.dlg.port.isOpen());  // the port that was open was closed first
  EXPECT_FALSE(w.host.waitCursor);
}

TEST(WindowSelectPort, PermissionRefusalAddsTheGroupHint) {
  Window w({1});
  w.dlg.initWindow();
  w.opener.refused[1] = EACCES;
  EXPECT_EQ(w.dlg.selectPort(1), 0);
  ASSERT_EQ(w.host.boxes.size(), 1u);
  EXPECT_THAT(w.host.boxes[0].text,
              StartsWith("Could not open serial port COM 1\nError Code: 11\n"));
  EXPECT_THAT(w.host.boxes[0].text, HasSubstr("dialout"));
}

TEST(WindowData, UpdateDataWritesMembersToControls) {
  Window w({1});
  w.dlg.initWindow();
  const int writes = w.host.controlsWrites;
  w.dlg.portIndex = 2;
  w.dlg.deviceText = "QD21S V1.05";
  w.dlg.statusText = "programming controller flash...";
  w.dlg.slots[8].nameText = "QM292";
  w.dlg.slots[8].versionText = "Ver.: 1.02";
  w.dlg.updateData();
  EXPECT_THAT(
      (std::vector<bool>{w.dlg.control(ids::Com1).checked, w.dlg.control(ids::Com2).checked,
                         w.dlg.control(ids::Com3).checked, w.dlg.control(ids::Com4).checked}),
      ElementsAre(false, false, true, false));
  EXPECT_EQ(w.dlg.control(ids::DeviceField).text, "QD21S V1.05");
  EXPECT_EQ(w.dlg.control(ids::StatusLine).text, "programming controller flash...");
  EXPECT_EQ(w.dlg.control(1055).text, "QM292");
  EXPECT_EQ(w.dlg.control(1057).text, "Ver.: 1.02");
  EXPECT_EQ(w.host.controlsWrites, writes + 1);
}

TEST(WindowSlotPanel, ShowEnableAndNinthRow) {
  Window w({1});
  w.dlg.initWindow();
  w.dlg.showSlotPanel(true);
  EXPECT_EQ(w.dlg.windowWidth, kDialogWidth);
  EXPECT_TRUE(w.dlg.control(1023).visible);
  EXPECT_TRUE(w.dlg.control(1058).visible);
  w.dlg.showNinthRow(false);
  for (int id : {1055, 1056, 1057, 1058}) EXPECT_FALSE(w.dlg.control(id).visible) << id;
  EXPECT_TRUE(w.dlg.control(1054).visible);
  w.dlg.enableSlotPanel(false);
  EXPECT_FALSE(w.dlg.control(1023).enabled);
  EXPECT_FALSE(w.dlg.control(1024).enabled);
  EXPECT_TRUE(w.dlg.control(1032).enabled);  // check boxes are the search's business
}

// Boxes while the slot panel is open (screen pixels; a 1280 x 900 screen, a window whose panel
// starts 246 pixels from its left edge).
TEST(WindowSlotPanel, BoxesStandClearOfThePanel) {
  const Rect screen{0, 0, 1280, 900};
  struct Case {
    Rect window;
    int boxWidth, boxHeight;
    Rect want;
    const char* what;
  };
  const Case cases[] = {
      {{400, 200, 486, 330}, 200, 100, {423, 315, 200, 100}, "narrow: centred over the left part"},
      {{400, 200, 486, 330}, 400, 150, {246, 290, 400, 150}, "wide: ends at the panel's edge"},
      {{0, 200, 486, 330}, 400, 150, {0, 530, 400, 150}, "no room beside the panel: below"},
      {{0, 600, 486, 300}, 400, 150, {0, 450, 400, 150}, "nor below: above"},
      {{0, 0, 486, 900}, 400, 150, {0, 375, 400, 150}, "nor above: over the window"},
      {{1000, -100, 486, 330}, 400, 150, {846, 0, 400, 150}, "window partly off the screen"},
  };
  for (const Case& c : cases) {
    const Rect got =
        boxBesideSlotPanel(c.window, c.window.x + 246, c.boxWidth, c.boxHeight, screen);
    EXPECT_EQ(got.x, c.want.x) << c.what;
    EXPECT_EQ(got.y, c.want.y) << c.what;
    EXPECT_EQ(got.w, c.want.w) << c.what;
    EXPECT_EQ(got.h, c.want.h) << c.what;
  }
}

TEST(WindowBusyGuard, ClicksDuringAProcedureAreIgnored) {
  Window w({1, 2});
  w.dlg.initWindow();
  w.dlg.selectPort(1);
  w.opener.opened.clear();
  bool innerRan = false;
  bool secondAccepted = true;
  w.host.onPump = [&] {
    w.dlg.onPortRadio(2);
    secondAccepted = w.dlg.runGuarded([&] { innerRan = true; });
  };
  const bool first = w.dlg.runGuarded([&] {
    EXPECT_TRUE(w.dlg.busy());
    w.host.pumpEvents();
  });
  EXPECT_TRUE(first);
  EXPECT_FALSE(secondAccepted);
  EXPECT_FALSE(innerRan);
  EXPECT_TRUE(w.opener.opened.empty());  // the port choice did not reopen anything
  EXPECT_EQ(w.dlg.portIndex, 0);
  EXPECT_FALSE(w.dlg.busy());
  // Idle again: clicks work.
  w.host.onPump = nullptr;
  w.dlg.onPortRadio(2);
  EXPECT_EQ(w.dlg.portIndex, 1);
}

TEST(WindowExit, ExitDuringAProcedureWaitsForItsEnd) {
  Window w({1});
  w.dlg.initWindow();
  w.dlg.selectPort(1);
  bool openWhileRunning = false;
  w.host.onPump = [&] { w.dlg.onExitClicked(); };
  w.dlg.runGuarded([&] {
    w.host.pumpEvents();
    openWhileRunning = w.dlg.port.isOpen() && !w.dlg.ended() && !w.host.closed;
  });
  EXPECT_TRUE(openWhileRunning);
  EXPECT_TRUE(w.dlg.ended());
  EXPECT_TRUE(w.host.closed);
  EXPECT_FALSE(w.dlg.port.isOpen());
  EXPECT_FALSE(w.dlg.runGuarded([] {}));  // nothing runs after the end
}

TEST(WindowExit, CloseWhenIdleClosesPortAtOnce) {
  Window w({1});
  w.dlg.initWindow();
  w.dlg.selectPort(1);
  w.dlg.onCloseRequested();
  EXPECT_TRUE(w.dlg.ended());
  EXPECT_TRUE(w.host.closed);
  EXPECT_FALSE(w.dlg.port.isOpen());
}

TEST(TerminalHost, BoxesAndQuestionsGoToStderr) {
  std::ostringstream err;
  std::istringstream in("y\n");
  cli::TerminalHost fixedYes(err, {.answer = true});
  cli::TerminalHost notATerminal(err);
  cli::TerminalHost asking(err, {.answer = std::nullopt, .askOnTerminal = true}, &in);
  fixedYes.messageBox("Error message", "Could not open serial port COM 3\nError Code: 13",
                      Icon::Stop);
  EXPECT_TRUE(fixedYes.askYesNo("Question", "Update?", Icon::Question));
  EXPECT_FALSE(notATerminal.askYesNo("Question", "Update?", Icon::Question));
  EXPECT_TRUE(asking.askYesNo("Question", "Again?", Icon::Question));
  EXPECT_FALSE(asking.askYesNo("Question", "Again?", Icon::Question));  // input ended: No
  EXPECT_FALSE(notATerminal.escapePressed());
  EXPECT_THAT(err.str(), StartsWith("Error message: Could not open serial port COM 3\nError Code: "
                                    "13\nQuestion: Update? Yes\nQuestion: Update? No\n"));
}

TEST(TerminalHost, PlainProgressLinesFromTheModel) {
  std::ostringstream err;
  ProbeOpener opener({1});
  VirtualClock clock;
  cli::TerminalHost host(err);
  UpdateDialog dlg(opener, clock, host, windowProcedures());
  host.attach(&dlg);
  dlg.control(ids::StatusLine).visible = true;
  dlg.statusText = "programming controller flash...";
  for (int p : {0, 5, 12, 13, 40}) {
    dlg.control(ids::Progress).position = p;
    dlg.updateData();
  }
  dlg.control(ids::StatusLine).visible = false;
  dlg.updateData();
  EXPECT_EQ(err.str(), "programming controller flash...\n12%\n40%\n");
}

}  // namespace
}  // namespace qdqm
