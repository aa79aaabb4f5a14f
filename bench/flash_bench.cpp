// qdqm-flash-bench: times a whole controller flash through `qdqm-update update` against
// `qdqm-sim --wire-timing` on a pty, and the same flash through `qdqm-update-literal` (the serial
// cycle taken literally: busy 1 ms pauses, fixed 6 ms reads) in the same run.
//
// The simulator paces both directions at the line's rate and reports the programming window as
// seen on the wire: from the first record after the erase to the last record and its reply, with
// the bytes that crossed the line in that window. Their wire time at 10 bits a byte is the limit
// no exchange can beat. The tool's CPU time over the same window is read from /proc at the
// simulator's two reports; the whole run's figures come from wait4.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/intel_hex.h"

namespace {

namespace fs = std::filesystem;

constexpr int kUsage = 64;
constexpr unsigned kCom = 9;
// The longest a single flash may take before the run is given up (19200 baud, record protocol,
// literal cycle, 64 KiB: about five minutes).
constexpr double kRunLimitS = 1800;

constexpr std::string_view kHelp =
    "usage: qdqm-flash-bench [options]\n"
    "  Flashes a synthetic image through `qdqm-update update` against `qdqm-sim --wire-timing`\n"
    "  and through the literal-cycle reference, and prints wall time, wire-limit time, their\n"
    "  ratio and CPU time over wall time of the programming, for every combination of:\n"
    "  --rates LIST       high (the module's top speed: 115200 raw, 57600 record), 19200\n"
    "                     (default high,19200)\n"
    "  --protocols LIST   raw, record (default raw,record)\n"
    "  --exchanges LIST   tool, literal (default tool,literal)\n"
    "  --kib N            image size in KiB (default 64)\n"
    "  --record-bytes N   data bytes per record in the data file (default 16)\n"
    "  --work DIR         where the program directory and logs go (default: a fresh temporary\n"
    "                     directory, removed afterwards unless --keep)\n"
    "  --keep             keep the work directory\n";

struct Options {
  std::vector<std::string> rates{"high", "19200"};
  std::vector<std::string> protocols{"raw", "record"};
  std::vector<std::string> exchanges{"tool", "literal"};
  unsigned kib = 64;
  unsigned recordBytes = 16;
  fs::path work;
  bool keep = false;
};

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

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--keep") {
      o.keep = true;
      continue;
    }
    if (v == nullptr) return false;
    ++i;
    if (a == "--rates") {
      o.rates = splitList(v);
      if (!allOf(o.rates, {"high", "19200"})) return false;
    } else if (a == "--protocols") {
      o.protocols = splitList(v);
      if (!allOf(o.protocols, {"raw", "record"})) return false;
    } else if (a == "--exchanges") {
      o.exchanges = splitList(v);
      if (!allOf(o.exchanges, {"tool", "literal"})) return false;
    } else if (a == "--kib") {
      o.kib = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
      if (o.kib == 0 || o.kib > 1024) return false;
    } else if (a == "--record-bytes") {
      o.recordBytes = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
      if (o.recordBytes == 0 || o.recordBytes > 255) return false;
    } else if (a == "--work") {
      o.work = v;
    } else {
      return false;
    }
  }
  return true;
}

double monotonicS() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// CPU time of a live (or not yet reaped) process in seconds: the scheduler's nanosecond account
// of every thread, else the tick counts of /proc/PID/stat.
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

// Starts a program; stdout goes to a pipe (outPipe given) or to outFile, stderr to errFile.
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

// Complete lines from a pipe, without blocking longer than timeoutMs.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  ~LineReader() {
    if (fd_ >= 0) close(fd_);
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Waits for data; false at end of file.
  bool fill(int timeoutMs) {
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
  std::optional<std::string> next() {
    const size_t nl = pending_.find('\n');
    if (nl == std::string::npos) return std::nullopt;
    std::string line = pending_.substr(0, nl);
    pending_.erase(0, nl + 1);
    return line;
  }

 private:
  int fd_;
  std::string pending_;
};

// "flash end T records N baud B bytes-in I bytes-out O wire-us W wall-us D ended E"
struct FlashWindow {
  unsigned records = 0;
  unsigned baud = 0;
  unsigned long long bytesIn = 0, bytesOut = 0;
  double wireS = 0, wallS = 0;
  bool endRecognised = false;  // the module saw the end of programming (E = 1)
};

bool parseEnd(const std::string& line, FlashWindow& w) {
  unsigned long long end = 0, wireUs = 0, wallUs = 0;
  int ended = 0;
  const int n =
      std::sscanf(line.c_str(),
                  "flash end %llu records %u baud %u bytes-in %llu bytes-out %llu "
                  "wire-us %llu wall-us %llu ended %d",
                  &end, &w.records, &w.baud, &w.bytesIn, &w.bytesOut, &wireUs, &wallUs, &ended);
  w.wireS = static_cast<double>(wireUs) / 1e6;
  w.wallS = static_cast<double>(wallUs) / 1e6;
  w.endRecognised = ended == 1;
  return n == 8;
}

