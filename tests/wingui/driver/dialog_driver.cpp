// qdqm-dialog-driver: works the dialog of a running qdqm-update.exe from outside, as a technician
// would with the mouse, through window messages: chooses COM N, presses Connect and Update, and
// answers the boxes (OK, No to another module). Prints the device and every box, one line each;
// exit status 0 when the dialog ended by itself after the boxes, 1 otherwise.
//
//   qdqm-dialog-driver.exe --port N
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/controls.h"
#include "wingui/wide.h"

namespace {

using qdqm::wingui::narrow;
using qdqm::wingui::widen;
namespace ids = qdqm::ids;

constexpr DWORD kStepMs = 50;

// The text of a window of the dialog's process; a hung process does not hold the driver.
std::string remoteText(HWND w) {
  wchar_t text[512] = L"";
  SendMessageTimeoutW(w, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                      nullptr);
  return narrow(text);
}

// Waits up to `ms` for `ready`; false on time-out.
template <class Ready>
bool waitFor(Ready ready, DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += kStepMs) {
    if (ready()) return true;
    Sleep(kStepMs);
  }
  return ready();
}

struct Search {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK collect(HWND w, LPARAM p) {
  auto* s = reinterpret_cast<Search*>(p);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid == s->pid && IsWindowVisible(w)) s->found.push_back(w);
  return TRUE;
}

// A message box of the process: a visible top-level window other than the dialog.
HWND findBox(DWORD pid, HWND dialog) {
  Search s{pid, {}};
  EnumWindows(collect, reinterpret_cast<LPARAM>(&s));
  for (HWND w : s.found)
    if (w != dialog && GetWindow(w, GW_OWNER) == dialog) return w;
  return nullptr;
}

struct BoxParts {
  std::string text;
  std::vector<HWND> buttons;
};

BOOL CALLBACK boxChild(HWND w, LPARAM p) {
  auto* parts = reinterpret_cast<BoxParts*>(p);
  wchar_t cls[32] = L"";
  GetClassNameW(w, cls, 32);
  if (std::wstring(cls) == L"Button") parts->buttons.push_back(w);
  if (std::wstring(cls) == L"Static" && GetDlgCtrlID(w) == 0xFFFF) parts->text = remoteText(w);
  return TRUE;
}

void click(HWND w) {
  PostMessageW(w, BM_CLICK, 0, 0);
}

bool choosePort(HWND dialog, unsigned n) {
  const HWND radio = GetDlgItem(dialog, ids::Com1 + static_cast<int>(n) - 1);
  if (n <= 4 && radio && IsWindowVisible(radio)) {
    click(radio);
    return true;
  }
  const HWND list = GetDlgItem(dialog, ids::PortList);
  // The list takes the focus first (the dialog drops its "SelectCom" entry then).
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(ids::PortList, CBN_SETFOCUS),
               reinterpret_cast<LPARAM>(list));
  const std::wstring entry = widen("Com " + std::to_string(n));
  const auto index = SendMessageW(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                  reinterpret_cast<LPARAM>(entry.c_str()));
  if (index == CB_ERR) return false;
  SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(ids::PortList, CBN_SELENDOK),
               reinterpret_cast<LPARAM>(list));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned port = 0;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--port") == 0) port = static_cast<unsigned>(std::atoi(argv[i + 1]));
  if (port == 0) {
    std::fprintf(stderr, "usage: qdqm-dialog-driver --port N\n");
    return 2;
  }
  HWND dialog = nullptr;
  const std::wstring title = widen(qdqm::kWindowTitle);
  if (!waitFor([&] { return (dialog = FindWindowW(nullptr, title.c_str())) != nullptr; }, 30000)) {
    std::printf("no dialog\n");
    return 1;
  }
  DWORD pid = 0;
  GetWindowThreadProcessId(dialog, &pid);
  auto enabled = [&](int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; };

  if (!choosePort(dialog, port)) {
    std::printf("no entry for COM%u\n", port);
    return 1;
  }
  if (!waitFor([&] { return enabled(ids::Connect); }, 10000)) {
    std::printf("Connect stays disabled\n");
    return 1;
  }
  click(GetDlgItem(dialog, ids::Connect));
  if (!waitFor([&] { return enabled(ids::Update) || findBox(pid, dialog); }, 60000) ||
      !enabled(ids::Update)) {
    std::printf("Update stays disabled\n");
    return 1;
  }
  std::printf("device: %s\n", remoteText(GetDlgItem(dialog, ids::DeviceField)).c_str());
  click(GetDlgItem(dialog, ids::Update));

  // Every box in turn: OK, and No to another module, until the dialog has ended.
  while (waitFor([&] { return !IsWindow(dialog) || findBox(pid, dialog); }, 300000)) {
    if (!IsWindow(dialog)) return 0;
    const HWND box = findBox(pid, dialog);
    BoxParts parts;
    EnumChildWindows(box, boxChild, reinterpret_cast<LPARAM>(&parts));
    std::printf("box %s: %s\n", remoteText(box).c_str(), parts.text.c_str());
    std::fflush(stdout);
    HWND answer = parts.buttons.empty() ? nullptr : parts.buttons.front();
    for (HWND b : parts.buttons)
      if (GetDlgCtrlID(b) == IDNO) answer = b;
    if (!answer) return 1;
    click(answer);
    waitFor([&] { return !IsWindow(box); }, 10000);
  }
  std::printf("the dialog did not end\n");
  return 1;
}
