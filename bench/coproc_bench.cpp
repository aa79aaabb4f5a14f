// qdqm-coproc-bench: times the two coprocessor transfers that pass through the module's
// controller in 64-byte data frames, each acknowledged before the next goes, through
// `qdqm-update update` against `qdqm-sim --wire-timing` on a pty: the CRC-32 frame stage (the
// MPEG decoder of a QM292: a length frame, the 20-byte image header in one frame, then the rest)
// and the QM23 FPGA stage (50 ms pause after every block). Both transfer at 19200 baud.
//
// The simulator reports the transfer window as seen on the wire: from the first data frame to the
// CRC check's reply, with the bytes that crossed the line in it. Their wire time at 10 bits a byte,
// plus the pauses the stage makes on purpose, is the limit no exchange can beat. The tool's CPU
// time over the same window is read from /proc at the simulator's two reports; the whole run's
// figures come from wait4. The controller data file has no version, so the run goes straight to
// the coprocessor: no controller flash and no wait for a restart.
#include <cstdio>
#include <cstdlib>
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
constexpr unsigned kMaxKib = 4096;
// Both stages transfer at 19200 baud, whatever rate the controller ran at before.
constexpr double kTransferBaud = 19200;
constexpr unsigned kBlockBytes = 64;
// A data frame: 3A E1, the length byte and up to 64 bytes; the controller answers one byte.
constexpr unsigned kFrameOverhead = 3 + 1;
constexpr double kRatioTarget = 1.05;

constexpr std::string_view kHelp =
    "usage: qdqm-coproc-bench [options]\n"
    "  Transfers a synthetic coprocessor image through `qdqm-update update` against\n"
    "  `qdqm-sim --wire-timing` in 64-byte data frames at 19200 baud, and prints wall time,\n"
    "  wire-limit time plus the prescribed pauses, their ratio and CPU time over wall time of\n"
    "  the transfer, for each stage:\n"
    "  --stages LIST      crc32 (the MPEG decoder of a QM292), fpga (the FPGA of a QM23_)\n"
    "                     (default crc32,fpga)\n"
    "  --decoder-kib N    decoder image size in KiB (default 256)\n"
    "  --fpga-kib N       FPGA image size in KiB (default 64)\n"
    "  --work DIR         where the program directory and logs go (default: a fresh temporary\n"
    "                     directory, removed afterwards unless --keep)\n"
    "  --keep             keep the work directory\n";

struct Options {
  std::vector<std::string> stages{"crc32", "fpga"};
  unsigned decoderKib = 256;
  unsigned fpgaKib = 64;
  fs::path work;
  bool keep = false;
};

bool parseKib(const char* text, unsigned& out) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || v == 0 || v > kMaxKib) return false;
  out = static_cast<unsigned>(v);
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
    if (a == "--stages") {
      o.stages = splitList(v);
      if (!allOf(o.stages, {"crc32", "fpga"})) return false;
    } else if (a == "--decoder-kib") {
      if (!parseKib(v, o.decoderKib)) return false;
    } else if (a == "--fpga-kib") {
      if (!parseKib(v, o.fpgaKib)) return false;
    } else if (a == "--work") {
      o.work = v;
    } else {
      return false;
    }
  }
  return true;
}

// One coprocessor stage as the module, its type directory and its image file set it up.
struct Stage {
  const char* name;         // as --stages names it
  const char* module;       // the type the module reports, line 1 of the data file
  const char* coprocessor;  // qdqm-sim --coprocessor
  const char* outOption;    // where qdqm-sim writes what the coprocessor kept
  const char* flashName;    // for the verdict
  // The image file, named on the data file's third line. Its version (2.01, the digits behind the
  // last "_" or "$") is newer than the 1.05 the module reports, so the tool transfers it.
  const char* imageName;
  unsigned headerBytes;  // sent in one frame ahead of the blocks (after the length frame)
  double pauseS;         // after every pass of the block loop
  unsigned seed;
};

