// `qdqm-update update` against `qdqm-sim --flash-out` on a pseudo-terminal, in real time: the
// simulator's flash must equal the image of the data file that qdqm-datafile wrote.
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/service_record.h"
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

// A command line that is wrong says in its first line what was wrong, then the usage; nothing is
// opened. --name=VALUE is the same as --name VALUE.
TEST_F(UpdateE2E, UsageErrorsSayWhatWasWrong) {
  const struct {
    const char* arguments;
    const char* firstLine;
  } kWrong[] = {
      {"update --port ttyUSB0",
       "qdqm-update update: --port takes a COM number (1-99, COM1-COM99) or a device such as "
       "/dev/ttyUSB0, not 'ttyUSB0'"},
      {"update --port=COM100",
       "qdqm-update update: --port takes a COM number (1-99, COM1-COM99) or a device such as "
       "/dev/ttyUSB0, not 'COM100'"},
      {"update --port 7 --base-unit --slot 10=upd2.01",
       "qdqm-update update: --slot takes K=FILE with a slot K from 1 to 9, not '10=upd2.01'"},
      {"update --port 7 --base-unit --skip 0",
       "qdqm-update update: --skip takes a slot from 1 to "
       "9, not '0'"},
      {"update --port 7 --frobnicate", "qdqm-update update: unknown option '--frobnicate'"},
      {"update --port 7 --yes --no", "qdqm-update update: --yes and --no cannot both be given"},
      {"update --port 7 --json=yes", "qdqm-update update: --json takes no value"},
      {"update --port", "qdqm-update update: --port needs a value"},
      {"update --yes", "qdqm-update update: --port N or --port DEVICE is required"},
      {"connect --port 7 --data-dir=", "qdqm-update connect: --data-dir needs a folder"},
      {"connect --port 7 --slot 1=upd2.01", "qdqm-update connect: unknown option '--slot'"},
      {"history --since 2026-02-30",
       "qdqm-update history: --since takes a date YYYY-MM-DD, not '2026-02-30'"},
  };
  for (const auto& w : kWrong) {
    std::string out;
    EXPECT_EQ(runTool(w.arguments, out), 64) << w.arguments;
    const std::string err = errText();
    EXPECT_EQ(err.substr(0, err.find('\n')), w.firstLine) << w.arguments;
    EXPECT_NE(err.find("\nusage: qdqm-update "), std::string::npos) << err;
  }
  // The = form takes the value; the module is then simply not there.
  std::string out;
  EXPECT_EQ(runTool("connect --port=7", out), 2) << errText();
  EXPECT_NE(errText().find("Could not open serial port COM 7"), std::string::npos) << errText();
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

// Connect ends silently on an empty type directory, and with "No update available !" without one;
// the terminal names the type and the folder searched. The update sets are looked for where
// --data-dir or QDQM_DATA_DIR say, else beside the program.
TEST_F(UpdateE2E, EmptyTypeDirectoryIsNamed) {
  fs::create_directories(dir / "qd21s_1");
  fs::create_directories(dir / "stick");
  dataFile("QD21S", "sets/QD21S_1", "upd2.01", 256, 7);
  startSim({"--module", "QD21S", "--version", "1.05", "--hw", "1"});
  const std::string sets = (dir / "sets").string(), stick = (dir / "stick").string();
  const struct {
    const char* dataDir;  // --data-dir, "" none
    const char* env;      // QDQM_DATA_DIR, "" none
    std::string said;     // behind "qdqm-update <command>"; "" when versions are listed
  } kCases[] = {
      {"", "", ": no update version for QD21S: " + (dir / "qd21s_1").string() + " holds no file\n"},
      {"", "stick", ": no update available for QD21S: " + stick + " holds no folder QD21S_1\n"},
      {"", "sets", ""},
      {"sets", "stick", ""},
  };
  for (const auto& c : kCases) {
    if (*c.env) setenv("QDQM_DATA_DIR", (dir / c.env).c_str(), 1);
    const std::string options =
        *c.dataDir ? " --data-dir=" + (dir / c.dataDir).string() : std::string();
    for (const char* command : {"connect", "update"}) {
      // Where versions are listed, connect says enough (an update would flash the module).
      if (c.said.empty() && command == std::string("update")) continue;
      std::string out;
      const std::string line = std::string(command) + " --port 7 --low-speed" + options;
      const int exit = runTool(line, out);
      if (c.said.empty()) {
        EXPECT_NE(out.find("upd2.01"), std::string::npos) << line << errText();
      } else {
        EXPECT_EQ(exit, 2) << line;
        EXPECT_EQ(out, "Connected Device: QD21S V1.05\n") << line;
        EXPECT_TRUE(errText().ends_with("qdqm-update " + std::string(command) + c.said))
            << line << "\n"
            << errText();
      }
    }
    unsetenv("QDQM_DATA_DIR");
  }
}

// Ctrl-C or SIGTERM during the controller flash: the first acts as Esc and the run ends through
// its clean-up; a second one ends the program at once with the line at 19200. Either way the
// flash was half written: exit status 1.
TEST_F(UpdateE2E, InterruptsEndTheRun) {
  dataFile("QD21S", "QD21S_1", "upd2.01", 32768, 7);
  startSim(
      {"--module", "QD21S", "--version", "1.05", "--hw", "1", "--top-speed", "3", "--wire-timing"});
  const std::string slave = fs::canonical(dir / "ports" / "COM7").string();

  pid_t tool = startTool("update --port 7 --yes");
  ASSERT_TRUE(awaitErr("10%")) << errText();
  kill(tool, SIGINT);
  EXPECT_EQ(waitTool(tool), 1);
  std::string err = errText();
  EXPECT_EQ(err.find("Attention: The module was sucessfully updated."), std::string::npos) << err;
  EXPECT_NE(err.find("\nqdqm-update update: interrupted\n"), std::string::npos) << err;
  // The service record keeps the interrupted run as what it did to the module.
  const auto records = [&] {
    std::vector<nlohmann::json> lines;
    std::ifstream history(dir / "state" / "qdqm-update" / "history.jsonl");
    for (std::string line; std::getline(history, line);)
      lines.push_back(nlohmann::json::parse(line));
    return lines;
  };
  ASSERT_EQ(records().size(), 1u);
  EXPECT_EQ(records()[0]["result"], "failed");
  EXPECT_EQ(records()[0]["module_changed"], true);

  tool = startTool("update --port 7 --yes");
  ASSERT_TRUE(awaitErr("10%")) << errText();
  kill(tool, SIGTERM);
  kill(tool, SIGINT);
  EXPECT_EQ(waitTool(tool), 1);
  err = errText();
  EXPECT_TRUE(err.ends_with("\nqdqm-update: interrupted again, ended\n")) << err;
  // Ended at once: no record is written from the signal handler.
  EXPECT_EQ(records().size(), 1u);
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

// Stations: three modules updated in one command at once, each with its own image; the one that
// refuses a record fails alone, the exit status is the worst, --json has one object a station and
// the service record one line a station. Then a station whose adapter is pulled ends with its
// stage's message while the other finishes.
TEST_F(UpdateE2E, StationsUpdateSeveralModulesAtOnce) {
  dataFile("QD21S", "QD21S_1", "upd2.01", 4096, 7);
  dataFile("QM41B", "QM41B_", "upd2.05", 4096, 9);
  const auto raw = [&](unsigned com) {
    startSim({"--module", "QD21S", "--version", "1.05", "--hw", "1", "--top-speed", "3",
              "--wire-timing", "--flash-out", (dir / ("f" + std::to_string(com))).string()},
             com);
  };
  raw(5);
  startSim(
      {"--module", "QM41B", "--protocol", "record", "--version", "1.05", "--fault", "refuse=10:C"},
      6);
  raw(7);
  std::string out;
  EXPECT_EQ(runTool("update --port 5 --port 6 --port COM7 --yes --json", out), 1) << errText();
  stopSim();
  EXPECT_EQ(readFile(dir / "f5"), readFile(image("upd2.01")));
  EXPECT_EQ(readFile(dir / "f7"), readFile(image("upd2.01")));
  const auto j = nlohmann::json::parse(out);
  ASSERT_EQ(j["stations"].size(), 3u);
  const char* results[] = {"updated", "failed", "updated"};
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(j["stations"][k]["port"], "COM" + std::to_string(5 + k));
    EXPECT_EQ(j["stations"][k]["result"], results[k]) << k;
  }
  EXPECT_EQ(j["exit"], 1);
  EXPECT_NE(errText().find("[COM6] Error message: Programming checksum error !"), std::string::npos)
      << errText();
  std::ifstream history(dir / "state" / "qdqm-update" / "history.jsonl");
  std::map<std::string, std::string> recorded;
  for (std::string line; std::getline(history, line);) {
    const auto r = nlohmann::json::parse(line);
    recorded[r["port"]] = r["result"];
  }
  EXPECT_EQ(recorded, (std::map<std::string, std::string>{
                          {"COM5", "updated"}, {"COM6", "failed"}, {"COM7", "updated"}}));

  dataFile("QD21S", "QD21S_1", "upd3.01", 32768, 11);
  raw(5);
  raw(7);
  const pid_t tool = startTool("update --port 5 --port 7 --yes");
  ASSERT_TRUE(awaitErr("[COM5] programming controller flash... 10%")) << errText();
  unplugSim(5);
  EXPECT_EQ(waitTool(tool), 1);
  stopSim();
  EXPECT_EQ(readFile(dir / "f7"), readFile(image("upd3.01")));
  const std::string err = errText();
  EXPECT_NE(err.find("[COM5] Error message: Time out while controller flash programming !"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("[COM7] exit 0 updated"), std::string::npos) << err;
  // The record as a table: a heading and the five runs, oldest first.
  out.clear();
  EXPECT_EQ(runTool("history --since 2000-01-01", out), 0) << errText();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 6) << out;
  EXPECT_TRUE(out.starts_with("time ")) << out;
}

// Two processes append to the service record at once: every line arrives whole, none torn or
// interleaved with another.
TEST(ServiceRecord, TwoProcessesAppendWholeLines) {
  const fs::path file =
      fs::temp_directory_path() / ("qdqm-history-" + std::to_string(getpid())) / "history.jsonl";
  constexpr int kLines = 300;
  const auto lineOf = [](char who, int n) {
    return "{\"writer\":\"" + std::string(1, who) + "\",\"n\":" + std::to_string(n) +
           ",\"pad\":\"" + std::string(3000 + n, who) + "\"}";
  };
  std::vector<pid_t> writers;
  for (char who : {'a', 'b'}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::string error;
      for (int n = 0; n < kLines; ++n)
        if (!qdqm::appendHistoryLine(file.string(), lineOf(who, n), error)) _exit(1);
      _exit(0);
    }
    writers.push_back(child);
  }
  for (pid_t w : writers) {
    int status = 0;
    waitpid(w, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::ifstream in(file);
  std::map<char, int> next{{'a', 0}, {'b', 0}};
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    const char who = line.size() > 12 ? line[11] : '?';
    ASSERT_TRUE(next.contains(who)) << line.substr(0, 40);
    EXPECT_EQ(line, lineOf(who, next[who]++));  // each writer's lines whole and in its order
  }
  EXPECT_EQ(lines, 2 * kLines);
  fs::remove_all(file.parent_path());
}

}  // namespace
