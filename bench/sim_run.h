// One timed run: a tool against `qdqm-sim --report-flash` on a pty, with the tool's CPU time over
// one of the windows the simulator reports ("NAME start T" ... "NAME end T ...") read from /proc
// at the two lines, or at every line for a benchmark that finds its window itself, and the whole
// run's wall and CPU time from wait4.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.h"

namespace qdqm::bench {

struct SimRun {
  std::vector<std::string> sim;   // qdqm-sim and its arguments; it links its pty, then says "COM"
  std::vector<std::string> tool;  // the program under test and its arguments
  std::string window;             // the report's window: "flash" or "coproc"; empty for none
  fs::path logs;
  std::string tag;    // log names: TAG.sim.out, TAG.sim.err (simulator), TAG.out, TAG.err (tool)
  double limitS = 0;  // the tool is killed when it runs longer
  // Takes the window's end line; false when it does not parse (the window stays open).
  std::function<bool(const std::string&)> end;
  // When set, takes every line the simulator prints once the tool has started, with the tool's
  // CPU time when the line was read (its CPU time at exit for lines read after it ended).
  std::function<void(const std::string&, std::optional<double>)> line;
};

struct SimRunResult {
  std::string problem;  // empty unless the run itself failed: no simulator, no tool, gave up
  int exitCode = -1;
  double runWallS = 0, runCpuS = 0;
  bool ended = false;  // a window was reported and its end line taken
  std::optional<double> windowCpuS;
};

// Starts the simulator, waits for its pty, runs the tool to its end, then stops the simulator (so
// that its output files are written) and reaps it. A window the module never saw end is reported
// when the simulator stops; the tool's CPU time then runs to its exit.
SimRunResult runAgainstSim(const SimRun& run);

// Why a finished run counts for nothing before the benchmark's own checks: the run's problem, the
// tool's exit status, or (`window` naming it: "programming", "transfer") no window reported.
// Empty when there is none.
std::string runProblem(const SimRunResult& done, std::string_view window = {});

}  // namespace qdqm::bench
