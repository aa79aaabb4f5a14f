// A Host for tests: answers questions from a script, records every box, and lets a test press
// Esc or click into the window from inside the event pump.
#pragma once

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

class ScriptedHost final : public Host {
 public:
  void messageBox(const std::string& caption, const std::string& text, Icon icon) override {
    boxes.push_back({caption, text, icon, false, false});
  }
  bool askYesNo(const std::string& caption, const std::string& text, Icon icon) override {
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
  void controlsChanged() override { ++controlsWrites; }
  void setWaitCursor(bool wait) override { waitCursor = wait; }
  void pumpEvents() override {
    ++pumps;
    if (onPump) onPump();
  }
  bool escapePressed() override {
    ++escQueries;
    if (escAtQuery > 0 && escQueries >= escAtQuery) return true;
    return false;
  }
  void beep(unsigned hz, unsigned ms) override { beeps.push_back({hz, ms}); }
  void repaint() override { ++repaints; }
  void closeWindow() override { closed = true; }

  // Texts of all boxes, in order.
  std::vector<std::string> texts() const {
    std::vector<std::string> t;
    for (const Box& b : boxes) t.push_back(b.text);
    return t;
  }

  std::deque<bool> answers;       // Yes = true, in the order the questions come
  std::vector<Box> boxes;
  int unscriptedQuestions = 0;
  int escAtQuery = 0;             // Esc reads as pressed from this query on (0: never)
  int escQueries = 0;
  int pumps = 0;
  int controlsWrites = 0;
  int repaints = 0;
  bool waitCursor = false;
  bool closed = false;
  std::vector<std::pair<unsigned, unsigned>> beeps;
  std::function<void()> onPump;   // runs inside pumpEvents, e.g. to click a button mid-procedure
};

}  // namespace qdqm::testing
