// What the dialog remembers between runs, with QSettings (on Linux the file
// ~/.config/qdqm-update/qdqm-update.conf): the update folder the user chose.
#pragma once

#include <string>

namespace qdqm::gui {

// The folder chosen last, empty when none was.
std::string rememberedFolder();
void rememberFolder(const std::string& folder);

}  // namespace qdqm::gui
