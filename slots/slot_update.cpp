#include "slots/slot_update.h"

#include <algorithm>
#include <array>
#include <vector>

#include "app/catalogue.h"
#include "coproc/image_file.h"
#include "coproc/stage_common.h"
#include "link/base_unit.h"
#include "slots/slot_commands.h"
#include "slots/type_codes.h"
#include "slots/version_query.h"
#include "update/controller_flash.h"
#include "update/data_file.h"
#include "update/helpers.h"
#include "update/hex_record.h"

namespace qdqm {
namespace {

constexpr size_t kTypeLineRoom = 98;
constexpr size_t kPathLineRoom = 259;
constexpr size_t kTypeLength = 5;
// A line of 3 characters or fewer, its line end included, names no file.
constexpr size_t kNoFileLength = 3;
constexpr uint32_t kRecordMs = 2000;
constexpr uint32_t kBootSettleMs = 5000;
constexpr uint32_t kShortPauseMs = 5;
constexpr uint32_t kSyncMs = 100;
constexpr uint32_t kBlockMs = 2000;
constexpr uint32_t kPollStepMs = 200;
constexpr int kPollAttempts = 3;
constexpr int kSteps = 100;
constexpr uint32_t kDoneMs = 500;
constexpr uint32_t kHeaderSettleMs = 2000;
constexpr size_t kImageHeader = 20;
constexpr uint8_t kAck = '.';

// The three coprocessor stages through a slot; the first whose prefix fits the module's name runs.
using VersionTest = int (*)(std::string_view versionBlock, std::string_view fileName);
struct SlotStage {
  std::array<std::string_view, 2> prefixes;
  uint8_t queryCode;  // the version query's type code for a module found with code 0
  uint32_t resetStepMs;
  const char* compareStatus;
  VersionTest versionTest;
  const char* openFailText;
  const char* modeStatus;
  int modeAttempts;
  uint32_t afterModeMs;
  bool imageHeader;  // the file starts with the image header, sent after the payload length
  bool eraseFpga;
  const char* programStatus;
  ImageCrc crc;
  uint32_t crcStart;
  uint32_t blockPauseMs;
  const char* blockError;
  uint32_t crcTimeoutMs;
  const char* checksumError;
};

const SlotStage kSlotStages[] = {
    {{"QM292", "QM20"},
     kQM292Code,
     220,
     "compare mpeg decoder version...",
     blockVersionTest,
     "Could not open data file (MPEG) !!!",
     "set mpeg decoder to update mode...",
     1,
     0,
     true,
     false,
     "programming mpeg decoder flash...",
     ImageCrc::Crc32,
     0xFFFFFFFF,
     0,
     "mpeg decoder returned error during updateprocess  !!!",
     30000,
     "mpeg decoder returned Checksumerror  !!!"},
    {{"QM23", ""},
     kQM23Code,
     220,
     kCompareFpgaStatus,
     notOlderVersionTest,
     "Could not open data file (FPGA) !!!",
     kFpgaModeStatus,
     3,
     0,
     false,
     true,
     kFpgaProgramStatus,
     ImageCrc::Crc16,
     0xFFFF,
     50,
     kFpgaBlockText,
     40000,
     kFpgaChecksumText},
    {{"QM492", "QM40"},
     kQM4xCode,
     120,
     "compare MPEG version...",
     twinVersionTest,
     "Could not open data file (MPEG) !!!",
     "set mpeg decoder to update mode...",
     1,
     1000,
     false,
     false,
     "programming MPEG flash...",
     ImageCrc::Crc16,
     0xFFFF,
     0,
     "MPEG returned error during updateprocess  !!!",
     30000,
     "MPEG returned Checksumerror  !!!"},
};

// The stage for a module's name and its coprocessor line; null when none applies.
const SlotStage* stageFor(const std::string& name, const std::string& line) {
  if (line.empty() || line[0] == ';' || line.size() <= kNoFileLength) return nullptr;
  for (const SlotStage& s : kSlotStages)
    for (std::string_view p : s.prefixes)
      if (!p.empty() && name.starts_with(p)) return &s;
  return nullptr;
}

// What one slot's update works with.
struct SlotRun {
  UpdateDialog& dlg;
  int index;
  uint8_t slot;
  SlotEntry& entry;
  unsigned selected;
  unsigned moduleVersionNumber;
};

// The progress from the data file's position; a file under 100 bytes is scaled directly.
void showFileProgress(UpdateDialog& dlg, const DataFile& file) {
  const long length = file.length();
  const long divisor = length / 100;
  const long position = file.position();
  const long percent =
      divisor > 0 ? position / divisor : (length > 0 ? position * 100 / length : 0);
  Control& progress = dlg.control(ids::Progress);
  if (const int p = static_cast<int>(std::clamp(percent, 0L, 100L)); p != progress.position) {
    progress.position = p;
    dlg.updateData();
  }
}

// One record through the slot: letter T and three reply bytes in the record protocol, letter Q
// and one in the raw protocol; "." in the first reply byte accepts it.
bool sendSlotRecord(SlotRun& r, const std::string& record) {
  std::vector<uint8_t> reply;
  const bool recordProtocol = r.entry.recordProtocol != 0;
  if (!slotExchange(r.dlg.port, recordProtocol ? SlotLetter::T : SlotLetter::Q, r.slot, record,
                    recordProtocol ? 3 : 1, kRecordMs, &reply)) {
    r.dlg.showError(kRecordTimeoutText);
    return false;
  }
  if (reply[0] == kAck) return true;
  showProgrammingError(r.dlg, reply[0]);
  return false;
}

// The end of programming: WriteApplChecksum and Reset in the record protocol, the end record
// itself in the raw protocol.
bool sendSlotEnd(SlotRun& r, const std::string& endRecord) {
  SerialPort& port = r.dlg.port;
  if (r.entry.recordProtocol) {
    std::vector<uint8_t> reply;
    if (!slotExchange(port, SlotLetter::T, r.slot, ":0200000280007c", 3, kRecordMs, &reply) ||
        reply[0] != kAck) {
      r.dlg.showError(kNoChecksumText);
      return false;
    }
    r.dlg.clock.sleepMs(kShortPauseMs);
    slotExchange(port, SlotLetter::T, r.slot, ":00000008f8", 1, kRecordMs);
    return true;
  }
  if (!slotExchange(port, SlotLetter::P, r.slot, endRecord, 0, kRecordMs)) {
    r.dlg.showError(kNoEofText);
    return false;
  }
  return true;
}

// Every line up to the end record, each record sent as read (type 05 included), packed at the
// 64-byte blocks in the record protocol. True when the module took them all.
bool sendSlotRecords(SlotRun& r, DataFile& file) {
  std::string line;
  for (;;) {
    if (!file.readLine(line)) {
      r.dlg.showError(formatMessage(kUnexpectedEndText, r.entry.selectedFile.c_str()));
      return false;
    }
    showFileProgress(r.dlg, file);
    const std::string record = withoutLineEnd(line);
    if (isEndRecord(record)) return sendSlotEnd(r, record);
    const std::vector<std::string> pieces =
        r.entry.recordProtocol ? packIntoBlocks(record) : std::vector<std::string>{record};
    for (const std::string& piece : pieces)
      if (!sendSlotRecord(r, piece)) return false;
  }
}

enum class Flash { Done, Failed, FailedBeforeEnd };

// The controller flash through the slot; FailedBeforeEnd when the module was never put to work
// (wake-up, select, erase), which ends the slot without deselecting it.
Flash flashSlotController(SlotRun& r, DataFile& file) {
  UpdateDialog& dlg = r.dlg;
  showStatus(dlg, "set QM-Module to boot ...");
  if (!slotWakeBootLoader(dlg.port, r.slot, r.entry.typeCode)) {
    dlg.showError("Switch to bootloader failed ... !\nError Code: 26");
    return Flash::FailedBeforeEnd;
  }
  dlg.clock.sleepMs(kBootSettleMs);
  if (r.entry.recordProtocol) {
    slotSyncBytes(dlg.port, r.slot, kSyncMs);
    dlg.clock.sleepMs(kShortPauseMs);
  }
  if (!slotSelectController(dlg.port, r.slot, r.entry.typeCode, r.entry.recordProtocol)) {
    dlg.showError("Connect to bootloader failed ... !\nError Code: 27");
    return Flash::FailedBeforeEnd;
  }
  if (eraseController(dlg, r.index) != 1) {
    dlg.showError(kEraseFailedText);
    return Flash::FailedBeforeEnd;
  }
  dlg.clock.sleepMs(kShortPauseMs);
  showStatus(dlg, kProgrammingStatus);
  const bool sent = sendSlotRecords(r, file);
  file.close();
  dlg.updateData();
  dlg.control(ids::Progress).position = 0;
  return sent ? Flash::Done : Flash::Failed;
}

// Steps of a wait with the abort check (the MPEG question); true when the user took the offer.
bool slotWaitSteps(SlotRun& r, uint32_t stepMs) {
  return waitSteps(r.dlg, 0, kSteps, stepMs, kMpegAbortQuestion);
}

void startWait(UpdateDialog& dlg) {
  showStatus(dlg, kResetStatus);
  setProgress(dlg, 0);
  dlg.host.repaint();
}

// The coprocessor stage through the slot. Updated when done or already current, Failed after its
// message, NotUpdated when the user aborted it.
SlotState runSlotStage(SlotRun& r, const SlotStage& s, const std::string& fileName) {
  UpdateDialog& dlg = r.dlg;
  SerialPort& port = dlg.port;
  const uint8_t code = r.entry.typeCode;
  if (r.selected != 0) {
    startWait(dlg);
    if (slotWaitSteps(r, s.resetStepMs)) return SlotNotUpdated;
  }
  VersionBlock block;
  std::string version;
  for (int attempt = 1;; ++attempt) {
    startWait(dlg);
    version = slotReadVersion(port, r.slot, code != 0 ? code : s.queryCode, &block,
                              r.entry.recordProtocol);
    if (!isNoVersion(version)) break;
    if (attempt == kPollAttempts) {
      dlg.showError("QM-Module is not running after Update !!!");
      return SlotFailed;
    }
    if (slotWaitSteps(r, kPollStepMs)) return SlotNotUpdated;
  }
  r.moduleVersionNumber = versionNumber(version);
  setProgress(dlg, 0);
  showStatus(dlg, s.compareStatus);
  if (s.versionTest(block.text(), fileName)) return SlotUpdated;

  auto fail = [&](const char* text) {
    dlg.showError(text);
    return SlotFailed;
  };
  showStatus(dlg, kOpenFileStatus);
  ImageFile file;
  if (!file.open(resolveInWorkingDir(dlg, fileName))) return fail(s.openFailText);
  showStatus(dlg, s.modeStatus);
  for (int attempt = 1; !slotEnterUpdateMode(port, r.slot, code, r.moduleVersionNumber); ++attempt)
    if (attempt == s.modeAttempts) return fail(kStartcodeText);
  dlg.clock.sleepMs(s.afterModeMs);
  if (s.imageHeader) {
    std::array<uint8_t, kImageHeader> header{};
    if (file.read(header.data(), header.size()) < header.size())
      return fail("Unexpected end of data file !!!");
    showStatus(dlg, s.programStatus);
    dlg.clock.sleepMs(kHeaderSettleMs);
    slotSendDataLength(port, r.slot, static_cast<uint32_t>(file.length()) - kImageHeader, code,
                       r.moduleVersionNumber);
    if (!slotSendDataBlock(port, r.slot, header.data(), header.size(), kBlockMs, code,
                           r.moduleVersionNumber))
      return fail(s.blockError);
  } else if (s.eraseFpga) {
    showStatus(dlg, "erase FPGA flash...");
    if (!slotEraseFpga(port, r.slot, code)) return fail(kFpgaEraseText);
    showStatus(dlg, s.programStatus);
  } else {
    showStatus(dlg, s.programStatus);
  }

  setProgress(dlg, 0);
  dlg.setWaitCursor(true);
  uint32_t crc = s.crcStart;
  const BlockSender throughSlot = [&](const uint8_t* bytes, size_t n) {
    return slotSendDataBlock(port, r.slot, bytes, n, kBlockMs, code, r.moduleVersionNumber);
  };
  if (!sendFileBlocks(dlg, file, s.crc, crc, s.blockPauseMs, s.blockError, throughSlot))
    return SlotFailed;
  file.close();
  showStatus(dlg, kDataOkayStatus);
  if (!slotCheckCrc(port, r.slot, crc, s.crcTimeoutMs, dlg.baseUnitVersion))
    return fail(s.checksumError);
  setProgress(dlg, 0);
  showStatus(dlg, "update was successfull ...");
  dlg.clock.sleepMs(kDoneMs);
  discardInput(port);
  return SlotUpdated;
}

// The coprocessor file the stage will open must be there (and hold its image header) before the
// module is touched: a run that could not finish its coprocessor never starts on the controller.
bool coprocessorFileReadable(UpdateDialog& dlg, const SlotStage* stage, const std::string& name) {
  if (stage == nullptr) return true;
  ImageFile file;
  if (file.open(resolveInWorkingDir(dlg, name)) &&
      file.length() >= static_cast<long>(stage->imageHeader ? kImageHeader : 0))
    return true;
  dlg.showError(formatMessage(kCannotOpenText, name.c_str()));
  return false;
}

}  // namespace

SlotState updateSlotModule(UpdateDialog& dlg, int slotIndex) {
  enterProgramDir(dlg);
  dlg.setWaitCursor(true);
  Control& progress = dlg.control(ids::Progress);
  progress.rangeLow = 0;
  progress.rangeHigh = 100;
  progress.position = 0;
  for (int id : {ids::Exit, ids::Update}) dlg.control(id).enabled = false;
  showStatus(dlg, kProgrammingStatus);
  if (slotIndex < 0 || slotIndex > 8) return SlotNotUpdated;
  if (!dlg.control(kSlotRows[slotIndex].check).checked) return SlotNotUpdated;

  SlotEntry& entry = dlg.slots[static_cast<size_t>(slotIndex)];
  SlotRun r{dlg, slotIndex, static_cast<uint8_t>(slotIndex + 1), entry, 0, 0};
  const unsigned installed = versionNumber(entry.versionText);
  r.moduleVersionNumber = installed;
  dlg.typeText = entry.nameText;
  r.selected = versionNumber(entry.selectedFile);
  if (r.selected != 0 && !confirmVersion(dlg, installed, r.selected)) return SlotNotUpdated;

  enterTypeDir(dlg, entry.dirSpec);
  const char* name = entry.selectedFile.c_str();
  DataFile file;
  if (!file.open(resolveInWorkingDir(dlg, entry.selectedFile))) {
    dlg.showError(formatMessage(kCannotOpenText, name));
    return SlotDataFileError;
  }
  std::string typeLine, secondLine, coprocessorLine;
  if (!file.readPiece(typeLine, kTypeLineRoom)) {
    dlg.showError(formatMessage(kUnexpectedEndText, name));
    return SlotDataFileError;
  }
  if (typeLine.size() < kTypeLength ||
      typeLine.compare(0, kTypeLength, entry.nameText, 0, kTypeLength) != 0) {
    dlg.showError(kWrongTypeText);
    return SlotDataFileError;
  }
  if (!file.readPiece(secondLine, kPathLineRoom) ||
      !file.readPiece(coprocessorLine, kPathLineRoom)) {
    dlg.showError(formatMessage(kUnexpectedEndText, name));
    return SlotDataFileError;
  }
  // Nothing goes to the module before the whole file and the coprocessor's file are known good.
  if (r.selected != 0 && !recordsAreWhole(dlg, file, entry.selectedFile)) return SlotDataFileError;
  const SlotStage* stage = stageFor(entry.nameText, coprocessorLine);
  const std::string coprocessorFile = fileNameOf(coprocessorLine);
  if (!coprocessorFileReadable(dlg, stage, coprocessorFile)) return SlotDataFileError;

  SlotState result = SlotUpdated;
  if (r.selected != 0) {
    switch (flashSlotController(r, file)) {
      case Flash::FailedBeforeEnd:
        return SlotFailed;
      case Flash::Failed:
        result = SlotFailed;
        break;
      case Flash::Done:
        break;
    }
  }
  if (result == SlotUpdated && stage) result = runSlotStage(r, *stage, coprocessorFile);
  file.close();
  selectSlot(dlg.port, 0);
  return result;
}

}  // namespace qdqm
