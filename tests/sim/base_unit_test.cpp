#include "sim/base_unit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sim/coprocessor.h"
#include "tests/sim/wire.h"

namespace qdqm::sim {
namespace {

using testing::bytes;
using testing::dataRecord;
using testing::Wire;

const uint64_t kByteUs = byteTimeUs(Line{});
const uint64_t kSlowByteUs = byteTimeUs(Line{2400});

// 00 n L len m t payload.
std::string slotFrame(int slot, char letter, int expect, int wait, std::string_view payload) {
  return bytes({0x00, slot, letter, static_cast<int>(payload.size()) + 2, expect, wait}) +
         std::string(payload);
}

std::string withSlot(std::string_view reply, int slot) {
  return std::string(reply) + static_cast<char>(slot);
}

Profile module(std::string type, Protocol protocol = Protocol::Raw) {
  Profile p;
  p.type = std::move(type);
  p.protocol = protocol;
  p.coprocessor = defaultCoprocessor(p.type);
  return p;
}

const std::string kVersionCommand = bytes({0x00, 0x00, 0xB0});
const std::string kCodesCommand = bytes({0x00, 0x00, 0x30});
std::string select(int n) {
  return bytes({0x00, 0x00, 0xA1, n});
}

TEST(SimBaseUnit, DefaultTypeCodesAndProtocols) {
  const std::map<std::string, int> codes{
      {"QM292", 0x53}, {"QM21A", 0x56}, {"QM21_", 0x56}, {"QM21H", 0x6B}, {"QM21M", 0x6D},
      {"QM23A", 0x5E}, {"QM20C", 0x63}, {"QM20T", 0x64}, {"QM492", 0x67}, {"QM40B", 0x6C},
      {"QM61B", 0x52}, {"QM61A", 0x5F}, {"QM37A", 0x42}, {"QM39A", 0x43}, {"QM38A", 0x44},
      {"QM31A", 0x45}, {"QM32A", 0x4A}, {"QM66B", 0x50}, {"QM66S", 0x51}, {"QM66A", 0x66},
      {"QM76B", 0x54}, {"QM76S", 0x55}, {"QM76A", 0x65}, {"QM33A", 0x5C}, {"QM34A", 0x60},
      {"QM30A", 0x61}, {"QM63A", 0x62}};
  for (const auto& [type, code] : codes) {
    EXPECT_EQ(defaultTypeCode(type), std::optional<uint8_t>(code)) << type;
  }
  // Other types, other lengths, and a family letter in the wrong place have none.
  for (const char* type : {"QM65A", "QM20A", "QM29A", "QM49A", "QM21", "QM21AB", "QM2_1", "PS17"}) {
    EXPECT_EQ(defaultTypeCode(type), std::nullopt) << type;
  }
  EXPECT_EQ(defaultSlotProtocol("QM492"), Protocol::Record);
  EXPECT_EQ(defaultSlotProtocol("QM40A"), Protocol::Record);
  EXPECT_EQ(defaultSlotProtocol("QM49A"), Protocol::Raw);
  EXPECT_EQ(defaultSlotProtocol("QM23A"), Protocol::Raw);
}

TEST(SimBaseUnit, OwnCommandsOfNineAndEightSlotUnits) {
  BaseUnit b;
  b.plug(1, module("QM23A"));
  b.plug(3, module("QM21H"), {}, 0x7A);
  b.plug(4, module("QM65A"));            // no code of its own
  b.plug(5, module("QM292"), {}, 0x00);  // configured 0
  b.plug(9, module("QM40A"));
  Wire w(b);
  EXPECT_EQ(w.ask(kVersionCommand), bytes({0x02, 0x22, 0x00}));
  EXPECT_EQ(w.ask(kCodesCommand), bytes({0x5E, 0x00, 0x7A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x6C}));
  EXPECT_EQ(b.typeCode(1), 0x5E);
  EXPECT_EQ(b.typeCode(2), 0x00);
  EXPECT_EQ(w.ask(select(9)), bytes({0x00}));
  EXPECT_EQ(b.selected(), 9);
  EXPECT_EQ(w.ask(select(0)), bytes({0x00}));
  EXPECT_EQ(b.selected(), 0);
  EXPECT_EQ(w.ask(select(10)), bytes({0x95}));
  EXPECT_EQ(b.selected(), 0);
  EXPECT_EQ(b.selectFrames(), 3u);
  EXPECT_EQ(b.lastSelect(), 10);

  BaseUnit a(BaseUnitSetup{8, {0x03, 0x0A}});
  a.plug(8, module("QM61A"));
  EXPECT_THROW(a.plug(9, module("QM61A")), std::out_of_range);
  EXPECT_THROW(a.plug(0, module("QM61A")), std::out_of_range);
  EXPECT_EQ(a.module(9), nullptr);
  Wire wa(a);
  EXPECT_EQ(wa.ask(kVersionCommand), bytes({0x03, 0x0A, 0x00}));
  EXPECT_EQ(wa.ask(kCodesCommand), bytes({0, 0, 0, 0, 0, 0, 0, 0x5F, 0}));
  EXPECT_EQ(wa.ask(select(8)), bytes({0x00}));
  EXPECT_EQ(a.selected(), 8);
  EXPECT_EQ(wa.ask(select(9)), bytes({0x95}));
  EXPECT_EQ(a.selected(), 8);
  EXPECT_EQ(wa.ask(select(0)), bytes({0x00}));

  // The answers leave at 19200 right after the command's last byte.
  const std::vector<Emission> e = wa.exchange(kVersionCommand);
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].line, Line{});
  EXPECT_EQ(e[2].doneUs - e[0].doneUs, 2 * kByteUs);
}

