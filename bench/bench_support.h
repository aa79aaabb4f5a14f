// What the benchmark programs share: option lists, clocks and the machine's load, child processes
// with their CPU time and output lines, the work directory and the verdict on the targets.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qdqm::bench {

namespace fs = std::filesystem;

// Exit status for a command line the program does not take.
constexpr int kUsage = 64;

// The options every benchmark takes: --work DIR and --keep.
struct WorkOptions {
  fs::path work;
  bool keep = false;
};
// Walks the command line: --keep, --work DIR, and every other option with its value handed to
// `option`, which says false for an option it does not know or a value it refuses.
bool parseOptions(int argc, char** argv, WorkOptions& common,
                  const std::function<bool(std::string_view name, const char* value)>& option);
// --help first: the help on stdout and 0; a command line that did not parse: the help on stderr
// and kUsage; nullopt when the program is to run.
std::optional<int> helpOrUsage(int argc, char** argv, std::string_view help, bool parsed);
// A decimal number within [low, high] and nothing behind it; `out` is left alone otherwise.
bool parseUnsigned(const char* text, unsigned low, unsigned high, unsigned& out);

// A whole file's bytes; empty when it cannot be read.
std::string readFile(const fs::path& path);

// "a,b,c" as its words; empty words are dropped.
std::vector<std::string> splitList(std::string_view text);
// True when there is at least one word and every word is one of `known`.
bool allOf(const std::vector<std::string>& words, std::initializer_list<std::string_view> known);

// Seconds on the monotonic clock.
double monotonicS();
// The first three fields of /proc/loadavg: the machine is shared, and load stretches the figures.
std::string loadAverage();

// CPU time of a live (or not yet reaped) process in seconds.
std::optional<double> cpuSeconds(pid_t pid);

// Starts a program with stdin from /dev/null; stdout goes to a pipe (outPipe given) or to outFile,
// stderr to errFile. The child's id, or -1.
pid_t spawn(const std::vector<std::string>& args, int* outPipe, const fs::path& outFile,
            const fs::path& errFile);

// Complete lines from a pipe, without blocking longer than timeoutMs.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Waits for data; false at end of file.
  bool fill(int timeoutMs);
  std::optional<std::string> next();

 private:
  int fd_;
  std::string pending_;
};

// The directory the programs under test live in: the one this program runs from, which must hold
// every one of `programs`. Empty (after a message naming `self`) when one is missing.
fs::path programsBesideSelf(std::initializer_list<const char*> programs, const char* self);

// Where a benchmark keeps its program directory (the tools beside their type directories), its
// logs and the private port directory QDQM_PORT_DIR points at for the run.
struct WorkDir {
  fs::path root, program, logs;
  bool temporary = false;  // made up here, not asked for with --work
};
// Empties `root` (a fresh temporary directory named after `self` when root is empty) and creates
// program/, logs/ and ports/ in it; sets QDQM_PORT_DIR.
WorkDir prepareWorkDir(fs::path root, const char* self);
// Says where the directory is when it is to be kept or a run was invalid; else removes it if it
// was temporary.
void finishWorkDir(const WorkDir& work, bool keep, bool allValid);

// CPU time below 5 % of wall, for every target.
constexpr double kCpuTarget = 0.05;
// "  ratio <= R met, cpu < 5% met" with MISSED for a target not met.
void printTargets(double ratioTarget, bool ratioMet, bool cpuMet);
// The cpu column: CPU time over the window's wall time, "-" when either is missing.
void printCpu(std::optional<double> cpuS, double wallS);
// The cpu column, then the whole run's wall time and CPU time over it.
void printCpuAndRun(std::optional<double> cpuS, double wallS, double runWallS, double runCpuS);

}  // namespace qdqm::bench
