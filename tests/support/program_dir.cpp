#include "tests/support/program_dir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace qdqm::testing {

namespace fs = std::filesystem;

void ProgramDirTest::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  dir = fs::temp_directory_path() / ("qdqm-e2e-" + std::to_string(getpid()) + "-" + info->name());
  fs::remove_all(dir);
  fs::create_directories(dir / "ports");
  fs::copy_file(fs::path(QDQM_BINARY_DIR) / "qdqm-update", dir / "qdqm-update");
  setenv("QDQM_PORT_DIR", (dir / "ports").c_str(), 1);
  // The service record of the runs stays in the test's folder.
  setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
}

void ProgramDirTest::TearDown() {
  stopSim();
  fs::remove_all(dir);
}

void ProgramDirTest::startSim(std::vector<std::string> args) {
  args.insert(args.begin(), {(fs::path(QDQM_BINARY_DIR) / "qdqm-sim").string(), "--com", "7"});
  sim = fork();
  ASSERT_GE(sim, 0);
  if (sim == 0) {
    const int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  for (int i = 0; i < 200 && !fs::exists(dir / "ports" / "COM7"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(fs::exists(dir / "ports" / "COM7"));
}

void ProgramDirTest::stopSim() {
  if (sim <= 0) return;
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  sim = -1;
}

void ProgramDirTest::unplugSim() {
  if (sim <= 0) return;
  kill(sim, SIGKILL);
  waitpid(sim, nullptr, 0);
  sim = -1;
  fs::remove(dir / "ports" / "COM7");
}

int ProgramDirTest::runTool(const std::string& arguments, std::string& out) {
  const std::string cmd = (dir / "qdqm-update").string() + " " + arguments + " </dev/null 2>" +
                          (dir / "err.txt").string();
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t ProgramDirTest::startTool(const std::string& arguments) {
  const std::string cmd = "exec " + (dir / "qdqm-update").string() + " " + arguments +
                          " </dev/null >" + (dir / "out.txt").string() + " 2>" +
                          (dir / "err.txt").string();
  fs::remove(dir / "err.txt");  // what an earlier run said must not be taken for this one's
  const pid_t tool = fork();
  if (tool == 0) {
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return tool;
}

int ProgramDirTest::waitTool(pid_t tool) {
  int status = 0;
  if (waitpid(tool, &status, 0) != tool) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ProgramDirTest::awaitErr(const std::string& text, int seconds) {
  for (int i = 0; i < seconds * 100; ++i) {
    if (errText().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string ProgramDirTest::errText() const {
  return readFile(dir / "err.txt");
}

std::string readFile(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace qdqm::testing
