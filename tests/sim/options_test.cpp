#include "sim/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qdqm::sim {
namespace {

std::optional<Options> parse(std::vector<std::string_view> args, std::string* error = nullptr) {
  std::string e;
  std::optional<Options> o = parseOptions(args, e);
  if (error) *error = e;
  EXPECT_EQ(o.has_value(), e.empty()) << e;
  return o;
}

TEST(SimOptions, SingleModule) {
  const auto o = parse({"--com", "3", "--module", "QM492", "--version", "a.05", "--hw", "0x1a",
                        "--fault", "late=20", "--flash-out", "f.hex", "--wire-timing"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->com, 3u);
  EXPECT_TRUE(o->wireTiming);
  EXPECT_FALSE(o->reportFlash);
  EXPECT_FALSE(o->baseUnit);
  EXPECT_TRUE(o->slots.empty());
  const Profile& p = o->single.profile;
  EXPECT_EQ(p.type, "QM492");
  EXPECT_EQ(p.software, (std::array<uint8_t, 2>{0x0A, 0x05}));
  EXPECT_EQ(p.hardware, 0x1A);
  // Alone, every module speaks raw unless told; the coprocessor follows the type.
  EXPECT_EQ(p.protocol, Protocol::Raw);
  EXPECT_EQ(p.coprocessor, CoprocessorKind::Crc16Decoder);
  EXPECT_EQ(o->single.faults.lateMs, 20u);
  EXPECT_EQ(o->single.flashOut, "f.hex");

  const auto d = parse({"--module", "QD20A", "--com", "1", "--coprocessor", "none"});
  ASSERT_TRUE(d);
  EXPECT_EQ(d->single.profile.coprocessor, CoprocessorKind::None);
  EXPECT_EQ(d->single.profile.decoder, DecoderKind::Swid);
  const auto h = parse({"--help"});
  ASSERT_TRUE(h);
  EXPECT_TRUE(h->help);
}

TEST(SimOptions, BaseUnitWithModulesInSlots) {
  const auto o = parse({"--com",
                        "4",
                        "--base-unit",
                        "A",
                        "--base-version",
                        "3.0a",
                        "--report-flash",
                        "--slot",
                        "1=QM23A",
                        "--version",
                        "1.05",
                        "--fault",
                        "silent",
                        "--fpga-out",
                        "one.bin",
                        "--slot",
                        "8=QM492",
                        "--code",
                        "0x00",
                        "--fault",
                        "wrong-slot-byte",
                        "--fault",
                        "crc-wrong",
                        "--slot",
                        "2=QM65A",
                        "--fault",
                        "wrong-slot-byte=4",
                        "--code",
                        "0x70",
                        "--protocol",
                        "record",
                        "--wire-timing"});
  ASSERT_TRUE(o);
  ASSERT_TRUE(o->baseUnit);
  EXPECT_EQ(o->baseUnit->slots, 8u);
  EXPECT_EQ(o->baseUnit->version, (std::array<uint8_t, 2>{0x03, 0x0A}));
  EXPECT_TRUE(o->reportFlash);
  EXPECT_TRUE(o->wireTiming);
  ASSERT_EQ(o->slots.size(), 3u);

  const ModuleOptions& one = o->slots.at(1);
  EXPECT_EQ(one.profile.type, "QM23A");
  EXPECT_EQ(one.profile.software, (std::array<uint8_t, 2>{0x01, 0x05}));
  EXPECT_EQ(one.profile.protocol, Protocol::Raw);
  EXPECT_EQ(one.profile.coprocessor, CoprocessorKind::Fpga);
  EXPECT_EQ(one.code, 0x5E);
  EXPECT_TRUE(one.faults.silent);
  EXPECT_FALSE(one.faults.wrongCrc);
  EXPECT_EQ(one.wrongSlotFrom, 0u);
  EXPECT_EQ(one.fpgaOut, "one.bin");

  const ModuleOptions& eight = o->slots.at(8);
  EXPECT_EQ(eight.profile.protocol, Protocol::Record);  // by type in a slot
  EXPECT_EQ(eight.profile.coprocessor, CoprocessorKind::Crc16Decoder);
  EXPECT_EQ(eight.profile.software, (std::array<uint8_t, 2>{0x03, 0x19}));
  EXPECT_EQ(eight.code, 0x00);
  EXPECT_EQ(eight.wrongSlotFrom, 1u);
  EXPECT_TRUE(eight.faults.wrongCrc);
  EXPECT_FALSE(eight.faults.silent);
  EXPECT_TRUE(eight.fpgaOut.empty());

  const ModuleOptions& two = o->slots.at(2);
  EXPECT_EQ(two.code, 0x70);
  EXPECT_EQ(two.wrongSlotFrom, 4u);
  EXPECT_EQ(two.profile.protocol, Protocol::Record);

  const auto b = parse({"--base-unit", "B", "--com", "2", "--slot", "9=QM61A"});
  ASSERT_TRUE(b);
  EXPECT_EQ(b->baseUnit->slots, 9u);
  EXPECT_EQ(b->baseUnit->version, (std::array<uint8_t, 2>{0x02, 0x22}));
  EXPECT_EQ(b->slots.at(9).code, 0x5F);
  // A bare base unit.
  ASSERT_TRUE(parse({"--com", "2", "--base-unit", "B"}));
}

TEST(SimOptions, RefusedCombinations) {
  const std::vector<std::vector<std::string_view>> bad = {
      {"--module", "QM23A"},                                     // no --com
      {"--com", "1", "--slot", "1=QM23A"},                       // no base unit
      {"--com", "1", "--base-version", "2.22"},                  // no base unit
      {"--com", "1", "--base-unit", "C"},                        //
      {"--com", "1", "--base-unit", "A", "--version", "1.05"},   // module option, no slot
      {"--com", "1", "--version", "1.05", "--base-unit", "B"},   // in either order
      {"--com", "1", "--base-unit", "A", "--fault", "silent"},   //
      {"--com", "1", "--base-unit", "A", "--slot", "9=QM23A"},   // A has 8 slots
      {"--com", "1", "--slot", "9=QM23A", "--base-unit", "A"},   //
      {"--com", "1", "--base-unit", "B", "--slot", "0=QM23A"},   //
      {"--com", "1", "--base-unit", "B", "--slot", "10=QM23A"},  //
      {"--com", "1", "--base-unit", "B", "--slot", "3"},         //
      {"--com", "1", "--base-unit", "B", "--slot", "3=QM2"},     //
      {"--com", "1", "--base-unit", "B", "--slot", "3=QM65A"},   // no type code known
      {"--com", "1", "--base-unit", "B", "--slot", "3=QM23A", "--slot", "3=QM23A"},
      {"--com", "1", "--base-unit", "B", "--slot", "3=QM23A", "--module", "QM21A"},
      {"--com", "1", "--base-unit", "B", "--slot", "3=QM23A", "--code", "0x100"},
      {"--com", "1", "--base-unit", "B", "--slot", "3=QM23A", "--code", "-1"},
      {"--com", "1", "--base-unit", "B", "--code", "0x10"},  // before any slot
      {"--com", "1", "--fault", "wrong-slot-byte"},          // not in a base unit
      {"--com", "1", "--base-unit", "B", "--fault", "wrong-slot-byte"},
      {"--com", "1", "--base-unit", "B", "--slot", "3=QM23A", "--fault", "wrong-slot-byte=0"},
      {"--com", "1", "--base-unit", "B", "--slot", "3=QM23A", "--fault", "wrong-slot-byte=x"},
      {"--com", "1", "--base-unit", "B", "--slot", "3=QM23A", "--fault", "wrong-slot-bytes"},
      {"--com", "1", "--base-unit", "B", "--slot", "3=QM23A", "--fault", "loud"},
      {"--com", "1", "--frobnicate"},
      {"--com", "1", "--version"},  // value missing
  };
  for (const auto& args : bad) {
    std::string error;
    std::string line;
    for (std::string_view a : args) line += std::string(a) + " ";
    EXPECT_FALSE(parse(args, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
  std::string error;
  EXPECT_FALSE(parse({"--com", "1", "--base-unit", "B", "--slot", "3=QM65A"}, &error));
  EXPECT_NE(error.find("--code"), std::string::npos) << error;
  EXPECT_FALSE(parse({"--com", "1", "--base-unit", "B", "--restart-ms", "5"}, &error));
  EXPECT_NE(error.find("--restart-ms"), std::string::npos) << error;
  // With --code a type without one of its own may go into a slot.
  EXPECT_TRUE(parse({"--com", "1", "--base-unit", "B", "--slot", "3=QM65A", "--code", "0x41"}));
}

}  // namespace
}  // namespace qdqm::sim
