// The POSIX serial layer on a real pseudo-terminal pair: the test holds the master side and plays
// the module; the tool opens the slave through a COMn link in a private port directory.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "cli/commands.h"
#include "link/port_map.h"
#include "link/posix_serial.h"
#include "link/serial_port.h"
#include "tests/support/program_dir.h"
#include "tests/support/scripted_host.h"

namespace qdqm {
namespace {

namespace fs = std::filesystem;
using testing::kPatience;
using testing::waitUntil;

// Counts the calls the exchange makes on the real device.
class CountingDevice final : public SerialDevice {
 public:
  explicit CountingDevice(std::unique_ptr<SerialDevice> d) : d_(std::move(d)) {}
  bool hasModemLines() const override { return d_->hasModemLines(); }
  std::string name() const override { return d_->name(); }
  bool setQueueSizes(size_t i, size_t o) override { return d_->setQueueSizes(i, o); }
  bool readSettings(LineSettings& s) override { return d_->readSettings(s); }
  bool writeSettings(const LineSettings& s) override { return d_->writeSettings(s); }
  bool setReadTimeouts() override { return d_->setReadTimeouts(); }
  bool readEventMask() override { return d_->readEventMask(); }
  bool addReceiveEvent() override { return d_->addReceiveEvent(); }
  long write(const uint8_t* data, size_t n) override { return d_->write(data, n); }
  void waitForInput(uint32_t us) override {
    ++waits;
    d_->waitForInput(us);
  }
  long read(uint8_t* b, size_t n) override {
    ++reads;
    return d_->read(b, n);
  }
  long clearErrorAndCountWaiting() override { return d_->clearErrorAndCountWaiting(); }
  bool lost() const override { return d_->lost(); }

  int reads = 0;
  int waits = 0;

 private:
  std::unique_ptr<SerialDevice> d_;
};

class CountingOpener final : public PortOpener {
 public:
  std::unique_ptr<SerialDevice> open(unsigned n, int& error) override {
    auto d = real.open(n, error);
    if (!d) return nullptr;
    auto c = std::make_unique<CountingDevice>(std::move(d));
    last = c.get();
    return c;
  }
  std::string devicePath(unsigned n) const override { return real.devicePath(n); }
  PosixPortOpener real;
  CountingDevice* last = nullptr;
};

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    slavePath = ptsname(master);
    char tmpl[] = "/tmp/qdqm-pty-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    fs::create_symlink(slavePath, dir / "COM7");
    setenv("QDQM_PORT_DIR", dir.c_str(), 1);
    ASSERT_EQ(openPort(7, port), 1);
    dev = opener.last;
  }
  void TearDown() override {
    port.close();
    if (master >= 0) close(master);
    fs::remove_all(dir);
    unsetenv("QDQM_PORT_DIR");
  }

