// The About box and the program's version record.
#pragma once

#include "app/version.h"

namespace qdqm::about {

constexpr const char* kFileVersion = QDQM_FILE_VERSION_TEXT;
constexpr const char* kProductVersion = QDQM_PRODUCT_VERSION_TEXT;
constexpr const char* kComment = QDQM_VERSION_COMMENT;

// Text of the menu entry that opens the About box (system menu on Windows; context menu and F1
// on Linux).
constexpr const char* kMenuText = QDQM_ABOUT_MENU_TEXT;

constexpr const char* kTitle = "About CORVANE QD/QM Update";
constexpr const char* kVersionLine = "CORVANE QD/QM Update Version " QDQM_FILE_VERSION_TEXT;
constexpr const char* kOkText = "OK";
constexpr int kOkId = 1;

// Dialog units (8-point font).
constexpr int kWidth = 202, kHeight = 95;
struct Box {
  int x, y, w, h;
};
constexpr Box kIcon{10, 40, 20, 20};
constexpr Box kVersionLabel{44, 10, 134, 8};
constexpr Box kOkButton{137, 40, 50, 14};

}  // namespace qdqm::about