struct Result {
  std::string rate, protocol, exchange;
  std::string problem;  // empty when every figure was measured and the flash is right
  int exitCode = -1;
  double runWallS = 0, runCpuS = 0;
  FlashWindow window;
  std::optional<double> windowCpuS;
};

struct Setup {
  fs::path bin;      // where qdqm-update, qdqm-update-literal and qdqm-sim are
  fs::path program;  // the program directory: the tools beside their type directories
  fs::path logs;
  std::string expectedFlash;  // the image as qdqm-sim --flash-out writes it
};

const char* moduleOf(const std::string& protocol) {
  return protocol == "raw" ? "QD21S" : "QM41B";
}

Result runOne(const Setup& s, const std::string& rate, const std::string& protocol,
              const std::string& exchange) {
  Result r;
  r.rate = rate;
  r.protocol = protocol;
  r.exchange = exchange;
  const std::string tag = protocol + "-" + rate + "-" + exchange;
  const fs::path flashOut = s.logs / (tag + ".flash.hex");
  std::error_code ec;
  fs::remove(flashOut, ec);

  int simOut = -1;
  const pid_t sim = spawn({(s.bin / "qdqm-sim").string(), "--com", std::to_string(kCom), "--module",
                           moduleOf(protocol), "--protocol", protocol, "--top-speed", "3",
                           "--wire-timing", "--report-flash", "--flash-out", flashOut.string()},
                          &simOut, {}, s.logs / (tag + ".sim.err"));
  if (sim < 0) {
    r.problem = "cannot start qdqm-sim";
    return r;
  }
  LineReader simLines(simOut);
  std::ofstream simLog(s.logs / (tag + ".sim.out"));
  bool ready = false;
  for (double until = monotonicS() + 10; !ready && monotonicS() < until;) {
    if (!simLines.fill(100)) break;
    while (auto line = simLines.next()) {
      simLog << *line << "\n";
      ready = ready || line->starts_with("COM");
    }
  }

  bool started = false, ended = false;
  std::optional<double> cpuAtStart, cpuAtEnd, exitCpuS;
  pid_t tool = -1;
  if (!ready) {
    r.problem = "qdqm-sim did not come up";
  } else {
    const std::string program = exchange == "tool" ? "qdqm-update" : "qdqm-update-literal";
    std::vector<std::string> args{(s.program / program).string(), "update", "--port",
                                  std::to_string(kCom), "--yes"};
    if (rate == "19200") args.push_back("--low-speed");
    const double t0 = monotonicS();
    tool = spawn(args, nullptr, s.logs / (tag + ".out"), s.logs / (tag + ".err"));
    if (tool < 0) r.problem = "cannot start " + program;
    auto take = [&](const std::string& line) {
      simLog << line << "\n";
      if (line.starts_with("flash start")) {
        started = true;
        cpuAtStart = cpuSeconds(tool);
      } else if (line.starts_with("flash end") && started && parseEnd(line, r.window)) {
        ended = true;
        cpuAtEnd = cpuSeconds(tool);
      }
    };
    while (tool > 0) {
      simLines.fill(50);
      while (auto line = simLines.next()) take(*line);
      // Noticed without reaping, so /proc still answers for the exited tool.
      siginfo_t info{};
      if (waitid(P_PID, static_cast<id_t>(tool), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
          info.si_pid == tool) {
        break;
      }
      if (monotonicS() - t0 > kRunLimitS) {
        kill(tool, SIGKILL);
        r.problem = "gave up after " + std::to_string(static_cast<int>(kRunLimitS)) + " s";
      }
    }
    if (tool > 0) {
      exitCpuS = cpuSeconds(tool);
      int status = 0;
      rusage ru{};
      wait4(tool, &status, 0, &ru);
      r.runWallS = monotonicS() - t0;
      r.runCpuS = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                  static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
      r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
  }

  // A window the module never saw end is reported when the simulator stops; the tool's CPU
  // time then runs to its exit.
  kill(sim, SIGTERM);
  while (simLines.fill(1000)) {
    while (auto line = simLines.next()) {
      simLog << *line << "\n";
      if (line->starts_with("flash end") && started && !ended && parseEnd(*line, r.window)) {
        ended = true;
        cpuAtEnd = exitCpuS;
      }
    }
  }
  waitpid(sim, nullptr, 0);

  if (started && ended && cpuAtStart && cpuAtEnd) r.windowCpuS = *cpuAtEnd - *cpuAtStart;
  if (!r.problem.empty()) return r;
  if (r.exitCode != 0) {
    r.problem = "update ended with exit status " + std::to_string(r.exitCode);
  } else if (!ended) {
    r.problem = "no programming window reported";
  } else {
    std::ifstream f(flashOut);
    const std::string flash((std::istreambuf_iterator<char>(f)), {});
    if (flash != s.expectedFlash) r.problem = "flash differs from the image";
  }
  return r;
}

// The targets of the tool's own cycle: the flash within 1.10 times the wire limit at 115200 baud
// (and at 57600, the record protocol's top speed), within 1.05 at 19200; CPU below 5 % of wall.
constexpr double kCpuTarget = 0.05;
double ratioTarget(unsigned baud) {
  return baud <= 19200 ? 1.05 : 1.10;
}

// The first three fields of /proc/loadavg: the machine is shared, and load stretches the figures.
std::string loadAverage() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

void printResult(const Result& r) {
  const FlashWindow& w = r.window;
  std::printf("%-7s %-6s %-7s %6u %7u %8.2f %8.2f %6.3f ", r.protocol.c_str(), r.rate.c_str(),
              r.exchange.c_str(), w.baud, w.records, w.wallS, w.wireS,
              w.wireS > 0 ? w.wallS / w.wireS : 0.0);
  if (r.windowCpuS && w.wallS > 0) {
    std::printf("%6.2f%% ", 100.0 * *r.windowCpuS / w.wallS);
  } else {
    std::printf("%7s ", "-");
  }
  std::printf("%8.2f %6.2f%%", r.runWallS, r.runWallS > 0 ? 100.0 * r.runCpuS / r.runWallS : 0.0);
  if (!r.problem.empty()) {
    std::printf("  INVALID: %s\n", r.problem.c_str());
    std::fflush(stdout);
    return;
  }
  if (r.exchange == "tool") {
    const bool ratioMet = w.wallS <= ratioTarget(w.baud) * w.wireS;
    const bool cpuMet = r.windowCpuS && *r.windowCpuS <= kCpuTarget * w.wallS;
    std::printf("  ratio <= %.2f %s, cpu < 5%% %s", ratioTarget(w.baud),
                ratioMet ? "met" : "MISSED", cpuMet ? "met" : "MISSED");
  }
  if (!w.endRecognised) std::printf("  (module did not recognise the end of programming)");
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (argc > 1 && std::string_view(argv[1]) == "--help") {
    std::fwrite(kHelp.data(), 1, kHelp.size(), stdout);
    return 0;
  }
  if (!parse(argc, argv, o)) {
    std::fwrite(kHelp.data(), 1, kHelp.size(), stderr);
    return kUsage;
  }

  Setup s;
  s.bin = fs::read_symlink("/proc/self/exe").parent_path();
  for (const char* p : {"qdqm-update", "qdqm-update-literal", "qdqm-sim"}) {
    if (!fs::exists(s.bin / p)) {
      std::fprintf(stderr, "qdqm-flash-bench: %s is not beside this program\n", p);
      return 1;
    }
  }
  const bool temporary = o.work.empty();
  if (temporary)
    o.work = fs::temp_directory_path() / ("qdqm-flash-bench-" + std::to_string(getpid()));
  fs::remove_all(o.work);
  s.program = o.work / "program";
  s.logs = o.work / "logs";
  fs::create_directories(s.program);
  fs::create_directories(s.logs);
  fs::create_directories(o.work / "ports");
  setenv("QDQM_PORT_DIR", (o.work / "ports").c_str(), 1);
  // The tools find their type directories beside their executable.
  for (const char* p : {"qdqm-update", "qdqm-update-literal"}) {
    fs::copy_file(s.bin / p, s.program / p, fs::copy_options::overwrite_existing);
  }

  const qdqm::sim::Image image = qdqm::sim::syntheticImage(0, o.kib * 1024, 64);
  s.expectedFlash = qdqm::sim::toIntelHex(image);
  // QD21S (raw) at hardware revision 1, QM41B (record) without a revision suffix.
  for (const auto& [type, dir] : {std::pair{"QD21S", "QD21S_1"}, std::pair{"QM41B", "QM41B_"}}) {
    fs::create_directories(s.program / dir);
    std::ofstream(s.program / dir / "upd3.20", std::ios::binary)
        << qdqm::sim::makeDataFile(qdqm::sim::DataFileHeader{type, ";", ";"}, image, o.recordBytes);
  }

  std::printf("%u KiB image, %u-byte records; wall and wire time of the programming window\n",
              o.kib, o.recordBytes);
  std::printf("load average at start: %s\n", loadAverage().c_str());
  std::printf("%-7s %-6s %-7s %6s %7s %8s %8s %6s %7s %8s %7s\n", "proto", "rate", "cycle", "baud",
              "records", "wall s", "wire s", "ratio", "cpu", "run s", "run cpu");
  bool allValid = true;
  for (const std::string& rate : o.rates) {
    for (const std::string& protocol : o.protocols) {
      for (const std::string& exchange : o.exchanges) {
        const Result r = runOne(s, rate, protocol, exchange);
        printResult(r);
        allValid = allValid && r.problem.empty();
      }
    }
  }
  std::printf("load average at end: %s\n", loadAverage().c_str());
  if (o.keep || !allValid) {
    std::printf("work directory (program, logs): %s\n", o.work.c_str());
  } else if (temporary) {
    fs::remove_all(o.work);
  }
  return allValid ? 0 : 1;
}