TEST(SimBaseUnit, FramesAreTakenApartByPositionAndLine) {
  BaseUnit b;
  b.plug(2, module("QM65A"));
  Wire w(b);
  // Strays before a frame, an extra 00, unknown commands, letters and slots: the next 00 starts
  // again.
  EXPECT_EQ(w.ask(bytes({0x55, 0xFF}) + kVersionCommand), bytes({0x02, 0x22, 0x00}));
  EXPECT_EQ(w.ask(bytes({0x00}) + kVersionCommand), bytes({0x02, 0x22, 0x00}));
  EXPECT_EQ(w.ask(bytes({0x00, 0x00, 0x31}) + kVersionCommand), bytes({0x02, 0x22, 0x00}));
  EXPECT_EQ(w.ask(bytes({0x00, 0x02, 'R'}) + kVersionCommand), bytes({0x02, 0x22, 0x00}));
  EXPECT_EQ(w.ask(bytes({0x00, 0x0A}) + kVersionCommand), bytes({0x02, 0x22, 0x00}));
  EXPECT_EQ(w.ask(bytes({0x00, 0x02, 'P', 0x01}) + kVersionCommand), bytes({0x02, 0x22, 0x00}));
  // A payload holding 00 00 B0 is the module's, not a command.
  EXPECT_EQ(w.ask(slotFrame(2, 'P', 0, 1, bytes({0x00, 0x00, 0xB0}))), bytes({0x02}));
  // An empty payload still gets its answer.
  EXPECT_EQ(w.ask(slotFrame(2, 'P', 0, 1, "")), bytes({0x02}));
  // At another rate or with parity, the base unit hears garbage.
  EXPECT_EQ(w.ask(kVersionCommand, Line{9600}), "");
  EXPECT_EQ(w.ask(kVersionCommand, Line{19200, Parity::Even}), "");
  EXPECT_EQ(w.ask(slotFrame(2, 'P', 5, 5, ":0100000501f9"), Line{38400}), "");
  EXPECT_EQ(w.ask(kVersionCommand), bytes({0x02, 0x22, 0x00}));
}

TEST(SimBaseUnit, LettersPQSAnswerTheFirstMBytesAndTheSlot) {
  BaseUnit b;
  b.plug(3, module("QM66A"));
  Wire w(b);
  for (char letter : {'P', 'Q', 'S'}) {
    EXPECT_EQ(w.ask(slotFrame(3, letter, 5, 5, ":0100000501f9")), withSlot("QM66A", 3)) << letter;
    EXPECT_EQ(w.ask(slotFrame(3, letter, 2, 5, ":0100000502f8")), withSlot(bytes({3, 0x19}), 3));
    // Fewer than the reply: the rest is dropped, the next answer is clean.
    EXPECT_EQ(w.ask(slotFrame(3, letter, 2, 5, ":0100000501f9")), withSlot("QM", 3)) << letter;
    EXPECT_EQ(w.ask(slotFrame(3, letter, 0, 5, ":0100000501f9")), bytes({3})) << letter;
    EXPECT_EQ(w.ask(kVersionCommand), bytes({0x02, 0x22, 0x00})) << letter;
    // More than the module sends: nothing.
    EXPECT_EQ(w.ask(slotFrame(3, letter, 6, 5, ":0100000501f9")), "") << letter;
  }
  EXPECT_EQ(b.module(3)->recordsTaken(), 0u);
}

