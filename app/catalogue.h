// The update file catalogue: type directories below the program directory, the version list and
// the revision suffix that picks a type directory per hardware revision. The working directory is
// kept in dlg.workingDir (the process's own is never changed); relative names resolve against it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/update_dialog.h"

namespace qdqm {

// Directory-list filters of the drop-down list operation.
constexpr unsigned kListFiles = 0;
constexpr unsigned kListExclusiveNoAttributes = 0x8000;

// Full path of the running executable without its last separator and file name.
std::string programDirOf(std::string_view exePath);
void determineProgramDir(UpdateDialog& dlg);
void enterProgramDir(UpdateDialog& dlg);
// Makes the directory named by dirSpec (relative to the program directory) the working
// directory; 1 when it exists.
int enterTypeDir(UpdateDialog& dlg, std::string_view dirSpec);

// Resolves a name given with "\" or "/" separators against base. Each part that does not exist
// with its exact case is matched case-insensitively in its directory. Empty when nothing matches.
std::string resolvePath(const std::string& base, std::string_view name);
// Opens relative names against the working directory.
std::string resolveInWorkingDir(const UpdateDialog& dlg, std::string_view name);

// Whether dirSpec names a type directory right below the program directory: ".\" and a name of
// printable characters without separators, "." or "..". The name is built from what the module
// reports; a damaged reply (a hardware byte 0xFF gives "/") must not lead into another folder.
bool isTypeDirSpec(std::string_view dirSpec);
// Lists the directory named by dirSpec into the drop-down: 1 when it exists (it then becomes the
// working directory), 0 otherwise. Files carry no DOS attributes here, so the exclusive filter
// without attributes lists nothing.
int listDirectory(UpdateDialog& dlg, std::string_view dirSpec, int listId, unsigned filter);
// Copies the selected entry (at most 260 characters); 0 when nothing is selected.
int readListSelection(const Control& list, std::string& out);

// Descending, case-insensitive bubble sort of the version list entries.
void sortVersionsDescending(std::vector<std::string>& names);

enum class SuffixOutcome { Ok, NoHardwareInfo, NoBootLoaderVersion };
// The revision suffix of a module type, queried from the module where its type needs one.
SuffixOutcome revisionSuffix(SerialPort& port, std::string_view type, std::string& suffix,
                             std::string& hwRevisionText);
// The error text of a failed suffix query.
const char* suffixFailureText(SuffixOutcome outcome);

enum class ListOutcome { Listed, NoDirectory, Empty };
// Builds typeDirSpec from type and suffix, lists it and selects the highest version.
ListOutcome fillVersionList(UpdateDialog& dlg, std::string_view type, std::string_view suffix);
inline constexpr const char* kNoUpdateText = "No update available !\nError Code: 30";

void resetVersionList(UpdateDialog& dlg);
void resetSlotRow(UpdateDialog& dlg, int slotIndex, bool full);

}  // namespace qdqm
