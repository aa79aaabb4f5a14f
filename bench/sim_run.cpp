#include "bench/sim_run.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>

namespace qdqm::bench {

SimRunResult runAgainstSim(const SimRun& run) {
  SimRunResult r;
  int simOut = -1;
  const pid_t sim = spawn(run.sim, &simOut, {}, run.logs / (run.tag + ".sim.err"));
  if (sim < 0) {
    r.problem = "cannot start qdqm-sim";
    return r;
  }
  LineReader simLines(simOut);
  std::ofstream simLog(run.logs / (run.tag + ".sim.out"));
  bool ready = false;
  for (double until = monotonicS() + 10; !ready && monotonicS() < until;) {
    if (!simLines.fill(100)) break;
    while (auto line = simLines.next()) {
      simLog << *line << "\n";
      ready = ready || line->starts_with("COM");
    }
  }

  const bool windowed = !run.window.empty();
  const std::string startLine = run.window + " start";
  const std::string endLine = run.window + " end";
  bool started = false;
  std::optional<double> cpuAtStart, cpuAtEnd, exitCpuS;
  pid_t tool = -1;
  // A line from the simulator. Once the tool has exited (`exited`) its CPU time is the one at its
  // exit, no window starts any more and only a window not yet ended can end.
  auto take = [&](const std::string& line, bool exited) {
    const auto cpu = [&] { return exited ? exitCpuS : cpuSeconds(tool); };
    simLog << line << "\n";
    if (run.line && tool > 0) run.line(line, cpu());
    if (!windowed) return;
    if (!exited && line.starts_with(startLine)) {
      started = true;
      cpuAtStart = cpu();
    } else if (line.starts_with(endLine) && started && !(exited && r.ended) && run.end(line)) {
      r.ended = true;
      cpuAtEnd = cpu();
    }
  };
  if (!ready) {
    r.problem = "qdqm-sim did not come up";
  } else {
    const double t0 = monotonicS();
    tool = spawn(run.tool, nullptr, run.logs / (run.tag + ".out"), run.logs / (run.tag + ".err"));
    if (tool < 0) r.problem = "cannot start " + fs::path(run.tool.front()).filename().string();
    while (tool > 0) {
      simLines.fill(50);
      while (auto line = simLines.next()) take(*line, false);
      // Noticed without reaping, so /proc still answers for the exited tool.
      siginfo_t info{};
      if (waitid(P_PID, static_cast<id_t>(tool), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
          info.si_pid == tool) {
        break;
      }
      if (monotonicS() - t0 > run.limitS) {
        kill(tool, SIGKILL);
        r.problem = "gave up after " + std::to_string(static_cast<int>(run.limitS)) + " s";
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

  kill(sim, SIGTERM);
  while (simLines.fill(1000)) {
    while (auto line = simLines.next()) take(*line, true);
  }
  waitpid(sim, nullptr, 0);

  if (started && r.ended && cpuAtStart && cpuAtEnd) r.windowCpuS = *cpuAtEnd - *cpuAtStart;
  return r;
}

std::string runProblem(const SimRunResult& done, std::string_view window) {
  if (!done.problem.empty()) return done.problem;
  if (done.exitCode != 0) return "update ended with exit status " + std::to_string(done.exitCode);
  if (!window.empty() && !done.ended) return "no " + std::string(window) + " window reported";
  return {};
}

}  // namespace qdqm::bench
