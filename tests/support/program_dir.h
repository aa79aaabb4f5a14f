// End-to-end fixture: a program directory of its own with a copy of qdqm-update (the tool finds
// its type directories beside its executable), a port directory, qdqm-sim on COM7 and the tool
// run as a process with its stderr kept in a file.
//
// Every wait ends as soon as its condition holds and holds out far longer than its condition takes
// on a loaded machine, so that only a hang fails; a wait that gives up kills what it waited for,
// and the fixture kills the tool and the simulator a failed test leaves running.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qdqm::testing {

// How long a wait for a condition (a port link, a line on stderr, bytes on a pty) holds out.
constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(120);
// How long a run of the tool may take before it counts as hung and is killed.
constexpr std::chrono::milliseconds kRunPatience = std::chrono::seconds(300);

// Asks `ready` every 10 ms until it holds (true) or `limit` has passed (false).
bool waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds limit = kPatience);

class ProgramDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts qdqm-sim --com N (7 unless said) with these options and waits for its port link.
  void startSim(std::vector<std::string> args, unsigned com = 7);
  // SIGTERM and wait: the simulator writes its --flash-out file on the way out. Every simulator
  // without a port number.
  void stopSim(unsigned com);
  void stopSim();
  // SIGKILL and wait: the pty's master closes as when a USB adapter is pulled.
  void unplugSim(unsigned com = 7);
  // Runs `qdqm-update <arguments>` (stdin from /dev/null); its exit status (-1 when it did not
  // exit) and standard output.
  int runTool(const std::string& arguments, std::string& out);
  // Starts `qdqm-update <arguments>` without waiting (stdin /dev/null, stdout and stderr kept);
  // waitTool gives its exit status (-1 when it did not exit).
  pid_t startTool(const std::string& arguments);
  int waitTool(pid_t tool);
  // Waits until the started tool's stderr holds `text`; false when it does not, the tool having
  // ended or taken too long (then it is killed).
  bool awaitErr(const std::string& text);
  // What the last runTool or startTool wrote on stderr.
  std::string errText() const;

  std::filesystem::path dir;
  std::map<unsigned, pid_t> sims;  // by port number

 private:
  // Whether the started tool has ended; reaps it and keeps its exit status when it has.
  bool toolEnded();
  // Ends the started tool at once, as a failure of the test, saying why.
  void killTool(const std::string& why);

  pid_t tool_ = -1;
  std::string toolArguments_;
  bool toolEnded_ = false;
  int toolStatus_ = -1;
};

// A file's whole content.
std::string readFile(const std::filesystem::path& path);

}  // namespace qdqm::testing
