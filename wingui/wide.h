// Texts between the core (UTF-8) and the Win32 wide-character calls.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace qdqm::wingui {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view wide);
// The text of a window of this process (a control, a box), in UTF-8.
std::string windowText(HWND w);

}  // namespace qdqm::wingui
