// A Host for the fuzz targets: counts the boxes, keeps the last text, answers every question with
// the answer it was given (No to those beginning with declinePrefix), never sees Esc.
#pragma once

#include <string>

#include "link/host.h"

namespace qdqm::fuzz {

class QuietHost final : public Host {
 public:
  void messageBox(const std::string&, const std::string& text, Icon) override {
    ++boxes;
    lastText = text;
  }
  bool askYesNo(const std::string&, const std::string& text, Icon) override {
    ++questions;
    return answer && !(!declinePrefix.empty() && text.starts_with(declinePrefix));
  }
  void controlsChanged() override {}
  void pumpEvents() override {}
  bool escapePressed() override { return false; }
  void forgetEscape() override {}
  void beep(unsigned, unsigned) override {}
  void repaint() override {}
  void closeWindow() override {}

  bool answer = true;
  std::string declinePrefix;  // questions beginning with it are answered No
  int boxes = 0;
  int questions = 0;
  std::string lastText;

 protected:
  void showWaitCursor(bool) override {}
};

}  // namespace qdqm::fuzz