TEST(SimBaseUnit, AnswerFollowsTheModulesLastCollectedByte) {
  BaseUnit b;
  b.plug(1, module("QM66A"));
  Wire w(b);
  // 6 + 13 bytes from the PC, 13 forwarded to the module, its 5 reply bytes, then our 6.
  const std::vector<Emission> e = w.exchange(slotFrame(1, 'P', 5, 5, ":0100000501f9"));
  ASSERT_EQ(e.size(), 6u);
  EXPECT_EQ(e.front().doneUs, (19 + 13 + 5 + 1) * kByteUs);
  EXPECT_EQ(e.back().doneUs, (19 + 13 + 5 + 6) * kByteUs);
  for (const Emission& x : e) EXPECT_EQ(x.line, Line{});
  // m = 0: at once after the payload is out.
  const uint64_t start = w.now;
  const std::vector<Emission> z = w.exchange(slotFrame(1, 'P', 0, 5, ":0100000501f9"));
  ASSERT_EQ(z.size(), 1u);
  EXPECT_EQ(z[0].doneUs, start + (19 + 13 + 1) * kByteUs);
  // A service payload goes at 2400.
  const uint64_t s = w.now;
  const std::vector<Emission> v = w.exchange(slotFrame(1, 'P', 2, 5, bytes({0x15, 0x11, 0x00})));
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0].doneUs, s + 9 * kByteUs + 3 * kSlowByteUs + 2 * kSlowByteUs + kByteUs);

  // The line to the module is slower than the PC's: a second service payload waits for the first.
  w.wait(100'000);
  const uint64_t s2 = w.now;
  const std::string ping = slotFrame(1, 'P', 0, 5, bytes({0x15, 0x11, 0x00}));
  const std::vector<Emission> two = w.exchange(ping + ping);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].doneUs, s2 + 9 * kByteUs + 3 * kSlowByteUs + kByteUs);
  EXPECT_EQ(two[1].doneUs, s2 + 9 * kByteUs + 6 * kSlowByteUs + kByteUs);

  // Without wire timing everything is ready at once, the modules' replies too.
  BaseUnit f;
  f.plug(1, module("QM66A"));
  f.setWireTiming(false);
  EXPECT_FALSE(f.module(1)->wireTiming());
  f.plug(2, module("QM66A"));
  EXPECT_FALSE(f.module(2)->wireTiming());
  Wire wf(f);
  const std::vector<Emission> n = wf.exchange(slotFrame(2, 'P', 5, 0, ":0100000501f9"));
  ASSERT_EQ(n.size(), 6u);
  EXPECT_EQ(n.back().doneUs, 19 * kByteUs);
}

