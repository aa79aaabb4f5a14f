// Ctrl-C (SIGINT) and SIGTERM while a terminal command drives a module. The first acts as Esc: the
// running stage asks its abort question and the run ends through its clean-up, which puts the line
// back to 19200 baud. A second one ends the program at once, after setting the serial line of the
// port last opened back to 19200 baud without parity (the module is not spoken to).
#pragma once

#include <csignal>

namespace qdqm::cli {

class InterruptWatch {
 public:
  // Installs the handlers; only one watch may exist at a time.
  InterruptWatch();
  // Puts the previous handlers back.
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // True once after the first interrupt, as a key press that has been seen.
  bool takeInterrupt();
  // Whether an interrupt came since the watch was installed.
  bool interrupted() const;
  // The descriptor of the port just opened: the line a second interrupt puts back.
  static void watchLine(int fd);

 private:
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
};

}  // namespace qdqm::cli
