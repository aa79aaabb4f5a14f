#include "wingui/run_dialog.h"

#include <windows.h>

#include <iostream>
#include <string>

#include "app/service_record.h"
#include "app/update_dialog.h"
#include "link/clock.h"
#include "link/platform_port.h"
#include "procedures/procedures.h"
#include "wingui/dialog_window.h"
#include "wingui/wide.h"
#include "wingui/win32_host.h"

namespace qdqm::wingui {

int runDialog() {
  // The program is a console program for its terminal commands. Started from the desktop it has
  // a console of its own, which the dialog does not need; a console it shares with the shell
  // that started it stays.
  DWORD processes[2];
  const bool ownConsole = GetConsoleProcessList(processes, 2) == 1;
  if (ownConsole) FreeConsole();

  SteadyClock clock;
  PlatformPortOpener opener;
  Win32Host host;
  UpdateDialog dialog(opener, clock, host, windowProcedures());
  dialog.historyPath = defaultHistoryPath();
  DialogWindow window(dialog, host, GetModuleHandleW(nullptr));
  host.attach(&window);
  const bool opened = window.runModal();
  const DWORD error = GetLastError();
  host.attach(nullptr);
  if (opened) return 0;
  // No window system to show it on (a service session, wine without a display).
  const std::string text = "The dialog could not be opened (error " + std::to_string(error) + ").";
  if (!ownConsole) std::cerr << "qdqm-update: " << text << "\n";
  MessageBoxW(nullptr, widen(text).c_str(), widen(host.programName).c_str(), MB_OK | MB_ICONSTOP);
  return 1;
}

}  // namespace qdqm::wingui
