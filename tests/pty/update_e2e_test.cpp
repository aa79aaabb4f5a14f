// `qdqm-update update` against `qdqm-sim --flash-out` on a pseudo-terminal, in real time: the
// simulator's flash must equal the image of the data file that qdqm-datafile wrote.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "tests/support/program_dir.h"

namespace {

namespace fs = std::filesystem;
using qdqm::testing::readFile;

class UpdateE2E : public qdqm::testing::ProgramDirTest {
 protected:
  // A data file in the type directory; its image as qdqm-sim writes a flash goes to images/.
  void dataFile(const std::string& type, const std::string& typeDir, const std::string& file,
                unsigned size, unsigned seed, unsigned recordBytes = 16) {
    fs::create_directories(dir / typeDir);
    fs::create_directories(dir / "images");
    const std::string cmd = (fs::path(QDQM_BINARY_DIR) / "qdqm-datafile").string() + " --module " +
                            type + " --out " + (dir / typeDir / file).string() + " --size " +
                            std::to_string(size) + " --seed " + std::to_string(seed) +
                            " --record-bytes " + std::to_string(recordBytes) + " --image-out " +
                            image(file).string();
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  fs::path image(const std::string& file) const { return dir / "images" / (file + ".hex"); }
  fs::path flash() const { return dir / "flash.hex"; }
  int update(const std::string& options, std::string& out) {
    return runTool("update --port 7 " + options, out);
  }
};

TEST_F(UpdateE2E, RawModuleGetsTheHighestVersion) {
  dataFile("QD21S", "QD21S_1", "upd1.05", 1024, 5);
  dataFile("QD21S", "QD21S_1", "upd2.01", 2048, 7);
  startSim({"--module", "QD21S", "--version", "1.05", "--hw", "1", "--top-speed", "3",
            "--flash-out", flash().string()});
  std::string out;
  EXPECT_EQ(update("--yes", out), 0) << errText();
  stopSim();
  EXPECT_EQ(out, "Connected Device: QD21S V1.05\nUpdate version: upd2.01\n");
  const std::string err = errText();
  EXPECT_NE(err.find("Attention: The module was sucessfully updated."), std::string::npos) << err;
  // Answered No whatever --yes says: the program ends after the run.
  EXPECT_NE(err.find("Question: Do you wish to update another QD21S ? No\n"), std::string::npos)
      << err;
  EXPECT_EQ(readFile(flash()), readFile(image("upd2.01")));
}

// 24-byte records cross 64-byte boundaries: the record protocol sends them packed in two.
TEST_F(UpdateE2E, RecordModuleGetsTheChosenVersion) {
  dataFile("QM41B", "QM41B_", "upd1.10", 1536, 11, 24);
  dataFile("QM41B", "QM41B_", "upd2.01", 1024, 21);
  startSim({"--module", "QM41B", "--protocol", "record", "--version", "1.05", "--top-speed", "2",
            "--flash-out", flash().string()});
  std::string out;
  EXPECT_EQ(update("--version UPD1.10 --yes", out), 0) << errText();
  stopSim();
  EXPECT_EQ(out, "Connected Device: QM41B V1.05\nUpdate version: upd1.10\n");
  EXPECT_EQ(readFile(flash()), readFile(image("upd1.10")));
}

TEST_F(UpdateE2E, RefusedRecordGivesTheFailureVerdict) {
  dataFile("QD21S", "QD21S_1", "upd2.01", 1024, 7);
  startSim({"--module", "QD21S", "--version", "1.05", "--hw", "1", "--fault", "refuse=3:P"});
  std::string out;
  EXPECT_EQ(update("--low-speed --yes", out), 1);
  const std::string err = errText();
  EXPECT_NE(err.find("Error message: Could not programm byte to flash !\nError Code: 202"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Error message: Could not update the module !"), std::string::npos) << err;
}

TEST_F(UpdateE2E, VersionNotInTheListEndsWithoutVerdict) {
  dataFile("QD21S", "QD21S_1", "upd1.05", 256, 5);
  dataFile("QD21S", "QD21S_1", "upd2.01", 256, 7);
  startSim(
      {"--module", "QD21S", "--version", "1.05", "--hw", "1", "--flash-out", flash().string()});
  std::string out;
  EXPECT_EQ(update("--low-speed --version upd9.99", out), 2);
  stopSim();
  EXPECT_NE(errText().find("upd9.99 is not in the version list; available: upd2.01 upd1.05"),
            std::string::npos)
      << errText();
  EXPECT_EQ(readFile(flash()), ":00000001FF\n");  // nothing was programmed
}

// Commands one after another on a module that answers at 115200 once raised: every command finds
// it, also after a run that ended before the controller's restart (No to the older-version
// question leaves it at 115200 while the tool's line returns to 19200).
TEST_F(UpdateE2E, CommandsInARowFindTheModuleWhateverRateTheLastOneLeft) {
  dataFile("QD21S", "QD21S_1", "upd1.01", 512, 3);
  dataFile("QD21S", "QD21S_1", "upd2.01", 1024, 7);
  startSim({"--module", "QD21S", "--version", "1.05", "--hw", "1", "--top-speed", "3",
            "--flash-out", flash().string()});
  const std::string listed = "Connected Device: QD21S V1.05\n* upd2.01\n  upd1.01\n";
  std::string out;
  out.clear();
  EXPECT_EQ(runTool("connect --port 7", out), 0) << errText();
  EXPECT_EQ(out, listed);
  out.clear();
  EXPECT_EQ(runTool("connect --port 7", out), 0) << errText();
  EXPECT_EQ(out, listed);
  out.clear();
  EXPECT_EQ(update("--version upd1.01 --no", out), 2) << errText();
  EXPECT_NE(errText().find("Do you whish to overwrite the newer version ? No"), std::string::npos)
      << errText();
  out.clear();
  EXPECT_EQ(update("--yes", out), 0) << errText();
  EXPECT_EQ(out, "Connected Device: QD21S V1.05\nUpdate version: upd2.01\n");
  stopSim();
  EXPECT_EQ(readFile(flash()), readFile(image("upd2.01")));
}

// Connect ends silently on an empty type directory; the terminal names the type and the directory.
TEST_F(UpdateE2E, EmptyTypeDirectoryIsNamed) {
  fs::create_directories(dir / "qd21s_1");
  startSim({"--module", "QD21S", "--version", "1.05", "--hw", "1"});
  const std::string said =
      ": no update version for QD21S: " + (dir / "qd21s_1").string() + " holds no file\n";
  for (const char* command : {"connect", "update"}) {
    std::string out;
    EXPECT_EQ(runTool(std::string(command) + " --port 7 --low-speed", out), 2) << command;
    EXPECT_EQ(out, "Connected Device: QD21S V1.05\n") << command;
    EXPECT_EQ(errText(), "qdqm-update " + std::string(command) + said);
  }
}

// Ctrl-C or SIGTERM during the controller flash: the first acts as Esc and the run ends through
// its clean-up without verdict; a second one ends the program at once with the line at 19200.
TEST_F(UpdateE2E, InterruptsEndTheRun) {
  dataFile("QD21S", "QD21S_1", "upd2.01", 32768, 7);
  startSim(
      {"--module", "QD21S", "--version", "1.05", "--hw", "1", "--top-speed", "3", "--wire-timing"});
  const std::string slave = fs::canonical(dir / "ports" / "COM7").string();

  pid_t tool = startTool("update --port 7 --yes");
  ASSERT_TRUE(awaitErr("10%")) << errText();
  kill(tool, SIGINT);
  EXPECT_EQ(waitTool(tool), 2);
  std::string err = errText();
  EXPECT_EQ(err.find("Attention: The module was sucessfully updated."), std::string::npos) << err;
  EXPECT_NE(err.find("\nqdqm-update update: interrupted\n"), std::string::npos) << err;

  tool = startTool("update --port 7 --yes");
  ASSERT_TRUE(awaitErr("10%")) << errText();
  kill(tool, SIGTERM);
  kill(tool, SIGINT);
  EXPECT_EQ(waitTool(tool), 2);
  err = errText();
  EXPECT_TRUE(err.ends_with("\nqdqm-update: interrupted again, ended\n")) << err;
  // The tool had raised the line to 115200; the pty keeps what the tool set last.
  const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios tio{};
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  close(fd);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
  EXPECT_EQ(tio.c_cflag & PARENB, 0u);
}

// The adapter pulled during the controller flash: the record's exchange fails at once with the
// stage's message; plugged in again (a new device behind COM7), the next run flashes the module.
TEST_F(UpdateE2E, AdapterUnpluggedDuringTheControllerFlash) {
  dataFile("QD21S", "QD21S_1", "upd2.01", 32768, 7);
  startSim(
      {"--module", "QD21S", "--version", "1.05", "--hw", "1", "--top-speed", "3", "--wire-timing"});
  const pid_t tool = startTool("update --port 7 --yes");
  ASSERT_TRUE(awaitErr("10%")) << errText();
  unplugSim();
  EXPECT_EQ(waitTool(tool), 1);
  const std::string err = errText();
  EXPECT_NE(err.find("Error message: Time out while controller flash programming !\nError Code: "
                     "61\nError message: Could not update the module !"),
            std::string::npos)
      << err;

  startSim({"--module", "QD21S", "--version", "1.05", "--hw", "1", "--top-speed", "3",
            "--flash-out", flash().string()});
  std::string out;
  EXPECT_EQ(update("--yes", out), 0) << errText();
  stopSim();
  EXPECT_EQ(readFile(flash()), readFile(image("upd2.01")));
}

}  // namespace
