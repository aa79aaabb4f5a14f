#include "wingui/dialog_window.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <exception>
#include <string>

#include "app/about.h"
#include "app/box_place.h"
#include "app/service_record.h"
#include "app/trace.h"
#include "app/update_folder.h"
#include "wingui/about_box.h"
#include "wingui/dialog_template.h"
#include "wingui/settings.h"
#include "wingui/wide.h"
#include "wingui/win32_host.h"

namespace qdqm::wingui {

namespace {

// Posted when the port list got the focus while the controls were being updated: the model's
// handler changes the list, so it runs after the update.
constexpr UINT kPortListFocusLater = WM_APP + 1;

bool isCheckable(ControlKind kind) {
  return kind == ControlKind::RadioButton || kind == ControlKind::CheckBox;
}

// The control of an id that a notification names, or null.
Control* findControl(UpdateDialog& m, int id) {
  auto it = std::find_if(m.controls.begin(), m.controls.end(),
                         [id](const Control& c) { return c.id == id; });
  return it == m.controls.end() ? nullptr : &*it;
}

Rect rectOf(const RECT& r) {
  return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

bool hasText(ControlKind kind) {
  return kind != ControlKind::Icon && kind != ControlKind::DropDown &&
         kind != ControlKind::ProgressBar;
}

}  // namespace

DialogWindow::DialogWindow(UpdateDialog& model, Win32Host& host, HINSTANCE instance)
    : model_(model), host_(host), instance_(instance) {
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&classes);
  shownSlotState_.fill(-1);
  icon_ =
      static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(QDQM_APP_ICON), IMAGE_ICON,
                                    GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  smallIcon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(QDQM_APP_ICON), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), 0));
}

DialogWindow::~DialogWindow() {
  if (hwnd_ && !modal_) DestroyWindow(hwnd_);
  if (icon_) DestroyIcon(icon_);
  if (smallIcon_) DestroyIcon(smallIcon_);
}

bool DialogWindow::runModal() {
  const DialogTemplate t =
      mainDialogTemplate(model_.controls, kDialogWidth, kDialogHeight, widen(kWindowTitle));
  modal_ = true;
  const INT_PTR result = DialogBoxIndirectParamW(instance_, t.get(), nullptr, dialogProc,
                                                 reinterpret_cast<LPARAM>(this));
  const bool opened = hwnd_ != nullptr && result != -1;
  hwnd_ = nullptr;
  return opened;
}

HWND DialogWindow::create() {
  const DialogTemplate t =
      mainDialogTemplate(model_.controls, kDialogWidth, kDialogHeight, widen(kWindowTitle));
  modal_ = false;
  return CreateDialogIndirectParamW(instance_, t.get(), nullptr, dialogProc,
                                    reinterpret_cast<LPARAM>(this));
}

HWND DialogWindow::item(int id) const {
  return hwnd_ ? GetDlgItem(hwnd_, id & 0xFFFF) : nullptr;
}

RECT DialogWindow::toPixels(const Rect& r) const {
  RECT px{r.x, r.y, r.x + r.w, r.y + r.h};
  if (hwnd_) MapDialogRect(hwnd_, &px);
  return px;
}

void DialogWindow::placeBox(HWND box) const {
  const HWND panel = item(ids::SlotPanel);
  if (!panel || !IsWindowVisible(panel)) return;
  RECT window, panelAt, boxAt;
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (!GetWindowRect(hwnd_, &window) || !GetWindowRect(panel, &panelAt) ||
      !GetWindowRect(box, &boxAt) ||
      !GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &monitor))
    return;
  const Rect at = boxBesideSlotPanel(rectOf(window), panelAt.left, boxAt.right - boxAt.left,
                                     boxAt.bottom - boxAt.top, rectOf(monitor.rcWork));
  SetWindowPos(box, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// No exception may leave for the system's code between the dialog procedure and the message
// loop: one that reaches here is shown, and the window stays usable (the model has ended the
// procedure it came from).
INT_PTR CALLBACK DialogWindow::dialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<DialogWindow*>(
      msg == WM_INITDIALOG ? lParam : GetWindowLongPtrW(hwnd, DWLP_USER));
  if (!self) return FALSE;
  try {
    if (msg != WM_INITDIALOG) return self->handle(msg, wParam, lParam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->hwnd_ = hwnd;
    self->onInit();
    return FALSE;  // the model has set the focus
  } catch (const std::exception& e) {
    self->model_.showError(std::string("Internal error: ") + e.what());
    return TRUE;
  }
}

void DialogWindow::onInit() {
  // The About entry below a separator, when the text resource is there.
  wchar_t about[64] = L"";
  const HMENU menu = GetSystemMenu(hwnd_, FALSE);
  if (menu && LoadStringW(instance_, QDQM_ABOUT_MENU_STRING, about, 64) > 0) {
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kAboutCommand, about);
  }
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
  // Kept above other windows, as the template's system-modal style asks; said again because
  // not every window manager takes it from the template.
  SetWindowPos(hwnd_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  shownWidth_ = kDialogWidth;
  shownHeight_ = kDialogHeight;
  model_.initWindow();
  useUpdateFolder(model_, rememberedUpdateFolder(rememberedFolder()));
  sync();
}

INT_PTR DialogWindow::handle(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
      onCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_SYSCOMMAND:
      if (!onSystemCommand(wParam)) return FALSE;
      SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_CONTEXTMENU:
      onContextMenu(lParam);
      return TRUE;
    case WM_CTLCOLORSTATIC:
      return slotNameBackground(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam),
                                wParam, lParam);
    case WM_SETCURSOR:
      if (!host_.waitCursorShown()) return FALSE;
      SetCursor(LoadCursorW(nullptr, IDC_WAIT));
      SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    case WM_CLOSE:
      // During a procedure the model ends the window when the procedure has ended.
      if (!model_.ended()) model_.onCloseRequested();
      if (model_.ended()) closeFromModel();
      return TRUE;
    case kPortListFocusLater:
      model_.onPortListFocus();
      return TRUE;
    default:
      return FALSE;
  }
}

