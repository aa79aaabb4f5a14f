// qdqm-coproc-bench: times the coprocessor and MPEG decoder transfers through `qdqm-update update`
// against `qdqm-sim --wire-timing` on a pty.
//
// Two go through the module's controller in 64-byte data frames at 19200 baud, each acknowledged
// before the next goes: the CRC-32 frame stage (the MPEG decoder of a QM292: a length frame, the
// 20-byte image header in one frame, then the rest) and the QM23 FPGA stage (50 ms pause after
// every block). The others talk to a decoder the controller routes the line to, each at its own
// line settings: swid (QD20A, the image streamed in 128-byte writes at 19200 baud 8N1), VERS
// (QD22A, length, 20-byte header, the payload in 8-byte writes and the CRC at 9600 baud with even
// parity, 11 bits a byte) and the decoder boot loader (QD09T, RAM loads at 57600 baud with every
// data byte its own write, each block then written to flash; 4064-byte blocks from boot loader
// 0.90 on, 32768-byte blocks before).
//
// The simulator reports the transfer window as seen on the wire, with the bytes that crossed the
// line in it: for the frames from the first data frame to the CRC check's reply; for swid from the
// first to the last image byte; for VERS from the first length byte to the end of "Data Ok"; for
// the boot loader from the first RAM load to the last flash-write reply. Their wire time, plus the
// pauses the stage makes on purpose, is the limit no exchange can beat. The tool's CPU time over
// the same window is read from /proc at the simulator's two reports; the whole run's figures come
// from wait4. The controller data file has no version, so the run goes straight to the
// coprocessor: no controller flash and no wait for a restart.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/bench_support.h"
#include "bench/sim_run.h"
#include "sim/intel_hex.h"

namespace {

namespace fs = std::filesystem;
using namespace qdqm::bench;

constexpr unsigned kCom = 9;
constexpr unsigned kMaxKib = 4096;
// The frame stages transfer at 19200 baud, whatever rate the controller ran at before.
constexpr double kTransferBaud = 19200;
constexpr unsigned kBlockBytes = 64;
// A data frame: 3A E1, the length byte and up to 64 bytes; the controller answers one byte.
constexpr unsigned kFrameOverhead = 3 + 1;
constexpr double kRatioTarget = 1.05;
// Every stage's module reports hardware revision 1: QD20 and QD09 type directories carry it.
constexpr const char* kHardwareRevision = "1";

constexpr std::string_view kHelp =
    "usage: qdqm-coproc-bench [options]\n"
    "  Transfers a synthetic coprocessor or decoder image through `qdqm-update update`\n"
    "  against `qdqm-sim --wire-timing`, and prints wall time, wire-limit time plus the\n"
    "  prescribed pauses, their ratio and CPU time over wall time of the transfer, for each\n"
    "  stage:\n"
    "  --stages LIST      crc32 (the MPEG decoder of a QM292, 64-byte data frames at 19200\n"
    "                     baud), fpga (the FPGA of a QM23_, the same frames), swid (the\n"
    "                     decoder of a QD20A, 128-byte writes at 19200 baud), vers (the decoder\n"
    "                     of a QD22A, 8-byte writes at 9600 baud, even parity), bootloader (the\n"
    "                     decoder of a QD09T through its boot loader at 57600 baud, one-byte\n"
    "                     writes, a row for each of --loader-versions)\n"
    "                     (default crc32,fpga,swid,vers,bootloader)\n"
    "  --decoder-kib N    crc32 image size in KiB (default 256)\n"
    "  --fpga-kib N       FPGA image size in KiB (default 64)\n"
    "  --swid-kib N       swid image size in KiB (default 256)\n"
    "  --vers-kib N       VERS image size in KiB, its 20-byte header included (default 64)\n"
    "  --loader-kib N     boot-loader decoder image size in KiB (default 256)\n"
    "  --loader-versions LIST\n"
    "                     the decoder's boot-loader versions, X.YY: from 0.90 on 4064-byte\n"
    "                     blocks, before 32768-byte blocks (default 0.90,0.89)\n"
    "  --work DIR         where the program directory and logs go (default: a fresh temporary\n"
    "                     directory, removed afterwards unless --keep)\n"
    "  --keep             keep the work directory\n";

struct Options : WorkOptions {
  std::vector<std::string> stages{"crc32", "fpga", "swid", "vers", "bootloader"};
  unsigned decoderKib = 256;
  unsigned fpgaKib = 64;
  unsigned swidKib = 256;
  unsigned versKib = 64;
  unsigned loaderKib = 256;
  std::vector<std::string> loaderVersions{"0.90", "0.89"};
};

// "X.YY" as the boot loader reports it: one digit, a dot, two digits.
bool isLoaderVersion(std::string_view text) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  return text.size() == 4 && digit(text[0]) && text[1] == '.' && digit(text[2]) && digit(text[3]);
}

