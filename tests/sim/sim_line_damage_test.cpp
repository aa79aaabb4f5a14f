// The damage the in-process line does to bytes on the wire (the soak's faults): each kind hits the
// byte it was set for and no other, either way, and bit flips come at their rate and again the
// same from the same seed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "link/clock.h"
#include "sim/device.h"
#include "tests/support/sim_line.h"

namespace qdqm {
namespace {

using testing::SimLine;
using Damage = SimLine::Damage;
using Way = SimLine::Way;

// Keeps what arrives and when; a '?' is answered with ten digits.
class Recorder final : public sim::Device {
 public:
  void receive(uint8_t byte, const sim::Line& line, uint64_t atUs) override {
    heard.push_back(static_cast<char>(byte));
    times.push_back(atUs);
    if (byte == '?') emit("0123456789", atUs, line);
  }
  std::string heard;
  std::vector<uint64_t> times;
};

class SimLineDamage : public ::testing::Test {
 protected:
  long write(const std::string& s) {
    return line.write(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }
  // Everything that reaches the tool within `ms`.
  std::string readFor(uint32_t ms) {
    std::string got;
    const uint64_t until = clock.nowUs() + uint64_t{ms} * 1000;
    while (clock.nowUs() < until) {
      uint8_t buffer[16];
      const long n = line.read(buffer, sizeof buffer);
      if (n < 0) break;
      got.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    }
    return got;
  }

  VirtualClock clock;
  Recorder device;
  SimLine line{clock, device, "sim1"};
};

TEST_F(SimLineDamage, ADroppedOrDoubledByteToTheModule) {
  line.damage({Damage::Drop, Way::ToDevice, 2});
  line.damage({Damage::Duplicate, Way::ToDevice, 5});
  ASSERT_EQ(write("abcd"), 4);
  ASSERT_EQ(write("efgh"), 4);
  EXPECT_EQ(device.heard, "abdeffgh");
  const SimLine::Damaged& d = line.damaged(Way::ToDevice);
  EXPECT_EQ(d.bytes, 8u);
  EXPECT_EQ(d.dropped, 1u);
  EXPECT_EQ(d.duplicated, 1u);
  EXPECT_EQ(line.damaged(Way::ToTool).bytes, 0u);
}

TEST_F(SimLineDamage, ADroppedOrDoubledByteToTheTool) {
  line.damage({Damage::Drop, Way::ToTool, 1});
  line.damage({Damage::Duplicate, Way::ToTool, 13});
  ASSERT_EQ(write("?"), 1);
  EXPECT_EQ(readFor(50), "023456789");
  ASSERT_EQ(write("?"), 1);
  EXPECT_EQ(readFor(50), "01233456789");
  EXPECT_EQ(device.heard, "??");
}

TEST_F(SimLineDamage, AStretchedGapHoldsTheBytesBehindItButNoLaterReply) {
  line.damage({Damage::Gap, Way::ToTool, 4, 300});
  ASSERT_EQ(write("?"), 1);
  EXPECT_EQ(readFor(100), "0123");
  EXPECT_EQ(readFor(250), "456789");
  // The next reply is not held: the gap stretched the line once.
  const uint64_t asked = clock.nowUs();
  ASSERT_EQ(write("?"), 1);
  EXPECT_EQ(readFor(20), "0123456789");
  EXPECT_LT(line.reads.back().atUs - asked, 20'000u);
  EXPECT_EQ(line.damaged(Way::ToTool).longestGapMs, 300u);
}

TEST_F(SimLineDamage, AStretchedGapToTheModuleDelaysTheRestOfTheWrite) {
  line.damage({Damage::Gap, Way::ToDevice, 2, 500});
  ASSERT_EQ(write("abcd"), 4);
  ASSERT_EQ(device.times.size(), 4u);
  const uint64_t byteUs = sim::byteTimeUs(sim::Line{});
  EXPECT_EQ(device.times[1] - device.times[0], byteUs);
  EXPECT_EQ(device.times[2] - device.times[1], 500'000u + byteUs);
  EXPECT_EQ(device.times[3] - device.times[2], byteUs);
}

TEST_F(SimLineDamage, TheLineGoesAwayUnderTheWriteThatCarriesTheByte) {
  line.damage({Damage::Gone, Way::ToDevice, 6});
  ASSERT_EQ(write("abcd"), 4);
  EXPECT_EQ(write("efgh"), -EIO);
  EXPECT_EQ(device.heard, "abcd");
  EXPECT_TRUE(line.lost());
  EXPECT_TRUE(line.damaged(Way::ToDevice).gone);
  EXPECT_EQ(write("i"), -EIO);
}

TEST_F(SimLineDamage, TheLineGoesAwayWhileAReplyComes) {
  line.damage({Damage::Gone, Way::ToTool, 3});
  ASSERT_EQ(write("?"), 1);
  uint8_t buffer[16];
  EXPECT_EQ(line.read(buffer, sizeof buffer), -EIO);
  EXPECT_TRUE(line.lost());
  EXPECT_EQ(write("?"), -EIO);
}

TEST_F(SimLineDamage, BitFlipsComeAtTheirRateAndAgainFromTheSameSeed) {
  const std::string sent(20000, 'U');
  const auto flipped = [&](uint64_t seed) {
    VirtualClock c;
    Recorder d;
    SimLine l{c, d, "sim2"};
    l.flipBits(Way::ToDevice, 1e-3, seed);
    l.write(reinterpret_cast<const uint8_t*>(sent.data()), sent.size());
    uint64_t bits = 0;
    for (size_t i = 0; i < sent.size(); ++i)
      bits += static_cast<uint64_t>(__builtin_popcount(static_cast<uint8_t>(d.heard[i] ^ sent[i])));
    EXPECT_EQ(bits, l.damaged(Way::ToDevice).flippedBits);
    EXPECT_EQ(l.damaged(Way::ToTool).flippedBits, 0u);
    return d.heard;
  };
  const std::string once = flipped(7);
  EXPECT_EQ(flipped(7), once);
  EXPECT_NE(flipped(8), once);
  uint64_t bits = 0;
  for (size_t i = 0; i < sent.size(); ++i)
    bits += static_cast<uint64_t>(__builtin_popcount(static_cast<uint8_t>(once[i] ^ sent[i])));
  // 160000 bits at 1e-3: 160 flips expected, 5 standard deviations either way.
  EXPECT_GT(bits, 97u);
  EXPECT_LT(bits, 223u);
}

}  // namespace
}  // namespace qdqm