TEST(SimBaseUnit, LetterTIsARecordTransaction) {
  BaseUnit b;
  b.plug(2, module("QM492", Protocol::Record));
  b.plug(4, module("QM66A"));
  Wire w(b);
  Controller& m = *b.module(2);
  EXPECT_EQ(w.ask(slotFrame(2, 'T', 5, 5, ":050000090000000010E2")), withSlot("QM492", 2));
  EXPECT_EQ(w.ask(slotFrame(2, 'T', 4, 5, ":050000090000000011e1")), withSlot("0319", 2));
  EXPECT_EQ(w.ask(slotFrame(2, 'T', 1, 5, ":02000002880173")), withSlot(".", 2));
  EXPECT_EQ(w.ask(slotFrame(2, 'T', 3, 50, ":0300000480000079")), withSlot(".\r\n", 2));
  EXPECT_TRUE(m.bootLoaderActive());
  const std::string data = dataRecord(0x0040, {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(w.ask(slotFrame(2, 'T', 3, 5, data)), withSlot(".\r\n", 2));
  EXPECT_EQ(w.ask(slotFrame(2, 'T', 3, 5, dataRecord(0, {0, 0, 0, 0}, 5))), withSlot(".\r\n", 2));
  std::string bad = data;
  bad.back() = bad.back() == '0' ? '1' : '0';
  EXPECT_EQ(w.ask(slotFrame(2, 'T', 3, 5, bad)), withSlot("C\r\n", 2));
  EXPECT_EQ(w.ask(slotFrame(2, 'T', 3, 5, ":0200000280007c")), withSlot(".\r\n", 2));
  EXPECT_EQ(m.flashByte(0x40), 1);
  EXPECT_EQ(m.flashByte(0x47), 8);
  EXPECT_EQ(m.recordsTaken(), 3u);
  // Without T the record protocol's query is never complete: no line end.
  EXPECT_EQ(w.ask(slotFrame(2, 'P', 5, 5, ":050000090000000010E2")), "");

  // A raw module echoes nothing: its reply counts from the first byte.
  EXPECT_EQ(w.ask(slotFrame(4, 'T', 5, 5, ":0100000501f9")), withSlot("QM66A", 4));
  EXPECT_EQ(w.ask(slotFrame(4, 'T', 0, 5, "UU")), bytes({4}));
}

TEST(SimBaseUnit, ServicePayloadsReachTheServiceChannel) {
  BaseUnit b;
  b.plug(1, module("QM29A"));
  b.plug(2, module("QM40A"));
  b.plug(3, module("QM61B"));
  Wire w(b);
  // The decoder's version block at 2400: 17 bytes take 71 ms.
  const std::string block = std::string("1.00") + std::string(13, '\0');
  EXPECT_EQ(w.ask(slotFrame(1, 'Q', 17, 1, bytes({0x15, 0x20, 0x00}))), withSlot(block, 1));
  EXPECT_EQ(w.ask(slotFrame(2, 'P', 16, 2, bytes({0x14, 0x02}))), withSlot("Mv1.00          ", 2));
  EXPECT_EQ(w.ask(slotFrame(2, 'P', 16, 2, bytes({0x14, 0x03}))), withSlot("Fv1.00          ", 2));
  EXPECT_EQ(w.ask(slotFrame(3, 'P', 2, 1, bytes({0x15, 0x11, 0x00}))),
            withSlot(bytes({0x03, 0x19}), 3));
  EXPECT_EQ(w.ask(slotFrame(3, 'P', 16, 2, bytes({0x14, 0x00}))),
            withSlot(std::string("V 3.19") + std::string(10, '\0'), 3));
  EXPECT_EQ(w.ask(slotFrame(3, 'P', 16, 2, bytes({0x14, 0x03}))),
            withSlot(std::string("V 3.19") + std::string(10, '\0'), 3));
  // Whatever rate the module listens at; its other commands at that rate.
  EXPECT_EQ(w.ask(slotFrame(3, 'P', 1, 1, ":020000030403f4")), withSlot(".", 3));
  EXPECT_EQ(b.module(3)->listening().baud, 115200u);
  EXPECT_EQ(w.ask(slotFrame(3, 'P', 2, 1, bytes({0x15, 0x11, 0x00}))),
            withSlot(bytes({0x03, 0x19}), 3));
  EXPECT_EQ(w.ask(slotFrame(3, 'P', 5, 1, ":0100000501f9")), withSlot("QM61B", 3));
  // The 2400 answers take their time: 16 bytes do not fit into 0 ms.
  EXPECT_EQ(w.ask(slotFrame(3, 'P', 16, 0, bytes({0x14, 0x00}))), "");
}

// Image bytes with every value in them, frame bytes (3A, E1, E2, E3, 00) included.
std::vector<uint8_t> image(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 151 + (i >> 3));
  return v;
}

std::string crcFrame(uint32_t crc) {
  return bytes({0x3A, 0xE2, static_cast<int>(crc >> 24), static_cast<int>((crc >> 16) & 0xFF),
                static_cast<int>((crc >> 8) & 0xFF), static_cast<int>(crc & 0xFF)});
}

TEST(SimBaseUnit, CoprocessorTransfersThroughLettersPAndS) {
  const std::vector<uint8_t> data = image(700);
  struct Case {
    const char* type;
    int mode;
  };
  for (const Case& c : {Case{"QM23A", 0x00}, Case{"QM40A", 0x02}}) {
    BaseUnit b;
    b.plug(6, module(c.type));
    Wire w(b);
    Controller& m = *b.module(6);
    EXPECT_EQ(w.ask(slotFrame(6, 'P', 1, 5, bytes({0x15, 0x01, 0x01}))), withSlot(".", 6));
    EXPECT_EQ(w.ask(slotFrame(6, 'P', 1, 5, bytes({0x15, 0xE0, c.mode}))),
              withSlot(bytes({0xE0}), 6));
    ASSERT_TRUE(m.frameMode());
    const bool fpga = m.profile().coprocessor == CoprocessorKind::Fpga;
    EXPECT_EQ(w.ask(slotFrame(6, 'P', 1, 5, bytes({0x3A, 0xE3}))),
              withSlot(bytes({fpga ? 0xE3 : 0xEE}), 6));
    for (size_t i = 0; i < data.size(); i += 200) {
      const size_t n = std::min<size_t>(200, data.size() - i);
      std::string frame = bytes({0x3A, 0xE1, static_cast<int>(n)});
      frame.append(data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(i + n));
      ASSERT_EQ(w.ask(slotFrame(6, 'P', 1, 5, frame)), withSlot(bytes({0xE1}), 6)) << i;
    }
    EXPECT_EQ(w.ask(slotFrame(6, 'S', 1, 1, crcFrame(crc16(data)))), withSlot("O", 6));
    EXPECT_FALSE(m.frameMode());
    if (fpga) {
      EXPECT_EQ(m.fpgaImage(), data);
    } else {
      EXPECT_EQ(m.decoderImage(), data);
    }
    EXPECT_EQ(m.coprocessorVersion(), "2.00");
  }
}

// A data record of `data`, hex digits upper case.
std::string recordOf(uint16_t address, const std::vector<uint8_t>& data) {
  char digits[16];
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF);
  std::snprintf(digits, sizeof digits, "%02zX%04X00", data.size(), address);
  std::string r = std::string(":") + digits;
  for (uint8_t b : data) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    r += digits;
    sum += b;
  }
  std::snprintf(digits, sizeof digits, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return r + digits;
}

