#include "update/controller_flash.h"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "app/catalogue.h"
#include "link/controller.h"
#include "link/slot_commands.h"
#include "update/data_file.h"
#include "update/helpers.h"
#include "update/hex_record.h"

namespace qdqm {

namespace {

constexpr const char* kVersionCaption = "Version conflict";
constexpr const char* kOlderQuestion =
    "The selected software version is older\nthan the one already programmed to the controller "
    "flash.\n Do you whish to overwrite the newer version ?";
constexpr const char* kSameQuestion =
    "This software version is already\nprogrammed to the controller flash.\nDo you want to "
    "overwrite it ?";

constexpr const char* kWrongRevisionText =
    "Data file %s is not for this hardware revision !\nError Code: 43";
constexpr const char* kCorruptText = "Data file %s is corrupt in line %u !\nError Code: 44";

constexpr const char* kNoResetText = "Could not send Reset to controller !\nError Code: 60";

constexpr const char* kWaitStatus = "wait for programming flash...";
constexpr const char* kErasingStatus = "erasing controller flash...";

// Header lines: the type line is read with room for 98 characters, the FPGA and MPEG lines with
// room for 259, the line end included; a longer header line is read in pieces.
constexpr size_t kTypeLineRoom = 98;
constexpr size_t kPathLineRoom = 259;
constexpr size_t kTypeLength = 5;

constexpr uint32_t kRecordT = 1000;
constexpr uint32_t kClosingT = 500;
constexpr uint32_t kBeforeProgrammingMs = 250;
constexpr size_t kRawReplyLength = 1;
// The record protocol echoes the record, then sends its result and two further bytes.
constexpr size_t kRecordReplyExtra = 3;
constexpr size_t kSlack = 4;

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

std::span<const uint8_t> bytesOf(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Sends one record and tests its result character: in the raw protocol the single reply byte, in
// the record protocol the byte behind the echoed record. 1 when accepted. Bytes already waiting
// (behind the last reply, or noise) are read away first: they are no answer to this record.
int sendRecord(UpdateDialog& dlg, std::string_view wire, size_t recordLength, size_t replyLength) {
  std::vector<uint8_t> reply(replyLength + kSlack);
  const bool record = isRecordProtocol(dlg.port);
  discardInput(dlg.port);
  dlg.port.moduleChanged = true;
  const int answered = record ? exchangeEchoed(dlg.port, wire, reply, replyLength, kRecordT)
                              : exchange(dlg.port, wire, reply, replyLength, kRecordT);
  if (!answered) {
    dlg.showError(kRecordTimeoutText);
    return 0;
  }
  const uint8_t result = reply[record ? recordLength : 0];
  if (result == kAckChar) return 1;
  showProgrammingError(dlg, result);
  return 0;
}

int sendClosingCommand(UpdateDialog& dlg, const ClosingCommand& c) {
  std::array<uint8_t, 32> reply{};
  discardInput(dlg.port);
  const int ok = exchangeEchoed(dlg.port, c.frame, reply, c.replyLength, kClosingT);
  if (!ok) dlg.showError(c.failText);
  discardInput(dlg.port);
  return ok;
}

}  // namespace

bool recordsAreWhole(UpdateDialog& dlg, DataFile& file, const std::string& fileName) {
  const DataFile::Mark start = file.mark();
  std::string line;
  RecordImage image;
  bool whole = true;
  for (;;) {
    const unsigned number = file.lineNumber();
    if (!file.readLine(line)) {
      dlg.showError(formatMessage(kUnexpectedEndText, fileName.c_str()));
      whole = false;
      break;
    }
    const std::string record = withoutLineEnd(line);
    // The end line counts by its first 11 characters; nothing behind it is read.
    if (isEndRecord(record)) break;
    // A record that rewrites another's bytes is named: it is the one that would spoil them.
    if (!isWellFormedRecord(record) || !image.take(record)) {
      dlg.showError(formatMessage(kCorruptText, fileName.c_str(), number));
      whole = false;
      break;
    }
  }
  file.seek(start);
  return whole;
}

bool readTypeLine(UpdateDialog& dlg, DataFile& file, const std::string& fileName,
                  const std::string& moduleType) {
  std::string typeLine;
  if (!file.readPiece(typeLine, kTypeLineRoom)) {
    dlg.showError(formatMessage(kUnexpectedEndText, fileName.c_str()));
    return false;
  }
  if (typeLine.size() < kTypeLength || moduleType.size() < kTypeLength ||
      typeLine.compare(0, kTypeLength, moduleType, 0, kTypeLength) != 0) {
    dlg.showError(kWrongTypeText);
    return false;
  }
  return true;
}

bool readPathLine(UpdateDialog& dlg, DataFile& file, const std::string& fileName,
                  std::string& line) {
  if (file.readPiece(line, kPathLineRoom)) return true;
  dlg.showError(formatMessage(kUnexpectedEndText, fileName.c_str()));
  return false;
}

namespace {

// The records up to the end record, then the closing commands.
Outcome transferRecords(UpdateDialog& dlg, DataFile& file) {
  // The bar follows the file position.
  const PercentScale scale(file.length());
  Control& progress = dlg.control(ids::Progress);
  const bool record = isRecordProtocol(dlg.port);
  std::string line;
  for (;;) {
    if (!file.readLine(line)) {
      dlg.showError(formatMessage(kUnexpectedEndText, dlg.selectedFile.c_str()));
      return Outcome::Failed;
    }
    moveProgress(dlg, progress, scale.of(file.position()));
    const std::string text = withoutLineEnd(line);
    if (hasRecordType(text, "05")) continue;
    if (isEndRecord(text)) break;
    if (!record) {
      if (!sendRecord(dlg, line, text.size(), kRawReplyLength)) return Outcome::Failed;
      continue;
    }
    const std::vector<std::string> pieces = packIntoBlocks(text);
    if (pieces.size() == 1) {
      if (!sendRecord(dlg, line, text.size(), line.size() + kRecordReplyExtra))
        return Outcome::Failed;
      continue;
    }
    for (const std::string& piece : pieces)
      if (!sendRecord(dlg, piece, piece.size(), piece.size() + kRecordReplyExtra))
        return Outcome::Failed;
  }

  if (!record) {
    // The raw boot loader ends programming on the end record itself and answers nothing.
    dlg.port.moduleChanged = true;
    if (!writeBytes(dlg.port, bytesOf(line).data(), line.size())) {
      dlg.showError(kNoEofText);
      return Outcome::Failed;
    }
    discardInput(dlg.port);
    return Outcome::Done;
  }
  if (!sendClosingCommand(dlg, kWriteApplChecksum) || !sendClosingCommand(dlg, kReset))
    return Outcome::Failed;
  return Outcome::Done;
}

std::string currentEntry(const UpdateDialog& dlg) {
  const Control& list = dlg.control(ids::VersionList);
  if (list.selection < 0 || list.selection >= static_cast<int>(list.items.size())) return {};
  return list.items[static_cast<size_t>(list.selection)];
}

}  // namespace

void showStatus(UpdateDialog& dlg, const char* text) {
  dlg.statusText = text;
  dlg.control(ids::StatusLine).visible = true;
  dlg.updateData();
}

bool confirmVersion(UpdateDialog& dlg, unsigned installed, unsigned selected) {
  if (installed > selected && !dlg.host.ask(kVersionCaption, kOlderQuestion, Icon::Exclamation))
    return false;
  return installed != selected || dlg.host.ask(kVersionCaption, kSameQuestion, Icon::Exclamation);
}

int sendResetCommand(UpdateDialog& dlg) {
  return sendClosingCommand(dlg, kReset);
}

ControllerStageResult programControllerStage(UpdateDialog& dlg, const CoprocessorFileCheck& check) {
  ControllerStageResult result;
  dlg.control(ids::Progress).position = 0;
  dlg.statusText = kProgrammingStatus;
  dlg.control(ids::StatusLine).visible = true;
  for (int id : {ids::Exit, ids::Update, ids::VersionList}) dlg.control(id).enabled = false;
  dlg.updateData();

  const unsigned installed = versionNumber(dlg.deviceText);
  const unsigned selected = versionNumber(currentEntry(dlg));
  if (selected != 0) {
    if (!confirmVersion(dlg, installed, selected)) return result;
  }

  DataFile file;
  if (!file.open(resolveInWorkingDir(dlg, dlg.selectedFile))) {
    dlg.showError(formatMessage(kCannotOpenText, dlg.selectedFile.c_str()));
    return result;
  }
  const std::string& name = dlg.selectedFile;
  if (!readTypeLine(dlg, file, name, dlg.typeText) ||
      !readPathLine(dlg, file, name, result.fpgaLine))
    return result;
  if (dlg.deviceText.starts_with("QD09") &&
      (dlg.hwRevisionText.empty() || result.fpgaLine[0] != dlg.hwRevisionText[0])) {
    dlg.showError(formatMessage(kWrongRevisionText, name.c_str()));
    return result;
  }
  if (!readPathLine(dlg, file, name, result.mpegLine)) return result;
  if (check) {
    if (const std::string missing = check(result.fpgaLine, result.mpegLine); !missing.empty()) {
      dlg.showError(formatMessage(kCannotOpenText, missing.c_str()));
      return result;
    }
  }
  result.selected = selected;
  if (selected == 0) {
    result.outcome = Outcome::Done;
    return result;
  }

  if (!recordsAreWhole(dlg, file, dlg.selectedFile)) return result;
  if (!eraseController(dlg, 0)) {
    dlg.showError(kEraseFailedText);
    return result;
  }
  showStatus(dlg, kWaitStatus);
  dlg.clock.sleepMs(kBeforeProgrammingMs);
  showStatus(dlg, kProgrammingStatus);

  result.outcome = transferRecords(dlg, file);
  file.close();
  dlg.updateData();
  dlg.control(ids::Progress).position = 0;
  return result;
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
