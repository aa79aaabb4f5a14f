#include "coproc/text_stages.h"

#include <array>

#include "app/catalogue.h"
#include "common/helpers.h"
#include "common/image_file.h"
#include "common/progress.h"
#include "common/stage_common.h"
#include "coproc/decoder_text.h"
#include "link/controller.h"

namespace qdqm {
namespace {

constexpr const char* kWaitModuleStatus = "waiting for MPEG Module...";
constexpr const char* kCompareStatus = "compare mpeg decoder version...";
constexpr const char* kModeStatus = "set mpeg decoder update mode...";
constexpr const char* kNewStartStatus = "waiting for new start of mpeg ...";
constexpr const char* kNotRunningText = "mpeg decoder returned 'new code not running'  !!!";
constexpr const char* kNotValidText = "mpeg decoder returned 'new code not valide'  !!!";

constexpr uint32_t kSwidRate = 19200;
constexpr uint32_t kVersRate = 9600;
constexpr unsigned kEvenParity = 2;
constexpr size_t kSwidPiece = 128;
static_assert(kSwidPiece <= kMaxPieceBytes);
constexpr size_t kVersPiece = 8;
constexpr int kVersionAttempts = 10;
constexpr uint32_t kVersionPauseMs = 150;
constexpr uint32_t kSwidRouteMs = 1000;
constexpr uint32_t kSwidSettleMs = 1000;
constexpr uint32_t kVersRouteMs = 2000;
constexpr uint32_t kRestartStepMs = 75;
constexpr uint32_t kRunningMs = 500;

// Up to ten reads of the swid version, each after the abort check and a pause; `again` reads it a
// second time after another pause (after the transfer the first answer may be the old program's).
enum class VersionRead { Read, NotRead, Abort };
VersionRead readSwidVersion(UpdateDialog& dlg, SwidVersion& reply, bool again) {
  for (int attempt = 0; attempt < kVersionAttempts; ++attempt) {
    discardInput(dlg.port);
    if (abortCheck(dlg, kMpegAbortQuestion)) return VersionRead::Abort;
    dlg.clock.sleepMs(kVersionPauseMs);
    if (again) {
      querySwidVersion(dlg.port, reply);
      dlg.clock.sleepMs(kVersionPauseMs);
      discardInput(dlg.port);
    }
    if (querySwidVersion(dlg.port, reply)) return VersionRead::Read;
  }
  return VersionRead::NotRead;
}

std::string_view textOf(const SwidVersion& reply) {
  return std::string_view(reinterpret_cast<const char*>(reply.data()), kSwidVersionLength);
}

// The decoder takes the image as a stream: nothing is answered, nothing is waited for, so no piece
// is ever refused.
BlockSender streamedPieces(SerialPort& port) {
  return [&port](const uint8_t* bytes, size_t n) {
    if (n > 0) port.moduleChanged = true;
    if (n > 0) writeWithoutReply(port, bytes, n);
    return 1;
  };
}

}  // namespace

Outcome swidStage(UpdateDialog& dlg, const std::string& mpegLine) {
  showStatus(dlg, kWaitModuleStatus);
  enterMpegUpdateMode(dlg.port);
  dlg.clock.sleepMs(kSwidRouteMs);
  // From here the line belongs to the decoder.
  if (!setBaudRate(dlg.port, kSwidRate)) return stageAbort(dlg, kBaud19200Text);
  dlg.clock.sleepMs(kSwidSettleMs);
  discardInput(dlg.port);
  queryDecoderName(dlg.port);
  showStatus(dlg, kResetStatus);
  const std::string name = fileNameOf(mpegLine);

  showStatus(dlg, kCompareStatus);
  SwidVersion reply{};
  switch (readSwidVersion(dlg, reply, false)) {
    case VersionRead::Abort:
      return Outcome::Abort;
    case VersionRead::NotRead:
      return stageAbort(dlg, "Could not read MPEG-Version in Update-Mode !!!");
    case VersionRead::Read:
      break;
  }
  if (textVersionTest(textOf(reply), name, true)) return Outcome::UpToDate;

  showStatus(dlg, kModeStatus);
  sendDecoderBoot(dlg.port);
  ImageFile file;
  if (!openStageFile(dlg, file, name)) return stageAbort(dlg, kMpegOpenText);
  showStatus(dlg, kMpegProgramStatus);
  setProgress(dlg, 0);
  dlg.setWaitCursor(true);
  uint32_t noCrc = 0;
  sendFileBlocks(dlg, file, ImageCrc::None, noCrc, 0, nullptr, streamedPieces(dlg.port),
                 kSwidPiece);
  file.close();

  setProgress(dlg, 0);
  showStatus(dlg, kNewStartStatus);
  waitSteps(dlg, 0, 100, kRestartStepMs, nullptr);
  setProgress(dlg, 0);
  showStatus(dlg, kCompareStatus);
  switch (readSwidVersion(dlg, reply, true)) {
    case VersionRead::Abort:
      return Outcome::Abort;
    case VersionRead::NotRead:
      return stageAbort(dlg, "Could not read MPEG-Version after Update !!!");
    case VersionRead::Read:
      break;
  }
  // The new program must run; a forced ("U") file is compared by its version here as well.
  if (!textVersionTest(textOf(reply), name, false)) return stageFailed(dlg, kNotRunningText);
  discardInput(dlg.port);
  return Outcome::Done;
}

Outcome versStage(UpdateDialog& dlg, const std::string& mpegLine) {
  showStatus(dlg, kWaitModuleStatus);
  enterMpegUpdateMode(dlg.port);
  dlg.clock.sleepMs(kVersRouteMs);
  discardInput(dlg.port);
  if (!setBaudRate(dlg.port, kVersRate)) return stageAbort(dlg, kBaud9600Text);
  discardInput(dlg.port);
  if (!setParity(dlg.port, kEvenParity)) return stageAbort(dlg, "Could not set Parity to Even !!!");
  discardInput(dlg.port);
  showStatus(dlg, kResetStatus);
  const std::string name = fileNameOf(mpegLine);

  showStatus(dlg, kCompareStatus);
  if (queryDecoderVersion(dlg.port, name)) return Outcome::UpToDate;
  showStatus(dlg, kModeStatus);
  if (!enterDecoderLoader(dlg.port))
    return stageAbort(dlg, "Could not set MPEGModule in UpDate Mode !!!");
  ImageFile file;
  if (!openStageFile(dlg, file, name)) return stageAbort(dlg, kMpegOpenText);
  if (!sendDecoderStartCode(dlg.port)) return stageAbort(dlg, kStartcodeText);
  std::array<uint8_t, kVersHeaderBytes> header{};
  if (file.read(header.data(), header.size()) < header.size())
    return stageAbort(dlg, kShortFileText);

  showStatus(dlg, kMpegProgramStatus);
  dlg.port.moduleChanged = true;
  sendWord32(dlg.port, static_cast<uint32_t>(file.length()) - kVersHeaderBytes);
  writeWithoutReply(dlg.port, header.data(), header.size());
  setProgress(dlg, 0);
  uint32_t crc = 0xFFFFFFFF;
  dlg.setWaitCursor(true);
  sendFileBlocks(dlg, file, ImageCrc::Crc32, crc, 0, nullptr, streamedPieces(dlg.port), kVersPiece);
  // The loader checks the register as it stands: no final inversion.
  sendWord32(dlg.port, crc);
  file.close();
  setProgress(dlg, 0);

  showStatus(dlg, kDataOkayStatus);
  if (!waitForDecoderProgress(dlg.port, DecoderProgress::DataOk))
    return stageAbort(dlg, "mpeg decoder returned Cheksumerror  !!!");
  showStatus(dlg, "waiting for 'New Code Programming' ...");
  if (!waitForDecoderProgress(dlg.port, DecoderProgress::Programming))
    return stageFailed(dlg, kNotValidText);
  showStatus(dlg, "waiting for 'Programming Complete' ...");
  if (!waitForDecoderProgress(dlg.port, DecoderProgress::Programmed))
    return stageFailed(dlg, kNotValidText);
  showStatus(dlg, kNewStartStatus);
  if (!waitForDecoderProgress(dlg.port, DecoderProgress::Running))
    return stageFailed(dlg, kNotRunningText);
  showStatus(dlg, "waiting for running mpeg ...");
  if (!waitForDecoderProgress(dlg.port, DecoderProgress::Module))
    return stageFailed(dlg, "new application not started  !!!");
  dlg.clock.sleepMs(kRunningMs);
  discardInput(dlg.port);
  return Outcome::Done;
}

}  // namespace qdqm
