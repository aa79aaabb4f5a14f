// The controller data file as every controller flash reads it (stand-alone or through a slot):
// the version questions, the header lines, and the check of every record before anything is
// erased, with the data file's messages (codes 40 to 44).
#pragma once

#include <string>

#include "app/update_dialog.h"
#include "common/data_file.h"

namespace qdqm {

inline constexpr const char* kCannotOpenText = "Could not open data file %s !\nError Code: 40";
inline constexpr const char* kUnexpectedEndText =
    "Unexpected end of data file %s !\nError Code: 41";
inline constexpr const char* kWrongTypeText =
    "Data file not for this module type !\nError Code: 42";

// The version questions when the chosen version is older than or the same as the installed one;
// false when the user declined.
bool confirmVersion(UpdateDialog& dlg, unsigned installed, unsigned selected);

// The data file's header lines. The type line (read with room for 98 characters) must begin with
// the module's 5-character type; the FPGA and MPEG lines are read with room for 259, line end
// included. False after the message (41: the file ended, 42: another module's file).
bool readTypeLine(UpdateDialog& dlg, DataFile& file, const std::string& fileName,
                  const std::string& moduleType);
bool readPathLine(UpdateDialog& dlg, DataFile& file, const std::string& fileName,
                  std::string& line);
// A coprocessor line of the data file names a file only when it holds more than 3 characters,
// its line end included.
bool namesFile(const std::string& line);

// Reads every record line up to the end record before anything is erased, so that a damaged or
// truncated file, or one whose records write two values to one address, never leaves a module
// half-programmed; false after the message (codes 41, 44). Leaves the file where it was.
bool recordsAreWhole(UpdateDialog& dlg, DataFile& file, const std::string& fileName);

}  // namespace qdqm
