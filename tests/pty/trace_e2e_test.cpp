// `--trace FILE` of `connect` and `update` against `qdqm-sim` on a pseudo-terminal, in real time:
// the file holds the run's frames; a file that cannot be opened is a usage error naming it; a file
// that cannot be written leaves the update alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/program_dir.h"
#include "tests/support/trace_lines.h"

namespace {

namespace fs = std::filesystem;
using qdqm::testing::readFile;
using qdqm::testing::readTrace;
using qdqm::testing::TraceLine;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class TraceE2E : public qdqm::testing::ProgramDirTest {
 protected:
  void dataFile(const std::string& file, unsigned size) {
    fs::create_directories(dir / "QD21S_1");
    const std::string cmd = (fs::path(QDQM_BINARY_DIR) / "qdqm-datafile").string() +
                            " --module QD21S --out " + (dir / "QD21S_1" / file).string() +
                            " --size " + std::to_string(size) + " --image-out " +
                            (dir / "image.hex").string();
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  void startModule() {
    startSim({"--module", "QD21S", "--version", "1.05", "--hw", "1", "--top-speed", "3",
              "--flash-out", (dir / "flash.hex").string()});
  }
};

TEST_F(TraceE2E, UpdateTraceHoldsTheRecordsSent) {
  dataFile("upd2.01", 512);
  startModule();
  const fs::path trace = dir / "trace.txt";
  std::string out;
  EXPECT_EQ(runTool("update --port 7 --yes --trace " + trace.string(), out), 0) << errText();
  stopSim();
  EXPECT_EQ(readFile(dir / "flash.hex"), readFile(dir / "image.hex"));

  const std::string text = readFile(trace);
  EXPECT_THAT(text, StartsWith("# qdqm-update 3.19.0.7 frame trace of qdqm-update update --port 7 "
                               "--yes --trace " +
                               trace.string() + ", started "));
  const std::vector<TraceLine> lines = readTrace(text);
  ASSERT_FALSE(lines.empty());
  EXPECT_THAT(lines[0].text, StartsWith("open COM7 "));
  // Every record of the data file went out on a TX line of its own, at the module's top speed.
  std::string sent;
  size_t records = 0;
  for (const TraceLine& l : lines) {
    if (l.dir != "TX") continue;
    sent.append(l.bytes.begin(), l.bytes.end());
    if (!l.bytes.empty() && l.bytes[0] == ':' && l.bytes.back() == '\n') {
      ++records;
      EXPECT_EQ(l.baud, 115200u) << l.ascii;
    }
  }
  std::string file = readFile(dir / "QD21S_1" / "upd2.01");
  std::erase(file, '\r');
  const std::string body = file.substr(file.find("\n:") + 1);  // after the header lines
  EXPECT_THAT(sent, HasSubstr(body));
  EXPECT_EQ(records, 512u / 16 + 1);
}

TEST_F(TraceE2E, TraceFileThatCannotBeOpenedIsAUsageError) {
  const std::string bad = (dir / "no-such-dir" / "t.txt").string();
  for (const char* command : {"connect", "update"}) {
    SCOPED_TRACE(command);
    std::string out;
    EXPECT_EQ(runTool(std::string(command) + " --port 7 --trace " + bad, out), 64);
    EXPECT_EQ(out, "");
    EXPECT_EQ(errText(), "qdqm-update " + std::string(command) + ": cannot open trace file " + bad +
                             ": No such file or directory\n");
    EXPECT_EQ(runTool(std::string(command) + " --port 7 --json --trace " + bad, out), 64);
    EXPECT_EQ(nlohmann::json::parse(out).at("exit"), 64) << out;
  }
  std::string out;
  EXPECT_EQ(runTool("connect --port 7 --trace", out), 64);
  EXPECT_THAT(errText(), HasSubstr("[--trace FILE]"));
}

TEST_F(TraceE2E, TraceThatCannotBeWrittenLeavesTheUpdateAlone) {
  dataFile("upd2.01", 256);
  startModule();
  std::string out;
  EXPECT_EQ(runTool("update --port 7 --yes --trace /dev/full", out), 0) << errText();
  stopSim();
  EXPECT_EQ(readFile(dir / "flash.hex"), readFile(dir / "image.hex"));
  EXPECT_THAT(errText(), HasSubstr("qdqm-update update: writing trace file /dev/full failed (No "
                                   "space left on device); the trace ends where that happened\n"));
}

}  // namespace
