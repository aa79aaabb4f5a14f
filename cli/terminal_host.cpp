#include "cli/terminal_host.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "app/update_dialog.h"
#include "cli/interrupts.h"
#include "cli/stations.h"
#include "procedures/driver.h"

namespace qdqm::cli {

namespace {

constexpr int kBarWidth = 40;
constexpr int kPlainStep = 10;  // plain lines: one per 10 % of progress

// "Do you wish to update another %s ?" is answered No on the terminal, whatever --yes says: the
// text before "%s" recognises it.
constexpr std::string_view kAnotherPrefix =
    kUpdateAnotherText.substr(0, kUpdateAnotherText.find("%s"));

}  // namespace

TerminalHost::Options TerminalHost::terminalOptions() {
  Options o;
  o.askOnTerminal = isatty(STDIN_FILENO) == 1;
  o.progressBar = isatty(STDERR_FILENO) == 1;
  return o;
}

TerminalHost::TerminalHost(std::ostream& err, Options options, std::istream* in)
    : err_(err), options_(options), in_(in ? in : &std::cin) {}

void TerminalHost::endBarLine() {
  if (barShown_) err_ << "\n";
  barShown_ = false;
}

bool TerminalHost::runStopRequested() {
  return interrupts_ != nullptr && interrupts_->interrupted();
}

// Each run sees the interrupt once, as a key press: several stations each take it.
bool TerminalHost::escapePressed() {
  abortQuestionDue_ = !interrupted_ && interrupts_ != nullptr && interrupts_->interrupted();
  if (abortQuestionDue_) interrupted_ = true;
  return abortQuestionDue_;
}

void TerminalHost::messageBox(const std::string& caption, const std::string& text, Icon) {
  abortQuestionDue_ = false;
  shown.push_back({caption, text});
  endBarLine();
  err_ << caption << ": " << text << std::endl;
}

bool TerminalHost::askYesNo(const std::string& caption, const std::string& text, Icon) {
  shown.push_back({caption, text});
  endBarLine();
  err_ << caption << ": " << text;
  if (std::string_view(text).starts_with(kAnotherPrefix)) {
    err_ << " No" << std::endl;
    return false;
  }
  const bool abortQuestion = abortQuestionDue_;
  abortQuestionDue_ = false;
  if (interrupted_ && !options_.askOnTerminal) {
    err_ << (abortQuestion ? " Yes" : " No") << std::endl;
    return abortQuestion;
  }
  if (options_.answer && !interrupted_) {
    err_ << (*options_.answer ? " Yes" : " No") << std::endl;
    return *options_.answer;
  }
  if (!options_.askOnTerminal) {
    err_ << " No" << std::endl;
    return false;
  }
  err_ << " [y/N] " << std::flush;
  std::string line;
  if (!std::getline(*in_, line)) return false;
  return !line.empty() && (line[0] == 'y' || line[0] == 'Y');
}

void TerminalHost::controlsChanged() {
  if (!dialog_) return;
  const Control& status = dialog_->control(ids::StatusLine);
  const std::string text = status.visible ? dialog_->statusText : std::string();
  const int position = dialog_->control(ids::Progress).position;
  if (board_) return board_->progress(station_, dialog_->deviceText, text, position);
  if (options_.progressBar) {
    if (!status.visible && !barShown_) return;
    // After a box, the bar going back to 0 with the same text is no news (the verdict does that
    // before its question): no new bar line for it.
    if (!barShown_ && text == lastStatus_ && position == 0) {
      lastPosition_ = position;
      return;
    }
    if (text == lastStatus_ && position == lastPosition_) return;
    const int filled = std::clamp(position, 0, 100) * kBarWidth / 100;
    err_ << "\r[" << std::string(filled, '#') << std::string(kBarWidth - filled, ' ') << "] "
         << position << "% " << text << "\033[K" << std::flush;
    barShown_ = true;
    if (!status.visible) endBarLine();
  } else {
    if (!text.empty() && text != lastStatus_) err_ << text << std::endl;
    if (status.visible && position / kPlainStep != lastPosition_ / kPlainStep && position > 0)
      err_ << position << "%" << std::endl;
  }
  lastStatus_ = text;
  lastPosition_ = position;
}

void TerminalHost::notice(const std::string& text) {
  endBarLine();
  err_ << "qdqm-update: " << text << std::endl;
}

void TerminalHost::beep(unsigned, unsigned) {
  err_ << '\a' << std::flush;
}

}  // namespace qdqm::cli
