#include "common/boot_loader.h"

#include <algorithm>
#include <array>

#include "common/progress.h"
#include "link/controller.h"
#include "link/slot_commands.h"

namespace qdqm {

namespace {

constexpr const char* kNoResetText = "Could not send Reset to controller !\nError Code: 60";

constexpr const char* kErasingStatus = "erasing controller flash...";

constexpr uint32_t kClosingT = 500;

// The record protocol's closing commands, byte for byte.
struct ClosingCommand {
  std::string_view frame;
  size_t replyLength;
  const char* failText;
};
constexpr ClosingCommand kWriteApplChecksum{":0200000280007c\r\n", 18, kNoChecksumText};
constexpr ClosingCommand kReset{":00000008f8\r\n", 12, kNoResetText};

// The erase table: the prefix of deviceText picks the erase command.
enum class EraseKind { QM4x, Flash, QD01, QD09 };
struct EraseRow {
  std::string_view prefix;
  EraseKind kind;
};
constexpr std::array<EraseRow, 19> kEraseTable{{
    {"QM4", EraseKind::QM4x},    {"PS17", EraseKind::Flash},  {"PS16", EraseKind::Flash},
    {"QD61D", EraseKind::Flash}, {"QD7", EraseKind::Flash},   {"QD21", EraseKind::Flash},
    {"QM2", EraseKind::Flash},   {"QD29", EraseKind::Flash},  {"QD2x", EraseKind::Flash},
    {"QM65A", EraseKind::Flash}, {"QM65x", EraseKind::Flash}, {"QD22", EraseKind::Flash},
    {"QD24", EraseKind::Flash},  {"QD20", EraseKind::Flash},  {"QD43B", EraseKind::Flash},
    {"PS9x", EraseKind::Flash},  {"PN13", EraseKind::Flash},  {"QD01", EraseKind::QD01},
    {"QD09", EraseKind::QD09},
}};

// Result code messages of the boot loader, after a record and after an erase.
struct CodeText {
  char code;
  const char* programming;
  const char* erasing;
};
constexpr std::array<CodeText, 3> kResultCodes{{
    {'C', "Programming checksum error !\nError Code: 201",
     "Erasing checksum error !\nError Code: 101"},
    {'P', "Could not programm byte to flash !\nError Code: 202",
     "Could not erase block in flash !\n Error Code: 102"},
    {'A', "Programming address error !\n Error Code: 203",
     "Erasing address error !\nError Code: 103"},
}};
constexpr const char* kUnknownProgrammingText = "Unknown return code !\n Error Code: 204";
constexpr const char* kUnknownEraseText = "Unknown return code !\nError Code: 104";

const CodeText* findCode(int code) {
  const auto it = std::find_if(kResultCodes.begin(), kResultCodes.end(),
                               [code](const CodeText& c) { return c.code == code; });
  return it == kResultCodes.end() ? nullptr : &*it;
}

int sendClosingCommand(UpdateDialog& dlg, const ClosingCommand& c) {
  std::array<uint8_t, 32> reply{};
  const int ok = exchangeCommand(dlg.port, c.frame, reply, c.replyLength, kClosingT);
  if (!ok) dlg.showError(c.failText);
  discardInput(dlg.port);
  return ok;
}

}  // namespace

int sendWriteApplChecksum(UpdateDialog& dlg) {
  return sendClosingCommand(dlg, kWriteApplChecksum);
}

int sendResetCommand(UpdateDialog& dlg) {
  return sendClosingCommand(dlg, kReset);
}

int eraseController(UpdateDialog& dlg, int slotIndex) {
  showStatus(dlg, kErasingStatus);
  SerialPort& port = dlg.port;
  if (dlg.control(ids::BaseUnit).checked) {
    if (slotIndex < 0 || slotIndex > 8) return 0;
    const SlotEntry& slot = dlg.slots[static_cast<size_t>(slotIndex)];
    const int code = slotEraseFlash(port, static_cast<uint8_t>(slotIndex + 1), slot.typeCode,
                                    slot.recordProtocol);
    if (code == 1) return 1;
    showEraseError(dlg, code);
    return 0;
  }
  uint8_t version[2]{};
  if (!readSoftwareVersion(port, version)) return 0;
  int code = 0;
  for (const EraseRow& row : kEraseTable) {
    if (!dlg.deviceText.starts_with(row.prefix)) continue;
    switch (row.kind) {
      case EraseKind::QM4x:
        code = eraseFlashQM4x(port);
        break;
      case EraseKind::Flash:
        code = eraseFlash(port);
        break;
      case EraseKind::QD01: {
        uint8_t boot[2]{};
        if (!readBootLoaderVersion(port, boot)) return 0;
        code = boot[0] == 2 ? eraseFlash(port) : eraseFlashQD09(port);
        break;
      }
      case EraseKind::QD09:
        code = eraseFlashQD09(port);
        break;
    }
  }
  if (code == 1) return 1;
  showEraseError(dlg, code);
  return 0;
}

void showProgrammingError(UpdateDialog& dlg, int code) {
  const CodeText* c = findCode(code);
  dlg.showError(c ? c->programming : kUnknownProgrammingText);
}

void showEraseError(UpdateDialog& dlg, int code) {
  const CodeText* c = findCode(code);
  dlg.showError(c ? c->erasing : kUnknownEraseText);
}

}  // namespace qdqm
