#include "wingui/dialog_template.h"

#include <commctrl.h>

#include "app/version.h"
#include "wingui/wide.h"

namespace qdqm::wingui {

namespace {

constexpr size_t kCountWord = 4;  // cdit, after style and extended style

void dword(std::vector<WORD>& w, DWORD v) {
  w.push_back(LOWORD(v));
  w.push_back(HIWORD(v));
}

void box(std::vector<WORD>& w, const Rect& r) {
  for (int v : {r.x, r.y, r.w, r.h}) w.push_back(static_cast<WORD>(static_cast<short>(v)));
}

}  // namespace

DialogTemplate::DialogTemplate(DWORD style, DWORD exStyle, int width, int height,
                               std::wstring_view title) {
  dword(words_, style | DS_SETFONT);
  dword(words_, exStyle);
  words_.push_back(0);  // item count, counted up by addControl
  box(words_, Rect{0, 0, width, height});
  words_.push_back(0);  // no menu
  words_.push_back(0);  // the predefined dialog class
  string(title);
  words_.push_back(kDialogFontPoints);
  string(kDialogFont);
}

void DialogTemplate::string(std::wstring_view s) {
  words_.insert(words_.end(), s.begin(), s.end());
  words_.push_back(0);
}

void DialogTemplate::alignDword() {
  if (words_.size() % 2 != 0) words_.push_back(0);
}

void DialogTemplate::beginItem(int id, DWORD style, DWORD exStyle, const Rect& r) {
  alignDword();
  dword(words_, style);
  dword(words_, exStyle);
  box(words_, r);
  words_.push_back(static_cast<WORD>(id));
  words_[kCountWord] = ++count_;
}

void DialogTemplate::addControl(int id, DWORD style, DWORD exStyle, const Rect& r, WORD classAtom,
                                std::wstring_view text) {
  beginItem(id, style, exStyle, r);
  words_.push_back(0xFFFF);
  words_.push_back(classAtom);
  string(text);
  words_.push_back(0);  // no creation data
}

void DialogTemplate::addControl(int id, DWORD style, DWORD exStyle, const Rect& r,
                                std::wstring_view className, std::wstring_view text) {
  beginItem(id, style, exStyle, r);
  string(className);
  string(text);
  words_.push_back(0);
}

void DialogTemplate::addIcon(int id, DWORD style, const Rect& r, WORD iconId) {
  beginItem(id, style | SS_ICON, 0, r);
  words_.push_back(0xFFFF);
  words_.push_back(kStaticAtom);
  words_.push_back(0xFFFF);  // the text is the icon's resource number
  words_.push_back(iconId);
  words_.push_back(0);
}

const DLGTEMPLATE* DialogTemplate::get() const {
  return reinterpret_cast<const DLGTEMPLATE*>(words_.data());
}

ItemStyle itemStyle(const Control& c, const Control* previous) {
  const bool continuesRadioGroup =
      c.kind == ControlKind::RadioButton && previous && previous->kind == ControlKind::RadioButton;
  DWORD common = WS_CHILD | (continuesRadioGroup ? 0 : WS_GROUP);
  if (c.visible) common |= WS_VISIBLE;
  if (!c.enabled) common |= WS_DISABLED;
  switch (c.kind) {
    case ControlKind::Label:
      return {kStaticAtom, nullptr, common | SS_LEFT, 0};
    case ControlKind::Icon:
      return {kStaticAtom, nullptr, common | SS_ICON, 0};
    case ControlKind::GroupBox:
      return {kButtonAtom, nullptr, common | BS_GROUPBOX, 0};
    case ControlKind::RadioButton:
      return {kButtonAtom, nullptr, common | BS_AUTORADIOBUTTON | WS_TABSTOP, 0};
    case ControlKind::DropDown:
      return {kComboBoxAtom, nullptr, common | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0};
    case ControlKind::PushButton:
      return {kButtonAtom, nullptr,
              common | (c.defaultButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | WS_TABSTOP, 0};
    case ControlKind::CheckBox:
      return {kButtonAtom, nullptr, common | BS_AUTOCHECKBOX | WS_TABSTOP, 0};
    case ControlKind::Edit:
      return {kEditAtom, nullptr, common | ES_READONLY | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP,
              0};
    case ControlKind::ProgressBar:
      return {0, PROGRESS_CLASSW, common | WS_BORDER, 0};
  }
  return {kStaticAtom, nullptr, common, 0};
}

DialogTemplate mainDialogTemplate(const std::vector<Control>& controls, int width, int height,
                                  std::wstring_view title) {
  // DS_SYSMODAL keeps the window above the others; DS_CENTER opens it in the middle of the screen.
  DialogTemplate t(DS_MODALFRAME | DS_SYSMODAL | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU |
                       WS_MINIMIZEBOX | WS_VISIBLE,
                   WS_EX_APPWINDOW, width, height, title);
  const Control* previous = nullptr;
  for (const Control& c : controls) {
    const ItemStyle s = itemStyle(c, previous);
    if (c.kind == ControlKind::Icon)
      t.addIcon(c.id, s.style, c.rect, QDQM_APP_ICON);
    else if (s.className)
      t.addControl(c.id, s.style, s.exStyle, c.rect, s.className, widen(c.text));
    else
      t.addControl(c.id, s.style, s.exStyle, c.rect, s.classAtom, widen(c.text));
    previous = &c;
  }
  return t;
}

}  // namespace qdqm::wingui
