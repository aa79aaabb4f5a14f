#include "link/host.h"

namespace qdqm {
namespace {

// The arrow cursor for the life of a box; the wait cursor back afterwards when it was shown.
class ArrowForBox {
 public:
  ArrowForBox(Host& host, bool waitShown) : host_(host), wait_(waitShown) {
    if (wait_) host_.setWaitCursor(false);
  }
  ~ArrowForBox() {
    if (wait_) host_.setWaitCursor(true);
  }
  ArrowForBox(const ArrowForBox&) = delete;
  ArrowForBox& operator=(const ArrowForBox&) = delete;

 private:
  Host& host_;
  bool wait_;
};

}  // namespace

void Host::message(const std::string& caption, const std::string& text, Icon icon) {
  const ArrowForBox arrow(*this, waitCursor_);
  messageBox(caption, text, icon);
}

bool Host::ask(const std::string& caption, const std::string& text, Icon icon) {
  const ArrowForBox arrow(*this, waitCursor_);
  return askYesNo(caption, text, icon);
}

}  // namespace qdqm
