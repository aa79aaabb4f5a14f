#include "cli/interrupts.h"

#include <termios.h>
#include <unistd.h>

namespace qdqm::cli {

namespace {

// What a signal handler may share with the program: plain flags and a descriptor.
volatile sig_atomic_t interrupts = 0;
volatile sig_atomic_t taken = 0;
volatile sig_atomic_t lineFd = -1;

constexpr char kEndedText[] = "\nqdqm-update: interrupted again, ended\n";
constexpr int kInterruptedExit = 2;

// Only async-signal-safe calls: termios, write and _exit.
void putLineBack() {
  const int fd = lineFd;
  termios tio{};
  if (fd < 0 || tcgetattr(fd, &tio) != 0) return;
  cfsetispeed(&tio, B19200);
  cfsetospeed(&tio, B19200);
  tio.c_cflag &= ~(PARENB | PARODD);
  tcsetattr(fd, TCSANOW, &tio);
}

void onInterrupt(int) {
  if (interrupts == 0) {
    interrupts = 1;
    return;
  }
  putLineBack();
  (void)!write(STDERR_FILENO, kEndedText, sizeof kEndedText - 1);
  _exit(kInterruptedExit);
}

}  // namespace

InterruptWatch::InterruptWatch() {
  interrupts = 0;
  taken = 0;
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  // A question read from the terminal goes on reading; the press counts at the next Esc check.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &previousInt_);
  sigaction(SIGTERM, &action, &previousTerm_);
}

InterruptWatch::~InterruptWatch() {
  sigaction(SIGINT, &previousInt_, nullptr);
  sigaction(SIGTERM, &previousTerm_, nullptr);
  lineFd = -1;
}

bool InterruptWatch::takeInterrupt() {
  if (interrupts == 0 || taken != 0) return false;
  taken = 1;
  return true;
}

bool InterruptWatch::interrupted() const {
  return interrupts != 0;
}

void InterruptWatch::watchLine(int fd) {
  lineFd = fd;
}

}  // namespace qdqm::cli