void DialogWindow::onCommand(int id, int code) {
  UpdateDialog& m = model_;
  if (id == ids::PortList) {
    const HWND list = item(id);
    if (code == CBN_SETFOCUS) {
      if (refresh_.running())
        PostMessageW(hwnd_, kPortListFocusLater, 0, 0);
      else
        m.onPortListFocus();
    } else if (code == CBN_DROPDOWN) {
      // The ports are probed again before the list opens; during a procedure it stays shut.
      if (!m.onPortListOpened()) PostMessageW(list, CB_SHOWDROPDOWN, FALSE, 0);
    } else if (code == CBN_SELENDOK ||
               (code == CBN_SELCHANGE && !SendMessageW(list, CB_GETDROPPEDSTATE, 0, 0))) {
      // Every choice counts, also of the entry shown: the port may have to be opened again.
      m.control(id).selection = static_cast<int>(SendMessageW(list, CB_GETCURSEL, 0, 0));
      m.onPortListSelected();
    }
    return;
  }
  if (code == CBN_SELCHANGE) {
    const int slot = slotOfControl(id, &SlotRowIds::versionList);
    if (id != ids::VersionList && slot < 0) return;
    m.control(id).selection = static_cast<int>(SendMessageW(item(id), CB_GETCURSEL, 0, 0));
    if (id == ids::VersionList)
      m.onVersionSelected();
    else
      m.onSlotVersionSelected(slot);
    return;
  }
  if (code != BN_CLICKED) return;
  if (id >= ids::Com1 && id <= ids::Com4) {
    m.onPortRadio(static_cast<unsigned>(id - ids::Com1 + 1));
  } else if (id == ids::Connect) {
    m.onConnectClicked();
  } else if (id == ids::Update) {
    m.onUpdateClicked();
  } else if (id == ids::Exit) {
    m.onExitClicked();
  } else if (Control* box = findControl(m, id); box && box->kind == ControlKind::CheckBox) {
    box->checked = IsDlgButtonChecked(hwnd_, id) == BST_CHECKED;
    if (id == ids::BaseUnit) m.onSlotPanelToggleClicked();
  }
  // IDOK and IDCANCEL (Enter without a default button, Esc) end nothing: only Exit and the
  // close box end the dialog, and Esc belongs to a running procedure.
}

bool DialogWindow::onSystemCommand(WPARAM command) {
  const UINT c = static_cast<UINT>(command) & 0xFFF0;
  if (c == kAboutCommand) {
    showAbout();
    return true;
  }
  // Moving the window or opening its menu runs a loop of the system's own in which no exchange
  // runs: refused while a procedure drives the module.
  if (model_.busy() && (c == SC_MOVE || c == SC_SIZE || c == SC_KEYMENU || c == SC_MOUSEMENU))
    return true;
  return false;
}

