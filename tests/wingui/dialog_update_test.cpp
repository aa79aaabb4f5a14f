// The native dialog driving the real procedures against a simulated module on the virtual clock:
// Connect and Update through its buttons, what the controls show meanwhile, the boxes in order,
// Esc through the exchange's pump, and every text fitting its control at the dialog's font.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "procedures/procedures.h"
#include "sim/controller.h"
#include "tests/support/sim_line.h"
#include "tests/support/update_fixture.h"
#include "tests/wingui/win32_screen.h"

namespace qdqm::wingui {
namespace {

using qdqm::testing::kFailureText;
using qdqm::testing::kSuccessText;
using qdqm::testing::profile;
using qdqm::testing::SimPortOpener;
using qdqm::testing::UpdateFlow;

// The dialog on COM1 with a simulated module, the data files in the test's program directory.
struct SimScreen {
  SimScreen(sim::Profile p, const std::filesystem::path& programDir) : device(std::move(p), {}) {
    opener.attach(1, device);
    host.window = &window;
    host.attach(&window);
    dlg = window.create();
    EXPECT_NE(dlg, nullptr);
    model.programDir = programDir.string();
    pump(dlg);
  }
  ~SimScreen() { host.attach(nullptr); }
  HWND item(int id) { return window.item(id); }
  void click(int id) {
    SendMessageW(item(id), BM_CLICK, 0, 0);
    pump(dlg);
  }
  LRESULT progress() { return SendMessageW(item(ids::Progress), PBM_GETPOS, 0, 0); }

  VirtualClock clock;
  sim::Controller device;
  SimPortOpener opener{clock};
  RecordingHost host;
  UpdateDialog model{opener, clock, host, windowProcedures()};
  DialogWindow window{model, host, GetModuleHandleW(nullptr)};
  HWND dlg = nullptr;
};

class DialogUpdate : public UpdateFlow {};

TEST_F(DialogUpdate, ConnectAndUpdateThroughTheButtons) {
  const sim::Image image = dataFile("QD21S_1/upd2.01", "QD21S", 0, 8192);
  dataFile("QD21S_1/upd1.05", "QD21S", 0, 100);
  SimScreen s(profile("QD21S"), dir);
  s.click(ids::Com1);
  s.click(ids::Connect);
  ASSERT_TRUE(s.host.boxes.empty()) << s.host.boxes[0].text;
  EXPECT_EQ(windowText(s.item(ids::DeviceField)), "QD21S V1.05");
  const HWND versions = s.item(ids::VersionList);
  EXPECT_EQ(listItems(versions), s.model.control(ids::VersionList).items);
  EXPECT_EQ(listItems(versions).size(), 2u);
  EXPECT_EQ(SendMessageW(versions, CB_GETCURSEL, 0, 0),
            s.model.control(ids::VersionList).selection);
  EXPECT_TRUE(IsWindowEnabled(s.item(ids::Update)));
  EXPECT_FALSE(IsWindowEnabled(s.item(ids::Connect)));
  EXPECT_EQ(GetFocus(), s.item(ids::Update));

  // The controls while the flash runs, as the exchange's pump finds them.
  std::vector<LRESULT> positions;
  bool statusShown = false, exitEnabled = false, arrow = false;
  s.host.onPump = [&] {
    positions.push_back(s.progress());
    statusShown = statusShown || visible(s.item(ids::StatusLine));
    exitEnabled = exitEnabled || IsWindowEnabled(s.item(ids::Exit));
    arrow = arrow || !s.host.waitCursorShown();
  };
  s.host.answer = IDNO;  // no other module: the program ends
  s.click(ids::Update);
  s.host.onPump = nullptr;

  EXPECT_EQ(s.device.flash(), image);
  ASSERT_EQ(s.host.boxes.size(), 2u);
  EXPECT_EQ(s.host.boxes[0].caption, "Attention");
  EXPECT_EQ(s.host.boxes[0].text, kSuccessText);
  EXPECT_EQ(s.host.boxes[0].flags, boxFlags(Icon::Information, false));
  EXPECT_EQ(s.host.boxes[1].text, "Do you wish to update another QD21S ?");
  EXPECT_EQ(s.host.boxes[1].flags, boxFlags(Icon::Question, true));
  EXPECT_TRUE(s.window.closed());
  EXPECT_FALSE(s.model.port.isOpen());
  // The bar moved forward in steps, with the status line shown, Exit disabled and the wait cursor
  // up whenever the pump ran.
  ASSERT_GT(positions.size(), 5u);
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  EXPECT_GT(positions.back(), positions.front());
  EXPECT_TRUE(statusShown);
  EXPECT_FALSE(exitEnabled);
  EXPECT_FALSE(arrow);
}

TEST_F(DialogUpdate, EscDuringTheFlashEndsItWithTheStagesMessage) {
  dataFile("QM41B_/upd2.01", "QM41B", 0, 4096);
  SimScreen s(profile("QM41B", sim::Protocol::Record), dir);
  s.click(ids::Com1);
  s.click(ids::LowSpeed);
  s.click(ids::Connect);
  ASSERT_TRUE(IsWindowEnabled(s.item(ids::Update)));
  // A press on the window once a tenth of the image is programmed, delivered by the pump.
  bool pressed = false;
  s.host.onPump = [&] {
    if (!pressed && s.progress() >= 10) {
      PostMessageW(s.item(ids::Update), WM_KEYDOWN, VK_ESCAPE, 0);
      pressed = true;
    }
  };
  s.host.answer = IDYES;  // another module: the window stays
  s.click(ids::Update);
  ASSERT_TRUE(pressed);
  EXPECT_EQ(s.host.texts(), (std::vector<std::string>{
                                "Time out while controller flash programming !\nError Code: 61",
                                kFailureText, "Do you wish to update another QM41B ?"}));
  EXPECT_GT(s.device.recordsTaken(), 0u);
  EXPECT_FALSE(s.window.closed());
  EXPECT_TRUE(IsWindowEnabled(s.item(ids::Exit)));
}

// Width of `text` in the control's font, without the mnemonic marks.
int textWidth(HWND w, std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '&'), text.end());
  const std::wstring wide = widen(text);
  const HDC dc = GetDC(w);
  const HGDIOBJ before =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(w, WM_GETFONT, 0, 0)));
  SIZE size{};
  GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
  SelectObject(dc, before);
  ReleaseDC(w, dc);
  return size.cx;
}

