#include "cli/stations.h"

#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <streambuf>
#include <thread>

#include "cli/interrupts.h"
#include "cli/terminal_host.h"
#include "link/clock.h"
#include "link/platform_port.h"

namespace qdqm::cli {
namespace {

constexpr int kPlainStep = 10;  // prefixed lines: one per 10 % of progress

// A station's stdout or stderr: whole lines go to the board.
class LineBuffer final : public std::streambuf {
 public:
  LineBuffer(StationBoard& board, size_t station, bool toOut)
      : board_(board), station_(station), toOut_(toOut) {}
  ~LineBuffer() override {
    if (!pending_.empty()) board_.line(station_, toOut_, pending_);
  }

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    if (c == '\n') {
      board_.line(station_, toOut_, pending_);
      pending_.clear();
    } else if (c != '\r') {
      pending_ += static_cast<char>(c);
    }
    return c;
  }

 private:
  StationBoard& board_;
  size_t station_;
  bool toOut_;
  std::string pending_;
};

int worst(const std::vector<int>& exits) {
  const auto any = [&](int e) { return std::find(exits.begin(), exits.end(), e) != exits.end(); };
  if (std::all_of(exits.begin(), exits.end(), [](int e) { return e == 0; })) return 0;
  for (int e : {1, 3}) {
    if (any(e)) return e;
  }
  return 2;
}

}  // namespace

StationBoard::StationBoard(std::ostream& out, std::ostream& err, std::vector<std::string> ports,
                           bool live)
    : out_(out), err_(err), live_(live) {
  for (std::string& p : ports) rows_.push_back({std::move(p), "", "", "", 0});
  std::lock_guard<std::mutex> lock(mutex_);
  if (live_) drawRows();
}

std::string StationBoard::rowText(const Row& row) const {
  std::string text = row.port;
  text.resize(std::max<size_t>(text.size() + 2, 14), ' ');
  text += row.device.empty() ? std::string("-") : row.device;
  text.resize(std::max<size_t>(text.size() + 2, 32), ' ');
  if (!row.result.empty()) return text + row.result;
  return text + (row.status.empty() ? std::string("-") : row.status) + " " +
         std::to_string(row.position) + "%";
}

void StationBoard::eraseRows() {
  if (!drawn_) return;
  err_ << "\033[" << rows_.size() << "F\033[J";
  drawn_ = false;
}

void StationBoard::drawRows() {
  for (const Row& row : rows_) err_ << rowText(row) << "\033[K\n";
  err_ << std::flush;
  drawn_ = true;
}

void StationBoard::line(size_t station, bool toOut, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string prefixed = "[" + rows_[station].port + "] " + text;
  if (!live_) {
    (toOut ? out_ : err_) << prefixed << std::endl;
    return;
  }
  // Messages go above the live lines, which are drawn again below them.
  eraseRows();
  (toOut ? out_ : err_) << prefixed << std::endl;
  drawRows();
}

void StationBoard::progress(size_t station, const std::string& device, const std::string& status,
                            int position) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row& row = rows_[station];
  const bool news =
      status != row.status || (position > 0 && position / kPlainStep != row.position / kPlainStep);
  if (!device.empty()) row.device = device;
  const bool changed = news || position != row.position;
  row.status = status;
  row.position = position;
  if (live_) {
    if (!changed) return;
    eraseRows();
    drawRows();
    return;
  }
  if (news && !status.empty())
    err_ << "[" << row.port << "] " << status << " " << position << "%" << std::endl;
}

void StationBoard::finish(size_t station, const std::string& result) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows_[station].result = result;
  if (live_) {
    eraseRows();
    drawRows();
  } else {
    err_ << "[" << rows_[station].port << "] " << result << std::endl;
  }
}

namespace {

int runStations(const Args& args, const std::vector<PortChoice>& ports, bool json,
                TerminalOptions options, InterruptWatch& interrupts, const StationRun& run) {
  options.askOnTerminal = false;
  options.progressBar = false;
  std::vector<std::string> names;
  for (const PortChoice& p : ports) names.push_back(p.name());
  StationBoard board(args.out, args.err, names, isatty(STDERR_FILENO) == 1);
  std::vector<JsonReport> reports(ports.size());
  std::vector<int> exits(ports.size(), 2);
  std::vector<std::thread> workers;
  for (size_t k = 0; k < ports.size(); ++k) {
    workers.emplace_back([&, k] {
      LineBuffer outLines(board, k, true), errLines(board, k, false);
      std::ostream out(&outLines), err(&errLines);
      const Args stationArgs{args.words, out, err};
      SteadyClock clock;
      PlatformPortOpener opener;
      opener.onOpened = InterruptWatch::watchLine;
      TerminalHost host(err, options);
      host.reportTo(&board, k);
      host.watchInterrupts(&interrupts);
      exits[k] = run(ports[k], stationArgs, opener, clock, host, reports[k]);
      out.flush();
      err.flush();
      board.finish(k, "exit " + std::to_string(exits[k]) +
                          (reports[k].result ? " " + *reports[k].result : std::string()));
    });
  }
  for (std::thread& w : workers) w.join();
  const int exit = worst(exits);
  if (json) {
    nlohmann::ordered_json all;
    all["stations"] = nlohmann::ordered_json::array();
    for (size_t k = 0; k < ports.size(); ++k) {
      const nlohmann::ordered_json report = jsonOf(reports[k]);
      nlohmann::ordered_json station;
      station["port"] = names[k];
      for (const auto& [key, value] : report.items()) station[key] = value;
      all["stations"].push_back(std::move(station));
    }
    all["exit"] = exit;
    writeJsonLine(args.out, all);
  }
  return exit;
}

}  // namespace

int runPorts(const Args& args, std::string_view command, const std::vector<PortChoice>& ports,
             bool json, TerminalOptions options, PortOpener& opener, Clock& clock,
             const StationRun& run) {
  InterruptWatch interrupts;
  if (ports.size() > 1) return runStations(args, ports, json, options, interrupts, run);
  TerminalHost host(args.err, options);
  host.watchInterrupts(&interrupts);
  JsonReport report;
  const int exit = run(ports.front(), args, opener, clock, host, report);
  if (exit == kUsageError) {
    writeUsageErrorJson(args, command);
    return exit;
  }
  if (json) writeJsonReport(args.out, report);
  return exit;
}

}  // namespace qdqm::cli
