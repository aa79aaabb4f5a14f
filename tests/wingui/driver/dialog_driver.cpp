// qdqm-dialog-driver: works the dialog of a running qdqm-update.exe from outside, as a technician
// would with the mouse, through window messages: chooses COM N, presses Connect and Update, and
// answers the boxes (OK, No to another module). Prints the device and every box, one line each;
// exit status 0 when the dialog ended by itself after the boxes, 1 otherwise.
//
// Each step waits until the dialog has done what it asked for, however long a loaded machine
// makes that, up to two minutes; a step that gives up ends the dialog's process, so that a failed
// run ends at once instead of leaving the dialog open.
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

constexpr DWORD kStepMs = 20;
// How long a step waits for the dialog before it gives up.
constexpr DWORD kPatienceMs = 120000;

// The text of a window of the dialog's process; a hung process does not hold the driver.
std::string remoteText(HWND w) {
  wchar_t text[512] = L"";
  SendMessageTimeoutW(w, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                      kPatienceMs, nullptr);
  return narrow(text);
}

// Waits until `ready` holds (true), or for kPatienceMs (false).
template <class Ready>
bool waitFor(Ready ready) {
  const ULONGLONG end = GetTickCount64() + kPatienceMs;
  while (!ready()) {
    if (GetTickCount64() >= end) return false;
    Sleep(kStepMs);
  }
  return true;
}

// Gives up: says why and ends the dialog's process, which would otherwise stay open.
int giveUp(DWORD pid, const std::string& why) {
  std::printf("%s; ending the dialog\n", why.c_str());
  std::fflush(stdout);
  if (const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid)) {
    TerminateProcess(process, 3);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
  }
  return 1;
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

// The index of `entry` in a list, or CB_ERR.
LRESULT findEntry(HWND list, const std::string& entry) {
  const std::wstring text = widen(entry);
  return SendMessageW(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                      reinterpret_cast<LPARAM>(text.c_str()));
}

// Chooses COM n; what went wrong, or nothing.
std::string choosePort(HWND dialog, unsigned n) {
  const HWND radio = GetDlgItem(dialog, ids::Com1 + static_cast<int>(n) - 1);
  if (n <= 4 && radio && IsWindowVisible(radio)) {
    click(radio);
    return "";
  }
  const HWND list = GetDlgItem(dialog, ids::PortList);
  // The list takes the focus first; the dialog drops its "SelectCom" entry then (a moment later
  // when the focus came while it was showing its controls), which moves the entries up: the port
  // is looked up once that has happened.
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(ids::PortList, CBN_SETFOCUS),
               reinterpret_cast<LPARAM>(list));
  const std::string entry = "Com " + std::to_string(n);
  if (!waitFor([&] { return findEntry(list, "SelectCom") == CB_ERR; }))
    return "the port list keeps \"SelectCom\" for " + std::to_string(kPatienceMs / 1000) + " s";
  const LRESULT index = findEntry(list, entry);
  if (index == CB_ERR) return "no entry \"" + entry + "\" in the port list";
  SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(ids::PortList, CBN_SELENDOK),
               reinterpret_cast<LPARAM>(list));
  return "";
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
  // The dialog is shown once its start-up (the port probe) is over.
  auto started = [&] {
    dialog = FindWindowW(nullptr, title.c_str());
    return dialog && IsWindowVisible(dialog);
  };
  if (!waitFor(started)) {
    std::printf("no dialog within %lu s\n", kPatienceMs / 1000);
    return 1;  // nothing of the dialog to end; the caller ends its process
  }
  DWORD pid = 0;
  GetWindowThreadProcessId(dialog, &pid);
  auto enabled = [&](int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; };

  const std::string within = " within " + std::to_string(kPatienceMs / 1000) + " s";
  if (const std::string failed = choosePort(dialog, port); !failed.empty())
    return giveUp(pid, failed);
  if (!waitFor([&] { return enabled(ids::Connect); }))
    return giveUp(pid, "Connect not enabled" + within);
  click(GetDlgItem(dialog, ids::Connect));
  if (!waitFor([&] { return enabled(ids::Update) || findBox(pid, dialog); }))
    return giveUp(pid, "Update not enabled" + within);
  if (const HWND box = findBox(pid, dialog); box && !enabled(ids::Update)) {
    BoxParts parts;
    EnumChildWindows(box, boxChild, reinterpret_cast<LPARAM>(&parts));
    return giveUp(pid, "Connect showed the box " + remoteText(box) + ": " + parts.text);
  }
  std::printf("device: %s\n", remoteText(GetDlgItem(dialog, ids::DeviceField)).c_str());
  click(GetDlgItem(dialog, ids::Update));

  // Every box in turn: OK, and No to another module, until the dialog has ended.
  while (waitFor([&] { return !IsWindow(dialog) || findBox(pid, dialog); })) {
    if (!IsWindow(dialog)) return 0;
    const HWND box = findBox(pid, dialog);
    BoxParts parts;
    EnumChildWindows(box, boxChild, reinterpret_cast<LPARAM>(&parts));
    std::printf("box %s: %s\n", remoteText(box).c_str(), parts.text.c_str());
    std::fflush(stdout);
    HWND answer = parts.buttons.empty() ? nullptr : parts.buttons.front();
    for (HWND b : parts.buttons)
      if (GetDlgCtrlID(b) == IDNO) answer = b;
    if (!answer) return giveUp(pid, "a box without buttons");
    click(answer);
    if (!waitFor([&] { return !IsWindow(box); })) return giveUp(pid, "the box not closed" + within);
  }
  return giveUp(pid, "neither a box nor the end of the dialog" + within);
}
