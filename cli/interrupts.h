// Ctrl-C (SIGINT) and SIGTERM while a terminal command drives modules. The first acts as Esc on
// every run: a stage that offers an abort question asks it, a transfer ends its exchange, and the
// run ends through its clean-up, which puts the line back to 19200 baud. A second one ends the
// program at once, after setting the serial lines of the ports opened back to 19200 baud without
// parity (the modules are not spoken to). On Windows the console's Ctrl-C and Ctrl-Break do the
// same, through the C runtime's signals.
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

  // Whether an interrupt came since the watch was installed.
  bool interrupted() const;
  // The port just opened: one of the lines a second interrupt puts back.
  static void watchLine(LineHandle line);

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

// While it lives, a run's mark that it has written to a module (SerialPort::moduleChanged) counts
// for a second interrupt: the program then ends with exit status 1 when any watched run has
// written to its module, else 2.
class WatchedModule {
 public:
  explicit WatchedModule(const std::atomic<bool>* moduleChanged);
  ~WatchedModule();
  WatchedModule(const WatchedModule&) = delete;
  WatchedModule& operator=(const WatchedModule&) = delete;

 private:
  size_t slot_ = 0;
};

}  // namespace qdqm::cli
