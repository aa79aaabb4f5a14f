// The About box: the program's name and version, closed with OK or Esc.
#pragma once

#include <windows.h>

namespace qdqm::wingui {

// Modal over `owner`; the icon comes from `instance`.
void showAboutBox(HINSTANCE instance, HWND owner);

}  // namespace qdqm::wingui
