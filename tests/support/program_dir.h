// End-to-end fixture: a program directory of its own with a copy of qdqm-update (the tool finds
// its type directories beside its executable), a port directory, qdqm-sim on COM7 and the tool
// run as a process with its stderr kept in a file.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qdqm::testing {

class ProgramDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts qdqm-sim --com 7 with these options and waits for its port link.
  void startSim(std::vector<std::string> args);
  // SIGTERM and wait: the simulator writes its --flash-out file on the way out.
  void stopSim();
  // SIGKILL and wait: the pty's master closes as when a USB adapter is pulled.
  void unplugSim();
  // Runs `qdqm-update <arguments>` (stdin from /dev/null); its exit status (-1 when it did not
  // exit) and standard output.
  int runTool(const std::string& arguments, std::string& out);
  // Starts `qdqm-update <arguments>` without waiting (stdin /dev/null, stdout and stderr kept);
  // waitTool gives its exit status (-1 when it did not exit).
  pid_t startTool(const std::string& arguments);
  int waitTool(pid_t tool);
  // Waits up to `seconds` until the tool's stderr holds `text`.
  bool awaitErr(const std::string& text, int seconds);
  // What the last runTool or startTool wrote on stderr.
  std::string errText() const;

  std::filesystem::path dir;
  pid_t sim = -1;
};

// A file's whole content.
std::string readFile(const std::filesystem::path& path);

}  // namespace qdqm::testing
