// The main dialog as a native Win32 dialog: one control per entry of the window model's control
// table, from a template built in memory, refreshed from the model whenever it shows its members.
#pragma once

#include <windows.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "app/update_dialog.h"
#include "app/view_refresh.h"

namespace qdqm::wingui {

class Win32Host;

// Command value of the About entry in the system menu (the system keeps the low four bits).
constexpr UINT kAboutCommand = 16;
// Commands of the context menu.
constexpr UINT kContextAbout = 1, kContextTrace = 2, kContextFolderShown = 3, kContextFolder = 4,
               kContextRecord = 5;

class DialogWindow {
 public:
  // `instance` holds the icon and the About entry's text resource.
  DialogWindow(UpdateDialog& model, Win32Host& host, HINSTANCE instance);
  ~DialogWindow();
  DialogWindow(const DialogWindow&) = delete;
  DialogWindow& operator=(const DialogWindow&) = delete;

  // Runs the dialog until Exit or the close box ends it; false when it could not be opened.
  bool runModal();
  // Creates the dialog without a loop of its own (the caller pumps); null on failure.
  HWND create();

  HWND hwnd() const { return hwnd_; }
  HWND item(int id) const;
  // Shows the model's controls, window size and focus.
  void sync();
  // The model has ended the dialog.
  void closeFromModel();
  bool closed() const { return closed_; }
  // The About box, modal; not while a procedure runs (its loop would hold the transfer).
  void showAbout();
  // Moves a box of this window, which the system has placed, clear of the slot panel while that
  // is open; with the panel closed the box stays where the system put it.
  void placeBox(HWND box) const;
  // Pixels of a rectangle given in the dialog's units.
  RECT toPixels(const Rect& r) const;

 private:
  static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  INT_PTR handle(UINT msg, WPARAM wParam, LPARAM lParam);
  void onInit();
  void onCommand(int id, int code);
  bool onSystemCommand(WPARAM command);
  void onContextMenu(LPARAM where);
  INT_PTR slotNameBackground(HDC dc, HWND control, WPARAM wParam, LPARAM lParam);
  void apply(const Control& c, HWND w);
  void fitWindow();
  void setText(HWND w, const std::string& text);

  UpdateDialog& model_;
  Win32Host& host_;
  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  HICON icon_ = nullptr, smallIcon_ = nullptr;
  bool modal_ = false;
  bool closed_ = false;
  ViewRefresh refresh_;
  int shownFocus_ = 0;
  int shownWidth_ = 0, shownHeight_ = 0;
  std::map<int, std::vector<std::string>> shownItems_;
  std::array<int, 9> shownSlotState_{};
};

}  // namespace qdqm::wingui
