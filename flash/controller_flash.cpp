#include "flash/controller_flash.h"

#include <span>
#include <vector>

#include "app/catalogue.h"
#include "common/boot_loader.h"
#include "common/controller_file.h"
#include "common/helpers.h"
#include "common/hex_record.h"
#include "common/progress.h"
#include "link/controller.h"

namespace qdqm {

namespace {

constexpr const char* kWrongRevisionText =
    "Data file %s is not for this hardware revision !\nError Code: 43";
constexpr const char* kWaitStatus = "wait for programming flash...";
constexpr uint32_t kRecordT = 1000;
constexpr uint32_t kBeforeProgrammingMs = 250;
constexpr size_t kRawReplyLength = 1;
// The record protocol echoes the record, then sends its result and two further bytes.
constexpr size_t kRecordReplyExtra = 3;
constexpr size_t kSlack = 4;

std::span<const uint8_t> bytesOf(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Sends one record and tests its result character: in the raw protocol the single reply byte, in
// the record protocol the byte behind the echoed record. 1 when accepted.
int sendRecord(UpdateDialog& dlg, std::string_view wire, size_t recordLength, size_t replyLength) {
  std::vector<uint8_t> reply(replyLength + kSlack);
  dlg.port.moduleChanged = true;
  if (!exchangeCommand(dlg.port, wire, reply, replyLength, kRecordT)) {
    dlg.showError(kRecordTimeoutText);
    return 0;
  }
  const uint8_t result = reply[isRecordProtocol(dlg.port) ? recordLength : 0];
  if (result == kAckChar) return 1;
  showProgrammingError(dlg, result);
  return 0;
}

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
  if (!sendWriteApplChecksum(dlg) || !sendResetCommand(dlg)) return Outcome::Failed;
  return Outcome::Done;
}

std::string currentEntry(const UpdateDialog& dlg) {
  const Control& list = dlg.control(ids::VersionList);
  if (list.selection < 0 || list.selection >= static_cast<int>(list.items.size())) return {};
  return list.items[static_cast<size_t>(list.selection)];
}

}  // namespace

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

}  // namespace qdqm
