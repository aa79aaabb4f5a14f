#include "link/host.h"

namespace qdqm {

void Host::message(const std::string& caption, const std::string& text, Icon icon) {
  const bool wait = waitCursor_;
  if (wait) setWaitCursor(false);
  messageBox(caption, text, icon);
  if (wait) setWaitCursor(true);
}

bool Host::ask(const std::string& caption, const std::string& text, Icon icon) {
  const bool wait = waitCursor_;
  if (wait) setWaitCursor(false);
  const bool yes = askYesNo(caption, text, icon);
  if (wait) setWaitCursor(true);
  return yes;
}

}  // namespace qdqm