TEST(SimBaseUnit, WholeRawFlashThroughSlotFrames) {
  BaseUnit b(BaseUnitSetup{8, {0x02, 0x22}});
  Profile p = module("QM37A");
  p.versionAfterReset = {0x04, 0x02};
  p.resetSilenceMs = 200;
  b.plug(5, p);
  Wire w(b);
  Controller& m = *b.module(5);
  auto ask = [&](std::string_view payload, int expect, int wait = 5) {
    return w.ask(slotFrame(5, 'P', expect, wait, payload));
  };
  EXPECT_EQ(w.ask(select(5)), bytes({0x00}));
  EXPECT_EQ(ask(bytes({0x15, 0x01, 0x01}), 1), withSlot(".", 5));
  EXPECT_EQ(ask(bytes({0x15, 0xEF, 0x00}), 1), withSlot(bytes({0xEF}), 5));
  EXPECT_EQ(ask(":020000030000fb", 1), withSlot(".", 5));
  EXPECT_EQ(ask(":021000030100ea", 1, 50), withSlot(".", 5));
  std::map<uint32_t, uint8_t> want;
  for (uint32_t upper : {0x0000u, 0x0001u}) {
    EXPECT_EQ(
        ask(dataRecord(0, {static_cast<int>(upper >> 8), static_cast<int>(upper & 0xFF)}, 4), 1),
        withSlot(".", 5));
    for (uint32_t a = 0; a < 0x400; a += 16) {
      std::vector<uint8_t> d;
      for (uint32_t i = 0; i < 16; ++i) {
        const auto v = static_cast<uint8_t>((a + i) * 7 + upper);
        want[upper << 16 | (a + i)] = v;
        d.push_back(v);
      }
      ASSERT_EQ(ask(recordOf(static_cast<uint16_t>(a), d), 1), withSlot(".", 5)) << a;
    }
  }
  EXPECT_EQ(ask(dataRecord(0, {0x00, 0x01, 0x00, 0x00}, 5), 1), withSlot(".", 5));
  EXPECT_EQ(ask(":00000001FF", 0), bytes({5}));
  EXPECT_EQ(m.flash(), want);
  EXPECT_TRUE(m.programmingEnded());
  // The restarted module is silent for its pause, then reports the new version.
  EXPECT_EQ(ask(":0100000502f8", 2), "");
  w.wait(300'000);
  EXPECT_EQ(ask(":0100000502f8", 2), withSlot(bytes({0x04, 0x02}), 5));
}

TEST(SimBaseUnit, FramesAndSlotsAreCountedForTheReport) {
  BaseUnit b;
  b.plug(2, module("QM66A"));
  Wire w(b);
  EXPECT_EQ(b.slotFrames(), 0u);
  EXPECT_EQ(b.frameStarts(), 0u);
  w.ask(kVersionCommand);
  w.ask(select(2));
  EXPECT_EQ(b.frameStarts(), 2u);
  EXPECT_EQ(b.slotFrames(), 0u);
  // Answered or not, to a module or to an empty slot: every slot frame counts.
  w.ask(slotFrame(2, 'P', 5, 5, ":0100000501f9"));
  EXPECT_EQ(b.slotFrames(), 1u);
  EXPECT_EQ(b.lastSlotFrame(), 2);
  w.ask(slotFrame(7, 'P', 5, 5, ":0100000501f9"));
  EXPECT_EQ(b.slotFrames(), 2u);
  EXPECT_EQ(b.lastSlotFrame(), 7);
  EXPECT_EQ(b.frameStarts(), 4u);
  // A byte that ends a frame and is 00 begins the next one; strays begin nothing.
  w.ask(bytes({0x55, 0x00, 0x02, 'R', 0x00}) + kVersionCommand);
  EXPECT_EQ(b.frameStarts(), 6u);
  EXPECT_EQ(b.slotFrames(), 2u);
}

TEST(SimBaseUnit, ModuleWireTimeOfSlotFrames) {
  const double byteUs = 10 * 1e6 / 19200, slowByteUs = 10 * 1e6 / 2400;
  BaseUnit b;
  b.plug(1, module("QM66A"));
  b.plug(2, module("QM492", Protocol::Record));
  Faults silent;
  silent.silent = true;
  b.plug(3, module("QM66A"), silent);
  Wire w(b);
  double before = b.moduleWireUs();
  auto added = [&] {
    const double now = b.moduleWireUs();
    return now - std::exchange(before, now);
  };
  EXPECT_EQ(before, 0);
  // The base unit's own commands do not reach a module.
  w.ask(kVersionCommand);
  w.ask(select(1));
  EXPECT_EQ(added(), 0);
  // 13 bytes forwarded, the 5 the answer waits for.
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 5, 5, ":0100000501f9")), withSlot("QM66A", 1));
  EXPECT_NEAR(added(), 18 * byteUs, 0.01);
  // Fewer than the module sends: the rest is not waited for.
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 2, 5, ":0100000501f9")), withSlot("QM", 1));
  EXPECT_NEAR(added(), 15 * byteUs, 0.01);
  // m = 0: the payload alone.
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 0, 5, ":0100000501f9")), bytes({1}));
  EXPECT_NEAR(added(), 13 * byteUs, 0.01);
  // A service payload and its answer at 2400.
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 2, 5, bytes({0x15, 0x11, 0x00}))),
            withSlot(bytes({0x03, 0x19}), 1));
  EXPECT_NEAR(added(), 5 * slowByteUs, 0.01);
  // No answer: the payload, and no reply byte to wait for.
  EXPECT_EQ(w.ask(slotFrame(3, 'P', 5, 5, ":0100000501f9")), "");
  EXPECT_NEAR(added(), 13 * byteUs, 0.01);
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 6, 1, ":0100000501f9")), "");
  EXPECT_NEAR(added(), 18 * byteUs, 0.01);
  // An empty slot: nothing goes to a module.
  EXPECT_EQ(w.ask(slotFrame(5, 'P', 5, 5, ":0100000501f9")), "");
  EXPECT_EQ(added(), 0);

  // Letter T: the payload and CR LF out, the echo and the answer back. The select is taken at its
  // line end, so its reply follows the payload.
  EXPECT_EQ(w.ask(slotFrame(2, 'T', 1, 5, ":02000002880173")), withSlot(".", 2));
  EXPECT_NEAR(added(), (17 + 16) * byteUs, 0.01);
  EXPECT_EQ(w.ask(slotFrame(2, 'T', 3, 50, ":0300000480000079")), withSlot(".\r\n", 2));
  EXPECT_NEAR(added(), (19 + 17 + 3) * byteUs, 0.01);
  // A record is answered at its last digit, while its CR LF is still going out: the two bytes'
  // time counts once (in whole microseconds, as the simulator paces the line).
  const std::string data = dataRecord(0x0040, {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(w.ask(slotFrame(2, 'T', 3, 5, data)), withSlot(".\r\n", 2));
  const double overlapUs = 2 * static_cast<double>(kByteUs);
  EXPECT_NEAR(added(), (29 + 27 + 3) * byteUs - overlapUs, 0.01);

  // Without wire timing nothing overlaps: every byte counts.
  BaseUnit f;
  f.plug(2, module("QM492", Protocol::Record));
  f.setWireTiming(false);
  Wire wf(f);
  wf.ask(slotFrame(2, 'T', 1, 5, ":02000002880173"));
  wf.ask(slotFrame(2, 'T', 3, 50, ":0300000480000079"));
  const double from = f.moduleWireUs();
  EXPECT_EQ(wf.ask(slotFrame(2, 'T', 3, 5, data)), withSlot(".\r\n", 2));
  EXPECT_NEAR(f.moduleWireUs() - from, (29 + 27 + 3) * byteUs, 0.01);
}

TEST(SimBaseUnit, NoAnswerFromEmptySlotsAndSilentModules) {
  BaseUnit a(BaseUnitSetup{8, {0x02, 0x22}});
  Faults silent;
  silent.silent = true;
  a.plug(2, module("QM66A"), silent);
  a.plug(3, module("QM66A"));
  Wire w(a);
  for (int expect : {0, 5}) {
    EXPECT_EQ(w.ask(slotFrame(1, 'P', expect, 5, ":0100000501f9")), "") << expect;
    EXPECT_EQ(w.ask(slotFrame(9, 'P', expect, 5, ":0100000501f9")), "") << expect;
    EXPECT_EQ(w.ask(slotFrame(4, 'T', expect, 5, ":050000090000000010E2")), "") << expect;
  }
  EXPECT_EQ(w.ask(slotFrame(2, 'P', 5, 5, ":0100000501f9")), "");
  EXPECT_EQ(w.ask(slotFrame(2, 'S', 1, 5, bytes({0x15, 0x01, 0x01}))), "");
  // A silent module still takes its payload: m = 0 is answered.
  EXPECT_EQ(w.ask(slotFrame(2, 'P', 0, 5, ":0100000501f9")), bytes({2}));
  // The frame after a lost answer is served.
  EXPECT_EQ(w.ask(slotFrame(3, 'P', 5, 5, ":0100000501f9")), withSlot("QM66A", 3));
}

TEST(SimBaseUnit, TimeOutsCountFromTheEndOfThePayload) {
  BaseUnit b;
  b.plug(1, module("QM66A"));
  Wire w(b);
  const std::string query = ":0100000501f9";
  // t = 0: only what the module had finished sending, which with wire timing is nothing yet.
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 5, 0, query)), "");
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 0, 0, query)), bytes({1}));
  // The five bytes are done 5 byte times after the payload: within 100 ms.
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 5, 1, query)), withSlot("QM66A", 1));

  // A late module: 150 ms plus the reply.
  b.module(1)->faults().lateMs = 150;
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 5, 1, query)), "");
  EXPECT_EQ(w.ask(slotFrame(1, 'Q', 5, 1, query)), "");
  EXPECT_EQ(w.ask(slotFrame(1, 'T', 5, 1, query)), "");
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 5, 2, query)), withSlot("QM66A", 1));
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 0, 0, query)), bytes({1}));
  // Only the bytes up to the mth count: at 2400 the first of two comes after 94 + 4.2 ms, the
  // second 4.2 ms later.
  w.wait(1'000'000);  // the module is done with the late replies nobody waited for
  b.module(1)->faults().lateMs = 94;
  const std::string version = bytes({0x15, 0x11, 0x00});
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 1, 1, version)), withSlot(bytes({0x03}), 1));
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 2, 1, version)), "");
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 2, 2, version)), withSlot(bytes({0x03, 0x19}), 1));

  // S counts in 10 s.
  w.wait(1'000'000);
  b.module(1)->faults().lateMs = 15'000;
  EXPECT_EQ(w.ask(slotFrame(1, 'S', 5, 1, query)), "");
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 5, 100, query)), "");
  EXPECT_EQ(w.ask(slotFrame(1, 'S', 5, 2, query)), withSlot("QM66A", 1));
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 5, 160, query)), withSlot("QM66A", 1));
}