bool parse(int argc, char** argv, Options& o) {
  return parseOptions(argc, argv, o, [&o](std::string_view a, const char* v) {
    if (a == "--stages") {
      o.stages = splitList(v);
      return allOf(o.stages, {"crc32", "fpga", "swid", "vers", "bootloader"});
    }
    if (a == "--decoder-kib") return parseUnsigned(v, 1, kMaxKib, o.decoderKib);
    if (a == "--fpga-kib") return parseUnsigned(v, 1, kMaxKib, o.fpgaKib);
    if (a == "--swid-kib") return parseUnsigned(v, 1, kMaxKib, o.swidKib);
    if (a == "--vers-kib") return parseUnsigned(v, 1, kMaxKib, o.versKib);
    if (a == "--loader-kib") return parseUnsigned(v, 1, kMaxKib, o.loaderKib);
    if (a == "--loader-versions") {
      o.loaderVersions = splitList(v);
      if (o.loaderVersions.empty()) return false;
      for (const std::string& version : o.loaderVersions)
        if (!isLoaderVersion(version)) return false;
      return true;
    }
    return false;
  });
}

// One frame stage as the module, its type directory and its image file set it up.
struct FrameStage {
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

constexpr FrameStage kFrameStages[] = {
    {"crc32", "QM292", "crc32", "--decoder-out", "decoder", "QM292_2_01.bin", 20, 0, 1},
    {"fpga", "QM23_", "fpga", "--fpga-out", "FPGA", "fpga$2_01.bin", 0, 0.050, 2},
};
constexpr const char* kCoprocVersion = "1.05";

// One decoder the controller routes the line to. The module reports `version`; the image's name
// carries the newer `newVersion`, so the tool transfers it.
struct DecoderStage {
  const char* name;        // as --stages names it
  const char* module;      // the type the module reports, line 1 of the data file
  const char* kind;        // qdqm-sim --decoder, and the kind its report names
  const char* revision;    // line 2: ";", or for a QD09 the hardware revision it must match
  const char* typeDir;     // where the tool looks for the module's files
  const char* imageName;   // in the type directory's mpeg/ folder; line 3 names it mpeg\NAME
  const char* version;     // qdqm-sim --decoder-version
  const char* newVersion;  // qdqm-sim --decoder-new-version
  unsigned baud;           // the decoder's line during the transfer
  unsigned bitsPerByte;    // start, 8 data bits, parity when there is one, stop
  unsigned seed;
};

constexpr DecoderStage kDecoderStages[] = {
    {"swid", "QD20A", "swid", ";", "QD20A_1", "mpg$2_01.bin", "1.05", "2.01", 19200, 10, 3},
    {"vers", "QD22A", "vers", ";", "QD22A_", "V2_01.bin", "V1.05", "V2.01", 9600, 11, 4},
    {"bootloader", "QD09T", "bootloader", "1", "QD09T_1", "QD09.v201", "v100", "v201", 57600, 10,
     5},
};
// swid streams the image in 128-byte writes; VERS sends its payload in 8-byte writes after the
// 20-byte header; the boot loader takes 4064-byte blocks from version 0.90 on, 32768 before.
constexpr unsigned kSwidPiece = 128;
constexpr unsigned kVersPiece = 8;
constexpr unsigned kVersHeader = 20;
constexpr unsigned kSmallBlocksFrom = 90;
constexpr unsigned kSmallBlock = 0x0FE0, kLargeBlock = 0x8000;

// "0.90" as 90: the boot loader's major version times 100 plus its minor.
unsigned loaderNumber(const std::string& text) {
  return static_cast<unsigned>((text[0] - '0') * 100 + (text[2] - '0') * 10 + (text[3] - '0'));
}

unsigned loaderBlock(const std::string& loaderVersion) {
  return loaderNumber(loaderVersion) >= kSmallBlocksFrom ? kSmallBlock : kLargeBlock;
}

unsigned piecesOf(unsigned bytes, unsigned piece) {
  return (bytes + piece - 1) / piece;
}

// The window as the simulator reports it, whatever the transfer.
struct Window {
  unsigned blocks = 0;  // data frames (frame stages), else the pieces the bench counts
  unsigned baud = 0;
  unsigned long long bytesIn = 0, bytesOut = 0;
  double wireS = 0, wallS = 0;
  bool ok = false;  // the CRC check was answered "O"; a decoder kept every block
};

// "coproc end T blocks N baud B bytes-in I bytes-out O wire-us W wall-us D ok K"
bool parseCoprocEnd(const std::string& line, Window& w) {
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

// "decoder end T kind K bytes-in I bytes-out O wire-us W wall-us D ok F"; only the decoder asked
// for counts.
bool parseDecoderEnd(const std::string& line, std::string_view kind, Window& w) {
  unsigned long long end = 0, wireUs = 0, wallUs = 0;
  char said[16] = {};
  int ok = 0;
  const int n = std::sscanf(line.c_str(),
                            "decoder end %llu kind %15s bytes-in %llu bytes-out %llu "
                            "wire-us %llu wall-us %llu ok %d",
                            &end, said, &w.bytesIn, &w.bytesOut, &wireUs, &wallUs, &ok);
  w.wireS = static_cast<double>(wireUs) / 1e6;
  w.wallS = static_cast<double>(wallUs) / 1e6;
  w.ok = ok == 1;
  return n == 7 && kind == said;
}

// One row of the table.
struct Result {
  std::string name;
  const char* module = "";
  unsigned kib = 0;
  double pausesS = 0;   // the pauses the stage makes in the window
  std::string problem;  // empty when every figure was measured and the module got the image
  SimRunResult run;
  Window window;
};

struct Setup {
  fs::path bin;      // where qdqm-update and qdqm-sim are
  fs::path program;  // the program directory: the tool beside its type directories
  fs::path logs;
};

void writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// A version-0 controller data file named `update` (so only the header is checked and nothing is
// flashed) in the type directory.
void writeDataFile(const fs::path& typeDir, const qdqm::sim::DataFileHeader& header) {
  fs::create_directories(typeDir);
  std::ofstream(typeDir / "update", std::ios::binary)
      << qdqm::sim::makeDataFile(header, qdqm::sim::Image{});
}

// Starts the simulator with `sim`, runs the tool against it and takes what both leave behind.
SimRunResult runTool(const Setup& s, std::vector<std::string> sim, const std::string& tag,
                     const char* window, double limitS,
                     std::function<bool(const std::string&)> end) {
  SimRun run;
  run.sim = std::move(sim);
  run.tool = {(s.program / "qdqm-update").string(), "update", "--port", std::to_string(kCom),
              "--yes"};
  run.window = window;
  run.logs = s.logs;
  run.tag = tag;
  run.limitS = limitS;
  run.end = std::move(end);
  return runAgainstSim(run);
}

Result runFrameStage(const Setup& s, const FrameStage& stage, unsigned kib) {
  Result r;
  r.name = stage.name;
  r.module = stage.module;
  r.kib = kib;
  const unsigned bytes = kib * 1024;
  // Passes of the block loop: the file behind the header in 64-byte reads, the last one short, or
  // empty when the size is a multiple of 64; the pause follows every pass, the empty one included.
  const unsigned passes = (bytes - stage.headerBytes) / kBlockBytes + 1;
  r.pausesS = passes * stage.pauseS;
  // The image in the type directory itself, named on the data file's third line.
  const fs::path typeDir = s.program / (std::string(stage.module) + "_");
  writeDataFile(typeDir, {stage.module, ";", stage.imageName});
  const std::vector<uint8_t> image = qdqm::sim::syntheticBytes(bytes, stage.seed);
  writeBytes(typeDir / stage.imageName, image);

  const fs::path flashOut = s.logs / (r.name + ".flash.bin");
  std::error_code ec;
  fs::remove(flashOut, ec);
  // What the transfer should take on the wire, generously: the run is given up at three times
  // that and five minutes for Connect, the version queries at 2400 baud and the waits.
  const double expectedS =
      bytes * 10.0 / kTransferBaud * (kBlockBytes + kFrameOverhead) / kBlockBytes + r.pausesS;
  r.run =
      runTool(s,
              {(s.bin / "qdqm-sim").string(), "--com", std::to_string(kCom), "--module",
               stage.module, "--coprocessor", stage.coprocessor, "--coproc-version", kCoprocVersion,
               "--wire-timing", "--report-flash", stage.outOption, flashOut.string()},
              r.name, "coproc", 300 + 3 * expectedS,
              [&r](const std::string& line) { return parseCoprocEnd(line, r.window); });
  r.problem = runProblem(r.run, "transfer");
  if (!r.problem.empty()) return r;
  if (!r.window.ok) {
    r.problem = "the CRC check was not answered O";
  } else if (readFile(flashOut) != std::string(image.begin(), image.end())) {
    r.problem = std::string(stage.flashName) + " flash differs from the image";
  }
  return r;
}

// `loaderVersion` only for the boot loader: the version its loader reports.
Result runDecoderStage(const Setup& s, const DecoderStage& stage, unsigned kib,
                       const std::string& loaderVersion = {}) {
  Result r;
  r.name =
      loaderVersion.empty() ? stage.name : "loader" + std::to_string(loaderNumber(loaderVersion));
  r.module = stage.module;
  r.kib = kib;
  const unsigned bytes = kib * 1024;
  const std::string_view kind = stage.kind;
  r.window.baud = stage.baud;
  r.window.blocks = kind == "swid"   ? piecesOf(bytes, kSwidPiece)
                    : kind == "vers" ? piecesOf(bytes - kVersHeader, kVersPiece)
                                     : piecesOf(bytes, loaderBlock(loaderVersion));
  const fs::path typeDir = s.program / stage.typeDir;
  fs::create_directories(typeDir / "mpeg");
  writeDataFile(typeDir, {stage.module, stage.revision, std::string("mpeg\\") + stage.imageName});
  const std::vector<uint8_t> image = qdqm::sim::syntheticBytes(bytes, stage.seed);
  writeBytes(typeDir / "mpeg" / stage.imageName, image);

  const fs::path decoderOut = s.logs / (r.name + ".flash.bin");
  std::error_code ec;
  fs::remove(decoderOut, ec);
  std::vector<std::string> sim;
  sim.assign({(s.bin / "qdqm-sim").string(), "--com", std::to_string(kCom), "--module",
              stage.module, "--hw", kHardwareRevision, "--decoder", stage.kind, "--decoder-version",
              stage.version, "--decoder-new-version", stage.newVersion, "--wire-timing",
              "--report-flash", "--decoder-out", decoderOut.string()});
  if (!loaderVersion.empty()) sim.insert(sim.end(), {"--decoder-bootloader", loaderVersion});
  // The image's wire time, generously; the run is given up at three times that and five minutes
  // for Connect, the routing, the version queries and the waits around the transfer.
  const double expectedS = bytes * static_cast<double>(stage.bitsPerByte) / stage.baud;
  r.run = runTool(
      s, std::move(sim), r.name, "decoder", 300 + 3 * expectedS,
      [&r, kind](const std::string& line) { return parseDecoderEnd(line, kind, r.window); });
  r.problem = runProblem(r.run, "transfer");
  if (!r.problem.empty()) return r;
  if (!r.window.ok) {
    r.problem = "the decoder did not report the transfer ok";
  } else if (readFile(decoderOut) != std::string(image.begin(), image.end())) {
    r.problem = "decoder flash differs from the image";
  }
  return r;
}

void printResult(const Result& r) {
  const Window& w = r.window;
  const double limitS = w.wireS + r.pausesS;
  std::printf("%-8s %-6s %5u %6u %6u %8.2f %8.2f %8.2f %6.3f ", r.name.c_str(), r.module, r.kib,
              w.baud, w.blocks, w.wallS, w.wireS, r.pausesS, w.wireS > 0 ? w.wallS / limitS : 0.0);
  printCpuAndRun(r.run.windowCpuS, w.wallS, r.run.runWallS, r.run.runCpuS);
  if (!r.problem.empty()) {
    std::printf("  INVALID: %s\n", r.problem.c_str());
    std::fflush(stdout);
    return;
  }
  const bool ratioMet = w.wallS <= kRatioTarget * limitS;
  const bool cpuMet = r.run.windowCpuS && *r.run.windowCpuS <= kCpuTarget * w.wallS;
  printTargets(kRatioTarget, ratioMet, cpuMet);
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
  s.bin = programsBesideSelf({"qdqm-update", "qdqm-sim"}, "qdqm-coproc-bench");
  if (s.bin.empty()) return 1;
  const WorkDir work = prepareWorkDir(o.work, "qdqm-coproc-bench");
  s.program = work.program;
  s.logs = work.logs;
  // The tool finds its type directories beside its executable.
  fs::copy_file(s.bin / "qdqm-update", s.program / "qdqm-update",
                fs::copy_options::overwrite_existing);

  std::printf(
      "wall time of the transfer window against its wire time and pauses; blocks: data frames "
      "(crc32, fpga), writes (swid, vers payload), RAM loads (loader)\n");
  std::printf("load average at start: %s\n", loadAverage().c_str());
  std::printf("%-8s %-6s %5s %6s %6s %8s %8s %8s %6s %7s %8s %7s\n", "stage", "module", "KiB",
              "baud", "blocks", "wall s", "wire s", "pause s", "ratio", "cpu", "run s", "run cpu");
  bool allValid = true;
  auto show = [&allValid](const Result& r) {
    printResult(r);
    allValid = allValid && r.problem.empty();
  };
  for (const std::string& name : o.stages) {
    if (name == "crc32") {
      show(runFrameStage(s, kFrameStages[0], o.decoderKib));
    } else if (name == "fpga") {
      show(runFrameStage(s, kFrameStages[1], o.fpgaKib));
    } else if (name == "swid") {
      show(runDecoderStage(s, kDecoderStages[0], o.swidKib));
    } else if (name == "vers") {
      show(runDecoderStage(s, kDecoderStages[1], o.versKib));
    } else {
      for (const std::string& version : o.loaderVersions)
        show(runDecoderStage(s, kDecoderStages[2], o.loaderKib, version));
    }
  }
  std::printf("load average at end: %s\n", loadAverage().c_str());
  finishWorkDir(work, o.keep, allValid);
  return allValid ? 0 : 1;
}
