// The window-system seam: what the procedures need from the desktop (message boxes, questions,
// cursors, the event pump, the Esc key, a beep). Backends: Qt (gui/), Win32 (wingui/), terminal
// (cli/), scripted (tests/support/). Procedures never print; everything the user sees goes
// through here.
#pragma once

#include <string>

namespace qdqm {

enum class Icon { Stop, Exclamation, Question, Information, None };

class Host {
 public:
  virtual ~Host() = default;

  // What procedures call: a box always appears under the arrow cursor, and a procedure that was
  // showing the wait cursor gets it back when the box is closed.
  void message(const std::string& caption, const std::string& text, Icon icon);
  bool ask(const std::string& caption, const std::string& text, Icon icon);
  void setWaitCursor(bool wait) {
    waitCursor_ = wait;
    showWaitCursor(wait);
  }
  bool waitCursorShown() const { return waitCursor_; }

  // The backend's boxes. A modal box with an OK button.
  virtual void messageBox(const std::string& caption, const std::string& text, Icon icon) = 0;
  // A modal box with Yes and No buttons; true for Yes.
  virtual bool askYesNo(const std::string& caption, const std::string& text, Icon icon) = 0;
  // "Write the members to the controls": the window model changed, show it.
  virtual void controlsChanged() = 0;
  // Dispatches every pending window event (clicks, painting).
  virtual void pumpEvents() = 0;
  // Esc is down, or was pressed since the last query.
  virtual bool escapePressed() = 0;
  // Forgets Esc presses made so far: only a press while a procedure runs may abort it.
  virtual void forgetEscape() = 0;
  // The user wants the whole run stopped (an interrupt on the terminal), not only the stage in
  // work that Esc ends: a base-unit run then starts no further slot.
  virtual bool runStopRequested() { return false; }
  virtual void beep(unsigned hz, unsigned ms) = 0;
  // Repaint the whole window.
  virtual void repaint() = 0;
  // The window is to close (Exit, or No to "update another").
  virtual void closeWindow() = 0;
  // A line for the user that is no box of the procedures (the service record could not be
  // written): on stderr, where there is one.
  virtual void notice(const std::string& /*text*/) {}
  // Caption of the boxes titled with the program's name.
  std::string programName = "qdqm-update";

 protected:
  virtual void showWaitCursor(bool wait) = 0;

 private:
  bool waitCursor_ = false;
};

}  // namespace qdqm
