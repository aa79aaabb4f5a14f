// The window's port choice against real pseudo-terminals linked as COM7: an adapter unplugged
// (the master closed, the slave hung up) and plugged back on another device (the link moved).
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/update_dialog.h"
#include "link/clock.h"
#include "link/port_map.h"
#include "link/posix_serial.h"
#include "procedures/procedures.h"
#include "tests/support/scripted_host.h"

namespace qdqm {
namespace {

namespace fs = std::filesystem;

// One end of an adapter: a pty whose master the test holds.
struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
  }
  ~Pty() { unplug(); }
  void unplug() {
    if (master >= 0) close(master);
    master = -1;
  }
  int master = -1;
  std::string slave;
};

class PortReplug : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qdqm-replug-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setenv("QDQM_PORT_DIR", dir.c_str(), 1);
    ASSERT_FALSE(first.slave.empty());
    link(first);
    dlg.choosePort(7);
    ASSERT_TRUE(dlg.port.isOpen());
    ASSERT_EQ(dlg.port.device->name(), shortDeviceName(first.slave));
  }
  void TearDown() override {
    dlg.port.close();
    fs::remove_all(dir);
    unsetenv("QDQM_PORT_DIR");
  }
  // COM7 leads to `pty` from now on, as a simulator started again relinks it.
  void link(const Pty& pty) {
    fs::remove(dir / "COM7");
    fs::create_symlink(pty.slave, dir / "COM7");
  }

  fs::path dir;
  Pty first;
  SteadyClock clock;
  testing::ScriptedHost host;
  PosixPortOpener opener;
  UpdateDialog dlg{opener, clock, host, windowProcedures()};
};

// Nothing has read from the line since the hang-up: the check itself has to notice it.
TEST_F(PortReplug, HangUpIsNoticedAndTheNewDeviceOpened) {
  EXPECT_FALSE(dlg.portLineGone());
  first.unplug();
  EXPECT_TRUE(dlg.portLineGone());
  // Unplugged for good: the link leads nowhere and the choice names the port and its device.
  dlg.choosePort(7);
  EXPECT_FALSE(dlg.port.isOpen());
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0].text, "Could not open serial port COM 7\nError Code: 17\n" +
                                    (dir / "COM7").string() +
                                    ": no such device (is the adapter plugged in?)");

  Pty second;
  link(second);
  dlg.choosePort(7);
  ASSERT_TRUE(dlg.port.isOpen());
  EXPECT_EQ(dlg.port.device->name(), shortDeviceName(second.slave));
  EXPECT_FALSE(dlg.portLineGone());
}

// The old adapter is still there, but COM7 now names another device: that one is opened.
TEST_F(PortReplug, MovedLinkOpensTheDeviceItNowLeadsTo) {
  Pty second;
  link(second);
  EXPECT_EQ(deviceBehindPort(7), shortDeviceName(second.slave));
  EXPECT_TRUE(dlg.portLineGone());
  dlg.choosePort(7);
  ASSERT_TRUE(dlg.port.isOpen());
  EXPECT_EQ(dlg.port.device->name(), shortDeviceName(second.slave));
  EXPECT_TRUE(host.boxes.empty());
}

// A USB adapter plugged back comes back under the same name (ttyUSB0): only the hang-up of the
// open line tells, and nothing has read from it since.
class SameNameOpener final : public PortOpener {
 public:
  std::unique_ptr<SerialDevice> open(unsigned n, int& error) override {
    return real.open(n, error);
  }
  std::string deviceBehind(unsigned) const override { return name; }
  PosixPortOpener real;
  std::string name;
};

TEST_F(PortReplug, HangUpOfADeviceThatKeepsItsNameIsNoticed) {
  SameNameOpener same;
  UpdateDialog window(same, clock, host, windowProcedures());
  Pty adapter;
  link(adapter);
  same.name = shortDeviceName(adapter.slave);
  window.choosePort(7);
  ASSERT_TRUE(window.port.isOpen());
  EXPECT_FALSE(window.portLineGone());
  adapter.unplug();
  EXPECT_TRUE(window.portLineGone());
  window.port.close();
}

}  // namespace
}  // namespace qdqm
