#include "slots/slot_update.h"

#include <algorithm>
#include <array>
#include <vector>

#include "app/catalogue.h"
#include "common/boot_loader.h"
#include "common/controller_file.h"
#include "common/data_file.h"
#include "common/helpers.h"
#include "common/hex_record.h"
#include "common/image_file.h"
#include "common/progress.h"
#include "common/stage_common.h"
#include "link/base_unit.h"
#include "link/slot_commands.h"
#include "link/type_codes.h"
#include "link/version_query.h"

namespace qdqm {
namespace {

constexpr uint32_t kRecordMs = 2000;
constexpr uint32_t kBootSettleMs = 5000;
constexpr uint32_t kShortPauseMs = 5;
constexpr uint32_t kSyncMs = 100;
constexpr uint32_t kBlockMs = 2000;
constexpr int kSteps = 100;
constexpr uint32_t kHeaderSettleMs = 2000;
constexpr uint8_t kAck = '.';

// The three coprocessor stages through a slot; the first whose prefix fits the module's name runs.
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
     kMpegOpenText,
     "set mpeg decoder to update mode...",
     1,
     0,
     true,
     false,
     kMpegProgramStatus,
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
     kMpegOpenText,
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
  if (line.empty() || line[0] == ';' || !namesFile(line)) return nullptr;
  for (const SlotStage& s : kSlotStages)
    for (std::string_view p : s.prefixes)
      if (!p.empty() && name.starts_with(p)) return &s;
  return nullptr;
}

// What one slot's update works with.
struct SlotRun {
  UpdateDialog& dlg;
  int index;
  SlotEntry& entry;
  unsigned selected;
  uint8_t slot() const { return static_cast<uint8_t>(index + 1); }
};

// One record through the slot: letter T and three reply bytes in the record protocol, letter Q
// and one in the raw protocol; "." in the first reply byte accepts it.
bool sendSlotRecord(SlotRun& r, const std::string& record) {
  std::vector<uint8_t> reply;
  const bool recordProtocol = r.entry.recordProtocol != 0;
  r.dlg.port.moduleChanged = true;
  if (!slotExchange(r.dlg.port, recordProtocol ? SlotLetter::T : SlotLetter::Q, r.slot(), record,
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
    if (!slotExchange(port, SlotLetter::T, r.slot(), ":0200000280007c", 3, kRecordMs, &reply) ||
        reply[0] != kAck) {
      r.dlg.showError(kNoChecksumText);
      return false;
    }
    r.dlg.clock.sleepMs(kShortPauseMs);
    slotExchange(port, SlotLetter::T, r.slot(), ":00000008f8", 1, kRecordMs);
    return true;
  }
  if (!slotExchange(port, SlotLetter::P, r.slot(), endRecord, 0, kRecordMs)) {
    r.dlg.showError(kNoEofText);
    return false;
  }
  return true;
}

// Every line up to the end record, each record sent as read (type 05 included), packed at the
// 64-byte blocks in the record protocol. True when the module took them all.
bool sendSlotRecords(SlotRun& r, DataFile& file) {
  // The bar follows the file position.
  const PercentScale scale(file.length());
  Control& progress = r.dlg.control(ids::Progress);
  std::string line;
  for (;;) {
    if (!file.readLine(line)) {
      r.dlg.showError(formatMessage(kUnexpectedEndText, r.entry.selectedFile.c_str()));
      return false;
    }
    moveProgress(r.dlg, progress, scale.of(file.position()));
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
  // A module whose version could not be read may have lost its program: then only its boot
  // loader runs, which does not answer the wake-up, and goes on as a woken one does.
  const bool programGone = isNoVersion(r.entry.versionText);
  if (!slotWakeBootLoader(dlg.port, r.slot(), r.entry.typeCode) && !programGone) {
    dlg.showError("Switch to bootloader failed ... !\nError Code: 26");
    return Flash::FailedBeforeEnd;
  }
  dlg.clock.sleepMs(kBootSettleMs);
  if (r.entry.recordProtocol) {
    slotSyncBytes(dlg.port, r.slot(), kSyncMs);
    dlg.clock.sleepMs(kShortPauseMs);
  }
  if (!slotSelectController(dlg.port, r.slot(), r.entry.typeCode, r.entry.recordProtocol)) {
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

// The coprocessor stage through the slot. Updated when done or already current, Failed after its
// message, NotUpdated when the user aborted it.
SlotState runSlotStage(SlotRun& r, const SlotStage& s, const std::string& fileName) {
  UpdateDialog& dlg = r.dlg;
  SerialPort& port = dlg.port;
  const uint8_t code = r.entry.typeCode;
  const uint8_t slot = r.slot();
  if (r.selected != 0) {
    // The controller restarts after its flash: Esc offers the MPEG question meanwhile.
    startResetWait(dlg);
    if (waitSteps(dlg, 0, kSteps, s.resetStepMs, kMpegAbortQuestion)) return SlotNotUpdated;
  }
  VersionBlock block;
  std::string version;
  const VersionReader throughSlotQuery = [&](VersionBlock& b) {
    return slotReadVersion(port, slot, code != 0 ? code : s.queryCode, &b, r.entry.recordProtocol);
  };
  if (const Outcome polled = pollVersion(dlg, throughSlotQuery, block, version);
      polled != Outcome::Done)
    return polled == Outcome::Abort ? SlotNotUpdated : SlotFailed;
  const unsigned moduleVersion = versionNumber(version);
  showStatus(dlg, s.compareStatus);
  if (confirmedCurrent(throughSlotQuery, block, s.versionTest, fileName)) return SlotUpdated;

  auto fail = [&](const char* text) {
    dlg.showError(text);
    return SlotFailed;
  };
  showStatus(dlg, kOpenFileStatus);
  ImageFile file;
  if (!openStageFile(dlg, file, fileName)) return fail(s.openFailText);
  showStatus(dlg, s.modeStatus);
  for (int attempt = 1; !slotEnterUpdateMode(port, slot, code, moduleVersion); ++attempt)
    if (attempt == s.modeAttempts) return fail(kStartcodeText);
  dlg.clock.sleepMs(s.afterModeMs);
  if (s.imageHeader) {
    std::array<uint8_t, kImageHeaderBytes> header{};
    if (file.read(header.data(), header.size()) < header.size()) return fail(kShortFileText);
    showStatus(dlg, s.programStatus);
    dlg.clock.sleepMs(kHeaderSettleMs);
    slotSendDataLength(port, slot, static_cast<uint32_t>(file.length()) - kImageHeaderBytes, code,
                       moduleVersion);
    if (!slotSendDataBlock(port, slot, header.data(), header.size(), kBlockMs, code, moduleVersion))
      return fail(s.blockError);
  } else if (s.eraseFpga) {
    showStatus(dlg, "erase FPGA flash...");
    if (!slotEraseFpga(port, slot, code)) return fail(kFpgaEraseText);
    showStatus(dlg, s.programStatus);
  } else {
    showStatus(dlg, s.programStatus);
  }

  setProgress(dlg, 0);
  dlg.setWaitCursor(true);
  uint32_t crc = s.crcStart;
  const BlockSender throughSlot = [&](const uint8_t* bytes, size_t n) {
    return slotSendDataBlock(port, slot, bytes, n, kBlockMs, code, moduleVersion);
  };
  if (!sendFileBlocks(dlg, file, s.crc, crc, s.blockPauseMs, s.blockError, throughSlot))
    return SlotFailed;
  file.close();
  showStatus(dlg, kDataOkayStatus);
  if (!slotCheckCrc(port, slot, crc, s.crcTimeoutMs, dlg.baseUnitVersion))
    return fail(s.checksumError);
  transferDone(dlg);
  return SlotUpdated;
}

// The coprocessor file the stage will open must be there (and hold its image header) before the
// module is touched: a run that could not finish its coprocessor never starts on the controller.
bool coprocessorFileReadable(UpdateDialog& dlg, const SlotStage* stage, const std::string& name) {
  if (stage == nullptr || fileReadable(dlg, name, stage->imageHeader ? kImageHeaderBytes : 0))
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
  SlotRun r{dlg, slotIndex, entry, 0};
  const unsigned installed = versionNumber(entry.versionText);
  dlg.typeText = entry.nameText;
  r.selected = versionNumber(entry.selectedFile);
  if (r.selected != 0 && !confirmVersion(dlg, installed, r.selected)) return SlotNotUpdated;

  enterTypeDir(dlg, entry.dirSpec);
  const std::string& name = entry.selectedFile;
  DataFile file;
  if (!file.open(resolveInWorkingDir(dlg, name))) {
    dlg.showError(formatMessage(kCannotOpenText, name.c_str()));
    return SlotDataFileError;
  }
  // Line 2 names the FPGA file of stand-alone modules; a slot module's coprocessor is on line 3.
  std::string secondLine, coprocessorLine;
  if (!readTypeLine(dlg, file, name, entry.nameText) ||
      !readPathLine(dlg, file, name, secondLine) || !readPathLine(dlg, file, name, coprocessorLine))
    return SlotDataFileError;
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
