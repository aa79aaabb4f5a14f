// A Host for tests: answers questions from a script, records every box, and lets a test press
// Esc or click into the window from inside the event pump.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "link/host.h"

namespace qdqm::testing {

struct Box {
  std::string caption;
  std::string text;
  Icon icon = Icon::None;
  bool question = false;
  bool answer = false;  // what the script answered (questions only)
};

// Every box must appear under the arrow cursor; a box under the wait cursor fails the test.

class ScriptedHost final : public Host {
 public:
  void messageBox(const std::string& caption, const std::string& text, Icon icon) override {
    checkArrow(text);
    boxes.push_back({caption, text, icon, false, false});
  }
  bool askYesNo(const std::string& caption, const std::string& text, Icon icon) override {
    checkArrow(text);
    bool answer = false;
    if (answers.empty()) {
      ++unscriptedQuestions;  // answered No; a test that did not expect it can check this count
    } else {
      answer = answers.front();
      answers.pop_front();
    }
    boxes.push_back({caption, text, icon, true, answer});
    return answer;
  }
  void controlsChanged() override {
    ++controlsWrites;
    if (onControlsChanged) onControlsChanged();
  }
  void pumpEvents() override {
    ++pumps;
    if (onPump) onPump();
  }
  bool escapePressed() override {
    ++escQueries;
    if (escLatched) {
      escLatched = false;
      return true;
    }
    return escAtQuery > 0 && escQueries >= escAtQuery;
  }
  void forgetEscape() override {
    ++escForgets;
    escLatched = false;
  }
  void beep(unsigned hz, unsigned ms) override { beeps.push_back({hz, ms}); }
  void repaint() override {
    ++repaints;
    if (onRepaint) onRepaint();
  }
  void closeWindow() override { closed = true; }
  void notice(const std::string& text) override { notices.push_back(text); }
  bool runStopRequested() override { return stopRun; }

  // Texts of all boxes, in order.
  std::vector<std::string> texts() const {
    std::vector<std::string> t;
    for (const Box& b : boxes) t.push_back(b.text);
    return t;
  }

  std::deque<bool> answers;  // Yes = true, in the order the questions come
  std::vector<Box> boxes;
  std::vector<std::string> notices;
  int unscriptedQuestions = 0;
  int escAtQuery = 0;  // Esc reads as pressed from this query on (0: never)
  int escQueries = 0;
  bool escLatched = false;  // a press not yet queried (or forgotten)
  bool stopRun = false;     // the whole run is to stop (a terminal's interrupt)
  int escForgets = 0;
  int pumps = 0;
  int controlsWrites = 0;
  int repaints = 0;
  bool waitCursor = false;
  bool closed = false;
  std::vector<std::pair<unsigned, unsigned>> beeps;
  std::function<void()> onPump;  // runs inside pumpEvents, e.g. to click a button mid-procedure
  std::function<void()> onControlsChanged;  // e.g. to record the status line as it changes
  std::function<void()> onRepaint;

 protected:
  void showWaitCursor(bool wait) override { waitCursor = wait; }

 private:
  void checkArrow(const std::string& text) const {
    if (waitCursor) ADD_FAILURE() << "box under the wait cursor: " << text;
  }
};

}  // namespace qdqm::testing
