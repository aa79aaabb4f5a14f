// The native dialog under the system's own window manager (wine on Linux): controls from the
// control table, the system menu, the window's size rules, the port list, slot colours, boxes,
// the Esc key and a close during a procedure.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/about.h"
#include "link/clock.h"
#include "procedures/procedures.h"
#include "tests/support/quiet_ports.h"
#include "tests/wingui/win32_screen.h"
#include "wingui/dialog_window.h"
#include "wingui/wide.h"
#include "wingui/win32_host.h"

namespace qdqm::wingui {
namespace {

using qdqm::testing::ProbeOpener;

RECT clientRectOf(HWND dialog, HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

struct Screen {
  explicit Screen(std::set<unsigned> ports) : opener(std::move(ports)) {
    host.window = &window;
    host.attach(&window);
    dlg = window.create();
    EXPECT_NE(dlg, nullptr);
    pump(dlg);
  }
  ~Screen() { host.attach(nullptr); }
  HWND item(int id) { return window.item(id); }
  void click(int id) {
    SendMessageW(item(id), BM_CLICK, 0, 0);
    pump(dlg);
  }
  ProbeOpener opener;
  VirtualClock clock;
  RecordingHost host;
  UpdateDialog dialog{opener, clock, host, windowProcedures()};
  DialogWindow window{dialog, host, GetModuleHandleW(nullptr)};
  HWND dlg = nullptr;
};

struct KindClass {
  ControlKind kind;
  const char* className;
  LONG_PTR typeBits;  // the low style bits that make the kind (button and static types)
};
constexpr KindClass kKindClasses[] = {
    {ControlKind::Label, "Static", SS_LEFT},
    {ControlKind::Icon, "Static", SS_ICON},
    {ControlKind::GroupBox, "Button", BS_GROUPBOX},
    {ControlKind::RadioButton, "Button", BS_AUTORADIOBUTTON},
    {ControlKind::CheckBox, "Button", BS_AUTOCHECKBOX},
    {ControlKind::Edit, "Edit", -1},
    {ControlKind::DropDown, "ComboBox", CBS_DROPDOWNLIST},
    {ControlKind::ProgressBar, "msctls_progress32", -1},
};

TEST(Win32Dialog, ControlsFollowTheControlTable) {
  Screen s({1, 3});
  ASSERT_NE(s.dlg, nullptr);
  EXPECT_EQ(windowText(s.dlg), "Corvane QD/QM Module Update");
  EXPECT_TRUE(GetWindowLongPtrW(s.dlg, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_TRUE(GetWindowLongPtrW(s.dlg, GWL_STYLE) & WS_SYSMENU);
  EXPECT_FALSE(GetWindowLongPtrW(s.dlg, GWL_STYLE) & WS_THICKFRAME);  // not resizable
  for (const Control& c : s.dialog.controls) {
    const HWND w = s.item(c.id);
    ASSERT_NE(w, nullptr) << c.id;
    EXPECT_EQ(visible(w), c.visible) << c.id;
    EXPECT_EQ(IsWindowEnabled(w) != 0, c.enabled) << c.id;
    const LONG_PTR style = GetWindowLongPtrW(w, GWL_STYLE);
    for (const KindClass& k : kKindClasses) {
      if (k.kind != c.kind) continue;
      EXPECT_EQ(className(w), k.className) << c.id;
      if (k.typeBits >= 0) {
        EXPECT_EQ(style & 0x1F, k.typeBits) << c.id;
      }
    }
    if (c.kind == ControlKind::Label || c.kind == ControlKind::PushButton ||
        c.kind == ControlKind::RadioButton || c.kind == ControlKind::CheckBox ||
        c.kind == ControlKind::GroupBox || c.kind == ControlKind::Edit) {
      EXPECT_EQ(windowText(w), c.text) << c.id;
    }
    // Placed in dialog units of the dialog's font; a drop-down's height is its closed box.
    const RECT at = s.window.toPixels(Rect{c.rect.x, c.rect.y, 0, 0});
    const RECT size = s.window.toPixels(Rect{0, 0, c.rect.w, c.rect.h});
    const RECT got = clientRectOf(s.dlg, w);
    EXPECT_EQ(got.left, at.left) << c.id;
    EXPECT_EQ(got.top, at.top) << c.id;
    if (c.kind != ControlKind::Icon) {  // an icon control takes the icon's size
      EXPECT_EQ(got.right - got.left, size.right) << c.id;
    }
    if (c.kind != ControlKind::DropDown && c.kind != ControlKind::Icon) {
      EXPECT_EQ(got.bottom - got.top, size.bottom) << c.id;
    }
  }
  // Ports 2 and 4 did not open; no port above 4, so the list is hidden.
  EXPECT_FALSE(IsWindowEnabled(s.item(ids::Com2)));
  EXPECT_FALSE(IsWindowEnabled(s.item(ids::Com4)));
  EXPECT_TRUE(IsWindowEnabled(s.item(ids::Com3)));
  EXPECT_FALSE(visible(s.item(ids::PortList)));
  EXPECT_EQ(GetFocus(), s.item(ids::Exit));
  EXPECT_EQ(GetWindowLongPtrW(s.item(ids::Exit), GWL_STYLE) & 0x0F, BS_DEFPUSHBUTTON);
  // Only the first radio button starts a group: arrow keys move among the four.
  EXPECT_TRUE(GetWindowLongPtrW(s.item(ids::Com1), GWL_STYLE) & WS_GROUP);
  EXPECT_FALSE(GetWindowLongPtrW(s.item(ids::Com2), GWL_STYLE) & WS_GROUP);
  EXPECT_TRUE(GetWindowLongPtrW(s.item(ids::PortList), GWL_STYLE) & WS_GROUP);
}

TEST(Win32Dialog, SystemMenuEndsWithTheAboutEntry) {
  Screen s({1});
  const HMENU menu = GetSystemMenu(s.dlg, FALSE);
  ASSERT_NE(menu, nullptr);
  const int n = GetMenuItemCount(menu);
  ASSERT_GE(n, 2);
  MENUITEMINFOW separator{};
  separator.cbSize = sizeof separator;
  separator.fMask = MIIM_FTYPE;
  ASSERT_TRUE(GetMenuItemInfoW(menu, static_cast<UINT>(n - 2), TRUE, &separator));
  EXPECT_TRUE(separator.fType & MFT_SEPARATOR);
  EXPECT_EQ(GetMenuItemID(menu, n - 1), kAboutCommand);
  wchar_t label[64] = L"";
  GetMenuStringW(menu, static_cast<UINT>(n - 1), label, 64, MF_BYPOSITION);
  EXPECT_EQ(narrow(label), about::kMenuText);
}

// The About box runs its own loop: a timer inside that loop looks at it and presses Esc.
struct AboutSeen {
  HWND owner = nullptr;
  std::string title, versionLine;
  bool closedByEsc = false;
};
AboutSeen* g_about = nullptr;

BOOL CALLBACK findVersionLine(HWND child, LPARAM) {
  if (className(child) == "Static" && !windowText(child).empty())
    g_about->versionLine = windowText(child);
  return TRUE;
}

void CALLBACK lookAtAbout(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  const HWND box = FindWindowW(nullptr, widen(about::kTitle).c_str());
  if (!box) return;
  g_about->title = windowText(box);
  g_about->owner = GetWindow(box, GW_OWNER);
  EnumChildWindows(box, findVersionLine, 0);
  PostMessageW(GetDlgItem(box, about::kOkId), WM_KEYDOWN, VK_ESCAPE, 0);
  g_about->closedByEsc = true;
}

TEST(Win32Dialog, AboutEntryOpensTheBoxAndEscClosesIt) {
  Screen s({1});
  AboutSeen seen;
  g_about = &seen;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, lookAtAbout);
  ASSERT_NE(timer, 0u);
  SendMessageW(s.dlg, WM_SYSCOMMAND, kAboutCommand, 0);  // returns when the box has closed
  g_about = nullptr;
  EXPECT_TRUE(seen.closedByEsc);
  EXPECT_EQ(seen.title, about::kTitle);
  EXPECT_EQ(seen.versionLine, about::kVersionLine);
  EXPECT_EQ(seen.owner, s.dlg);
  EXPECT_EQ(FindWindowW(nullptr, widen(about::kTitle).c_str()), nullptr);
}

TEST(Win32Dialog, HiddenSlotPanelHalvesTheWidth) {
  Screen s({1});
  RECT client;
  GetClientRect(s.dlg, &client);
  EXPECT_EQ(client.right, s.window.toPixels(Rect{0, 0, kDialogWidth / 2, 1}).right);
  EXPECT_EQ(client.bottom, s.window.toPixels(Rect{0, 0, 1, kDialogHeight}).bottom);
  EXPECT_FALSE(visible(s.item(ids::SlotPanel)));

  s.click(ids::BaseUnit);
  EXPECT_TRUE(s.dialog.control(ids::BaseUnit).checked);
  GetClientRect(s.dlg, &client);
  EXPECT_EQ(client.right, s.window.toPixels(Rect{0, 0, kDialogWidth, 1}).right);
  EXPECT_TRUE(visible(s.item(ids::SlotPanel)));
  EXPECT_TRUE(visible(s.item(kSlotRows[8].versionList)));
}

TEST(Win32Dialog, RadioButtonOpensItsPort) {
  Screen s({1, 3});
  s.click(ids::Com3);
  EXPECT_EQ(s.dialog.portIndex, 2);
  EXPECT_EQ(SendMessageW(s.item(ids::Com3), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(SendMessageW(s.item(ids::Com1), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_TRUE(IsWindowEnabled(s.item(ids::Connect)));
  EXPECT_TRUE(visible(s.item(ids::HintLine1)));
  EXPECT_TRUE(s.host.boxes.empty());
}

TEST(Win32Dialog, PortThatFailsShowsTheNumberedMessage) {
  Screen s({1, 3});
  s.opener.present.erase(3);
  s.click(ids::Com3);
  ASSERT_EQ(s.host.boxes.size(), 1u);
  EXPECT_EQ(s.host.boxes[0].caption, "Error message");
  EXPECT_EQ(s.host.boxes[0].text,
            "Could not open serial port COM 3\nError Code: 13\n/dev/fake3: no such device (is the "
            "adapter plugged in?)");
  EXPECT_EQ(s.host.boxes[0].flags, boxFlags(Icon::Stop, false));
  EXPECT_EQ(SendMessageW(s.item(ids::Com3), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_FALSE(IsWindowEnabled(s.item(ids::Connect)));
}

TEST(Win32Dialog, ExtendedPortUsesTheList) {
  Screen s({7});
  for (int id : {ids::Com1, ids::Com2, ids::Com3, ids::Com4}) EXPECT_FALSE(visible(s.item(id)));
  const HWND list = s.item(ids::PortList);
  ASSERT_TRUE(visible(list));
  EXPECT_EQ(listItems(list), (std::vector<std::string>{"SelectCom", "Com 7"}));
  EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);

  SetFocus(list);  // the first focus removes "SelectCom"
  pump(s.dlg);
  EXPECT_EQ(listItems(list), (std::vector<std::string>{"Com 7"}));

  s.opener.opened.clear();
  SendMessageW(list, CB_SETCURSEL, 0, 0);
  SendMessageW(s.dlg, WM_COMMAND, MAKEWPARAM(ids::PortList, CBN_SELENDOK),
               reinterpret_cast<LPARAM>(list));
  pump(s.dlg);
  EXPECT_EQ(s.opener.opened, (std::vector<unsigned>{7}));
  EXPECT_TRUE(IsWindowEnabled(s.item(ids::Connect)));
}

TEST(Win32Dialog, SlotNamesTakeTheColourOfTheirState) {
  Screen s({1});
  const HDC dc = GetDC(s.dlg);
  auto background = [&](int id) {
    SendMessageW(s.dlg, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(s.item(id)));
    return GetBkColor(dc);
  };
  const COLORREF plain = background(ids::SelectComLabel);
  struct Case {
    int state;
    COLORREF want;
  };
  const Case cases[] = {
      {SlotFailed, RGB(255, 0, 0)},
      {SlotUpdated, RGB(0, 255, 0)},
      {SlotNotUpdated, RGB(192, 192, 192)},
      {SlotIdle, RGB(192, 192, 192)},
      {SlotBusy, RGB(0, 255, 255)},
      {SlotDataFileError, plain},
      {77, plain},
  };
  for (const Case& c : cases) {
    s.dialog.slots[4].state = c.state;
    EXPECT_EQ(background(kSlotRows[4].name), c.want) << c.state;
    EXPECT_EQ(background(kSlotRows[4].verLabel), plain) << c.state;  // the name label only
  }
  ReleaseDC(s.dlg, dc);
}

TEST(Win32Dialog, BoxesCarryCaptionAndIcon) {
  EXPECT_EQ(boxFlags(Icon::Stop, false) & (MB_ICONMASK | MB_TYPEMASK), MB_ICONSTOP | MB_OK);
  EXPECT_EQ(boxFlags(Icon::Question, true) & (MB_ICONMASK | MB_TYPEMASK),
            MB_ICONQUESTION | MB_YESNO);
  EXPECT_EQ(boxFlags(Icon::Information, false) & MB_ICONMASK, MB_ICONINFORMATION);
  EXPECT_EQ(boxFlags(Icon::Exclamation, false) & MB_ICONMASK, MB_ICONEXCLAMATION);
  EXPECT_EQ(boxFlags(Icon::None, true) & MB_ICONMASK, 0u);

  Screen s({1});
  s.host.answer = IDYES;
  EXPECT_TRUE(s.host.ask("Attention", "Go on ?", Icon::Question));
  s.host.answer = IDNO;
  EXPECT_FALSE(s.host.ask("Attention", "Go on ?", Icon::Question));
  ASSERT_EQ(s.host.boxes.size(), 2u);
  EXPECT_EQ(s.host.boxes[1].caption, "Attention");
  EXPECT_EQ(s.host.boxes[1].text, "Go on ?");
}

// A box on the screen, seen from a timer inside its loop, which then answers it.
struct BoxSeen {
  std::string caption;
  HWND owner = nullptr;
  RECT at{};
};
BoxSeen* g_box = nullptr;

BOOL CALLBACK findShownBox(HWND w, LPARAM found) {
  if (className(w) != "#32770" || !IsWindowVisible(w)) return TRUE;
  *reinterpret_cast<HWND*>(found) = w;
  return FALSE;
}

void CALLBACK lookAtBox(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND box = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), findShownBox, reinterpret_cast<LPARAM>(&box));
  if (!box) return;
  KillTimer(nullptr, timer);
  g_box->caption = windowText(box);
  g_box->owner = GetWindow(box, GW_OWNER);
  GetWindowRect(box, &g_box->at);
  const int button = GetDlgItem(box, IDNO) ? IDNO : IDOK;
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
}

// Where the box that `show` opens stood.
RECT boxShownBy(HWND dialog, const std::string& caption, const std::function<void()>& show) {
  BoxSeen seen;
  g_box = &seen;
  const UINT_PTR timer = SetTimer(nullptr, 0, 20, lookAtBox);
  EXPECT_NE(timer, 0u);
  show();  // returns when the box has been answered
  KillTimer(nullptr, timer);
  g_box = nullptr;
  EXPECT_EQ(seen.caption, caption);
  EXPECT_EQ(seen.owner, dialog) << caption;
  return seen.at;
}

bool intersect(const RECT& a, const RECT& b) {
  RECT both;
  return IntersectRect(&both, &a, &b) != FALSE;
}

// The boxes of a base-unit run leave the slot rows in sight (the verdict sends the user to the
// red ones): with the panel open a box stands over the window's left part, clear of the panel;
// with the panel closed it stays where the system centres it.
TEST(Win32Dialog, BoxesLeaveTheSlotRowsInSight) {
  Screen s({1});
  s.host.realBoxes = true;
  s.click(ids::BaseUnit);
  ASSERT_TRUE(visible(s.item(ids::SlotPanel)));
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(s.dlg, MONITOR_DEFAULTTONEAREST), &monitor));
  const RECT work = monitor.rcWork;
  RECT window;
  GetWindowRect(s.dlg, &window);
  SetWindowPos(s.dlg, nullptr, work.right - (window.right - window.left), work.top + 100, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  GetWindowRect(s.dlg, &window);
  RECT panel;
  GetWindowRect(s.item(ids::SlotPanel), &panel);
  const LONG leftPart = panel.left - window.left;

  const RECT question =
      boxShownBy(s.dlg, "Question", [&] { s.host.ask("Question", "Go on ?", Icon::Question); });
  const RECT verdict = boxShownBy(s.dlg, "Error message", [&] {
    s.host.message("Error message",
                   "Could not update all the modules !\nCorrect function of modules, where the "
                   "backcolor \nof the updatestate is red, is no longer guaranteed !\nTry again "
                   "to update, or contact your local dealer !",
                   Icon::Stop);
  });
  ASSERT_LE(question.right - question.left, leftPart);  // the cases below need one of each
  ASSERT_GT(verdict.right - verdict.left, leftPart);
  EXPECT_NEAR((question.left + question.right) / 2, (window.left + panel.left) / 2, 1);
  EXPECT_EQ(verdict.right, panel.left);
  for (const RECT& box : {question, verdict}) {
    EXPECT_GE(box.left, work.left);
    EXPECT_LE(box.right, work.right);
    EXPECT_NEAR((box.top + box.bottom) / 2, (window.top + window.bottom) / 2, 1);
    for (const SlotRowIds& row : kSlotRows) {
      for (int id : {row.name, row.check, row.verLabel, row.versionList}) {
        RECT control;
        GetWindowRect(s.item(id), &control);
        EXPECT_FALSE(intersect(box, control)) << id;
      }
    }
  }

  s.click(ids::BaseUnit);
  ASSERT_FALSE(visible(s.item(ids::SlotPanel)));
  const RECT centred =
      boxShownBy(s.dlg, "Question", [&] { s.host.ask("Question", "Go on ?", Icon::Question); });
  EXPECT_NEAR((centred.left + centred.right) / 2, (work.left + work.right) / 2, 1);
  EXPECT_NEAR((centred.top + centred.bottom) / 2, (work.top + work.bottom) / 2, 1);
}

TEST(Win32Dialog, EscapeCountsOncePerPressAndIsForgotten) {
  Screen s({1});
  // A press that reaches the dialog through the pump.
  PostMessageW(s.item(ids::Exit), WM_KEYDOWN, VK_ESCAPE, 0);
  s.host.pumpEvents();
  EXPECT_TRUE(s.host.escapePressed());
  EXPECT_FALSE(s.host.escapePressed());
  // A press made before a procedure starts is forgotten.
  PostMessageW(s.item(ids::Exit), WM_KEYDOWN, VK_ESCAPE, 0);
  s.host.pumpEvents();
  s.host.forgetEscape();
  EXPECT_FALSE(s.host.escapePressed());
  // A press aimed at another window does not count.
  const HWND other = CreateWindowW(L"Static", L"other", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                   nullptr, nullptr);
  PostMessageW(other, WM_KEYDOWN, VK_ESCAPE, 0);
  s.host.pumpEvents();
  EXPECT_FALSE(s.host.escapePressed());
  DestroyWindow(other);
  // The key state counts only while the dialog has the keyboard. The press it shows is still in
  // the queue: it goes with the abort (the next box would take it), other keys stay.
  s.host.escState = 1;
  SetForegroundWindow(s.dlg);
  ASSERT_EQ(GetForegroundWindow(), s.dlg);
  PostMessageW(s.item(ids::Exit), WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageW(s.item(ids::Exit), WM_KEYDOWN, 'A', 0);
  EXPECT_TRUE(s.host.escapePressed());
  MSG left;
  ASSERT_TRUE(PeekMessageW(&left, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE));
  EXPECT_EQ(left.wParam, static_cast<WPARAM>('A'));
  EXPECT_FALSE(PeekMessageW(&left, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE));
  const HWND front = CreateWindowExW(WS_EX_TOPMOST, L"Static", L"front", WS_POPUP | WS_VISIBLE, 0,
                                     0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  SetForegroundWindow(front);
  pump(s.dlg);
  ASSERT_EQ(GetForegroundWindow(), front);
  EXPECT_FALSE(s.host.escapePressed());
  DestroyWindow(front);
}

TEST(Win32Dialog, WaitCursorStaysOverTheWindow) {
  Screen s({1});
  const auto dialogProc = reinterpret_cast<DLGPROC>(GetWindowLongPtrW(s.dlg, DWLP_DLGPROC));
  ASSERT_NE(dialogProc, nullptr);
  s.host.setWaitCursor(true);
  EXPECT_TRUE(dialogProc(s.dlg, WM_SETCURSOR, reinterpret_cast<WPARAM>(s.dlg),
                         MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));
  EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_WAIT));
  s.host.setWaitCursor(false);
  EXPECT_FALSE(dialogProc(s.dlg, WM_SETCURSOR, reinterpret_cast<WPARAM>(s.dlg),
                          MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));
}

TEST(Win32Dialog, CloseDuringConnectEndsTheWindowAfterIt) {
  Screen s({1});
  s.click(ids::Com1);
  ASSERT_TRUE(IsWindowEnabled(s.item(ids::Connect)));
  const auto dialogProc = reinterpret_cast<DLGPROC>(GetWindowLongPtrW(s.dlg, DWLP_DLGPROC));
  // While Connect runs (the line stays silent), the window's own move loop is refused and a
  // close waits for the procedure.
  bool moveRefused = false;
  s.host.duringBox = [&] {
    moveRefused = dialogProc(s.dlg, WM_SYSCOMMAND, SC_MOVE, 0) != FALSE;
    s.host.duringBox = nullptr;
  };
  PostMessageW(s.dlg, WM_CLOSE, 0, 0);  // dispatched by the exchange's pump
  s.click(ids::Connect);
  ASSERT_FALSE(s.host.boxes.empty());
  EXPECT_EQ(s.host.boxes[0].caption, "Error message");
  EXPECT_FALSE(s.host.boxes[0].windowClosed);
  EXPECT_TRUE(moveRefused);
  EXPECT_TRUE(s.window.closed());
  EXPECT_FALSE(s.dialog.port.isOpen());
  // Idle, the same command is the system's.
  EXPECT_FALSE(dialogProc(s.dlg, WM_SYSCOMMAND, SC_MOVE, 0));
}

TEST(Win32Dialog, CloseWhenIdleEndsAtOnce) {
  Screen s({1});
  s.click(ids::Com1);
  SendMessageW(s.dlg, WM_CLOSE, 0, 0);
  EXPECT_TRUE(s.window.closed());
  EXPECT_FALSE(s.dialog.port.isOpen());
  EXPECT_TRUE(s.host.boxes.empty());
}

}  // namespace
}  // namespace qdqm::wingui
