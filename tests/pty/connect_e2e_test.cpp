// `qdqm-update connect` against `qdqm-sim` on a pseudo-terminal, in real time.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/program_dir.h"

namespace {

namespace fs = std::filesystem;

class ConnectE2E : public qdqm::testing::ProgramDirTest {
 protected:
  void SetUp() override {
    ProgramDirTest::SetUp();
    fs::create_directories(dir / "QM41B_");
    for (const char* f : {"upd1.05", "UPD2.01", "upd1.10"})
      std::ofstream(dir / "QM41B_" / f) << "x\n";
  }
  int connect(const std::string& options, std::string& out) {
    return runTool("connect --port 7 " + options, out);
  }
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

// Two USB adapters laid out in a folder as /dev and /sys show them, an FTDI (the simulated module
// behind it) and a CH340 (a pty nothing answers on): `ports` tells them apart, and --port takes
// their device paths and stable names.
TEST_F(ConnectE2E, PortsAreListedAndTakenByTheirDevices) {
  startSim({"--module", "QM41B", "--protocol", "record", "--version", "1.05"});
  const int other = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(grantpt(other), 0);
  ASSERT_EQ(unlockpt(other), 0);
  const fs::path dev = dir / "dev", sys = dir / "sys";
  const std::string ftdiId = "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
  const std::string ch340Id = "usb-1a86_USB_Serial-if00-port0";
  fs::create_directories(dev / "serial" / "by-id");
  fs::create_symlink(fs::canonical(dir / "ports" / "COM7"), dev / "ttyUSB0");
  fs::create_symlink(ptsname(other), dev / "ttyUSB1");
  fs::create_symlink("../../ttyUSB0", dev / "serial" / "by-id" / ftdiId);
  fs::create_symlink("../../ttyUSB1", dev / "serial" / "by-id" / ch340Id);
  const struct {
    const char* tty;
    const char* usb;
    std::vector<std::pair<const char*, const char*>> attributes;
  } kAdapters[] = {
      {"ttyUSB0",
       "1-1",
       {{"idVendor", "0403"},
        {"idProduct", "6001"},
        {"manufacturer", "FTDI"},
        {"product", "FT232R USB UART"},
        {"serial", "A1B2C3"}}},
      {"ttyUSB1", "1-2", {{"idVendor", "1a86"}, {"idProduct", "7523"}, {"product", "USB Serial"}}},
  };
  for (const auto& a : kAdapters) {
    const fs::path usb = sys / "devices" / "pci0000:00" / "usb1" / a.usb;
    fs::create_directories(usb / (std::string(a.usb) + ":1.0") / a.tty);
    for (const auto& [name, value] : a.attributes) std::ofstream(usb / name) << value << "\n";
    fs::create_directories(sys / "class" / "tty" / a.tty);
    fs::create_symlink(fs::path("../../../devices/pci0000:00/usb1") / a.usb /
                           (std::string(a.usb) + ":1.0") / a.tty,
                       sys / "class" / "tty" / a.tty / "device");
  }
  setenv("QDQM_DEV_ROOT", dev.c_str(), 1);
  setenv("QDQM_SYSFS_ROOT", sys.c_str(), 1);

  std::string out;
  EXPECT_EQ(runTool("ports", out), 0) << errText();
  const std::string ftdi = "Com 5  " + (dev / "ttyUSB0").string() + "  " +
                           (dev / "serial" / "by-id" / ftdiId).string() +
                           "  FTDI FT232R USB UART (0403:6001, serial A1B2C3)\n";
  const std::string ch340 = "Com 6  " + (dev / "ttyUSB1").string() + "  " +
                            (dev / "serial" / "by-id" / ch340Id).string() +
                            "  USB Serial (1a86:7523)\n";
  EXPECT_EQ(out, ftdi + ch340 + "Com 7  " + fs::canonical(dir / "ports" / "COM7").string() + "\n");
  out.clear();
  EXPECT_EQ(runTool("ports --json", out), 0) << errText();
  const auto j = nlohmann::json::parse(out);
  ASSERT_EQ(j.size(), 3u);
  EXPECT_EQ(j[0]["port"], 5);
  EXPECT_EQ(j[0]["by_id"], (dev / "serial" / "by-id" / ftdiId).string());
  EXPECT_EQ(j[0]["vendor_id"], "0403");
  EXPECT_EQ(j[0]["serial"], "A1B2C3");
  EXPECT_TRUE(j[1]["manufacturer"].is_null());
  EXPECT_EQ(j[1]["product_id"], "7523");
  EXPECT_TRUE(j[2]["by_id"].is_null());

  // The stable name leads to COM5, where the module answers; a path that leads nowhere gets a
  // number of its own, and the line after the numbered message names the device and the cause.
  for (const std::string& port : {(dev / "serial" / "by-id" / ftdiId).string(),
                                  fs::canonical(dir / "ports" / "COM7").string()}) {
    out.clear();
    EXPECT_EQ(runTool("connect --port " + port, out), 0) << port << errText();
    EXPECT_EQ(out.substr(0, out.find('\n')), "Connected Device: QM41B V1.05") << port;
  }
  out.clear();
  EXPECT_EQ(runTool("connect --port " + (dev / "ttyXR0").string(), out), 2);
  EXPECT_NE(
      errText().find("Error message: Could not open serial port COM 99\nError Code: 109\n" +
                     (dev / "ttyXR0").string() + ": no such device (is the adapter plugged in?)\n"),
      std::string::npos)
      << errText();
  unsetenv("QDQM_DEV_ROOT");
  unsetenv("QDQM_SYSFS_ROOT");
  close(other);
}

}  // namespace
