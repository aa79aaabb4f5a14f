#include "common/progress.h"

#include "common/helpers.h"

namespace qdqm {

namespace {

constexpr const char* kQuestionCaption = "Question";

}  // namespace

void showStatus(UpdateDialog& dlg, const char* text) {
  dlg.statusText = text;
  dlg.control(ids::StatusLine).visible = true;
  dlg.updateData();
}

void setProgress(UpdateDialog& dlg, int position) {
  dlg.control(ids::Progress).position = position;
  dlg.host.controlsChanged();
}

void moveProgress(UpdateDialog& dlg, int position) {
  moveProgress(dlg, dlg.control(ids::Progress), position);
}

void moveProgress(UpdateDialog& dlg, Control& progress, int position) {
  if (position == progress.position) return;
  progress.position = position;
  dlg.updateData();
}

// The event pump keeps the window painted and lets the Esc key be seen.
bool abortCheck(UpdateDialog& dlg, const char* question) {
  pumpMessages(dlg.port, kPumpIntervalMs);
  return dlg.host.escapePressed() &&
         dlg.host.ask(kQuestionCaption, formatMessage(question, dlg.deviceText.c_str()),
                      Icon::Question);
}

bool waitSteps(UpdateDialog& dlg, int from, int to, uint32_t stepMs, const char* question) {
  for (int k = from; k < to; ++k) {
    if (question != nullptr && abortCheck(dlg, question)) return true;
    dlg.clock.sleepMs(stepMs);
    setProgress(dlg, k + 1);
  }
  return false;
}

}  // namespace qdqm
