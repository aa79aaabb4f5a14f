// `qdqm-update connect` against `qdqm-sim` on a pseudo-terminal, in real time.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/program_dir.h"

namespace {

namespace fs = std::filesystem;

class ConnectE2E : public qdqm::testing::ProgramDirTest {
 protected:
  void SetUp() override {
    ProgramDirTest::SetUp();
    fs::create_directories(dir / "QM41B_");
    for (const char* f : {"upd1.05", "UPD2.01", "upd1.10"})
      std::ofstream(dir / "QM41B_" / f) << "x\n";
  }
  int connect(const std::string& options, std::string& out) {
    return runTool("connect --port 7 " + options, out);
  }
};

TEST_F(ConnectE2E, RecordModuleAtHighSpeedListsVersions) {
  startSim({"--module", "QM41B", "--protocol", "record", "--version", "1.05", "--top-speed", "3"});
  std::string out;
  EXPECT_EQ(connect("", out), 0) << errText();
  EXPECT_EQ(out, "Connected Device: QM41B V1.05\n* UPD2.01\n  upd1.10\n  upd1.05\n");
}

TEST_F(ConnectE2E, SilentModuleFailsWithCode20) {
  startSim({"--module", "QM41B", "--fault", "silent"});
  std::string out;
  EXPECT_EQ(connect("--low-speed", out), 2);
  EXPECT_EQ(out, "");
  EXPECT_NE(errText().find("Error message: Could not connect to module !\nError Code: 20"),
            std::string::npos);
}

}  // namespace
