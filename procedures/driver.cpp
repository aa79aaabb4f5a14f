#include "procedures/driver.h"

#include "app/catalogue.h"
#include "app/service_record.h"
#include "common/controller_file.h"
#include "common/helpers.h"
#include "common/image_file.h"
#include "common/stage_common.h"
#include "coproc/fpga_stages.h"
#include "coproc/frame_stages.h"
#include "coproc/loader_stage.h"
#include "coproc/text_stages.h"
#include "flash/controller_flash.h"
#include "link/controller.h"
#include "procedures/connect.h"
#include "procedures/procedures.h"
#include "slots/slot_update.h"

namespace qdqm {

namespace {

// Offered when Esc is pressed during the FPGA entry's reset wait; "%s" is deviceText.
constexpr const char* kFpgaAbortQuestion = "Do you wish to abbort the %s FPGA-Update ?";
constexpr const char* kQuestionCaption = "Question";
constexpr const char* kAttentionCaption = "Attention";
constexpr const char* kFpgaAnywayQuestion =
    "The Flash-Update of %s is failed! \n Do you want to start FPGA-Update nevertheless?";
constexpr const char* kMpegAnywayQuestion =
    "The Flash-Update of %s is failed! \n Do you want to start MPEG-Update nevertheless?";
constexpr const char* kNoVersionText = "Cannot get software version of module !\nError Code: 21";
constexpr const char* kRemoveCaText = "Remove CA module if present !";
constexpr const char* kSuccessText =
    "The module was sucessfully updated.\nPlease remove the connection\nto your PC. Also "
    "remove\nthe power supply from the module\nfor 10 seconds.";
constexpr const char* kFailureText =
    "Could not update the module !\nCorrect function of module is no longer guaranteed !\nTry "
    "again to update, or contact your local dealer !";
constexpr const char* kBaseUnitFailureText =
    "Could not update all the modules !\nCorrect function of modules, where the backcolor \nof "
    "the updatestate is red, is no longer guaranteed !\nTry again to update, or contact your "
    "local dealer !";

constexpr const char* kHiSpeedStatus = "set baudrate to HISpeed...";

constexpr unsigned kParityNone = 0;
constexpr uint32_t kResetStepMs = 50;
constexpr uint32_t kLoaderResetStepMs = 35;
constexpr uint32_t kCaRemovalStepMs = 20;
constexpr unsigned kBeepHz = 1000, kBeepMs = 1000;
// A plain QD09 with controller software from 3.22 on and up to 3.29 needs no boot-loader update.
constexpr unsigned kLoaderCurrentBefore = 22, kLoaderCurrentAfter = 29;

bool applies(const StageRow& row, const std::string& deviceText, const std::string& line) {
  if (row.run == nullptr || line.empty() || line[0] == ';') return false;
  if (!row.excluded.empty() && deviceText.starts_with(row.excluded)) return false;
  for (std::string_view p : row.prefixes)
    if (!p.empty() && deviceText.starts_with(p)) return true;
  return false;
}

// Hands each row that applies to this module, with its line of the controller data file, to
// `visit` until that returns false: the FPGA row goes on to the others; of the others only the
// first that applies is visited. A row is tested only when its turn comes, against deviceText as
// it is then (an FPGA stage's reset wait reads the module's text again).
template <typename Visit>
void rowsThatApply(std::span<const StageRow> table, const std::string& deviceText,
                   const std::string& fpgaLine, const std::string& mpegLine, Visit visit) {
  for (const StageRow& row : table) {
    const std::string& line = row.line == StageLine::Fpga ? fpgaLine : mpegLine;
    if (!applies(row, deviceText, line)) continue;
    if (!visit(row, line) || row.entry != StageEntry::Fpga) break;
  }
}

// The name of a coprocessor file that the rows applying to this module would open and that cannot
// be read (or is shorter than its image header); empty when every such file is there.
std::string unreadableCoprocessorFile(const UpdateDialog& dlg, std::span<const StageRow> table,
                                      const std::string& fpgaLine, const std::string& mpegLine) {
  std::string missing;
  rowsThatApply(
      table, dlg.deviceText, fpgaLine, mpegLine, [&](const StageRow& row, const std::string& line) {
        if (!namesFile(line)) return true;
        if (const std::string name = fileNameOf(line); !fileReadable(dlg, name, row.headerBytes))
          missing = name;
        return missing.empty();
      });
  return missing;
}

// The last two characters of a version text as a decimal number ("QD09 V3.22" -> 22).
unsigned minorOf(const std::string& text) {
  return text.size() < 2 ? 0 : versionNumber("0." + text.substr(text.size() - 2));
}

enum class Next { OtherRows, Verdict, CleanUp };

// A coprocessor found up to date leaves overallResult as it is: it never turns a failed controller
// flash into a success.
Next afterStage(UpdateDialog& dlg, Outcome outcome, Next onSuccess) {
  if (outcome == Outcome::Abort) return Next::CleanUp;
  if (outcome == Outcome::Failed) dlg.overallResult = 0;
  return onSuccess;
}

Next fpgaEntry(UpdateDialog& dlg, const StageRow& row, const std::string& line,
               unsigned installed) {
  if (dlg.resetPending == 0) {
    dlg.resetPending = installed != 0 ? installed : 1;
  } else {
    if (waitForControllerReset(dlg, kFpgaAbortQuestion) == Outcome::Abort) return Next::CleanUp;
    if (!dlg.control(ids::LowSpeed).checked) {
      showStatus(dlg, kHiSpeedStatus);
      uint8_t type[kModuleTypeBuffer]{};
      identifyModule(dlg.port, type);
      if (!switchToHighSpeed(dlg.port, type)) {
        setBaudRate(dlg.port, kNormalRate);
        discardInput(dlg.port);
        dlg.showError(kHiSpeedText);
        if (!identifyModule(dlg.port, type)) {
          dlg.showError(kNoModuleText);
          return Next::CleanUp;
        }
      }
    }
  }
  showStatus(dlg, kCompareFpgaStatus);
  const Outcome outcome = row.run(dlg, line);
  // The FPGA was not touched, so nothing restarts behind it.
  if (outcome == Outcome::UpToDate) dlg.resetPending = 0;
  return afterStage(dlg, outcome, Next::OtherRows);
}

Next bootLoaderEntry(UpdateDialog& dlg, const StageRow& row, const std::string& line) {
  const bool plainQd09 =
      !dlg.deviceText.starts_with("QD29") && !dlg.deviceText.starts_with("QD09T");
  if (plainQd09 && isUFileName(line) == 0) {
    const unsigned before = minorOf(dlg.deviceText);
    showModuleInfo(dlg);
    const unsigned after = minorOf(dlg.deviceText);
    // Nothing to do for the decoder; the verdict is the controller flash's.
    if (before >= kLoaderCurrentBefore && after <= kLoaderCurrentAfter) return Next::Verdict;
  } else if (dlg.resetPending != 0) {
    showStatus(dlg, kResetStatus);
    setBaudRate(dlg.port, kNormalRate);
    discardInput(dlg.port);
    dlg.host.repaint();
    if (waitSteps(dlg, 0, 100, kLoaderResetStepMs, kMpegAbortQuestion)) return Next::CleanUp;
    if (!showModuleInfo(dlg)) {
      dlg.showError(kNoVersionText);
      return Next::CleanUp;
    }
    dlg.record.versionAfter = dlg.deviceText;
  }
  dlg.host.beep(kBeepHz, kBeepMs);
  dlg.host.message(kAttentionCaption, kRemoveCaText, Icon::Information);
  showStatus(dlg, kResetStatus);
  dlg.host.repaint();
  waitSteps(dlg, 0, 100, kCaRemovalStepMs, nullptr);
  if (!namesFile(line)) return Next::Verdict;
  return afterStage(dlg, row.run(dlg, line), Next::Verdict);
}

// One row that applies: the "nevertheless" question, the test for a named file, the entry and the
// stage.
Next runRow(UpdateDialog& dlg, const StageRow& row, const std::string& line, unsigned installed) {
  const bool fpga = row.entry == StageEntry::Fpga;
  if (dlg.overallResult == 0 &&
      !dlg.host.ask(
          kQuestionCaption,
          formatMessage(fpga ? kFpgaAnywayQuestion : kMpegAnywayQuestion, dlg.deviceText.c_str()),
          Icon::Question))
    return Next::Verdict;
  if (row.entry != StageEntry::BootLoader && !namesFile(line))
    return fpga ? Next::OtherRows : Next::Verdict;
  switch (row.entry) {
    case StageEntry::Fpga:
      return fpgaEntry(dlg, row, line, installed);
    case StageEntry::ResetWait:
      if (dlg.resetPending != 0 &&
          waitForControllerReset(dlg, kMpegAbortQuestion) == Outcome::Abort)
        return Next::CleanUp;
      return afterStage(dlg, row.run(dlg, line), Next::Verdict);
    case StageEntry::Own:
      return afterStage(dlg, row.run(dlg, line), Next::Verdict);
    case StageEntry::BootLoader:
      return bootLoaderEntry(dlg, row, line);
  }
  return Next::Verdict;
}

void cleanUp(UpdateDialog& dlg) {
  dlg.setWaitCursor(false);
  setBaudRate(dlg.port, kNormalRate);
  setParity(dlg.port, kParityNone);
  discardInput(dlg.port);
  resetVersionList(dlg);
  for (int id : {ids::Exit, ids::Connect, ids::BaseUnit}) dlg.control(id).enabled = true;
  dlg.control(ids::StatusLine).visible = false;
  dlg.updateData();
}

void verdict(UpdateDialog& dlg, bool baseUnit) {
  dlg.setWaitCursor(false);
  if (dlg.overallResult == 1) {
    dlg.verdict = Verdict::Success;
    dlg.host.message(kAttentionCaption, kSuccessText, Icon::Information);
  } else {
    dlg.verdict = Verdict::Failure;
    dlg.showError(baseUnit ? kBaseUnitFailureText : kFailureText);
  }
  setProgress(dlg, 0);
  if (dlg.typeText.starts_with("QD292")) dlg.typeText = "QD29/22";
  if (baseUnit) dlg.typeText = "QMxx ...";
  // A close asked for during the run has answered the question already: the program ends.
  const std::string question(kUpdateAnotherText);
  const bool another =
      !dlg.exitRequested() &&
      dlg.host.ask(kQuestionCaption, formatMessage(question.c_str(), dlg.typeText.c_str()),
                   Icon::Question);
  cleanUp(dlg);
  // No: the program ends as by the Exit button, after the clean-up.
  if (!another) dlg.onExitClicked();
}

}  // namespace

const std::array<StageRow, 7> kStageTable{{
    {{"QD29E", "QD2xA", "QD20A", "QD74"}, {}, StageLine::Fpga, StageEntry::Fpga, qdFpgaStage},
    {{"QD29E", "QD2xA", "QD20A"}, {}, StageLine::Mpeg, StageEntry::ResetWait, swidStage},
    {{"QD22", "QD24", "QD29/", "QD20"},
     {},
     StageLine::Mpeg,
     StageEntry::ResetWait,
     versStage,
     kVersHeaderBytes},
    {{"QM29", "QM22", "QM20"},
     {},
     StageLine::Mpeg,
     StageEntry::Own,
     crc32FrameStage,
     kImageHeaderBytes},
    {{"QM23"}, {}, StageLine::Mpeg, StageEntry::Own, qm23FpgaStage},
    {{"QM492", "QM40"}, {}, StageLine::Mpeg, StageEntry::Own, crc16FrameStage},
    {{"QD09", "QD29"}, "QD29/", StageLine::Mpeg, StageEntry::BootLoader, bootLoaderStage},
}};

Outcome waitForControllerReset(UpdateDialog& dlg, const char* question) {
  showStatus(dlg, kResetStatus);
  dlg.host.repaint();
  if (waitSteps(dlg, 0, 50, kResetStepMs, question)) return Outcome::Abort;
  // The restarted controller listens at 19200 again.
  setBaudRate(dlg.port, kNormalRate);
  discardInput(dlg.port);
  dlg.host.repaint();
  if (waitSteps(dlg, 51, 100, kResetStepMs, question)) return Outcome::Abort;
  if (!showModuleInfo(dlg)) {
    dlg.showError(kNoVersionText);
    return Outcome::Abort;
  }
  dlg.record.versionAfter = dlg.deviceText;
  return Outcome::Done;
}

void runStandAlone(UpdateDialog& dlg, std::span<const StageRow> table) {
  dlg.overallResult = 1;
  dlg.verdict = Verdict::None;
  dlg.port.moduleChanged = false;
  dlg.setWaitCursor(true);
  Control& progress = dlg.control(ids::Progress);
  progress.rangeLow = 0;
  progress.rangeHigh = 100;
  setProgress(dlg, 0);
  const unsigned installed = versionNumber(dlg.deviceText);

  const ControllerStageResult flash =
      programControllerStage(dlg, [&](const std::string& fpgaLine, const std::string& mpegLine) {
        return unreadableCoprocessorFile(dlg, table, fpgaLine, mpegLine);
      });
  if (flash.outcome == Outcome::Abort) return cleanUp(dlg);
  if (flash.outcome == Outcome::Failed) dlg.overallResult = 0;
  dlg.resetPending = flash.selected;

  Next next = Next::Verdict;
  rowsThatApply(table, dlg.deviceText, flash.fpgaLine, flash.mpegLine,
                [&](const StageRow& row, const std::string& line) {
                  next = runRow(dlg, row, line, installed);
                  return next == Next::OtherRows;
                });
  if (next == Next::CleanUp) return cleanUp(dlg);
  verdict(dlg, false);
}

void runBaseUnit(UpdateDialog& dlg) {
  dlg.overallResult = 1;
  dlg.verdict = Verdict::None;
  dlg.port.moduleChanged = false;
  for (int k = 0; k < dlg.slotCount && k < 9; ++k) {
    // Stopped by the user: the slot in work has ended as Esc ends it; no further one starts.
    if (dlg.host.runStopRequested()) break;
    SlotEntry& slot = dlg.slots[static_cast<size_t>(k)];
    slot.state = SlotBusy;
    resetSlotRow(dlg, k, false);
    slot.state = updateSlotModule(dlg, k);
    if (slot.state == SlotFailed) dlg.overallResult = 0;
    resetSlotRow(dlg, k, false);
  }
  verdict(dlg, true);
}

void onUpdate(UpdateDialog& dlg) {
  dlg.verdict = Verdict::None;
  dlg.port.moduleChanged = false;
  // A line that went away since Connect (an adapter plugged out and in) reaches no module: that is
  // said instead of the first command's failure.
  if (dlg.reportLineGone()) return;
  beginServiceRecord(dlg);
  if (dlg.control(ids::BaseUnit).checked)
    runBaseUnit(dlg);
  else
    runStandAlone(dlg, kStageTable);
  finishServiceRecord(dlg);
}

}  // namespace qdqm
