#include "wingui/win32_host.h"

#include <iostream>
#include <vector>

#include "wingui/dialog_window.h"
#include "wingui/wide.h"

namespace qdqm::wingui {

namespace {

struct IconFlag {
  Icon icon;
  UINT flag;
};
constexpr IconFlag kIconFlags[] = {
    {Icon::Stop, MB_ICONSTOP},
    {Icon::Exclamation, MB_ICONEXCLAMATION},
    {Icon::Question, MB_ICONQUESTION},
    {Icon::Information, MB_ICONINFORMATION},
};

constexpr SHORT kKeyDown = static_cast<SHORT>(0x8000), kPressedSinceQuery = 0x0001;

// While the system's message box runs, a hook of this thread sees the box activated once it has
// placed itself, and has the window move it (clear of the slot panel) before it is first drawn.
class BoxPlacer {
 public:
  explicit BoxPlacer(const DialogWindow* window) : window_(window), outer_(current_) {
    if (window_) hook_ = SetWindowsHookExW(WH_CBT, onActivation, nullptr, GetCurrentThreadId());
    current_ = this;
  }
  ~BoxPlacer() {
    if (hook_) UnhookWindowsHookEx(hook_);
    current_ = outer_;
  }
  BoxPlacer(const BoxPlacer&) = delete;
  BoxPlacer& operator=(const BoxPlacer&) = delete;

 private:
  static LRESULT CALLBACK onActivation(int code, WPARAM wParam, LPARAM lParam) {
    BoxPlacer* p = current_;
    if (code == HCBT_ACTIVATE && p && p->window_ && !p->placed_) {
      const HWND box = reinterpret_cast<HWND>(wParam);
      const HWND owner = p->window_->hwnd();
      if (owner && GetWindow(box, GW_OWNER) == owner) {
        p->placed_ = true;  // once: a box the user moved is not moved back on reactivation
        p->window_->placeBox(box);
      }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
  }

  static thread_local BoxPlacer* current_;
  const DialogWindow* window_;
  BoxPlacer* outer_;
  HHOOK hook_ = nullptr;
  bool placed_ = false;
};
thread_local BoxPlacer* BoxPlacer::current_ = nullptr;

}  // namespace

UINT boxFlags(Icon icon, bool yesNo) {
  UINT flags = (yesNo ? MB_YESNO : MB_OK) | MB_SETFOREGROUND;
  for (const IconFlag& f : kIconFlags)
    if (f.icon == icon) flags |= f.flag;
  return flags;
}

HWND Win32Host::windowHandle() const {
  return window_ ? window_->hwnd() : nullptr;
}

int Win32Host::showBox(const std::string& caption, const std::string& text, UINT flags) {
  const BoxPlacer placer(window_);
  return MessageBoxW(windowHandle(), widen(text).c_str(), widen(caption).c_str(), flags);
}

void Win32Host::messageBox(const std::string& caption, const std::string& text, Icon icon) {
  showBox(caption, text, boxFlags(icon, false));
}

bool Win32Host::askYesNo(const std::string& caption, const std::string& text, Icon icon) {
  return showBox(caption, text, boxFlags(icon, true)) == IDYES;
}

void Win32Host::controlsChanged() {
  if (window_) window_->sync();
}

void Win32Host::pumpEvents() {
  const HWND dialog = windowHandle();
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop that owns the queue
      return;
    }
    // A press that reaches the dialog counts even when the key state has lost it by the time of
    // the next query (a short tap between two throttled pumps).
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE && dialog &&
        (msg.hwnd == dialog || IsChild(dialog, msg.hwnd)))
      escLatched_ = true;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

SHORT Win32Host::escapeKeyState() {
  return GetAsyncKeyState(VK_ESCAPE);
}

bool Win32Host::dialogHasKeyboard() const {
  const HWND dialog = windowHandle();
  const HWND foreground = GetForegroundWindow();
  if (!dialog || !foreground) return false;
  return foreground == dialog || GetAncestor(foreground, GA_ROOTOWNER) == dialog;
}

bool Win32Host::escapePressed() {
  bool pressed = escLatched_;
  escLatched_ = false;
  const SHORT state = escapeKeyState();
  if ((state & (kKeyDown | kPressedSinceQuery)) && dialogHasKeyboard()) pressed = true;
  if (pressed) dropEscapeKeystrokes();
  return pressed;
}

// The press that aborts a procedure is in the queue still when the key state shows it first; the
// message box the procedure shows next would take it and close at once, unread.
void Win32Host::dropEscapeKeystrokes() {
  std::vector<MSG> others;
  MSG msg;
  while (PeekMessageW(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE))
    if (msg.wParam != VK_ESCAPE) others.push_back(msg);
  for (const MSG& m : others) PostMessageW(m.hwnd, m.message, m.wParam, m.lParam);
}

void Win32Host::forgetEscape() {
  escLatched_ = false;
  escapeKeyState();  // the query clears "pressed since the last query"
}

void Win32Host::beep(unsigned hz, unsigned ms) {
  Beep(hz, ms);
}

void Win32Host::repaint() {
  if (const HWND w = windowHandle())
    RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void Win32Host::notice(const std::string& text) {
  std::cerr << programName << ": " << text << std::endl;
}

void Win32Host::closeWindow() {
  if (window_) window_->closeFromModel();
}

void Win32Host::showWaitCursor(bool wait) {
  SetCursor(LoadCursorW(nullptr, wait ? IDC_WAIT : IDC_ARROW));
}

}  // namespace qdqm::wingui