TEST(SimBaseUnit, WrongSlotByteFault) {
  BaseUnit b;
  b.plug(3, module("QM66A"), {}, std::nullopt, 1);
  b.plug(4, module("QM66A"));
  // Slot 5 goes wrong at its third frame; the frames to other slots do not count.
  b.plug(5, module("QM66A"), {}, std::nullopt, 3);
  Wire w(b);
  EXPECT_EQ(w.ask(slotFrame(3, 'P', 5, 5, ":0100000501f9")), withSlot("QM66A", 4));
  EXPECT_EQ(w.ask(slotFrame(3, 'P', 0, 5, ":0100000501f9")), bytes({4}));
  EXPECT_EQ(w.ask(slotFrame(4, 'P', 5, 5, ":0100000501f9")), withSlot("QM66A", 4));
  // The base unit's own answers do not change.
  EXPECT_EQ(w.ask(select(3)), bytes({0x00}));
  EXPECT_EQ(w.ask(slotFrame(5, 'P', 5, 5, ":0100000501f9")), withSlot("QM66A", 5));
  EXPECT_EQ(w.ask(slotFrame(4, 'P', 5, 5, ":0100000501f9")), withSlot("QM66A", 4));
  EXPECT_EQ(w.ask(slotFrame(5, 'P', 5, 5, ":0100000501f9")), withSlot("QM66A", 5));
  EXPECT_EQ(w.ask(slotFrame(5, 'P', 5, 5, ":0100000501f9")), withSlot("QM66A", 6));
  EXPECT_EQ(w.ask(slotFrame(5, 'P', 5, 5, ":0100000501f9")), withSlot("QM66A", 6));
}

