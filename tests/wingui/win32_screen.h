// Support of the native dialog's tests: the real Win32 host with its boxes recorded instead of
// shown, a key state and a pump hook of the test's choice, and readers of what the controls show.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "wingui/dialog_window.h"
#include "wingui/wide.h"
#include "wingui/win32_host.h"

namespace qdqm::wingui {

struct ShownBox {
  std::string caption, text;
  UINT flags;
  bool windowClosed;  // the dialog had been ended when the box came
};

// The real host, with boxes recorded instead of shown and a key state the test sets.
class RecordingHost final : public Win32Host {
 public:
  std::vector<ShownBox> boxes;
  int answer = IDNO;
  SHORT escState = 0;
  DialogWindow* window = nullptr;
  std::function<void()> duringBox;
  std::function<void()> onPump;  // before each pump of the exchange
  bool realBoxes = false;        // recorded and also shown by the system

  void pumpEvents() override {
    if (onPump) onPump();
    Win32Host::pumpEvents();
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> t;
    for (const ShownBox& b : boxes) t.push_back(b.text);
    return t;
  }

 protected:
  int showBox(const std::string& caption, const std::string& text, UINT flags) override {
    boxes.push_back({caption, text, flags, window && window->closed()});
    if (duringBox) duringBox();
    if (realBoxes) return Win32Host::showBox(caption, text, flags);
    return (flags & MB_YESNO) ? answer : IDOK;
  }
  SHORT escapeKeyState() override { return escState; }
};

inline void pump(HWND dialog) {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (IsDialogMessageW(dialog, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

inline std::string className(HWND w) {
  wchar_t name[64] = L"";
  GetClassNameW(w, name, 64);
  return narrow(name);
}

inline std::vector<std::string> listItems(HWND combo) {
  std::vector<std::string> items;
  const auto n = SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < n; ++i) {
    wchar_t buffer[128] = L"";
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
    items.push_back(narrow(buffer));
  }
  return items;
}

inline bool visible(HWND w) {
  return (GetWindowLongPtrW(w, GWL_STYLE) & WS_VISIBLE) != 0;
}

}  // namespace qdqm::wingui
