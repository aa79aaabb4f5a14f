// Several ports in one command (a service bench with an adapter per module): one worker thread per
// port runs the same Connect and Update as a single port does, each with a window model, port
// opener, host and service record of its own; nothing mutable is shared but the board that shows
// them and the interrupt every run takes as Esc.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "cli/json_report.h"

namespace qdqm {
class Clock;
class PortOpener;
}  // namespace qdqm

namespace qdqm::cli {

class TerminalHost;
struct TerminalOptions;

// What the terminal shows of the stations. On a terminal: one live line per port (port, device,
// stage, progress, result), redrawn in place, with the stations' messages above them. Otherwise
// every line prefixed with its port ("[COM5] programming controller flash... 40%"), one per status
// change and per 10 %.
class StationBoard {
 public:
  StationBoard(std::ostream& out, std::ostream& err, std::vector<std::string> ports, bool live);
  // A line a station wrote: on stdout (toOut) or stderr.
  void line(size_t station, bool toOut, const std::string& text);
  void progress(size_t station, const std::string& device, const std::string& status, int position);
  // The station has ended with `result` (its live line keeps it).
  void finish(size_t station, const std::string& result);

 private:
  struct Row {
    std::string port, device, status, result;
    int position = 0;
  };
  std::string rowText(const Row& row) const;
  void eraseRows();
  void drawRows();

  std::mutex mutex_;
  std::ostream& out_;
  std::ostream& err_;
  std::vector<Row> rows_;
  bool live_;
  bool drawn_ = false;
};

// One station's run on `port`: it opens through `opener` and waits on `clock` (both its own),
// writes through `args` (its lines go to the board), shows through `host`, fills `report` and
// returns its exit status.
using StationRun = std::function<int(const PortChoice& port, const Args& args, PortOpener& opener,
                                     Clock& clock, TerminalHost& host, JsonReport& report)>;

// Runs `run` on the command line's ports, every run taking an interrupt from one watch. One port:
// on the terminal itself, through `opener` and `clock`; with --json its report on stdout (or the
// usage error's object when the run found one). Several ports: one station a port at once, each
// with an opener and clock of its own, and waits for all; no question is asked on the terminal and
// no progress bar drawn, the board shows the progress. With --json stdout then carries one object,
// {"stations": [each report with its "port"], "exit": N}. The exit status: 0 when every station's
// is 0, else 1 when any is 1, else 3 when any is 3, else 2.
int runPorts(const Args& args, std::string_view command, const std::vector<PortChoice>& ports,
             bool json, TerminalOptions options, PortOpener& opener, Clock& clock,
             const StationRun& run);

}  // namespace qdqm::cli