int widthOf(HWND w) {
  RECT r;
  GetClientRect(w, &r);
  return r.right - r.left;
}

// The longest texts each control takes, at the dialog's font: nothing is clipped.
TEST_F(DialogUpdate, EveryTextFitsItsControl) {
  SimScreen s(profile("QD21S"), dir);
  s.model.showSlotPanel(true);
  for (int k = 0; k < 9; ++k) {
    s.model.slots[k].nameText = "QM292";
    s.model.slots[k].versionText = "Ver.: 12.05";
    s.model.control(kSlotRows[k].versionList).items = {"upd12.05", "upd1.05"};
  }
  s.model.deviceText = "QM65B  V2.22";
  s.model.statusText = "waiting for 'New Code Programming' ...";
  s.model.control(ids::VersionList).items = {"upd12.05"};
  for (int id : {ids::HintLine1, ids::HintLine2, ids::HintLine3, ids::StatusLine})
    s.model.control(id).visible = true;
  s.model.updateData();
  const int square = GetSystemMetrics(SM_CXMENUCHECK);   // a check box's square; 4 more to a text
  const int arrow = GetSystemMetrics(SM_CXVSCROLL) + 6;  // a drop-down's arrow and frame
  for (const Control& c : s.model.controls) {
    const HWND w = s.item(c.id);
    const std::string shown = windowText(w);
    switch (c.kind) {
      case ControlKind::Label:
        EXPECT_LE(textWidth(w, shown), widthOf(w)) << c.id << " " << shown;
        break;
      case ControlKind::CheckBox:
      case ControlKind::RadioButton:
        EXPECT_LE(square + (shown.empty() ? 0 : 4 + textWidth(w, shown)), widthOf(w))
            << c.id << " " << shown;
        break;
      case ControlKind::PushButton:
      case ControlKind::GroupBox:
        EXPECT_LE(textWidth(w, shown) + 8, widthOf(w)) << c.id << " " << shown;
        break;
      case ControlKind::DropDown:
        for (const std::string& entry : listItems(w))
          EXPECT_LE(textWidth(w, entry) + arrow, widthOf(w)) << c.id << " " << entry;
        break;
      default:
        break;
    }
  }
}

}  // namespace
}  // namespace qdqm::wingui