constexpr Stage kStages[] = {
    {"crc32", "QM292", "crc32", "--decoder-out", "decoder", "QM292_2_01.bin", 20, 0, 1},
    {"fpga", "QM23_", "fpga", "--fpga-out", "FPGA", "fpga$2_01.bin", 0, 0.050, 2},
};
constexpr const char* kCoprocVersion = "1.05";

const Stage& stageNamed(const std::string& name) {
  for (const Stage& s : kStages)
    if (name == s.name) return s;
  return kStages[0];
}

// The type directory the tool lists for a module without revision suffix: type and "_".
std::string typeDirOf(const Stage& s) {
  return std::string(s.module) + "_";
}

// Passes of the block loop: the file behind the header in 64-byte reads, the last one short, or
// empty when the size is a multiple of 64; the pause follows every pass, the empty one included.
unsigned blockPasses(unsigned bytes, const Stage& s) {
  return (bytes - s.headerBytes) / kBlockBytes + 1;
}

// "coproc end T blocks N baud B bytes-in I bytes-out O wire-us W wall-us D ok K"
struct CoprocWindow {
  unsigned blocks = 0;
  unsigned baud = 0;
  unsigned long long bytesIn = 0, bytesOut = 0;
  double wireS = 0, wallS = 0;
  bool ok = false;  // the CRC check was answered "O"
};

bool parseEnd(const std::string& line, CoprocWindow& w) {
  unsigned long long end = 0, wireUs = 0, wallUs = 0;
  int ok = 0;
  const int n =
      std::sscanf(line.c_str(),
                  "coproc end %llu blocks %u baud %u bytes-in %llu bytes-out %llu "
                  "wire-us %llu wall-us %llu ok %d",
                  &end, &w.blocks, &w.baud, &w.bytesIn, &w.bytesOut, &wireUs, &wallUs, &ok);
  w.wireS = static_cast<double>(wireUs) / 1e6;
  w.wallS = static_cast<double>(wallUs) / 1e6;
  w.ok = ok == 1;
  return n == 8;
}

struct Result {
  const Stage* stage = nullptr;
  unsigned kib = 0;
  double pausesS = 0;   // the pauses the stage makes in the window
  std::string problem;  // empty when every figure was measured and the coprocessor got the image
  int exitCode = -1;
  double runWallS = 0, runCpuS = 0;
  CoprocWindow window;
  std::optional<double> windowCpuS;
};

struct Setup {
  fs::path bin;      // where qdqm-update and qdqm-sim are
  fs::path program;  // the program directory: the tool beside its type directories
  fs::path logs;
};

std::string readAll(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), {});
}

