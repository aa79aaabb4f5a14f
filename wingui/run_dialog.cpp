#include "wingui/run_dialog.h"

#include <windows.h>

#include "app/update_dialog.h"
#include "link/clock.h"
#include "link/platform_port.h"
#include "wingui/dialog_window.h"
#include "wingui/win32_host.h"

namespace qdqm::wingui {

int runDialog() {
  // The program is a console program for its terminal commands. Started from the desktop it has
  // a console of its own, which the dialog does not need; a console it shares with the shell
  // that started it stays.
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) == 1) FreeConsole();

  SteadyClock clock;
  PlatformPortOpener opener;
  Win32Host host;
  UpdateDialog dialog(opener, clock, host);
  DialogWindow window(dialog, host, GetModuleHandleW(nullptr));
  host.attach(&window);
  window.runModal();
  host.attach(nullptr);
  return 0;
}

}  // namespace qdqm::wingui
