// The controller's boot loader as every controller flash meets it (stand-alone or through a slot):
// the erase by the module type, the record protocol's closing commands, and the messages of its
// result codes and failures (codes 50, 60, 61, 101 to 104, 201 to 204).
#pragma once

#include "app/update_dialog.h"

namespace qdqm {

inline constexpr const char* kEraseFailedText = "Could not erase flash !\nError Code: 50";
inline constexpr const char* kNoEofText = "Could not send EOF to controller !\nError Code: 60";
inline constexpr const char* kNoChecksumText =
    "Could not send WriteApplChecksum to controller !\nError Code: 60";
inline constexpr const char* kRecordTimeoutText =
    "Time out while controller flash programming !\nError Code: 61";
inline constexpr const char* kProgrammingStatus = "programming controller flash...";

// 1 when the controller's flash is erased, else 0 after the boot loader's result-code message: the
// stand-alone module's, or in a base-unit run the module's in slot index `slotIndex`.
int eraseController(UpdateDialog& dlg, int slotIndex);

// The record protocol's `WriteApplChecksum` and `Reset`; 1 when the controller answered, else 0
// after the command's message.
int sendWriteApplChecksum(UpdateDialog& dlg);
int sendResetCommand(UpdateDialog& dlg);

// The messages for the boot loader's result codes after a record and after an erase.
void showProgrammingError(UpdateDialog& dlg, int code);
void showEraseError(UpdateDialog& dlg, int code);

}  // namespace qdqm
