// Where the update sets (the type directories such as QD21S_1\ and QM41B_\) are looked for: a
// folder given (--data-dir, QDQM_DATA_DIR, the dialog's choice) wins; else the program's own folder
// when it holds type directories (a portable copy, the layout of the original tool); else the
// user's data folder; else the system's.
#pragma once

#include <string>

#include "app/update_dialog.h"

namespace qdqm {

struct UpdateFolderPlaces {
  std::string given;        // --data-dir, or the dialog's remembered choice; empty for none
  std::string environment;  // $QDQM_DATA_DIR
  std::string programDir;   // the executable's own folder
  std::string userDir;      // $XDG_DATA_HOME/qdqm-update (Windows: %LOCALAPPDATA%\qdqm-update)
  std::string systemDir;    // /usr/share/qdqm-update; none on Windows
};

// The places of this process: its environment and its program folder, with `given`.
UpdateFolderPlaces updateFolderPlaces(const std::string& programDir, const std::string& given);
// The user's data folder from $XDG_DATA_HOME, else $HOME/.local/share (an unset, empty or relative
// value does not count), or on Windows from %LOCALAPPDATA%; empty when none is usable.
std::string userDataFolder(const char* xdgDataHome, const char* home);
// The folder the type directories are looked for in. A folder given is taken as it is (also when
// it does not exist: the user then learns that it holds nothing). Of the others the first that
// exists counts; when none does, the user's data folder is named, where updates would go.
std::string chooseUpdateFolder(const UpdateFolderPlaces& places);
// Whether `dir` holds a type directory: a folder named by a module type (QD, QM, PS or PN, three
// more characters, "_" and a revision suffix of at most two characters), in any case.
bool holdsTypeDirectories(const std::string& dir);
// Determines the program folder, then makes the update folder the one Connect lists from.
void useUpdateFolder(UpdateDialog& dlg, const std::string& given);

// The dialog's context menu: the folder in use, and the entry that chooses another.
std::string updateFolderMenuText(const UpdateDialog& dlg);
inline constexpr const char* kChooseFolderMenuText = "Choose update &folder...";
// The dialog's choice of another update folder: used from now on (the view remembers it between
// runs); what Connect listed from the old one is forgotten, the next Connect lists from the new.
void changeUpdateFolder(UpdateDialog& dlg, const std::string& folder);
// A remembered choice counts while its folder is there (a USB stick may be gone): else none.
std::string rememberedUpdateFolder(const std::string& remembered);

}  // namespace qdqm
