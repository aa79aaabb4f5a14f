// Entry of the dialog, callable from a front end that includes no Qt.
#pragma once

namespace qdqm::gui {

// Opens the main dialog and returns the program's exit status when it closes. With
// QDQM_SCREENSHOT=<file> set, saves a picture of the freshly opened dialog there and returns.
int runDialog(int argc, char** argv);

}  // namespace qdqm::gui
