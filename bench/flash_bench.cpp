// qdqm-flash-bench: times a whole controller flash through `qdqm-update update` against
// `qdqm-sim --wire-timing` on a pty, and the same flash through `qdqm-update-literal` (the serial
// cycle taken literally: busy 1 ms pauses, fixed 6 ms reads) in the same run.
//
// The simulator paces both directions at the line's rate and reports the programming window as
// seen on the wire: from the first record after the erase to the last record and its reply, with
// the bytes that crossed the line in that window. Their wire time at 10 bits a byte is the limit
// no exchange can beat. The tool's CPU time over the same window is read from /proc at the
// simulator's two reports; the whole run's figures come from wait4.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.h"
#include "bench/sim_run.h"
#include "sim/intel_hex.h"

namespace {

namespace fs = std::filesystem;
using namespace qdqm::bench;

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
    "  --exchanges LIST   tool, literal, traced (the tool writing its frame trace with --trace\n"
    "                     into the work directory's logs; default tool,literal)\n"
    "  --kib N            image size in KiB (default 64)\n"
    "  --record-bytes N   data bytes per record in the data file (default 16)\n"
    "  --work DIR         where the program directory and logs go (default: a fresh temporary\n"
    "                     directory, removed afterwards unless --keep)\n"
    "  --keep             keep the work directory\n";

struct Options : WorkOptions {
  std::vector<std::string> rates{"high", "19200"};
  std::vector<std::string> protocols{"raw", "record"};
  std::vector<std::string> exchanges{"tool", "literal"};
  unsigned kib = 64;
  unsigned recordBytes = 16;
};

bool parse(int argc, char** argv, Options& o) {
  return parseOptions(argc, argv, o, [&o](std::string_view a, const char* v) {
    if (a == "--rates") {
      o.rates = splitList(v);
      return allOf(o.rates, {"high", "19200"});
    }
    if (a == "--protocols") {
      o.protocols = splitList(v);
      return allOf(o.protocols, {"raw", "record"});
    }
    if (a == "--exchanges") {
      o.exchanges = splitList(v);
      return allOf(o.exchanges, {"tool", "literal", "traced"});
    }
    if (a == "--kib") return parseUnsigned(v, 1, 1024, o.kib);
    if (a == "--record-bytes") return parseUnsigned(v, 1, 255, o.recordBytes);
    return false;
  });
}

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
  SimRunResult run;
  FlashWindow window;
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

  SimRun run;
  run.sim.assign({(s.bin / "qdqm-sim").string(), "--com", std::to_string(kCom), "--module",
                  moduleOf(protocol), "--protocol", protocol, "--top-speed", "3", "--wire-timing",
                  "--report-flash", "--flash-out", flashOut.string()});
  const std::string program = exchange == "literal" ? "qdqm-update-literal" : "qdqm-update";
  run.tool = {(s.program / program).string(), "update", "--port", std::to_string(kCom), "--yes"};
  if (rate == "19200") run.tool.push_back("--low-speed");
  if (exchange == "traced") {
    run.tool.push_back("--trace");
    run.tool.push_back((s.logs / (tag + ".trace")).string());
  }
  run.window = "flash";
  run.logs = s.logs;
  run.tag = tag;
  run.limitS = kRunLimitS;
  run.end = [&r](const std::string& line) { return parseEnd(line, r.window); };
  r.run = runAgainstSim(run);
  r.problem = runProblem(r.run, "programming");
  if (r.problem.empty() && readFile(flashOut) != s.expectedFlash) {
    r.problem = "flash differs from the image";
  }
  return r;
}

// The targets of the tool's own cycle: the flash within 1.10 times the wire limit at 115200 baud
// (and at 57600, the record protocol's top speed), within 1.05 at 19200; CPU below 5 % of wall.
double ratioTarget(unsigned baud) {
  return baud <= 19200 ? 1.05 : 1.10;
}

void printResult(const Result& r) {
  const FlashWindow& w = r.window;
  std::printf("%-7s %-6s %-7s %6u %7u %8.2f %8.2f %6.3f ", r.protocol.c_str(), r.rate.c_str(),
              r.exchange.c_str(), w.baud, w.records, w.wallS, w.wireS,
              w.wireS > 0 ? w.wallS / w.wireS : 0.0);
  printCpuAndRun(r.run.windowCpuS, w.wallS, r.run.runWallS, r.run.runCpuS);
  if (!r.problem.empty()) {
    std::printf("  INVALID: %s\n", r.problem.c_str());
    std::fflush(stdout);
    return;
  }
  if (r.exchange != "literal") {
    const bool ratioMet = w.wallS <= ratioTarget(w.baud) * w.wireS;
    const bool cpuMet = r.run.windowCpuS && *r.run.windowCpuS <= kCpuTarget * w.wallS;
    printTargets(ratioTarget(w.baud), ratioMet, cpuMet);
  }
  if (!w.endRecognised) std::printf("  (module did not recognise the end of programming)");
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const std::optional<int> status = helpOrUsage(argc, argv, kHelp, parse(argc, argv, o))) {
    return *status;
  }

  Setup s;
  s.bin =
      programsBesideSelf({"qdqm-update", "qdqm-update-literal", "qdqm-sim"}, "qdqm-flash-bench");
  if (s.bin.empty()) return 1;
  const WorkDir work = prepareWorkDir(o.work, "qdqm-flash-bench");
  s.program = work.program;
  s.logs = work.logs;
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
  finishWorkDir(work, o.keep, allValid);
  return allValid ? 0 : 1;
}
