#include "common/stage_common.h"

#include <algorithm>
#include <array>

#include "app/catalogue.h"
#include "app/service_record.h"
#include "common/boot_loader.h"
#include "common/helpers.h"
#include "common/progress.h"
#include "link/controller.h"
#include "link/update_mode.h"

namespace qdqm {

namespace {

constexpr const char* kBaud2400Text = "Could not set baud rate to 2400 !!!";
constexpr const char* kNotRunningText = "QM-Module is not running after Update !!!";

// Version queries and the update-mode request go at the rate every controller keeps listening
// at for them; the transfer runs at the normal rate.
constexpr uint32_t kServiceRate = 2400;
constexpr uint32_t kLongStepMs = 220;
constexpr uint32_t kAlwaysStepMs = 120;
constexpr uint32_t kPollStepMs = 200;
constexpr uint32_t kPollSettleMs = 100;
constexpr int kPollAttempts = 3;
constexpr int kSteps = 100;
constexpr uint32_t kDoneMs = 500;
constexpr uint32_t kBlockTimeout = 2000;

}  // namespace

void startResetWait(UpdateDialog& dlg) {
  showStatus(dlg, kResetStatus);
  setProgress(dlg, 0);
  dlg.host.repaint();
}

std::string fileNameOf(const std::string& line) {
  return line.empty() ? line : line.substr(0, line.size() - 1);
}

bool openStageFile(UpdateDialog& dlg, ImageFile& file, const std::string& name) {
  const std::string path = resolveInWorkingDir(dlg, name);
  if (!file.open(path)) return false;
  noteOpenedFile(dlg, path);
  return true;
}

Outcome stageAbort(UpdateDialog& dlg, const char* text) {
  dlg.showError(text);
  return Outcome::Abort;
}

Outcome stageFailed(UpdateDialog& dlg, const char* text) {
  dlg.showError(text);
  return Outcome::Failed;
}

Outcome longResetWait(UpdateDialog& dlg) {
  if (dlg.resetPending == 0) return Outcome::Done;
  startResetWait(dlg);
  return waitSteps(dlg, 0, kSteps, kLongStepMs, kMpegAbortQuestion) ? Outcome::Abort
                                                                    : Outcome::Done;
}

Outcome alwaysResetWait(UpdateDialog& dlg) {
  // Nothing restarted the controller in this run: a record-protocol controller is restarted here
  // so that it comes up ready for its coprocessor.
  if (dlg.resetPending == 0 && isRecordProtocol(dlg.port) && !sendResetCommand(dlg))
    return Outcome::Abort;
  startResetWait(dlg);
  return waitSteps(dlg, 0, kSteps, kAlwaysStepMs, kMpegAbortQuestion) ? Outcome::Abort
                                                                      : Outcome::Done;
}

Outcome pollVersion(UpdateDialog& dlg, const VersionReader& read, VersionBlock& block,
                    std::string& version) {
  for (int attempt = 1; attempt <= kPollAttempts; ++attempt) {
    startResetWait(dlg);
    version = read(block);
    if (!isNoVersion(version)) {
      setProgress(dlg, 0);
      return Outcome::Done;
    }
    // The controller may still be starting: wait before asking again (not after the last try).
    if (attempt < kPollAttempts && waitSteps(dlg, 0, kSteps, kPollStepMs, kMpegAbortQuestion))
      return Outcome::Abort;
  }
  dlg.showError(kNotRunningText);
  return Outcome::Failed;
}

VersionReader directVersionReader(UpdateDialog& dlg, uint8_t typeCode) {
  return
      [&dlg, typeCode](VersionBlock& b) { return readCoprocessorVersion(dlg.port, typeCode, &b); };
}

Outcome moduleAlivePoll(UpdateDialog& dlg, uint8_t typeCode, VersionBlock& block) {
  if (!setBaudRate(dlg.port, kServiceRate)) return stageAbort(dlg, kBaud2400Text);
  dlg.clock.sleepMs(kPollSettleMs);
  discardInput(dlg.port);
  std::string version;
  const Outcome polled = pollVersion(dlg, directVersionReader(dlg, typeCode), block, version);
  return polled == Outcome::Done ? Outcome::Done : Outcome::Abort;
}

bool confirmedCurrent(const VersionReader& read, const VersionBlock& block, VersionTest test,
                      std::string_view fileName) {
  if (!test(block.text(), fileName)) return false;
  VersionBlock again;
  read(again);
  return again.text() == block.text();
}

int progressOf(unsigned k, unsigned B) {
  if (B == 0) return k == 0 ? 0 : 100;
  return static_cast<int>(std::min(100u, 100 * k / B));
}

BlockSender directBlocks(SerialPort& port) {
  return [&port](const uint8_t* bytes, size_t n) {
    return sendDataBlock(port, bytes, n, kBlockTimeout);
  };
}

bool sendFileBlocks(UpdateDialog& dlg, ImageFile& file, ImageCrc kind, uint32_t& crc,
                    uint32_t pauseMs, const char* blockError, const BlockSender& send,
                    size_t pieceBytes) {
  const size_t piece = std::min(pieceBytes, kMaxPieceBytes);
  const unsigned B = static_cast<unsigned>(file.length() / static_cast<long>(piece));
  Control& progress = dlg.control(ids::Progress);
  std::array<uint8_t, kMaxPieceBytes> buffer{};
  size_t n = 0;
  unsigned k = 0;
  do {
    n = file.read(buffer.data(), piece);
    moveProgress(dlg, progress, progressOf(k, B));
    if (kind == ImageCrc::Crc32)
      crc = crc32(n, buffer.data(), crc);
    else if (kind == ImageCrc::Crc16)
      crc = crc16Ccitt(n, buffer.data(), crc);
    if (!send(buffer.data(), n)) {
      dlg.showError(blockError);
      return false;
    }
    ++k;
    if (pauseMs) dlg.clock.sleepMs(pauseMs);
  } while (n == piece);
  return true;
}

Outcome transferDone(UpdateDialog& dlg, const char* status) {
  dlg.control(ids::Progress).position = 0;
  showStatus(dlg, status);
  dlg.clock.sleepMs(kDoneMs);
  discardInput(dlg.port);
  return Outcome::Done;
}

}  // namespace qdqm
