// Dialog templates built in memory from a control table, for DialogBoxIndirect and
// CreateDialogIndirect: the window manager then lays the controls out in dialog units of the
// template's font, as it does for a compiled dialog resource.
#pragma once

#include <windows.h>

#include <string_view>
#include <vector>

#include "app/controls.h"

namespace qdqm::wingui {

// The font every dialog of the program uses.
constexpr const wchar_t* kDialogFont = L"MS Sans Serif";
constexpr WORD kDialogFontPoints = 8;

class DialogTemplate {
 public:
  // Size in dialog units; the font is kDialogFont, so DS_SETFONT is added to `style`.
  DialogTemplate(DWORD style, DWORD exStyle, int width, int height, std::wstring_view title);
  // One control of a predefined window class ("Button", "Edit", "Static", "ComboBox" as their
  // atoms, or a class name such as the progress bar's). A negative id is kept as its low word.
  void addControl(int id, DWORD style, DWORD exStyle, const Rect& r, WORD classAtom,
                  std::wstring_view text);
  void addControl(int id, DWORD style, DWORD exStyle, const Rect& r, std::wstring_view className,
                  std::wstring_view text);
  // An icon control showing the icon resource `iconId`.
  void addIcon(int id, DWORD style, const Rect& r, WORD iconId);
  const DLGTEMPLATE* get() const;
  WORD count() const { return count_; }

 private:
  void beginItem(int id, DWORD style, DWORD exStyle, const Rect& r);
  void string(std::wstring_view s);
  void alignDword();
  std::vector<WORD> words_;
  WORD count_ = 0;
};

// Predefined class atoms of dialog item templates.
constexpr WORD kButtonAtom = 0x0080, kEditAtom = 0x0081, kStaticAtom = 0x0082,
               kComboBoxAtom = 0x0085;

// Window class and styles of one control of the main dialog's table. `previous` is the kind of the
// control before it: a run of radio buttons forms one group, every other control starts a group.
struct ItemStyle {
  WORD classAtom;  // 0 when `className` is used
  const wchar_t* className;
  DWORD style;
  DWORD exStyle;
};
ItemStyle itemStyle(const Control& c, const Control* previous);

// The main dialog's template: caption with system menu, modal frame, kept above other windows,
// shown in the task bar; one item per control of `controls`.
DialogTemplate mainDialogTemplate(const std::vector<Control>& controls, int width, int height,
                                  std::wstring_view title);

}  // namespace qdqm::wingui
