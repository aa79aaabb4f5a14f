// The About box and the program's version record.
#pragma once

namespace qdqm::about {

constexpr const char* kFileVersion = "3.19.0.7";
constexpr const char* kProductVersion = "1.0.0.1";
constexpr const char* kComment = "Beta";

// Text of the menu entry that opens the About box (context menu and F1 on Linux).
constexpr const char* kMenuText = "&About Varnex...";

constexpr const char* kTitle = "About CORVANE QD/QM Update";
constexpr const char* kVersionLine = "CORVANE QD/QM Update Version 3.19.0.7";
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