  void send(std::string_view bytes) {
    ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // The pty hands bytes over asynchronously; wait until the tool's side sees them all.
  void awaitWaiting(long n) {
    waitUntil([&] { return port.device->clearErrorAndCountWaiting() >= n; });
    ASSERT_EQ(port.device->clearErrorAndCountWaiting(), n);
  }
  // What the tool wrote, as soon as `expectedOut` bytes have come on the master side.
  std::string receive() {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (got.size() < expectedOut) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd p{master, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
          !(p.revents & POLLIN))
        break;
      char buf[256];
      const ssize_t r = ::read(master, buf, sizeof buf);
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }

  int master = -1;
  std::string slavePath;
  fs::path dir;
  SteadyClock clock;
  testing::ScriptedHost host;
  CountingOpener opener;
  SerialPort port{opener, clock, host};
  CountingDevice* dev = nullptr;
  std::array<uint8_t, 16> reply{};
  size_t got = 0;
  size_t expectedOut = 1;
};

TEST_F(PtyTest, OpensTheLinkedDeviceRawAndExclusive) {
  EXPECT_EQ(port.device->name(), slavePath.substr(5));  // "pts/N"
  EXPECT_FALSE(port.device->hasModemLines());
  EXPECT_TRUE(host.boxes.empty());

  // Line ends and flow-control bytes pass unchanged both ways.
  const std::string raw("\r\n\x11\x13\xff\x00", 6);
  send(raw);
  awaitWaiting(6);
  size_t n = 0;
  std::array<uint8_t, 8> in{};
  EXPECT_EQ(readBytes(port, in.data(), in.size(), n), 1);
  EXPECT_EQ(std::string(in.begin(), in.begin() + static_cast<long>(n)), raw);
  expectedOut = 6;
  EXPECT_EQ(writeBytes(port, reinterpret_cast<const uint8_t*>(raw.data()), raw.size()), 1);
  EXPECT_EQ(receive(), raw);

  SerialPort second{opener, clock, host};
  EXPECT_EQ(openPort(7, second), 0);
  EXPECT_EQ(second.lastOpenError, EBUSY);
  EXPECT_EQ(openPort(0, second), 0);
  EXPECT_TRUE(host.boxes.empty());
}

// A second process finds COM7 busy; its hint names the process holding it (this one).
TEST_F(PtyTest, BusyPortNamesItsHolder) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    SerialPort other{opener, clock, host};
    const std::string said = openPort(7, other) == 0 && other.lastOpenError == EBUSY
                                 ? openFailureHint(opener.devicePath(7), other.lastOpenError)
                                 : "opened";
    (void)!::write(fds[1], said.data(), said.size());
    _exit(0);
  }
  close(fds[1]);
  std::string said;
  char buf[256];
  for (ssize_t r; (r = ::read(fds[0], buf, sizeof buf)) > 0;)
    said.append(buf, static_cast<size_t>(r));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  std::string name;
  std::getline(std::ifstream("/proc/self/comm"), name);
  EXPECT_EQ(said, slavePath + " is in use by " + name + " (pid " + std::to_string(getpid()) + ").");
}

TEST_F(PtyTest, ExchangeCycleEdges) {
  expectedOut = 2;
  EXPECT_EQ(exchange(port, "UU", reply, 0, 100, &got), 1);
  EXPECT_EQ(dev->waits + dev->reads, 0);
  EXPECT_EQ(receive(), "UU");

  send("ab");
  awaitWaiting(2);
  EXPECT_EQ(exchange(port, "q", reply, 1, 2, &got), 0);
  EXPECT_EQ(dev->reads, 0);
  EXPECT_EQ(discardInput(port), 1);
  EXPECT_EQ(discardInput(port), 0);

  send("wxyz");
  awaitWaiting(4);
  dev->reads = 0;
  EXPECT_EQ(exchange(port, "q", reply, 5, 10, &got), 0);
  EXPECT_EQ(dev->reads, 8);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(reply.begin(), reply.begin() + 4), "wxyz");

  send("1234567");
  awaitWaiting(7);
  EXPECT_EQ(exchange(port, "q", reply, 3, 30, &got), 1);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::string(reply.begin(), reply.begin() + 5), "12345");
  EXPECT_EQ(port.device->clearErrorAndCountWaiting(), 2);
}

TEST_F(PtyTest, EscEndsALongWaitWithinOneCycle) {
  host.escAtQuery = 3;
  EXPECT_EQ(exchange(port, "q", reply, 5, 30000, &got), 0);
  EXPECT_EQ(host.escQueries, 3);
  EXPECT_EQ(dev->reads, 2);
}

