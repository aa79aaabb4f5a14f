// Ctrl-C (SIGINT) and SIGTERM while a terminal command drives a module. The first acts as Esc: the
// running stage asks its abort question and the run ends through its clean-up, which puts the line
// back to 19200 baud. A second one ends the program at once, after setting the serial line of the
// port last opened back to 19200 baud without parity (the module is not spoken to). On Windows
// the console's Ctrl-C and Ctrl-Break do the same, through the C runtime's signals.
#pragma once

#include <atomic>
#include <csignal>

namespace qdqm::cli {

// What names an open port to the interrupt handling: a descriptor, on Windows a handle.
#ifdef _WIN32
using LineHandle = void*;
#else
using LineHandle = int;
#endif

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
  // The port just opened: the line a second interrupt puts back.
  static void watchLine(LineHandle line);
  // Whether the run has written to a module: a second interrupt ends the program with exit
  // status 1 once it has, else 2.
  static void watchModule(const std::atomic<bool>* moduleChanged);

#ifdef _WIN32
 private:
  // Ctrl-C, Ctrl-Break and SIGTERM, as the C runtime delivers them.
  void (*previous_[3])(int) = {};
#else
 private:
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
#endif
};

}  // namespace qdqm::cli
