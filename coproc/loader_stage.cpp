#include "coproc/loader_stage.h"

#include <algorithm>
#include <string>
#include <vector>

#include "app/catalogue.h"
#include "common/helpers.h"
#include "common/image_file.h"
#include "common/progress.h"
#include "common/stage_common.h"
#include "coproc/decoder_text.h"
#include "coproc/loader_frames.h"
#include "link/controller.h"

namespace qdqm {
namespace {

constexpr uint32_t kApplicationRate = 9600;
constexpr uint32_t kLoaderRate = 57600;
constexpr uint32_t kRouteMs = 2000;
constexpr uint32_t kSettleMs = 1000;
constexpr int kBootAttempts = 3;
constexpr int kBootSteps = 100;
constexpr uint32_t kBootStepMs = 20;
constexpr uint32_t kBootAnswerR = 250;
constexpr uint32_t kEraseR = 5000;
constexpr uint32_t kRamLoadR = 300;
constexpr int kLoadAttempts = 3;

// Boot loaders from version 0.90 on take smaller blocks and write them faster.
struct BlockRule {
  unsigned fromVersion;
  uint16_t blockSize;
  uint32_t writeR;
};
constexpr BlockRule kBlockRules[] = {{90, 0x0FE0, 100}, {0, 0x8000, 1000}};

// The last rule (from version 0) takes every loader the others do not.
const BlockRule& blockRuleFor(unsigned bootLoaderVersion) {
  return *std::find_if(std::begin(kBlockRules), std::end(kBlockRules) - 1,
                       [&](const BlockRule& r) { return bootLoaderVersion >= r.fromVersion; });
}

// The bar by the bytes of the file sent so far, moved after every byte.
struct ByteProgress {
  Control& bar;
  PercentScale scale;
};

// One RAM load: the header, then every byte with its own write, then the loader's answer. A load
// the loader did not take is repeated whole, header and the block's bytes from its start.
bool loadBlock(UpdateDialog& dlg, const std::vector<uint8_t>& block, uint32_t readBefore,
               const ByteProgress& progress) {
  for (int attempt = 0; attempt < kLoadAttempts; ++attempt) {
    discardInput(dlg.port);
    loadBlockToRam(dlg.port, static_cast<uint16_t>(block.size()));
    for (size_t i = 0; i < block.size(); ++i) {
      writeWithoutReply(dlg.port, &block[i], 1);
      moveProgress(dlg, progress.bar, progress.scale.of(int64_t{readBefore} + int64_t(i) + 1));
    }
    std::string reply;
    if (readLengthPrefixedText(dlg.port, reply, kRamLoadR) && reply.starts_with(kRamLoadAnswer))
      return true;
  }
  return false;
}

}  // namespace

Outcome bootLoaderStage(UpdateDialog& dlg, const std::string& mpegLine) {
  const std::string name = fileNameOf(mpegLine);
  ImageFile file;
  if (!openStageFile(dlg, file, name)) return stageFailed(dlg, kMpegOpenText);
  const uint32_t length = static_cast<uint32_t>(file.length());
  enterMpegUpdateMode(dlg.port);
  dlg.clock.sleepMs(kRouteMs);
  discardInput(dlg.port);
  if (!setBaudRate(dlg.port, kApplicationRate)) return stageAbort(dlg, kBaud9600Text);
  discardInput(dlg.port);
  dlg.clock.sleepMs(kSettleMs);

  showStatus(dlg, "compare mpeg decoder version...");
  if (decoderVersionTest(dlg.port, name)) return Outcome::UpToDate;
  showStatus(dlg, kResetStatus);
  requestBootMode(dlg.port);
  dlg.clock.sleepMs(kSettleMs);
  if (!setBaudRate(dlg.port, kLoaderRate))
    return stageAbort(dlg, "Could not set baud rate to 57600 !!!");
  dlg.clock.sleepMs(kSettleMs);

  std::string answer;
  for (int attempt = 1;; ++attempt) {
    discardInput(dlg.port);
    requestBootMode(dlg.port);
    showStatus(dlg, "try to set decoder to boot mode ...");
    for (int k = 0; k < kBootSteps; ++k) {
      dlg.clock.sleepMs(kBootStepMs);
      setProgress(dlg, k + 1);
    }
    if (readLengthPrefixedText(dlg.port, answer, kBootAnswerR)) break;
    if (attempt == kBootAttempts)
      return stageAbort(dlg, "Could not set mpeg decoder to boot mode !!!");
  }
  const BlockRule& rule = blockRuleFor(versionNumber(answer));
  if (!answer.starts_with(kBootAnswer))
    return stageAbort(dlg, "Aknowledge error while setting mpeg decoder to boot mode !!!");
  discardInput(dlg.port);
  if (!eraseDecoderFlash(dlg.port, length, kEraseR))
    return stageAbort(dlg,
                      "Could not erase the mpeg decoder flash !!!\n Please contact service "
                      "personal.");

  showStatus(dlg, kMpegProgramStatus);
  const ByteProgress progress{dlg.control(ids::Progress), PercentScale(length)};
  uint32_t address = kDecoderFlashBase;
  uint32_t read = 0;
  std::vector<uint8_t> block;
  while (read < length) {
    block.resize(std::min<uint32_t>(rule.blockSize, length - read));
    // A file that shrank since its length was taken: no partial load goes to the decoder.
    if (file.read(block.data(), block.size()) < block.size())
      return stageFailed(dlg, kShortFileText);
    if (!loadBlock(dlg, block, read, progress))
      return stageAbort(dlg,
                        "Could send data block to mpeg decoder !!!\nPlease contact service "
                        "personal.");
    if (!writeDecoderFlash(dlg.port, address, static_cast<uint16_t>(block.size()), rule.writeR))
      return stageAbort(dlg,
                        "Could not write data block to mpeg decoder !!!\nPlease contact service "
                        "personal.");
    read += static_cast<uint32_t>(block.size());
    address += static_cast<uint32_t>(block.size());
  }
  file.close();
  return Outcome::Done;
}

}  // namespace qdqm