TEST_F(PtyTest, RateAndParity) {
  LineSettings s;
  EXPECT_EQ(setBaudRate(port, 4800), 0);
  ASSERT_TRUE(port.device->readSettings(s));
  EXPECT_EQ(s.baud, 19200u);
  EXPECT_EQ(setBaudRate(port, 115200), 1);
  termios tio{};
  ASSERT_EQ(tcgetattr(master, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B115200);  // what a module on the master side sees

  EXPECT_EQ(setParity(port, 2), 1);  // a pty drops PARENB, judged as written
  ASSERT_TRUE(port.device->readSettings(s));
  const Parity held = s.parity;
  EXPECT_EQ(setParity(port, 3), 0);
  ASSERT_TRUE(port.device->readSettings(s));
  EXPECT_EQ(s.parity, held);
  EXPECT_EQ(s.baud, 115200u);
}

// Bytes written just before a rate change (the raw end record) leave at the old rate: the change
// waits for their wire time, which a pty does not report.
TEST_F(PtyTest, RateChangeWaitsForTheBytesStillLeaving) {
  ASSERT_EQ(setBaudRate(port, 9600), 1);
  const std::string record(96, 'x');  // 96 bytes at 9600 baud: 100 ms on the wire
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(writeBytes(port, reinterpret_cast<const uint8_t*>(record.data()), record.size()), 1);
  ASSERT_EQ(setBaudRate(port, 19200), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
  expectedOut = record.size();
  EXPECT_EQ(receive(), record);
}

// A stream written without waiting for replies stays within the output queue (2048 bytes) of the
// wire: the writer is held, whatever the driver would buffer.
TEST_F(PtyTest, StreamWritesStayWithinTheOutputQueue) {
  ASSERT_EQ(setBaudRate(port, 115200), 1);
  std::string stream(6144, '\0');
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<char>(i * 7);
  std::string got;
  std::atomic<bool> writing{true};
  // Reads until the whole stream came, or the writer has given up and the line is quiet.
  std::thread reader([&] {
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (got.size() < stream.size() && std::chrono::steady_clock::now() < end) {
      pollfd p{master, POLLIN, 0};
      const int ready = poll(&p, 1, 100);
      if (ready < 0) break;
      if (ready == 0) {
        if (!writing) break;
        continue;
      }
      char buf[512];
      const ssize_t r = ::read(master, buf, sizeof buf);
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
  });
  const auto start = std::chrono::steady_clock::now();
  size_t written = 0;
  while (written < stream.size() &&
         writeBytes(port, reinterpret_cast<const uint8_t*>(stream.data() + written), 64) == 1)
    written += 64;
  const auto took = std::chrono::steady_clock::now() - start;
  writing = false;
  reader.join();
  ASSERT_EQ(written, stream.size());
  // 4096 bytes beyond the queue need 356 ms at 115200 baud.
  EXPECT_GE(took, std::chrono::milliseconds(340));
  EXPECT_EQ(got, stream);
}

TEST_F(PtyTest, LengthPrefixedText) {
  std::string text = "old";
  send(std::string("\x01\x02\x00\x00", 4));
  EXPECT_EQ(readLengthPrefixedText(port, text, 250), 1);
  EXPECT_EQ(text, "");

  std::string longReply("\x01\x02\x00\xC8", 4);  // announces 200 bytes
  longReply += std::string(200, 'x');
  send(longReply);
  EXPECT_EQ(readLengthPrefixedText(port, text, 40), 0);
  EXPECT_EQ(text, "");
}

TEST_F(PtyTest, ClosedMasterFailsTheExchangeAtOnce) {
  close(master);
  master = -1;
  EXPECT_EQ(exchange(port, "q", reply, 5, 30000, &got), 0);
  EXPECT_LE(dev->reads, 1);
  EXPECT_TRUE(port.device->lost());
  EXPECT_EQ(discardInput(port), 0);
}

// The adapter unplugged while a reply is awaited: the hang-up comes with POLLIN and reads give 0
// or EIO. The exchange ends at once instead of spinning through its remaining cycles.
TEST_F(PtyTest, LineGoneDuringAWaitEndsTheExchangeAtOnce) {
  host.onPump = [&] {
    if (master >= 0) close(master);
    master = -1;
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(exchange(port, "q", reply, 5, 1000, &got), 0);
  // The 1000 cycles would take seven seconds; a loaded machine may hold the test a while.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
  EXPECT_EQ(host.pumps, 1);
  EXPECT_LE(dev->reads, 1);
  EXPECT_TRUE(port.device->lost());
  // Every later call fails at once as well.
  EXPECT_EQ(exchange(port, "q", reply, 1, 1000, &got), 0);
  EXPECT_EQ(setBaudRate(port, 19200), 0);
}

TEST(PortMap, DirectoryAndFallbackDevices) {
  char tmpl[] = "/tmp/qdqm-map-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  setenv("QDQM_PORT_DIR", tmpl, 1);
  EXPECT_EQ(portDirectory(), dir.string());
  fs::create_symlink("/dev/null", dir / "COM2");
  EXPECT_EQ(devicePathForPort(2), (dir / "COM2").string());
  EXPECT_EQ(shortDeviceName(devicePathForPort(2)), "null");
  EXPECT_EQ(devicePathForPort(1), "/dev/ttyS0");
  EXPECT_EQ(devicePathForPort(4), "/dev/ttyS3");
  EXPECT_EQ(devicePathForPort(5), "/dev/ttyUSB0");
  EXPECT_EQ(devicePathForPort(20), "/dev/ttyUSB15");
  EXPECT_EQ(devicePathForPort(21), "/dev/ttyACM0");
  EXPECT_EQ(devicePathForPort(28), "/dev/ttyACM7");
  EXPECT_EQ(devicePathForPort(29), "");

  // --port: a number, COMn in any case, or a device path; a device the map leads to keeps its
  // number, one it does not gets the highest free number.
  const struct {
    const char* text;
    bool taken;
    unsigned number;
    const char* device;
  } kPortArguments[] = {
      {"7", true, 7, ""},
      {"COM12", true, 12, ""},
      {"com3", true, 3, ""},
      {"/dev/ttyUSB0", true, 0, "/dev/ttyUSB0"},
      {"./ttyUSB0", true, 0, "./ttyUSB0"},
      {"0", false, 0, ""},
      {"100", false, 0, ""},
      {"COM", false, 0, ""},
      {"ttyUSB0", false, 0, ""},
      {"", false, 0, ""},
  };
  for (const auto& a : kPortArguments) {
    unsigned number = 99;
    std::string device = "x";
    EXPECT_EQ(cli::parsePortArgument(a.text, number, device), a.taken) << a.text;
    if (!a.taken) continue;
    EXPECT_EQ(number, a.number) << a.text;
    EXPECT_EQ(device, a.device) << a.text;
  }
  PosixPortOpener opener;
  EXPECT_EQ(cli::portNumberFor("/dev/null", opener), 2u);
  const std::string unnamed = (dir / "unnamed").string();
  EXPECT_EQ(cli::portNumberFor(unnamed, opener), 99u);
  EXPECT_EQ(opener.devicePath(99), unnamed);
  EXPECT_EQ(cli::portNumberFor(unnamed, opener), 99u);  // the same device again
  EXPECT_EQ(cli::portNumberFor((dir / "another").string(), opener), 98u);

  setenv("QDQM_PORT_DIR", "", 1);
  setenv("XDG_RUNTIME_DIR", "/run/user/77", 1);
  EXPECT_EQ(portDirectory(), "/run/user/77/qdqm-update/ports");
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(portDirectory(), "/tmp/qdqm-update-" + std::to_string(getuid()) + "/ports");
  unsetenv("QDQM_PORT_DIR");
  fs::remove_all(dir);

  EXPECT_TRUE(isPermissionRefusal(EACCES));
  EXPECT_TRUE(isPermissionRefusal(EPERM));
  EXPECT_FALSE(isPermissionRefusal(ENOENT));
  EXPECT_EQ(openFailureHint(devicePathForPort(5), EACCES),
            "Access to /dev/ttyUSB0 was refused: add your user to the dialout group (sudo usermod "
            "-aG dialout $USER) and log in again.");
  EXPECT_EQ(openFailureHint(devicePathForPort(5), ENOENT),
            "/dev/ttyUSB0: no such device (is the adapter plugged in?)");
  EXPECT_EQ(openFailureHint(devicePathForPort(5), EIO), "/dev/ttyUSB0: Input/output error");
  EXPECT_EQ(openFailureHint(devicePathForPort(40), EACCES), "");  // no device behind the number
}

}  // namespace
}  // namespace qdqm