TEST(SimBaseUnit, WakeUpsOfTheModuleFamilies) {
  BaseUnit b;
  b.plug(1, module("QM21A"));
  b.plug(2, module("QM21M"));
  b.plug(3, module("QM292"));
  b.plug(4, module("QM21M"));
  Wire w(b);
  EXPECT_EQ(w.ask(slotFrame(1, 'Q', 1, 80, bytes({0x15, 0x01, 0x01}))), withSlot(".", 1));
  EXPECT_EQ(w.ask(slotFrame(1, 'Q', 1, 80, bytes({0x15, 0xEF}))), withSlot(bytes({0x15}), 1));
  // The QM21M takes only the three-byte frame; the two bytes alone are not answered.
  EXPECT_EQ(w.ask(slotFrame(2, 'Q', 1, 10, bytes({0x15, 0xEF, 0x00}))), withSlot(bytes({0xEF}), 2));
  EXPECT_EQ(w.ask(slotFrame(4, 'Q', 1, 10, bytes({0x15, 0xEF}))), "");
  EXPECT_EQ(w.ask(slotFrame(3, 'Q', 1, 10, bytes({0x15, 0xEF, 0x00}))), withSlot(bytes({0xEF}), 3));
}

TEST(SimBaseUnit, ModuleOutputNeverLeaksOutsideAFrame) {
  BaseUnit b;
  Faults extra;
  extra.extraBytes = 4;
  b.plug(1, module("QM66A"), extra);
  Profile late = module("QM66A");
  b.plug(2, late);
  Wire w(b);
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 5, 5, ":0100000501f9")), withSlot("QM66A", 1));
  EXPECT_EQ(w.ask(slotFrame(1, 'P', 7, 5, ":0100000501f9")), withSlot("QM66A~~", 1));
  // A reply that came too late, and one cut short, are gone for good.
  b.module(2)->faults().lateMs = 300;
  EXPECT_EQ(w.ask(slotFrame(2, 'P', 5, 1, ":0100000501f9")), "");
  b.module(2)->faults().lateMs = 0;
  EXPECT_EQ(w.ask(slotFrame(2, 'P', 1, 5, ":0100000501f9")), withSlot("Q", 2));
  w.wait(1'000'000);
  EXPECT_EQ(w.ask(kVersionCommand), bytes({0x02, 0x22, 0x00}));
  EXPECT_EQ(w.ask(slotFrame(2, 'P', 2, 5, ":0100000502f8")), withSlot(bytes({0x03, 0x19}), 2));
  EXPECT_TRUE(b.module(2)->output().empty());
  // Nothing reaches the PC without a frame: bytes to no slot at all.
  EXPECT_EQ(w.ask(":0100000501f9"), "");
}

TEST(SimBaseUnit, ModulesSwitchOffWithTheBaseUnit) {
  BaseUnit b;
  Profile p = module("QD20A");
  p.decoder = DecoderKind::Swid;
  b.plug(7, p);
  Wire w(b);
  EXPECT_EQ(w.ask(slotFrame(7, 'P', 1, 5, ":0100000302fa")), withSlot(".", 7));
  EXPECT_TRUE(b.module(7)->decoderRouted());
  EXPECT_EQ(w.ask(slotFrame(7, 'P', 0, 5, "boot\r")), bytes({7}));
  EXPECT_EQ(w.ask(slotFrame(7, 'P', 0, 5, "UUUUUUUUUU" + std::string("image"))), bytes({7}));
  // The image's end is found only at the next byte or when the power goes.
  const auto& transfers = b.module(7)->decoder().transfers();
  ASSERT_EQ(transfers.size(), 1u);
  EXPECT_FALSE(transfers[0].ended);
  b.powerOff();
  EXPECT_TRUE(transfers[0].ended);
  EXPECT_EQ(bytes(b.module(7)->decoderImage()), "image");
}

}  // namespace
}  // namespace qdqm::sim
