#include "wingui/about_box.h"

#include "app/about.h"
#include "wingui/dialog_template.h"
#include "wingui/wide.h"

namespace qdqm::wingui {

namespace {

Rect rect(const about::Box& b) {
  return Rect{b.x, b.y, b.w, b.h};
}

INT_PTR CALLBACK aboutProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
  if (msg == WM_INITDIALOG) return TRUE;
  if (msg == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(hwnd, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void showAboutBox(HINSTANCE instance, HWND owner) {
  DialogTemplate t(DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, 0,
                   about::kWidth, about::kHeight, widen(about::kTitle));
  t.addIcon(-1, WS_CHILD | WS_VISIBLE, rect(about::kIcon), QDQM_APP_ICON);
  t.addControl(-1, WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0,
               rect(about::kVersionLabel), kStaticAtom, widen(about::kVersionLine));
  t.addControl(about::kOkId, WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_GROUP | BS_DEFPUSHBUTTON, 0,
               rect(about::kOkButton), kButtonAtom, widen(about::kOkText));
  DialogBoxIndirectParamW(instance, t.get(), owner, aboutProc, 0);
}

}  // namespace qdqm::wingui