void DialogWindow::onContextMenu(LPARAM where) {
  if (model_.busy()) return;
  POINT at{GET_X_LPARAM(where), GET_Y_LPARAM(where)};
  if (at.x == -1 && at.y == -1) {  // from the keyboard: at the window's corner
    RECT r;
    GetWindowRect(hwnd_, &r);
    at = {r.left + 8, r.top + 8};
  }
  const HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING, kContextAbout, widen(about::kMenuText).c_str());
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  // The frame trace for service: one entry that starts a trace file, or ends the running one.
  const bool tracing = model_.port.trace != nullptr;
  AppendMenuW(menu, MF_STRING, kContextTrace,
              widen(tracing ? kEndTraceMenuText : kStartTraceMenuText).c_str());
  // Where the update sets are looked for, and another folder (a USB stick, a share).
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING | MF_GRAYED, kContextFolderShown,
              widen(updateFolderMenuText(model_)).c_str());
  AppendMenuW(menu, MF_STRING, kContextFolder, widen(kChooseFolderMenuText).c_str());
  // The service record: which module got which firmware.
  const std::string recordFolder = historyFolder(model_);
  if (!recordFolder.empty())
    AppendMenuW(menu, MF_STRING, kContextRecord, widen(kRecordFolderMenuText).c_str());
  const UINT chosen = static_cast<UINT>(
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, hwnd_, nullptr));
  DestroyMenu(menu);
  if (chosen == kContextAbout) {
    showAbout();
  } else if (chosen == kContextTrace) {
    if (tracing)
      endDialogTrace(model_);
    else
      startDialogTrace(model_);
  } else if (chosen == kContextFolder) {
    const std::string folder = askForFolder(hwnd_, model_.programDir);
    if (folder.empty()) return;
    rememberFolder(folder);
    changeUpdateFolder(model_, folder);
  } else if (chosen == kContextRecord) {
    // ShellExecute reports success with a value above 32.
    const auto opened = reinterpret_cast<INT_PTR>(ShellExecuteW(
        hwnd_, L"open", widen(recordFolder).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (opened <= 32) showHistoryPath(model_);
  }
}

void DialogWindow::showAbout() {
  if (model_.busy()) return;
  showAboutBox(instance_, hwnd_);
}

INT_PTR DialogWindow::slotNameBackground(HDC dc, HWND control, WPARAM wParam, LPARAM lParam) {
  const int slot = slotOfControl(GetDlgCtrlID(control), &SlotRowIds::name);
  if (slot < 0) return FALSE;
  // The default colours and brush, then the state's colour behind the text only.
  const auto brush = DefWindowProcW(hwnd_, WM_CTLCOLORSTATIC, wParam, lParam);
  if (const std::optional<Rgb> c = slotNameColour(model_.slots[slot].state))
    SetBkColor(dc, RGB(c->red, c->green, c->blue));
  return static_cast<INT_PTR>(brush);
}

void DialogWindow::setText(HWND w, const std::string& text) {
  if (windowText(w) != text) SetWindowTextW(w, widen(text).c_str());
}

void DialogWindow::apply(const Control& c, HWND w) {
  if (hasText(c.kind)) setText(w, c.text);
  // Only what changed is sent: the controls are shown again after every block of a transfer.
  const WPARAM check = c.checked ? BST_CHECKED : BST_UNCHECKED;
  if (isCheckable(c.kind) && static_cast<WPARAM>(SendMessageW(w, BM_GETCHECK, 0, 0)) != check)
    SendMessageW(w, BM_SETCHECK, check, 0);
  if (c.kind == ControlKind::DropDown) {
    std::vector<std::string>& shown = shownItems_[c.id];
    if (shown != c.items) {
      SendMessageW(w, CB_RESETCONTENT, 0, 0);
      for (const std::string& entry : c.items)
        SendMessageW(w, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(widen(entry).c_str()));
      shown = c.items;
    }
    if (SendMessageW(w, CB_GETCURSEL, 0, 0) != c.selection)
      SendMessageW(w, CB_SETCURSEL, static_cast<WPARAM>(c.selection), 0);
  }
  if (c.kind == ControlKind::ProgressBar) {
    PBRANGE range{};
    SendMessageW(w, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    if (range.iLow != c.rangeLow || range.iHigh != c.rangeHigh)
      SendMessageW(w, PBM_SETRANGE32, static_cast<WPARAM>(c.rangeLow), c.rangeHigh);
    if (SendMessageW(w, PBM_GETPOS, 0, 0) != c.position)
      SendMessageW(w, PBM_SETPOS, static_cast<WPARAM>(c.position), 0);
  }
  if (static_cast<bool>(IsWindowEnabled(w)) != c.enabled) EnableWindow(w, c.enabled);
  if (static_cast<bool>(GetWindowLongPtrW(w, GWL_STYLE) & WS_VISIBLE) != c.visible)
    ShowWindow(w, c.visible ? SW_SHOWNA : SW_HIDE);
}

void DialogWindow::fitWindow() {
  if (model_.windowWidth == shownWidth_ && model_.windowHeight == shownHeight_) return;
  shownWidth_ = model_.windowWidth;
  shownHeight_ = model_.windowHeight;
  RECT outer = toPixels(Rect{0, 0, shownWidth_, shownHeight_});
  AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)));
  SetWindowPos(hwnd_, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void DialogWindow::sync() {
  if (!hwnd_) return;
  refresh_.run([this] {
    fitWindow();
    for (const Control& c : model_.controls) {
      const HWND w = item(c.id);
      if (!w) continue;
      apply(c, w);
      const int slot = slotOfControl(c.id, &SlotRowIds::name);
      if (slot >= 0 && shownSlotState_[slot] != model_.slots[slot].state) {
        shownSlotState_[slot] = model_.slots[slot].state;
        InvalidateRect(w, nullptr, TRUE);  // its colour comes with the next paint
      }
    }
    if (model_.focusId != shownFocus_) {
      shownFocus_ = model_.focusId;
      if (const HWND w = item(shownFocus_))
        SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(w), TRUE);
    }
  });
}

void DialogWindow::closeFromModel() {
  closed_ = true;
  if (!hwnd_) return;
  if (modal_)
    EndDialog(hwnd_, IDCANCEL);
  else
    ShowWindow(hwnd_, SW_HIDE);
}

}  // namespace qdqm::wingui
