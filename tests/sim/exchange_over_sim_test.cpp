#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "link/serial_port.h"
#include "sim/controller.h"
#include "tests/support/scripted_host.h"
#include "tests/support/sim_line.h"

namespace qdqm {
namespace {

using testing::ScriptedHost;
using testing::SimLine;
using testing::SimPortOpener;

class ExchangeOverSim : public ::testing::Test {
 protected:
  void start(sim::Profile profile, sim::Faults faults = {}) {
    device = std::make_unique<sim::Controller>(std::move(profile), std::move(faults));
    opener.attach(3, *device);
    ASSERT_EQ(openPort(3, port), 1);
  }
  std::string ask(std::string_view frame, size_t m, uint32_t T, int* ok = nullptr) {
    std::vector<uint8_t> reply(m + 4);
    size_t got = 0;
    const int r = exchange(port, frame, std::span<uint8_t>(reply.data(), m + 4), m, T, &got);
    if (ok) *ok = r;
    return std::string(reply.begin(), reply.begin() + static_cast<long>(got));
  }

  VirtualClock clock;
  ScriptedHost host;
  SimPortOpener opener{clock};
  SerialPort port{opener, clock, host};
  std::unique_ptr<sim::Controller> device;
};

TEST_F(ExchangeOverSim, QueriesSpeedSwitchAndLateReplies) {
  start(sim::Profile{});
  int ok = 0;
  EXPECT_EQ(ask(":0100000501f9", 5, 100, &ok).substr(0, 5), "QM65A");
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(ask(":020000030402f5", 1, 100, &ok), ".");
  // The host still listens at 19200: the module's answer at 57600 is damaged.
  EXPECT_NE(ask(":0100000501f9", 5, 100).substr(0, 5), "QM65A");
  ASSERT_EQ(setBaudRate(port, 57600), 1);
  discardInput(port);
  EXPECT_EQ(ask(":0100000501f9", 5, 100).substr(0, 5), "QM65A");
  const SimLine& line = *opener.line(3);
  ASSERT_FALSE(line.writes.empty());
  EXPECT_EQ(line.writes.back().settings.baud, 57600u);

  device->faults().lateMs = 2000;
  EXPECT_EQ(ask(":0100000502f8", 2, 100, &ok), "");
  EXPECT_EQ(ok, 0);
}

TEST_F(ExchangeOverSim, WholeFlashInRecordProtocol) {
  sim::Profile p;
  p.protocol = sim::Protocol::Record;
  p.type = "QM47A";
  start(p);
  EXPECT_EQ(ask(":0300000480000079\r\n", 21, 500).at(17), '.');
  std::map<uint32_t, uint8_t> want;
  for (uint32_t a = 0; a < 0x10000; a += 32) {
    char line[96];
    unsigned sum = 32 + (a >> 8) + (a & 0xFF);
    int n = std::snprintf(line, sizeof line, ":20%04X00", a);
    for (uint32_t i = 0; i < 32; ++i) {
      const uint8_t b = static_cast<uint8_t>(a / 32 + i);
      want[a + i] = b;
      sum += b;
      n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02X", b);
    }
    std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02X\n",
                  (0x100 - (sum & 0xFF)) & 0xFF);
    const std::string text = line;
    const std::string reply = ask(text, text.size() + 3, 1000);
    ASSERT_EQ(reply.at(text.size() - 1), '.') << text;
  }
  EXPECT_EQ(device->flash(), want);
}

}  // namespace
}  // namespace qdqm
