// The window-system seam: what the procedures need from the desktop (message boxes, questions,
// cursors, the event pump, the Esc key, a beep). Backends: Qt (gui/), terminal (cli/), scripted
// (tests/support/). Procedures never print; everything the user sees goes through here.
#pragma once

#include <string>

namespace qdqm {

enum class Icon { Stop, Exclamation, Question, Information, None };

class Host {
 public:
  virtual ~Host() = default;

  // A modal box with an OK button.
  virtual void messageBox(const std::string& caption, const std::string& text, Icon icon) = 0;
  // A modal box with Yes and No buttons; true for Yes.
  virtual bool askYesNo(const std::string& caption, const std::string& text, Icon icon) = 0;
  // "Write the members to the controls": the window model changed, show it.
  virtual void controlsChanged() = 0;
  virtual void setWaitCursor(bool wait) = 0;
  // Dispatches every pending window event (clicks, painting).
  virtual void pumpEvents() = 0;
  // Esc is down, or was pressed since the last query.
  virtual bool escapePressed() = 0;
  virtual void beep(unsigned hz, unsigned ms) = 0;
  // Repaint the whole window.
  virtual void repaint() = 0;
  // The window is to close (Exit, or No to "update another").
  virtual void closeWindow() = 0;
  // Caption of the boxes titled with the program's name.
  std::string programName = "qdqm-update";
};

}  // namespace qdqm
