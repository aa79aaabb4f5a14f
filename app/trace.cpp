#include "app/trace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "app/about.h"
#include "link/frame_trace.h"

namespace qdqm {

namespace {

constexpr const char* kTraceCaption = "Frame trace";
constexpr const char* kProgramDir = "qdqm-update";
constexpr int kMaxSameSecond = 100;  // files started within one second get -2, -3, ...

// Only an absolute directory counts: a relative one would depend on where the program was started.
bool usableDir(const char* dir) {
  return dir != nullptr && dir[0] != '\0' && std::filesystem::path(dir).is_absolute();
}

// A name in `dir` not taken yet, so that a new trace never overwrites an earlier one.
std::string freshPath(const std::string& dir, std::time_t when) {
  const std::string name = traceFileName(when);
  const std::string stem = name.substr(0, name.size() - 4);  // without ".txt"
  const std::filesystem::path base(dir);
  std::string path = (base / name).string();
  std::error_code ec;
  for (int k = 2; k <= kMaxSameSecond && std::filesystem::exists(path, ec); ++k)
    path = (base / (stem + "-" + std::to_string(k) + ".txt")).string();
  return path;
}

}  // namespace

std::string traceDirectory(const char* xdgStateHome, const char* home) {
  if (usableDir(xdgStateHome)) return (std::filesystem::path(xdgStateHome) / kProgramDir).string();
  if (usableDir(home))
    return (std::filesystem::path(home) / ".local" / "state" / kProgramDir).string();
  return {};
}

std::string windowsTraceDirectory(const char* localAppData) {
  if (usableDir(localAppData)) return (std::filesystem::path(localAppData) / kProgramDir).string();
  return {};
}

std::string traceFileName(std::time_t when) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  char name[64];
  std::strftime(name, sizeof name, "trace-%Y%m%d-%H%M%S.txt", &local);
  return name;
}

std::string traceTitle(std::string_view what, std::time_t when) {
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &when);
#else
  gmtime_r(&when, &utc);
#endif
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC", &utc);
  std::string title = "qdqm-update ";
  title += about::kFileVersion;
  title += " frame trace of ";
  title += what;
  title += ", started ";
  title += stamp;
  return title;
}

bool startTrace(UpdateDialog& dlg, const std::string& path, std::string_view title, int& error) {
  std::unique_ptr<TraceSink> sink = openTraceFile(path, error);
  if (!sink) return false;
  SerialPort& port = dlg.port;
  port.trace.reset();  // ends a trace that was running
  port.trace = std::make_unique<FrameTrace>(dlg.clock, std::move(sink), title);
  // The line as it stands, so that the first frames can be read without the open before them.
  if (port.isOpen()) port.trace->event(port.line, "port " + port.device->name());
  return true;
}

std::string traceFile(const UpdateDialog& dlg) {
  return dlg.port.trace ? dlg.port.trace->where() : std::string();
}

void startDialogTrace(UpdateDialog& dlg) {
#ifdef _WIN32
  const std::string dir = windowsTraceDirectory(std::getenv("LOCALAPPDATA"));
  constexpr const char* kNoDirectory = "Could not start the frame trace:\nLOCALAPPDATA is not set.";
#else
  const std::string dir = traceDirectory(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
  constexpr const char* kNoDirectory =
      "Could not start the frame trace:\nneither XDG_STATE_HOME nor HOME is set.";
#endif
  if (dir.empty()) {
    dlg.showError(kNoDirectory);
    return;
  }
  const std::time_t now = std::time(nullptr);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  const std::string path = freshPath(dir, now);
  int error = 0;
  if (!startTrace(dlg, path, traceTitle("the dialog", now), error)) {
    dlg.showError("Could not open the trace file\n" + path + "\n" + std::strerror(error));
    return;
  }
  dlg.host.message(kTraceCaption, "The frame trace is written to\n" + path, Icon::Information);
}

void endDialogTrace(UpdateDialog& dlg) {
  if (!dlg.port.trace) return;
  dlg.port.trace->flush();
  const std::string path = dlg.port.trace->where();
  const int error = dlg.port.trace->error();
  dlg.port.trace.reset();
  if (error != 0) {
    dlg.showError("Could not write the trace file\n" + path + "\n" + std::strerror(error) +
                  "\nThe trace ends where that happened.");
    return;
  }
  dlg.host.message(kTraceCaption, "The frame trace was written to\n" + path, Icon::Information);
}

}  // namespace qdqm
