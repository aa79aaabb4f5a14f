// Entry of the native dialog for the program's main().
#pragma once

namespace qdqm::wingui {

// Opens the main dialog on the system's COM ports and returns the exit status when it closes.
int runDialog();

}  // namespace qdqm::wingui
