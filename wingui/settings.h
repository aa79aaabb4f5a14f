// What the dialog remembers between runs, in the user's registry hive
// (HKEY_CURRENT_USER\Software\qdqm-update): the update folder the user chose.
#pragma once

#include <windows.h>

#include <string>

namespace qdqm::wingui {

// The folder chosen last, empty when none was.
std::string rememberedFolder();
void rememberFolder(const std::string& folder);
// The system's folder chooser, starting at `current`; empty when the user cancelled.
std::string askForFolder(HWND owner, const std::string& current);

}  // namespace qdqm::wingui
