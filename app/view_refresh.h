// For the views of the window model: showing the controls can reach a handler (a focus change
// fires one), and the handler's own changes must be shown too. The refresh runs again until no
// handler asked for it while it ran, and never nests.
#pragma once

namespace qdqm {

class ViewRefresh {
 public:
  template <class Show>
  void run(Show show) {
    if (running_) {
      again_ = true;
      return;
    }
    running_ = true;
    do {
      again_ = false;
      show();
    } while (again_);
    running_ = false;
  }
  bool running() const { return running_; }

 private:
  bool running_ = false;
  bool again_ = false;
};

}  // namespace qdqm
