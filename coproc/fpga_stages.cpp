#include "coproc/fpga_stages.h"

#include "app/catalogue.h"
#include "common/helpers.h"
#include "common/image_file.h"
#include "common/progress.h"
#include "common/stage_common.h"
#include "link/controller.h"
#include "link/type_codes.h"
#include "link/update_mode.h"

namespace qdqm {
namespace {

constexpr uint16_t kCrcStart = 0xFFFF;
constexpr uint32_t kEraseSettleMs = 50;
constexpr uint32_t kBlockPauseMs = 50;
constexpr uint32_t kCrcTimeout = 40000;
constexpr int kModeAttempts = 3;

// After the erase, both stages alike: the file in 64-byte blocks 50 ms apart, then the CRC-16
// over the whole file for the controller to check (`checkStatus` shown while it does).
Outcome programFpgaFlash(UpdateDialog& dlg, ImageFile& file, const char* checkStatus) {
  setProgress(dlg, 0);
  showStatus(dlg, kFpgaProgramStatus);
  uint32_t crc = kCrcStart;
  dlg.setWaitCursor(true);
  if (!sendFileBlocks(dlg, file, ImageCrc::Crc16, crc, kBlockPauseMs, kFpgaBlockText,
                      directBlocks(dlg.port)))
    return Outcome::Abort;
  file.close();
  showStatus(dlg, checkStatus);
  if (!checkCrc(dlg.port, crc, kCrcTimeout)) return stageAbort(dlg, kFpgaChecksumText);
  return Outcome::Done;
}

}  // namespace

Outcome qdFpgaStage(UpdateDialog& dlg, const std::string& fpgaLine) {
  const std::string name = fileNameOf(fpgaLine);
  if (fpgaVersionTest(dlg.port, name, true)) return Outcome::UpToDate;
  ImageFile file;
  if (!openStageFile(dlg, file, name))
    return stageAbort(dlg, "Could not open FPGA-update-file !!!");
  showStatus(dlg, kFpgaModeStatus);
  if (!enterFpgaUpdateMode(dlg.port))
    return stageAbort(dlg, "could not set FPGA to update mode  !!!");
  showStatus(dlg, "erase FPGA ...");
  dlg.clock.sleepMs(kEraseSettleMs);
  discardInput(dlg.port);
  if (!eraseFpga(dlg.port, kQM23Code)) return stageAbort(dlg, kFpgaEraseText);

  if (programFpgaFlash(dlg, file, "waiting for 'FPGA Data Okay' ...") == Outcome::Abort)
    return Outcome::Abort;

  return transferDone(dlg, "FPGA Update was successfull ...");
}

Outcome qm23FpgaStage(UpdateDialog& dlg, const std::string& mpegLine) {
  const std::string name = fileNameOf(mpegLine);
  if (longResetWait(dlg) == Outcome::Abort) return Outcome::Abort;
  VersionBlock block;
  if (moduleAlivePoll(dlg, kQM23Code, block) == Outcome::Abort) return Outcome::Abort;
  showStatus(dlg, kCompareFpgaStatus);
  if (confirmedCurrent(directVersionReader(dlg, kQM23Code), block, notOlderVersionTest, name))
    return Outcome::UpToDate;

  showStatus(dlg, kOpenFileStatus);
  ImageFile file;
  if (!openStageFile(dlg, file, name))
    return stageAbort(dlg, "Could not open data file (FPGA) !!!");
  showStatus(dlg, kFpgaModeStatus);
  int attempt = 1;
  while (!enterCoprocessorUpdateMode(dlg.port, kQM23Code))
    if (++attempt > kModeAttempts) return stageAbort(dlg, kStartcodeText);
  showStatus(dlg, "erase FPGA flash...");
  if (!setBaudRate(dlg.port, kTransferRate)) return stageAbort(dlg, kBaud19200Text);
  discardInput(dlg.port);
  if (!eraseFpga(dlg.port, kQM23Code)) return stageAbort(dlg, kFpgaEraseText);

  if (programFpgaFlash(dlg, file, kDataOkayStatus) == Outcome::Abort) return Outcome::Abort;
  return transferDone(dlg);
}

}  // namespace qdqm
