// Texts between the core (UTF-8) and the Win32 wide-character calls.
#pragma once

#include <string>
#include <string_view>

namespace qdqm::wingui {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view wide);

}  // namespace qdqm::wingui
