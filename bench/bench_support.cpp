#include "bench/bench_support.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace qdqm::bench {

std::vector<std::string> splitList(std::string_view text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    if (comma > start) out.emplace_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

bool allOf(const std::vector<std::string>& words, std::initializer_list<std::string_view> known) {
  if (words.empty()) return false;
  for (const std::string& w : words) {
    bool found = false;
    for (std::string_view k : known) found = found || w == k;
    if (!found) return false;
  }
  return true;
}

bool parseOptions(int argc, char** argv, WorkOptions& common,
                  const std::function<bool(std::string_view name, const char* value)>& option) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--keep") {
      common.keep = true;
      continue;
    }
    if (v == nullptr) return false;
    ++i;
    if (a == "--work") {
      common.work = v;
    } else if (!option(a, v)) {
      return false;
    }
  }
  return true;
}

std::optional<int> helpOrUsage(int argc, char** argv, std::string_view help, bool parsed) {
  if (argc > 1 && std::string_view(argv[1]) == "--help") {
    std::fwrite(help.data(), 1, help.size(), stdout);
    return 0;
  }
  if (!parsed) {
    std::fwrite(help.data(), 1, help.size(), stderr);
    return kUsage;
  }
  return std::nullopt;
}

bool parseUnsigned(const char* text, unsigned low, unsigned high, unsigned& out) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || v < low || v > high) return false;
  out = static_cast<unsigned>(v);
  return true;
}

std::string readFile(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), {});
}

double monotonicS() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string loadAverage() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

// The scheduler's nanosecond account of every thread, else the tick counts of /proc/PID/stat.
std::optional<double> cpuSeconds(pid_t pid) {
  const fs::path proc = "/proc/" + std::to_string(pid);
  std::error_code ec;
  double total = 0;
  bool any = false;
  for (const auto& task : fs::directory_iterator(proc / "task", ec)) {
    std::ifstream f(task.path() / "schedstat");
    unsigned long long ns = 0;
    if (f >> ns) {
      total += static_cast<double>(ns) / 1e9;
      any = true;
    }
  }
  if (any) return total;
  std::ifstream f(proc / "stat");
  std::string text((std::istreambuf_iterator<char>(f)), {});
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields after the name: state is field 3; utime and stime are fields 14 and 15.
  for (int k = 3; k <= 15 && rest >> field; ++k) {
    if (k == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (k == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t spawn(const std::vector<std::string>& args, int* outPipe, const fs::path& outFile,
            const fs::path& errFile) {
  int fds[2] = {-1, -1};
  if (outPipe && pipe2(fds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid != 0) {
    if (outPipe) {
      close(fds[1]);
      *outPipe = pid > 0 ? fds[0] : (close(fds[0]), -1);
    }
    return pid;
  }
  const int in = open("/dev/null", O_RDONLY);
  dup2(in, STDIN_FILENO);
  const int out = outPipe ? fds[1] : open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(out, STDOUT_FILENO);
  const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(err, STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

LineReader::~LineReader() {
  if (fd_ >= 0) close(fd_);
}

bool LineReader::fill(int timeoutMs) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return true;
  char buf[512];
  const ssize_t n = read(fd_, buf, sizeof buf);
  if (n <= 0) {
    close(fd_);
    fd_ = -1;
    return false;
  }
  pending_.append(buf, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> LineReader::next() {
  const size_t nl = pending_.find('\n');
  if (nl == std::string::npos) return std::nullopt;
  std::string line = pending_.substr(0, nl);
  pending_.erase(0, nl + 1);
  return line;
}

fs::path programsBesideSelf(std::initializer_list<const char*> programs, const char* self) {
  const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
  for (const char* p : programs) {
    if (!fs::exists(bin / p)) {
      std::fprintf(stderr, "%s: %s is not beside this program\n", self, p);
      return {};
    }
  }
  return bin;
}

WorkDir prepareWorkDir(fs::path root, const char* self) {
  WorkDir w;
  w.temporary = root.empty();
  if (w.temporary)
    root = fs::temp_directory_path() / (std::string(self) + "-" + std::to_string(getpid()));
  fs::remove_all(root);
  w.root = root;
  w.program = root / "program";
  w.logs = root / "logs";
  fs::create_directories(w.program);
  fs::create_directories(w.logs);
  fs::create_directories(root / "ports");
  setenv("QDQM_PORT_DIR", (root / "ports").c_str(), 1);
  return w;
}

void finishWorkDir(const WorkDir& work, bool keep, bool allValid) {
  if (keep || !allValid) {
    std::printf("work directory (program, logs): %s\n", work.root.c_str());
  } else if (work.temporary) {
    fs::remove_all(work.root);
  }
}

void printTargets(double ratioTarget, bool ratioMet, bool cpuMet) {
  std::printf("  ratio <= %.2f %s, cpu < 5%% %s", ratioTarget, ratioMet ? "met" : "MISSED",
              cpuMet ? "met" : "MISSED");
}

void printCpu(std::optional<double> cpuS, double wallS) {
  if (cpuS && wallS > 0) {
    std::printf("%6.2f%%", 100.0 * *cpuS / wallS);
  } else {
    std::printf("%7s", "-");
  }
}

void printCpuAndRun(std::optional<double> cpuS, double wallS, double runWallS, double runCpuS) {
  printCpu(cpuS, wallS);
  std::printf(" %8.2f %6.2f%%", runWallS, runWallS > 0 ? 100.0 * runCpuS / runWallS : 0.0);
}

}  // namespace qdqm::bench
