// The Host of the native dialog: message boxes owned by the window, the wait cursor, the message
// pump that the exchange runs while it waits, and Esc read from the keyboard state.
#pragma once

#include <windows.h>

#include "link/host.h"

namespace qdqm::wingui {

class DialogWindow;

// MessageBox flags of a box with the given icon: OK, or Yes and No.
UINT boxFlags(Icon icon, bool yesNo);

class Win32Host : public Host {
 public:
  void attach(DialogWindow* window) { window_ = window; }

  void messageBox(const std::string& caption, const std::string& text, Icon icon) override;
  bool askYesNo(const std::string& caption, const std::string& text, Icon icon) override;
  void controlsChanged() override;
  void pumpEvents() override;
  bool escapePressed() override;
  void forgetEscape() override;
  void beep(unsigned hz, unsigned ms) override;
  void repaint() override;
  void closeWindow() override;
  // On stderr, where the dialog has one (started from a console).
  void notice(const std::string& text) override;

 protected:
  void showWaitCursor(bool wait) override;
  // Shows the box and returns the button pressed (IDOK, IDYES, IDNO).
  virtual int showBox(const std::string& caption, const std::string& text, UINT flags);
  // The key state's word for Esc: the top bit while it is down, bit 0 when it was pressed since
  // the last query.
  virtual SHORT escapeKeyState();

 private:
  HWND windowHandle() const;
  // Esc counts while the dialog, or a box it owns, has the keyboard: a press in another program
  // must not abort a transfer.
  bool dialogHasKeyboard() const;
  void dropEscapeKeystrokes();

  DialogWindow* window_ = nullptr;
  bool escLatched_ = false;
};

}  // namespace qdqm::wingui
