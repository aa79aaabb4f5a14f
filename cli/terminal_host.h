// The Host of the terminal commands: boxes become "<caption>: <text>" lines on stderr, questions
// are answered by --yes/--no, asked on the terminal, or answered No; progress and status come from
// the window model's controls each time the model shows its members.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/json_report.h"
#include "link/host.h"

namespace qdqm {
class UpdateDialog;
}

namespace qdqm::cli {

class InterruptWatch;
class StationBoard;

struct TerminalOptions {
  std::optional<bool> answer;  // --yes / --no
  bool askOnTerminal = false;  // stdin is a terminal: ask the user
  bool progressBar = false;    // stderr is a terminal: redraw one bar line
};

class TerminalHost final : public Host {
 public:
  using Options = TerminalOptions;
  // Options from the process's terminals, without a configured answer.
  static Options terminalOptions();

  explicit TerminalHost(std::ostream& err, Options options = {}, std::istream* in = nullptr);

  // The model whose progress and status are shown on controlsChanged().
  void attach(const UpdateDialog* dialog) { dialog_ = dialog; }
  // Interrupts that act as Esc. Once one was taken, a question that cannot be asked on the
  // terminal is answered so that the run stops: Yes to the abort question that follows the
  // interrupt, No to every later one (--yes and --no no longer count).
  void watchInterrupts(InterruptWatch* watch) { interrupts_ = watch; }
  // One of several stations: progress and status go to the board's line of `station`.
  void reportTo(StationBoard* board, size_t station) {
    board_ = board;
    station_ = station;
  }

  void messageBox(const std::string& caption, const std::string& text, Icon icon) override;
  bool askYesNo(const std::string& caption, const std::string& text, Icon icon) override;
  void controlsChanged() override;
  void pumpEvents() override {}
  // No key state on a terminal: Esc is the first Ctrl-C or SIGTERM, where a watch is given.
  bool escapePressed() override;
  void forgetEscape() override {}
  // Once interrupted, a base-unit run ends with the slot in work.
  bool runStopRequested() override;
  void beep(unsigned hz, unsigned ms) override;
  void repaint() override {}
  void closeWindow() override { closed = true; }
  void notice(const std::string& text) override;

  bool closed = false;
  // Every box and question shown, in order.
  std::vector<JsonMessage> shown;

 protected:
  void showWaitCursor(bool) override {}

 private:
  void endBarLine();

  std::ostream& err_;
  Options options_;
  std::istream* in_;
  const UpdateDialog* dialog_ = nullptr;
  std::string lastStatus_;
  int lastPosition_ = -1;
  bool barShown_ = false;
  InterruptWatch* interrupts_ = nullptr;
  StationBoard* board_ = nullptr;
  size_t station_ = 0;
  bool interrupted_ = false;       // this run has taken the interrupt
  bool abortQuestionDue_ = false;  // an interrupt was just taken as Esc
};

}  // namespace qdqm::cli
