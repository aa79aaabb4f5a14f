#include "coproc/frame_stages.h"

#include <array>

#include "app/catalogue.h"
#include "common/helpers.h"
#include "common/image_file.h"
#include "common/progress.h"
#include "common/stage_common.h"
#include "link/type_codes.h"
#include "link/update_mode.h"

namespace qdqm {
namespace {

enum class ResetWait { Long, Always };

// How the two stages differ; the procedure below is the same for both.
struct FrameStage {
  uint8_t typeCode;
  ResetWait resetWait;
  const char* compareStatus;
  VersionTest versionTest;
  const char* modeStatus;
  bool imageHeader;  // the file starts with the image header, sent after the payload length
  uint32_t settleMs;
  const char* programStatus;  // shown when the blocks start; null: the header step showed one
  ImageCrc crc;
  uint32_t crcStart;
  const char* blockError;
  uint32_t crcTimeout;
  const char* checksumError;
};

const FrameStage kCrc32Stage{
    kQM292Code,
    ResetWait::Long,
    "compare mpeg decoder version...",
    blockVersionTest,
    "set mpeg decoder to update mode...",
    true,
    2000,
    nullptr,
    ImageCrc::Crc32,
    0xFFFFFFFF,
    "mpeg decoder returned error during updateprocess  !!!",
    30000,
    "mpeg decoder returned Cheksumerror  !!!",
};

const FrameStage kCrc16Stage{
    kQM4xCode,
    ResetWait::Always,
    kCompareFpgaStatus,
    twinVersionTest,
    "set MPEG decoder to update mode...",
    false,
    1000,
    "programming MPEG flash...",
    ImageCrc::Crc16,
    0xFFFF,
    "MPEG returned error during updateprocess  !!!",
    40000,
    kFpgaChecksumText,
};

Outcome runFrameStage(UpdateDialog& dlg, const FrameStage& s, const std::string& mpegLine) {
  const std::string name = fileNameOf(mpegLine);
  const Outcome waited = s.resetWait == ResetWait::Long ? longResetWait(dlg) : alwaysResetWait(dlg);
  if (waited == Outcome::Abort) return Outcome::Abort;
  // From here to the transfer the port runs at 2400 baud.
  VersionBlock block;
  if (moduleAlivePoll(dlg, s.typeCode, block) == Outcome::Abort) return Outcome::Abort;
  showStatus(dlg, s.compareStatus);
  if (confirmedCurrent(directVersionReader(dlg, s.typeCode), block, s.versionTest, name))
    return Outcome::UpToDate;

  showStatus(dlg, kOpenFileStatus);
  ImageFile file;
  if (!openStageFile(dlg, file, name)) return stageAbort(dlg, kMpegOpenText);
  showStatus(dlg, s.modeStatus);
  if (!enterCoprocessorUpdateMode(dlg.port, s.typeCode)) return stageAbort(dlg, kStartcodeText);
  std::array<uint8_t, kImageHeaderBytes> header{};
  if (s.imageHeader) {
    if (file.read(header.data(), header.size()) < header.size())
      return stageAbort(dlg, kShortFileText);
    showStatus(dlg, kMpegProgramStatus);
  }
  if (!setBaudRate(dlg.port, kTransferRate)) return stageAbort(dlg, kBaud19200Text);
  dlg.clock.sleepMs(s.settleMs);
  discardInput(dlg.port);
  if (s.imageHeader) {
    // A refused length shows up as a refused header block.
    sendDataLength(dlg.port, static_cast<uint32_t>(file.length()) - kImageHeaderBytes);
    if (!directBlocks(dlg.port)(header.data(), header.size())) return stageAbort(dlg, s.blockError);
  }

  setProgress(dlg, 0);
  uint32_t crc = s.crcStart;
  dlg.setWaitCursor(true);
  if (s.programStatus) showStatus(dlg, s.programStatus);
  if (!sendFileBlocks(dlg, file, s.crc, crc, 0, s.blockError, directBlocks(dlg.port)))
    return Outcome::Abort;
  file.close();
  showStatus(dlg, kDataOkayStatus);
  if (!checkCrc(dlg.port, crc, s.crcTimeout)) return stageAbort(dlg, s.checksumError);
  return transferDone(dlg);
}

}  // namespace

Outcome crc32FrameStage(UpdateDialog& dlg, const std::string& mpegLine) {
  return runFrameStage(dlg, kCrc32Stage, mpegLine);
}

Outcome crc16FrameStage(UpdateDialog& dlg, const std::string& mpegLine) {
  return runFrameStage(dlg, kCrc16Stage, mpegLine);
}

}  // namespace qdqm
