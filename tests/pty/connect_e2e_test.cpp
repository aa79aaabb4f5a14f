// `qdqm-update connect` against `qdqm-sim` on a pseudo-terminal, in real time.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A program directory of its own: the tool finds its type directories beside its executable.
class ConnectE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("qdqm-connect-e2e-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "ports");
    fs::create_directories(dir / "QM41B_");
    for (const char* f : {"upd1.05", "UPD2.01", "upd1.10"})
      std::ofstream(dir / "QM41B_" / f) << "x\n";
    fs::copy_file(fs::path(QDQM_BINARY_DIR) / "qdqm-update", dir / "qdqm-update");
    setenv("QDQM_PORT_DIR", (dir / "ports").c_str(), 1);
  }
  void TearDown() override {
    if (sim > 0) {
      kill(sim, SIGTERM);
      waitpid(sim, nullptr, 0);
    }
    fs::remove_all(dir);
  }
  void startSim(std::vector<std::string> args) {
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
  // Runs the tool; returns its exit status and its standard output.
  int connect(const std::string& options, std::string& out) {
    const std::string cmd = (dir / "qdqm-update").string() + " connect --port 7 " + options +
                            " 2>" + (dir / "err.txt").string();
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string errText() {
    std::ifstream f(dir / "err.txt");
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  fs::path dir;
  pid_t sim = -1;
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