// A version-0 controller data file naming the image on its third line (so only the header is
// checked and nothing is flashed), and the image beside it.
void writeStageFiles(const Setup& s, const Stage& stage, unsigned bytes) {
  const fs::path dir = s.program / typeDirOf(stage);
  fs::create_directories(dir);
  std::ofstream(dir / "update", std::ios::binary) << qdqm::sim::makeDataFile(
      qdqm::sim::DataFileHeader{stage.module, ";", stage.imageName}, qdqm::sim::Image{});
  const std::vector<uint8_t> image = qdqm::sim::syntheticBytes(bytes, stage.seed);
  std::ofstream(dir / stage.imageName, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
}

Result runOne(const Setup& s, const Stage& stage, unsigned kib) {
  Result r;
  r.stage = &stage;
  r.kib = kib;
  const unsigned bytes = kib * 1024;
  const unsigned passes = blockPasses(bytes, stage);
  r.pausesS = passes * stage.pauseS;
  const std::string tag = stage.name;
  const fs::path flashOut = s.logs / (tag + ".flash.bin");
  std::error_code ec;
  fs::remove(flashOut, ec);

  // What the transfer should take on the wire, generously: the run is given up at three times
  // that and five minutes for Connect, the version queries at 2400 baud and the waits.
  const double expectedS =
      bytes * 10.0 / kTransferBaud * (kBlockBytes + kFrameOverhead) / kBlockBytes + r.pausesS;
  SimRun run;
  run.sim.assign({(s.bin / "qdqm-sim").string(), "--com", std::to_string(kCom), "--module",
                  stage.module, "--coprocessor", stage.coprocessor, "--coproc-version",
                  kCoprocVersion, "--wire-timing", "--report-flash", stage.outOption,
                  flashOut.string()});
  run.tool = {(s.program / "qdqm-update").string(), "update", "--port", std::to_string(kCom),
              "--yes"};
  run.window = "coproc";
  run.logs = s.logs;
  run.tag = tag;
  run.limitS = 300 + 3 * expectedS;
  run.end = [&r](const std::string& line) { return parseEnd(line, r.window); };
  const SimRunResult done = runAgainstSim(run);
  r.problem = done.problem;
  r.exitCode = done.exitCode;
  r.runWallS = done.runWallS;
  r.runCpuS = done.runCpuS;
  r.windowCpuS = done.windowCpuS;

  if (!r.problem.empty()) return r;
  if (r.exitCode != 0) {
    r.problem = "update ended with exit status " + std::to_string(r.exitCode);
  } else if (!done.ended) {
    r.problem = "no transfer window reported";
  } else if (!r.window.ok) {
    r.problem = "the CRC check was not answered O";
  } else if (readAll(flashOut) != readAll(s.program / typeDirOf(stage) / stage.imageName)) {
    r.problem = std::string(stage.flashName) + " flash differs from the image";
  }
  return r;
}

void printResult(const Result& r) {
  const CoprocWindow& w = r.window;
  const double limitS = w.wireS + r.pausesS;
  std::printf("%-6s %-6s %5u %6u %6u %8.2f %8.2f %8.2f %6.3f ", r.stage->name, r.stage->module,
              r.kib, w.baud, w.blocks, w.wallS, w.wireS, r.pausesS,
              w.wireS > 0 ? w.wallS / limitS : 0.0);
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
  const bool ratioMet = w.wallS <= kRatioTarget * limitS;
  const bool cpuMet = r.windowCpuS && *r.windowCpuS <= kCpuTarget * w.wallS;
  printTargets(kRatioTarget, ratioMet, cpuMet);
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
  s.bin = programsBesideSelf({"qdqm-update", "qdqm-sim"}, "qdqm-coproc-bench");
  if (s.bin.empty()) return 1;
  const WorkDir work = prepareWorkDir(o.work, "qdqm-coproc-bench");
  s.program = work.program;
  s.logs = work.logs;
  // The tool finds its type directories beside its executable.
  fs::copy_file(s.bin / "qdqm-update", s.program / "qdqm-update",
                fs::copy_options::overwrite_existing);

  std::printf(
      "64-byte data frames at 19200 baud; wall time of the transfer window against its wire time "
      "and pauses\n");
  std::printf("load average at start: %s\n", loadAverage().c_str());
  std::printf("%-6s %-6s %5s %6s %6s %8s %8s %8s %6s %7s %8s %7s\n", "stage", "module", "KiB",
              "baud", "blocks", "wall s", "wire s", "pause s", "ratio", "cpu", "run s", "run cpu");
  bool allValid = true;
  for (const std::string& name : o.stages) {
    const Stage& stage = stageNamed(name);
    const unsigned kib = name == "fpga" ? o.fpgaKib : o.decoderKib;
    writeStageFiles(s, stage, kib * 1024);
    const Result r = runOne(s, stage, kib);
    printResult(r);
    allValid = allValid && r.problem.empty();
  }
  std::printf("load average at end: %s\n", loadAverage().c_str());
  finishWorkDir(work, o.keep, allValid);
  return allValid ? 0 : 1;
}
