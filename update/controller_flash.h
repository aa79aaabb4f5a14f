// The controller flash stage of an update run: version questions, header checks, a check of the
// whole data file, the erase by the module type's erase table, the record transfer through the
// boot loader (one record per exchange, acknowledged by "."), and the closing commands.
#pragma once

#include <functional>
#include <string>

#include "app/update_dialog.h"
#include "update/data_file.h"
#include "update/driver.h"

namespace qdqm {

struct ControllerStageResult {
  Outcome outcome = Outcome::Abort;
  // Version number of the chosen file; non-zero exactly when the controller was erased and is
  // now restarting.
  unsigned selected = 0;
  std::string fpgaLine, mpegLine;  // header lines 2 and 3, line end included
};

// Given the header's FPGA and MPEG lines, names a coprocessor file the run will need that cannot be
// read; empty when all can.
using CoprocessorFileCheck =
    std::function<std::string(const std::string& fpgaLine, const std::string& mpegLine)>;

// The check runs once the header is read, before anything is erased: a run that could not finish
// its coprocessors never starts on the controller.
ControllerStageResult programControllerStage(UpdateDialog& dlg,
                                             const CoprocessorFileCheck& check = {});

// The record protocol's `Reset`; 1 when the controller echoed it, else 0 after its message.
int sendResetCommand(UpdateDialog& dlg);

// 1 when the controller's flash is erased, else 0 after the boot loader's result-code message: the
// stand-alone module's, or in a base-unit run the module's in slot index `slotIndex`.
int eraseController(UpdateDialog& dlg, int slotIndex);

// The version questions when the chosen version is older than or the same as the installed one;
// false when the user declined.
bool confirmVersion(UpdateDialog& dlg, unsigned installed, unsigned selected);

// Reads every record line up to the end record before anything is erased, so that a damaged or
// truncated file, or one whose records write two values to one address, never leaves a module
// half-programmed; false after the message (codes 41, 44).
// Leaves the file where it was.
bool recordsAreWhole(UpdateDialog& dlg, DataFile& file, const std::string& fileName);

// The data file's header lines. The type line (read with room for 98 characters) must begin with
// the module's 5-character type; the FPGA and MPEG lines are read with room for 259, line end
// included. False after the message (41: the file ended, 42: another module's file).
bool readTypeLine(UpdateDialog& dlg, DataFile& file, const std::string& fileName,
                  const std::string& moduleType);
bool readPathLine(UpdateDialog& dlg, DataFile& file, const std::string& fileName,
                  std::string& line);

// Messages of the controller flash, shared with the flash through a base unit's slot.
inline constexpr const char* kCannotOpenText = "Could not open data file %s !\nError Code: 40";
inline constexpr const char* kUnexpectedEndText =
    "Unexpected end of data file %s !\nError Code: 41";
inline constexpr const char* kWrongTypeText =
    "Data file not for this module type !\nError Code: 42";
inline constexpr const char* kEraseFailedText = "Could not erase flash !\nError Code: 50";
inline constexpr const char* kNoEofText = "Could not send EOF to controller !\nError Code: 60";
inline constexpr const char* kNoChecksumText =
    "Could not send WriteApplChecksum to controller !\nError Code: 60";
inline constexpr const char* kRecordTimeoutText =
    "Time out while controller flash programming !\nError Code: 61";
inline constexpr const char* kProgrammingStatus = "programming controller flash...";

// Shows `text` in the status line and writes the controls.
void showStatus(UpdateDialog& dlg, const char* text);

// The messages for the boot loader's result codes after a record and after an erase.
void showProgrammingError(UpdateDialog& dlg, int code);
void showEraseError(UpdateDialog& dlg, int code);

}  // namespace qdqm
