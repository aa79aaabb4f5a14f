// `qdqm-update update --json` against `qdqm-sim` with a coprocessor, in real time on a pty: the
// image the simulated coprocessor keeps must equal its file, and stdout carries one JSON object.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/program_dir.h"

namespace {

namespace fs = std::filesystem;
using qdqm::testing::readFile;

class CoprocE2E : public qdqm::testing::ProgramDirTest {
 protected:
  // A version-0 controller data file (header checks only, no controller flash) naming
  // "images\<file>" on its MPEG line, and that file: `size` synthetic bytes. Coprocessor images
  // live in a folder of their own so that the version list shows only controller data files.
  void files(const std::string& type, const std::string& typeDir, const std::string& file,
             unsigned size) {
    fs::create_directories(dir / typeDir / "images");
    const fs::path bin(QDQM_BINARY_DIR);
    const std::string data = (bin / "qdqm-datafile").string() + " --module " + type +
                             " --mpeg 'images\\" + file + "' --size 64 --out " +
                             (dir / typeDir / "update").string();
    ASSERT_EQ(std::system(data.c_str()), 0) << data;
    const std::string image = (bin / "qdqm-datafile").string() + " --image '" +
                              (dir / typeDir / "images" / file).string() + "' --size " +
                              std::to_string(size);
    ASSERT_EQ(std::system(image.c_str()), 0) << image;
  }
  fs::path out() const { return dir / "coprocessor.bin"; }
};

TEST_F(CoprocE2E, Crc32DecoderWithJsonReport) {
  files("QM292", "QM292_", "QM292_2_01.bin", 1300);
  startSim({"--module", "QM292", "--version", "1.05", "--coproc-version", "1.05",
            "--coproc-new-version", "2.01", "--decoder-out", out().string()});
  std::string stdoutText;
  EXPECT_EQ(runTool("update --port 7 --yes --json", stdoutText), 0) << errText();
  stopSim();
  EXPECT_EQ(readFile(out()), readFile(dir / "QM292_" / "images" / "QM292_2_01.bin"));
  const auto j = nlohmann::json::parse(stdoutText);  // the whole of stdout is one object
  EXPECT_EQ(j["device"], "QM29/22 V1.05");
  EXPECT_EQ(j["versions"], nlohmann::json::array({"update"}));
  EXPECT_EQ(j["selected"], "update");
  EXPECT_EQ(j["verdict"], "success");
  EXPECT_EQ(j["result"], "updated");
  EXPECT_EQ(j["module_changed"], true);
  EXPECT_EQ(j["exit"], 0);
  ASSERT_EQ(j["messages"].size(), 2u);
  EXPECT_EQ(j["messages"][0]["caption"], "Attention");
  EXPECT_EQ(j["messages"][1]["text"], "Do you wish to update another QM292 ?");
  // Progress and statuses still go to stderr.
  EXPECT_NE(errText().find("waiting for 'Data Okay' ..."), std::string::npos) << errText();
}

// Three FPGA blocks written, the fourth refused: no verdict, but the module was written to, so a
// script reads a failure, not "nothing happened".
TEST_F(CoprocE2E, Qm23FpgaRefusedBlockIsAFailureWithoutVerdict) {
  files("QM23_", "QM23__", "fpga$2_01.bin", 640);
  startSim({"--module", "QM23_", "--coproc-version", "1.05", "--fault", "block-refuse=4",
            "--fpga-out", out().string()});
  std::string stdoutText;
  EXPECT_EQ(runTool("update --port 7 --yes --json", stdoutText), 1) << errText();
  stopSim();
  const auto j = nlohmann::json::parse(stdoutText);
  EXPECT_EQ(j["verdict"], "none");
  EXPECT_EQ(j["result"], "failed");
  EXPECT_EQ(j["module_changed"], true);
  EXPECT_EQ(j["exit"], 1);
  ASSERT_EQ(j["messages"].size(), 1u);
  EXPECT_EQ(j["messages"][0]["caption"], "Error message");
  EXPECT_EQ(j["messages"][0]["text"], "FPGA returned error during updateprocess  !!!");
  // Three blocks went in before the refused one.
  EXPECT_EQ(readFile(out()).size(), 192u);
}

// The VERS decoder in real time: 9600 baud with even parity, the image in 8-byte writes, and the
// loader's texts read a byte a millisecond.
TEST_F(CoprocE2E, VersDecoderInRealTime) {
  files("QD22A", "QD22A_", "V2_01.bin", 2000);
  startSim({"--module", "QD22A", "--decoder-version", "V1.05", "--decoder-new-version", "V2.01",
            "--wire-timing", "--decoder-out", out().string()});
  std::string stdoutText;
  EXPECT_EQ(runTool("update --port 7 --yes --json", stdoutText), 0) << errText();
  stopSim();
  EXPECT_EQ(readFile(out()), readFile(dir / "QD22A_" / "images" / "V2_01.bin"));
  const auto j = nlohmann::json::parse(stdoutText);
  EXPECT_EQ(j["verdict"], "success");
  EXPECT_NE(errText().find("waiting for running mpeg ..."), std::string::npos) << errText();
}

// The adapter pulled while the decoder's image goes out in CRC-32 frames: the stage's message at
// once, no verdict, and exit status 1: the decoder was half written.
TEST_F(CoprocE2E, AdapterUnpluggedDuringTheDecoderTransfer) {
  files("QM292", "QM292_", "QM292_2_01.bin", 16384);
  startSim({"--module", "QM292", "--version", "1.05", "--coproc-version", "1.05", "--wire-timing"});
  const pid_t tool = startTool("update --port 7 --yes");
  ASSERT_TRUE(awaitErr("10%")) << errText();
  unplugSim();
  EXPECT_EQ(waitTool(tool), 1);
  const std::string err = errText();
  EXPECT_NE(err.find("Error message: mpeg decoder returned error during updateprocess  !!!\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("Attention: The module was sucessfully updated."), std::string::npos) << err;
}

}  // namespace
