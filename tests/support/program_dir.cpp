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
using std::chrono::steady_clock;

namespace {

// Reaps `pid` if it has ended: true, with its wait status.
bool reaped(pid_t pid, int& status) {
  return waitpid(pid, &status, WNOHANG) == pid;
}

int exitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string seconds(std::chrono::milliseconds limit) {
  return std::to_string(limit.count() / 1000) + " s";
}

}  // namespace

bool waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
  const auto end = steady_clock::now() + limit;
  while (!ready()) {
    if (steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

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
  if (tool_ > 0 && !toolEnded_) killTool("still ran when the test ended");
  stopSim();
  fs::remove_all(dir);
}

void ProgramDirTest::startSim(std::vector<std::string> args, unsigned com) {
  args.insert(args.begin(),
              {(fs::path(QDQM_BINARY_DIR) / "qdqm-sim").string(), "--com", std::to_string(com)});
  pid_t& sim = sims[com];
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
  const fs::path link = dir / "ports" / ("COM" + std::to_string(com));
  int status = 0;
  bool ended = false;
  waitUntil([&] { return fs::exists(link) || (ended = reaped(sim, status)); });
  if (ended) {
    sims.erase(com);
    FAIL() << "qdqm-sim ended (exit status " << exitStatus(status) << ") without a port";
  }
  ASSERT_TRUE(fs::exists(link)) << "qdqm-sim made no port within " << seconds(kPatience);
}

void ProgramDirTest::stopSim(unsigned com) {
  const auto it = sims.find(com);
  if (it == sims.end()) return;
  const pid_t sim = it->second;
  sims.erase(it);
  kill(sim, SIGTERM);
  int status = 0;
  if (!waitUntil([&] { return reaped(sim, status); })) {
    ADD_FAILURE() << "qdqm-sim did not end within " << seconds(kPatience) << " of SIGTERM; killed";
    kill(sim, SIGKILL);
    waitpid(sim, nullptr, 0);
  }
}

void ProgramDirTest::stopSim() {
  while (!sims.empty()) stopSim(sims.begin()->first);
}

void ProgramDirTest::unplugSim(unsigned com) {
  const auto it = sims.find(com);
  if (it == sims.end()) return;
  kill(it->second, SIGKILL);
  waitpid(it->second, nullptr, 0);
  sims.erase(it);
  fs::remove(dir / "ports" / ("COM" + std::to_string(com)));
}

int ProgramDirTest::runTool(const std::string& arguments, std::string& out) {
  const int status = waitTool(startTool(arguments));
  out += readFile(dir / "out.txt");
  return status;
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
  EXPECT_GT(tool, 0) << "fork failed";
  tool_ = tool;
  toolArguments_ = arguments;
  toolEnded_ = tool <= 0;
  toolStatus_ = -1;
  return tool;
}

bool ProgramDirTest::toolEnded() {
  int status = 0;
  if (!toolEnded_ && reaped(tool_, status)) {
    toolEnded_ = true;
    toolStatus_ = exitStatus(status);
  }
  return toolEnded_;
}

void ProgramDirTest::killTool(const std::string& why) {
  kill(tool_, SIGKILL);
  waitpid(tool_, nullptr, 0);
  toolEnded_ = true;
  toolStatus_ = -1;
  ADD_FAILURE() << "qdqm-update " << toolArguments_ << " " << why << "; killed";
}

int ProgramDirTest::waitTool(pid_t tool) {
  if (tool != tool_) return -1;
  if (!waitUntil([&] { return toolEnded(); }, kRunPatience))
    killTool("did not end within " + seconds(kRunPatience));
  return toolStatus_;
}

bool ProgramDirTest::awaitErr(const std::string& text) {
  auto said = [&] { return errText().find(text) != std::string::npos; };
  if (waitUntil([&] { return said() || toolEnded(); })) return said();
  killTool("wrote no \"" + text + "\" within " + seconds(kPatience));
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
