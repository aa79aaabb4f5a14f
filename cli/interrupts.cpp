#include "cli/interrupts.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

#include <atomic>
#include <csignal>
#include <iterator>

namespace qdqm::cli {

namespace {

// What a signal handler (on Windows the console's handler thread) shares with the program: plain
// flags, the lines and the modules' marks, lock-free so that a handler may touch them. Several
// stations run at once: each of their lines and modules has a place of its own.
std::atomic<int> interrupts = 0;
static_assert(std::atomic<int>::is_always_lock_free);

constexpr char kEndedText[] = "\nqdqm-update: interrupted again, ended\n";
// The exit statuses of a run that wrote to a module and of one that did not.
constexpr int kFailedExit = 1;
constexpr int kNotStartedExit = 2;

// The last lines opened (a port opened again takes a new place; the oldest is given up).
constexpr size_t kWatchedLines = 64;
// The modules of the runs in progress (one a station).
constexpr size_t kWatchedModules = 64;
std::atomic<const std::atomic<bool>*> modules[kWatchedModules] = {};
std::atomic<size_t> nextLine = 0;
static_assert(std::atomic<const std::atomic<bool>*>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<size_t>::is_always_lock_free);

int endedExit() {
  for (const auto& m : modules) {
    const std::atomic<bool>* written = m;
    if (written != nullptr && *written) return kFailedExit;
  }
  return kNotStartedExit;
}

#ifdef _WIN32

std::atomic<HANDLE> lines[kWatchedLines] = {};

void putLinesBack() {
  for (const auto& line : lines) {
    const HANDLE h = line;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (h == nullptr || h == INVALID_HANDLE_VALUE || !GetCommState(h, &dcb)) continue;
    dcb.BaudRate = 19200;
    dcb.Parity = NOPARITY;
    dcb.fParity = FALSE;
    SetCommState(h, &dcb);
  }
}

// The C runtime calls this for the console's Ctrl-C (SIGINT) and Ctrl-Break (SIGBREAK) on a
// thread the system starts for the event, and for raise(). It resets a signal's handler before
// calling it, so the handler puts itself back for the second interrupt.
void onInterrupt(int sig) {
  if (interrupts.exchange(1) == 0) {
    signal(sig, onInterrupt);
    return;
  }
  putLinesBack();
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), kEndedText, sizeof kEndedText - 1, &written, nullptr);
  ExitProcess(endedExit());
}

#else

std::atomic<int> lines[kWatchedLines] = {};  // descriptor + 1, 0 for a free place

// Only async-signal-safe calls: termios, write and _exit.
void putLinesBack() {
  for (const auto& line : lines) {
    const int fd = line - 1;
    termios tio{};
    if (fd < 0 || tcgetattr(fd, &tio) != 0) continue;
    cfsetispeed(&tio, B19200);
    cfsetospeed(&tio, B19200);
    tio.c_cflag &= ~(PARENB | PARODD);
    tcsetattr(fd, TCSANOW, &tio);
  }
}

void onInterrupt(int) {
  if (interrupts == 0) {
    interrupts = 1;
    return;
  }
  putLinesBack();
  (void)!write(STDERR_FILENO, kEndedText, sizeof kEndedText - 1);
  _exit(endedExit());
}

#endif

}  // namespace

#ifdef _WIN32

// Signals stand for the console events as on Linux; there is no SIGTERM from outside on Windows
// (a console closed or a process ended is not an interrupt).
constexpr int kWatchedSignals[] = {SIGINT, SIGBREAK, SIGTERM};

InterruptWatch::InterruptWatch() {
  interrupts = 0;
  for (size_t i = 0; i < std::size(kWatchedSignals); ++i)
    previous_[i] = signal(kWatchedSignals[i], onInterrupt);
}

InterruptWatch::~InterruptWatch() {
  for (size_t i = 0; i < std::size(kWatchedSignals); ++i)
    signal(kWatchedSignals[i], previous_[i] == SIG_ERR ? SIG_DFL : previous_[i]);
  for (auto& line : lines) line = nullptr;
}

void InterruptWatch::watchLine(LineHandle handle) {
  lines[nextLine++ % kWatchedLines] = handle;
}

#else

InterruptWatch::InterruptWatch() {
  interrupts = 0;
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
  for (auto& line : lines) line = 0;
}

void InterruptWatch::watchLine(LineHandle fd) {
  lines[nextLine++ % kWatchedLines] = fd + 1;
}

#endif

WatchedModule::WatchedModule(const std::atomic<bool>* moduleChanged) {
  for (slot_ = 0; slot_ < kWatchedModules; ++slot_) {
    const std::atomic<bool>* free = nullptr;
    if (modules[slot_].compare_exchange_strong(free, moduleChanged)) return;
  }
}

WatchedModule::~WatchedModule() {
  if (slot_ < kWatchedModules) modules[slot_] = nullptr;
}

bool InterruptWatch::interrupted() const {
  return interrupts != 0;
}

}  // namespace qdqm::cli
