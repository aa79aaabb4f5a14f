#include "sim/coprocessor.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "sim/controller.h"
#include "tests/sim/wire.h"

namespace qdqm::sim {
namespace {

using testing::bytes;
using testing::dataRecord;
using testing::Wire;

const Line kSlow{2400};
const Line kTransfer{19200};

std::string ascii(std::string_view s) {
  return std::string(s);
}

// Image bytes with every value in them, frame bytes (3A, E1, E2, E3) included.
std::vector<uint8_t> image(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 151 + seed * 7 + (i >> 3));
  return v;
}

std::string dataFrame(const std::vector<uint8_t>& data, size_t from, size_t n) {
  std::string f = bytes({0x3A, 0xE1, static_cast<int>(n)});
  f.append(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(from + n));
  return f;
}

std::string word(uint32_t v) {
  return bytes({static_cast<int>(v >> 24), static_cast<int>((v >> 16) & 0xFF),
                static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF)});
}

std::string checkFrame(uint32_t crc) {
  return bytes({0x3A, 0xE2}) + word(crc);
}

const std::string kErase = bytes({0x3A, 0xE3});
const std::string kTakenReply = bytes({0xE1});
const std::string kRefusedReply = bytes({0xEE});

// Sends `data` in blocks of at most `block` bytes; the replies, one per frame, concatenated.
std::string sendBlocks(Wire& w, const std::vector<uint8_t>& data, size_t block, size_t from = 0,
                       Line at = kTransfer) {
  std::string replies;
  for (size_t i = from; i < data.size(); i += block) {
    replies += w.ask(dataFrame(data, i, std::min(block, data.size() - i)), at);
  }
  return replies;
}

std::string times(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

uint16_t crc16Of(const std::vector<uint8_t>& v, size_t from = 0) {
  return crc16(std::span<const uint8_t>(v).subspan(from));
}

uint32_t crc32Of(const std::vector<uint8_t>& v, size_t from = 0) {
  return crc32(std::span<const uint8_t>(v).subspan(from));
}

Profile module(std::string type, CoprocessorKind kind, std::string version = "1.00") {
  Profile p;
  p.type = std::move(type);
  p.coprocessor = kind;
  p.coprocessorVersion = std::move(version);
  return p;
}

std::string modeFrame(int mode) {
  return bytes({0x15, 0xE0, mode});
}

TEST(SimCoprocessor, CrcsMatchTheirCheckValues) {
  const std::string text = "123456789";
  const std::span<const uint8_t> check(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  EXPECT_EQ(crc32(check) ^ 0xFFFFFFFFu, 0xCBF43926u);
  EXPECT_EQ(crc16(check), 0x29B1u);
  // Running over pieces gives the same as over the whole.
  EXPECT_EQ(crc32(check.subspan(4), crc32(check.first(4))), crc32(check));
  EXPECT_EQ(crc16(check.subspan(4), crc16(check.first(4))), crc16(check));
}

TEST(SimCoprocessor, DefaultCoprocessorByModuleType) {
  EXPECT_EQ(defaultCoprocessor("QM23A"), CoprocessorKind::Fpga);
  EXPECT_EQ(defaultCoprocessor("QM29B"), CoprocessorKind::Crc32Decoder);
  EXPECT_EQ(defaultCoprocessor("QM22A"), CoprocessorKind::Crc32Decoder);
  EXPECT_EQ(defaultCoprocessor("QM20C"), CoprocessorKind::Crc32Decoder);
  EXPECT_EQ(defaultCoprocessor("QM492"), CoprocessorKind::Crc16Decoder);
  EXPECT_EQ(defaultCoprocessor("QM40A"), CoprocessorKind::Crc16Decoder);
  EXPECT_EQ(defaultCoprocessor("QM49A"), CoprocessorKind::None);
  EXPECT_EQ(defaultCoprocessor("QM47A"), CoprocessorKind::None);
  EXPECT_EQ(defaultCoprocessor("QD21S"), CoprocessorKind::None);
  EXPECT_EQ(defaultCoprocessor("PS17"), CoprocessorKind::None);
  EXPECT_EQ(defaultCoprocessor("QM2"), CoprocessorKind::None);
}

TEST(SimCoprocessor, ServiceFramesAreHeardOnlyAt2400) {
  Controller c(module("QM29A", CoprocessorKind::Crc32Decoder, "1.23"));
  Wire w(c);
  const std::string block = ascii("1.23") + std::string(13, '\0');
  // At the rate it listens at, or at 2400 with parity, or another rate: not the service channel.
  EXPECT_EQ(w.ask(bytes({0x15, 0x20, 0x00})), "");
  EXPECT_EQ(w.ask(modeFrame(0)), "");
  EXPECT_FALSE(c.frameMode());
  EXPECT_EQ(w.ask(bytes({0x15, 0x20, 0x00}), Line{2400, Parity::Even}), "");
  EXPECT_EQ(w.ask(bytes({0x15, 0x20, 0x00}), Line{4800}), "");
  EXPECT_EQ(w.ask(bytes({0x15, 0x01, 0x01}), kSlow), ".");
  EXPECT_EQ(w.ask(bytes({0x15, 0x20, 0x00}), kSlow), block);
  EXPECT_EQ(w.ask(":0100000501f9"), "QM29A");

  // Whatever rate it otherwise listens at; the answers leave at 2400.
  EXPECT_EQ(w.ask(":020000030402f5"), ".");
  EXPECT_EQ(w.ask(bytes({0x15, 0x01, 0x01}), kSlow), ".");
  EXPECT_EQ(w.ask(bytes({0x15, 0x20, 0x00}), kSlow), block);
  EXPECT_EQ(c.listening().baud, 57600u);
  EXPECT_EQ(w.ask(":0100000501f9", Line{57600}), "QM29A");

  // The boot loader does not hear it.
  Controller l(module("QM29A", CoprocessorKind::Crc32Decoder));
  Wire wl(l);
  EXPECT_EQ(wl.ask(":021000030100ea"), ".");
  EXPECT_EQ(wl.ask(bytes({0x15, 0x01, 0x01}), kSlow), "");
  EXPECT_EQ(wl.ask(modeFrame(0), kSlow), "");

  // A module waiting for its wake-up answers only the wake-up until woken.
  Profile sleepy = module("QM29A", CoprocessorKind::Crc32Decoder);
  sleepy.needsWakeUp = true;
  Controller s(sleepy);
  Wire ws(s);
  EXPECT_EQ(ws.ask(bytes({0x15, 0x20, 0x00}), kSlow), "");
  EXPECT_EQ(ws.ask(bytes({0x15, 0x01, 0x01}), kSlow), ".");
  EXPECT_EQ(ws.ask(bytes({0x15, 0xEF, 0x00}), kSlow), bytes({0xEF}));
  EXPECT_EQ(s.listening().baud, 19200u);
  EXPECT_EQ(ws.ask(bytes({0x15, 0x20, 0x00}), kSlow).size(), 17u);
}

TEST(SimCoprocessor, VersionBlocksOfEachKind) {
  const std::string decoderQuery = bytes({0x15, 0x20, 0x00});
  const std::string fpgaQuery = bytes({0x14, 0x04});
  const std::string twin1 = bytes({0x14, 0x02}), twin2 = bytes({0x14, 0x03});

  Controller d(module("QM29A", CoprocessorKind::Crc32Decoder, "1.23"));
  Wire wd(d);
  const std::string decoder = wd.ask(decoderQuery, kSlow);
  EXPECT_EQ(decoder, ascii("1.23") + std::string(12, '\0') + std::string(1, '\0'));
  EXPECT_STREQ(decoder.c_str(), "1.23");
  EXPECT_EQ(wd.ask(fpgaQuery, kSlow), "");
  EXPECT_EQ(wd.ask(twin1, kSlow), "");

  Controller f(module("QM23A", CoprocessorKind::Fpga, "4.56"));
  Wire wf(f);
  EXPECT_EQ(wf.ask(fpgaQuery, kSlow), ascii("v 4.56") + std::string(10, '\0'));
  EXPECT_EQ(wf.ask(decoderQuery, kSlow), "");
  EXPECT_EQ(wf.ask(twin2, kSlow), "");

  Controller t(module("QM40A", CoprocessorKind::Crc16Decoder, "7.89"));
  Wire wt(t);
  const std::string first = wt.ask(twin1, kSlow), second = wt.ask(twin2, kSlow);
  EXPECT_EQ(first, "Mv7.89          ");
  EXPECT_EQ(second, "Fv7.89          ");
  EXPECT_EQ((first + second).find('\0'), std::string::npos);
  EXPECT_EQ(wt.ask(decoderQuery, kSlow), "");
  EXPECT_EQ(wt.ask(fpgaQuery, kSlow), "");

  // A module without coprocessor answers none of them but 14 03, which reaches its panel.
  Controller n(module("QM65A", CoprocessorKind::None));
  Wire wn(n);
  EXPECT_EQ(wn.ask(decoderQuery + fpgaQuery + twin1, kSlow), "");
  EXPECT_EQ(wn.ask(twin2, kSlow), ascii("V 3.19") + std::string(10, '\0'));
}

TEST(SimCoprocessor, UpdateModeTakesTheRightModeByteAndListensAt19200) {
  Controller d(module("QM29A", CoprocessorKind::Crc32Decoder));
  Wire wd(d);
  EXPECT_EQ(wd.ask(":020000030403f4"), ".");
  EXPECT_EQ(wd.ask(modeFrame(2), kSlow), bytes({0xEE}));
  EXPECT_FALSE(d.frameMode());
  EXPECT_EQ(d.listening().baud, 115200u);
  EXPECT_EQ(wd.ask(modeFrame(0), kSlow), bytes({0xE0}));
  EXPECT_TRUE(d.frameMode());
  EXPECT_EQ(d.listening().baud, 19200u);

  Controller t(module("QM40A", CoprocessorKind::Crc16Decoder));
  Wire wt(t);
  EXPECT_EQ(wt.ask(modeFrame(0), kSlow), bytes({0xEE}));
  EXPECT_FALSE(t.frameMode());
  EXPECT_EQ(wt.ask(modeFrame(1), kSlow), bytes({0xEE}));
  EXPECT_EQ(wt.ask(modeFrame(2), kSlow), bytes({0xE0}));
  EXPECT_TRUE(t.frameMode());

  Controller f(module("QM23A", CoprocessorKind::Fpga));
  Wire wf(f);
  EXPECT_EQ(wf.ask(modeFrame(2), kSlow), bytes({0xEE}));
  EXPECT_EQ(wf.ask(modeFrame(0), kSlow), bytes({0xE0}));

  Controller n(module("QM65A", CoprocessorKind::None));
  Wire wn(n);
  EXPECT_EQ(wn.ask(modeFrame(0) + modeFrame(2), kSlow), "");
  EXPECT_FALSE(n.frameMode());
}

TEST(SimCoprocessor, FpgaImageThroughTheUpdateMode) {
  Controller c(module("QM23A", CoprocessorKind::Fpga));
  Wire w(c);
  const std::vector<uint8_t> img = image(130, 1);
  const uint16_t crc = crc16Of(img);

  // A CRC-16 with its upper half set is no match; the controller leaves frame mode either way.
  ASSERT_EQ(w.ask(modeFrame(0), kSlow), bytes({0xE0}));
  EXPECT_EQ(w.ask(kErase, kTransfer), bytes({0xE3}));
  EXPECT_EQ(sendBlocks(w, img, 64), times(kTakenReply, 3));
  EXPECT_EQ(w.ask(checkFrame(0x10000u | crc), kTransfer), "E");
  EXPECT_FALSE(c.frameMode());
  EXPECT_EQ(c.coprocessorVersion(), "1.00");

  ASSERT_EQ(w.ask(modeFrame(0), kSlow), bytes({0xE0}));
  EXPECT_EQ(w.ask(kErase, kTransfer), bytes({0xE3}));
  EXPECT_TRUE(c.fpgaImage().empty());
  EXPECT_EQ(sendBlocks(w, img, 64), times(kTakenReply, 3));
  EXPECT_EQ(c.dataBlocks(), 3u);
  EXPECT_EQ(w.ask(checkFrame(crc), kTransfer), "O");
  EXPECT_EQ(c.fpgaImage(), img);
  EXPECT_EQ(c.fpgaErases(), 2u);
  EXPECT_EQ(c.coprocessorVersion(), "2.00");
  EXPECT_EQ(c.fpgaVersion(), (std::array<uint8_t, 2>{0x01, 0x00}));
  EXPECT_FALSE(c.frameMode());
  EXPECT_EQ(c.listening().baud, 19200u);
  // Back to commands at the transfer rate, and the new version in the block.
  EXPECT_EQ(w.ask(":0100000501f9", kTransfer), "QM23A");
  EXPECT_EQ(w.ask(bytes({0x14, 0x04}), kSlow), ascii("v 2.00") + std::string(10, '\0'));
}

TEST(SimCoprocessor, FpgaProgrammedWithoutEraseHoldsWrongBytes) {
  Controller c(module("QM23A", CoprocessorKind::Fpga));
  Wire w(c);
  const std::vector<uint8_t> img = image(130, 2);
  ASSERT_EQ(w.ask(modeFrame(0), kSlow), bytes({0xE0}));
  EXPECT_EQ(sendBlocks(w, img, 64), times(kTakenReply, 3));
  // The check covers what arrived; the flash shows the missing erase.
  EXPECT_EQ(w.ask(checkFrame(crc16Of(img)), kTransfer), "O");
  const std::vector<uint8_t>& got = c.fpgaImage();
  ASSERT_EQ(got.size(), img.size());
  EXPECT_NE(got, img);
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i] & ~img[i], 0) << i;  // bits only clear
  EXPECT_EQ(c.fpgaErases(), 0u);

  // Erased and written again, it holds the image.
  ASSERT_EQ(w.ask(modeFrame(0), kSlow), bytes({0xE0}));
  EXPECT_EQ(w.ask(kErase, kTransfer), bytes({0xE3}));
  sendBlocks(w, img, 64);
  EXPECT_EQ(w.ask(checkFrame(crc16Of(img)), kTransfer), "O");
  EXPECT_EQ(c.fpgaImage(), img);
}

TEST(SimCoprocessor, Crc32DecoderTakesLengthHeaderAndPayload) {
  const std::vector<uint8_t> file = image(20 + 150, 3);
  const uint32_t payloadCrc = crc32Of(file, 20);
  // One transfer: length frame, the 20-byte header as one block, 64-byte payload blocks.
  auto transfer = [&](Controller& c, Wire& w, uint32_t length, uint32_t crc) {
    EXPECT_EQ(w.ask(modeFrame(0), kSlow), bytes({0xE0}));
    EXPECT_FALSE(c.lengthFrame().has_value());
    EXPECT_EQ(w.ask(bytes({0x3A, 0xE1, 0x04}) + word(length), kTransfer), kTakenReply);
    EXPECT_EQ(c.lengthFrame(), length);
    EXPECT_EQ(w.ask(dataFrame(file, 0, 20), kTransfer), kTakenReply);
    EXPECT_EQ(sendBlocks(w, file, 64, 20), times(kTakenReply, 3));
    EXPECT_EQ(c.dataBlocks(), 4u);
    return w.ask(checkFrame(crc), kTransfer);
  };

  Controller good(module("QM29A", CoprocessorKind::Crc32Decoder));
  Wire wg(good);
  EXPECT_FALSE(good.changed());
  EXPECT_EQ(transfer(good, wg, 150, payloadCrc), "O");
  EXPECT_EQ(good.decoderImage(), file);
  EXPECT_TRUE(good.changed());
  EXPECT_EQ(good.coprocessorVersion(), "2.00");
  EXPECT_FALSE(good.frameMode());

  // The usual CRC-32 (final inversion), one over the header too, or a wrong length: E, nothing
  // kept.
  const std::pair<uint32_t, uint32_t> wrong[] = {
      {150, payloadCrc ^ 0xFFFFFFFFu},
      {150, crc32Of(file)},
      {149, payloadCrc},
  };
  for (const auto& [length, crc] : wrong) {
    Controller c(module("QM29A", CoprocessorKind::Crc32Decoder));
    Wire w(c);
    EXPECT_EQ(transfer(c, w, length, crc), "E") << length << " " << crc;
    EXPECT_TRUE(c.decoderImage().empty());
    EXPECT_FALSE(c.changed());
    EXPECT_EQ(c.coprocessorVersion(), "1.00");
    EXPECT_FALSE(c.frameMode());
  }

  // A decoder has nothing to erase.
  Controller e(module("QM29A", CoprocessorKind::Crc32Decoder));
  Wire we(e);
  ASSERT_EQ(we.ask(modeFrame(0), kSlow), bytes({0xE0}));
  EXPECT_EQ(we.ask(kErase, kTransfer), kRefusedReply);
  EXPECT_EQ(e.fpgaErases(), 0u);
  // The length frame must be four bytes; until one is, no data is taken.
  EXPECT_EQ(we.ask(bytes({0x3A, 0xE1, 0x02, 0x00, 0x10}), kTransfer), kRefusedReply);
  EXPECT_FALSE(e.lengthFrame().has_value());
  EXPECT_EQ(e.dataBlocks(), 0u);
  EXPECT_EQ(we.ask(bytes({0x3A, 0xE1, 0x04}) + word(16), kTransfer), kTakenReply);
  EXPECT_EQ(e.lengthFrame(), 16u);
}

TEST(SimCoprocessor, Crc16DecoderInMode02) {
  Controller c(module("QM492", CoprocessorKind::Crc16Decoder));
  Wire w(c);
  const std::vector<uint8_t> img = image(100, 4);
  ASSERT_EQ(w.ask(modeFrame(2), kSlow), bytes({0xE0}));
  EXPECT_EQ(w.ask(kErase, kTransfer), kRefusedReply);
  // Every block is image data: no length frame first.
  EXPECT_EQ(sendBlocks(w, img, 64), times(kTakenReply, 2));
  EXPECT_FALSE(c.lengthFrame().has_value());
  EXPECT_TRUE(c.decoderImage().empty());
  EXPECT_EQ(w.ask(checkFrame(crc16Of(img)), kTransfer), "O");
  EXPECT_EQ(c.decoderImage(), img);
  EXPECT_TRUE(c.fpgaImage().empty());
  EXPECT_EQ(w.ask(bytes({0x14, 0x02}), kSlow), "Mv2.00          ");
  EXPECT_EQ(w.ask(bytes({0x14, 0x03}), kSlow), "Fv2.00          ");
}

TEST(SimCoprocessor, QdFpgaThroughTheModeRecordAt115200) {
  Profile p = module("QD21S", CoprocessorKind::None);
  p.protocol = Protocol::Record;
  p.fpga = {0x12, 0x34};
  p.fpgaAfterUpdate = {0x13, 0x00};
  p.versionAfterReset = {0x02, 0x01};
  p.resetSilenceMs = 500;
  Controller c(p);
  Wire w(c);
  const Line fast{115200};
  ASSERT_EQ(w.ask(":020000030403f4"), ":020000030403f4.\r\n>");
  EXPECT_EQ(w.ask(":0100000509F1", fast), ":0100000509F1" + bytes({0x12, 0x34}) + "\r\n>");
  EXPECT_EQ(w.ask(":0100000306f6", fast), ":0100000306f6.\r\n>");
  EXPECT_TRUE(c.frameMode());
  EXPECT_EQ(c.listening().baud, 115200u);
  // Frame replies are single raw bytes even in the record protocol.
  const std::vector<uint8_t> img = image(130, 5);
  EXPECT_EQ(w.ask(kErase, fast), bytes({0xE3}));
  EXPECT_EQ(sendBlocks(w, img, 64, 0, fast), times(kTakenReply, 3));
  EXPECT_EQ(w.ask(checkFrame(crc16Of(img)), fast), "O");
  EXPECT_EQ(c.fpgaImage(), img);
  EXPECT_EQ(c.fpgaVersion(), (std::array<uint8_t, 2>{0x13, 0x00}));
  EXPECT_EQ(c.coprocessorVersion(), "1.00");
  // Then the controller restarts as after a flash: silent for a while, back at 19200, with the
  // software version of a programming reset.
  EXPECT_FALSE(c.frameMode());
  EXPECT_EQ(c.listening().baud, 19200u);
  EXPECT_EQ(w.ask(":0100000509F1", fast), "");
  EXPECT_EQ(w.ask(":0100000509F1"), "");
  w.wait(500'000);
  EXPECT_EQ(w.ask(":0100000509F1", fast), "");
  EXPECT_EQ(w.ask(":0100000509F1"), ":0100000509F1" + bytes({0x13, 0x00}) + "\r\n>");
  EXPECT_EQ(w.ask(":050000090000000011e1\r\n").substr(21, 4), "0201");

  // The update mode of an FPGA module reaches the same FPGA (and does not restart the
  // controller after a good image).
  Controller f(module("QM23A", CoprocessorKind::Fpga));
  Wire wf(f);
  ASSERT_EQ(wf.ask(":0100000306f6"), ".");
  EXPECT_EQ(wf.ask(kErase), bytes({0xE3}));
  sendBlocks(wf, img, 64);
  EXPECT_EQ(wf.ask(checkFrame(crc16Of(img))), "O");
  EXPECT_EQ(f.fpgaImage(), img);
  EXPECT_EQ(wf.ask(modeFrame(0), kSlow), "");
  wf.wait(1'500'000);
  ASSERT_EQ(wf.ask(modeFrame(0), kSlow), bytes({0xE0}));
  EXPECT_EQ(wf.ask(dataFrame(img, 0, 64)), kTakenReply);
  EXPECT_EQ(f.fpgaImage(), img);  // written over without erase: bits already as wanted
  EXPECT_EQ(f.fpgaErases(), 1u);
}

TEST(SimCoprocessor, FrameModeEndsAtTrafficThatIsNoFrame) {
  Controller c(module("QD21S", CoprocessorKind::None));
  Wire w(c);
  // Data bytes are taken by position: a query inside a block is data.
  ASSERT_EQ(w.ask(":0100000306f6"), ".");
  const std::string query = ":0100000501f9";
  EXPECT_EQ(w.ask(bytes({0x3A, 0xE1, static_cast<int>(query.size())}) + query), kTakenReply);
  EXPECT_EQ(w.ask(bytes({0x3A, 0xE1, 4, 0x3A, 0xE3})), "");
  EXPECT_TRUE(c.frameInProgress());
  EXPECT_EQ(w.ask(bytes({0x3A, 0xE2})), kTakenReply);
  EXPECT_FALSE(c.frameInProgress());
  EXPECT_EQ(c.fpgaErases(), 0u);
  EXPECT_TRUE(c.frameMode());
  EXPECT_EQ(c.dataBlocks(), 2u);
  // The same query outside a frame is a query again.
  EXPECT_EQ(w.ask(query), "QD21S");
  EXPECT_FALSE(c.frameMode());

  // A 3A with an unknown command, or any other byte, hands both bytes back to the controller.
  ASSERT_EQ(w.ask(":0100000306f6"), ".");
  EXPECT_EQ(w.ask(bytes({0x3A, 0xE4})), "");
  EXPECT_FALSE(c.frameMode());
  EXPECT_EQ(w.ask(query), "QD21S");
  ASSERT_EQ(w.ask(":0100000306f6"), ".");
  EXPECT_EQ(w.ask("\r:0100000502f8"), bytes({0x03, 0x19}));

  // A tool going back to the service channel leaves the transfer too.
  Controller d(module("QM29A", CoprocessorKind::Crc32Decoder));
  Wire wd(d);
  ASSERT_EQ(wd.ask(modeFrame(0), kSlow), bytes({0xE0}));
  EXPECT_EQ(wd.ask(bytes({0x15, 0x01, 0x01}), kSlow), ".");
  EXPECT_FALSE(d.frameMode());
  EXPECT_EQ(wd.ask(":0100000501f9", kTransfer), "QM29A");
}

TEST(SimCoprocessorFaults, SilentCoprocessor) {
  Faults f;
  f.coprocessorSilent = true;
  Controller d(module("QM29A", CoprocessorKind::Crc32Decoder), f);
  Wire w(d);
  const std::vector<uint8_t> file = image(84, 6);
  EXPECT_EQ(w.ask(bytes({0x15, 0x20, 0x00}), kSlow), "");
  EXPECT_EQ(w.ask(bytes({0x15, 0x01, 0x01}), kSlow), ".");  // the controller itself answers
  EXPECT_EQ(w.ask(modeFrame(0), kSlow), bytes({0xE0}));
  EXPECT_EQ(w.ask(bytes({0x3A, 0xE1, 0x04}) + word(64), kTransfer), "");
  EXPECT_EQ(sendBlocks(w, file, 64), "");
  EXPECT_EQ(w.ask(checkFrame(crc32Of(file, 20)), kTransfer), "");
  EXPECT_FALSE(d.frameMode());
  EXPECT_TRUE(d.decoderImage().empty());
  EXPECT_EQ(d.dataBlocks(), 0u);
  EXPECT_EQ(w.ask(":0100000501f9", kTransfer), "QM29A");

  Controller q(module("QD21S", CoprocessorKind::None), f);
  Wire wq(q);
  EXPECT_EQ(wq.ask(":0100000509F1"), "");
  EXPECT_EQ(wq.ask(":0100000306f6"), ".");
  EXPECT_EQ(wq.ask(kErase), "");
  EXPECT_EQ(q.fpgaErases(), 0u);
}

TEST(SimCoprocessorFaults, RefusedBlockIsNotTaken) {
  Faults f;
  f.refuseBlock = 2;
  Controller c(module("QM29A", CoprocessorKind::Crc32Decoder), f);
  Wire w(c);
  const std::vector<uint8_t> file = image(20 + 100, 7);
  ASSERT_EQ(w.ask(modeFrame(0), kSlow), bytes({0xE0}));
  // The length frame does not count: the second image frame is the first payload block.
  EXPECT_EQ(w.ask(bytes({0x3A, 0xE1, 0x04}) + word(100), kTransfer), kTakenReply);
  EXPECT_EQ(w.ask(dataFrame(file, 0, 20), kTransfer), kTakenReply);
  EXPECT_EQ(w.ask(dataFrame(file, 20, 64), kTransfer), kRefusedReply);
  EXPECT_EQ(c.dataBlocks(), 1u);
  EXPECT_EQ(w.ask(dataFrame(file, 20, 64), kTransfer), kTakenReply);
  EXPECT_EQ(w.ask(dataFrame(file, 84, 36), kTransfer), kTakenReply);
  EXPECT_EQ(c.dataBlocks(), 3u);
  EXPECT_EQ(c.dataFrames(), 5u);
  EXPECT_EQ(w.ask(checkFrame(crc32Of(file, 20)), kTransfer), "O");
  EXPECT_EQ(c.decoderImage(), file);
  EXPECT_EQ(c.crcChecks(), 1u);
  EXPECT_TRUE(c.lastCheckGood());

  // A refused block left out spoils the image of an FPGA too.
  Controller g(module("QM23A", CoprocessorKind::Fpga), f);
  Wire wg(g);
  const std::vector<uint8_t> img = image(192, 8);
  ASSERT_EQ(wg.ask(modeFrame(0), kSlow), bytes({0xE0}));
  EXPECT_EQ(wg.ask(kErase), bytes({0xE3}));
  EXPECT_EQ(sendBlocks(wg, img, 64), kTakenReply + kRefusedReply + kTakenReply);
  EXPECT_EQ(wg.ask(checkFrame(crc16Of(img))), "E");
  EXPECT_EQ(g.fpgaImage().size(), 128u);
  EXPECT_FALSE(g.lastCheckGood());
}

TEST(SimCoprocessorFaults, WrongCrcKeepsTheOldImageAndVersion) {
  Faults f;
  f.wrongCrc = true;
  Profile p = module("QM40A", CoprocessorKind::Crc16Decoder);
  Controller c(p, f);
  Wire w(c);
  const std::vector<uint8_t> img = image(70, 9);
  ASSERT_EQ(w.ask(modeFrame(2), kSlow), bytes({0xE0}));
  EXPECT_EQ(sendBlocks(w, img, 64), times(kTakenReply, 2));
  EXPECT_EQ(w.ask(checkFrame(crc16Of(img))), "E");
  EXPECT_TRUE(c.decoderImage().empty());
  EXPECT_EQ(c.coprocessorVersion(), "1.00");
  EXPECT_FALSE(c.frameMode());

  Controller q(module("QD21S", CoprocessorKind::None), f);
  Wire wq(q);
  ASSERT_EQ(wq.ask(":0100000306f6"), ".");
  EXPECT_EQ(wq.ask(kErase), bytes({0xE3}));
  sendBlocks(wq, img, 64);
  EXPECT_EQ(wq.ask(checkFrame(crc16Of(img))), "E");
  EXPECT_EQ(q.fpgaVersion(), (std::array<uint8_t, 2>{0x00, 0x00}));
  // No new configuration, no restart: the controller answers at once.
  EXPECT_EQ(wq.ask(":0100000501f9"), "QD21S");
}

TEST(SimCoprocessorFaults, DeadAfterRestart) {
  // Without the fault the module answers again after its restart pause, with the fault never.
  for (const bool dead : {false, true}) {
    Faults f;
    f.deadAfterRestart = dead;
    Profile p = module("QM29A", CoprocessorKind::Crc32Decoder);
    p.resetSilenceMs = 100;
    Controller c(p, f);
    Wire w(c);
    EXPECT_EQ(w.ask(bytes({0x15, 0x01, 0x01}), kSlow), ".");  // before: alive
    w.ask(":021000030100ea");
    w.ask(dataRecord(0, {0x12}) + "\n");
    w.ask(":00000001FF\n");
    w.wait(200'000);
    EXPECT_EQ(w.ask(":0100000501f9"), dead ? "" : "QM29A") << dead;
    EXPECT_EQ(w.ask(bytes({0x15, 0x01, 0x01}), kSlow), dead ? "" : ".") << dead;
    EXPECT_EQ(w.ask(modeFrame(0), kSlow), dead ? "" : bytes({0xE0})) << dead;
  }

  // The reset frame is still answered, then nothing.
  Faults f;
  f.deadAfterRestart = true;
  Profile p;
  p.protocol = Protocol::Record;
  p.resetSilenceMs = 100;
  Controller r(p, f);
  Wire w(r);
  EXPECT_EQ(w.ask(":00000008f8\r\n").size(), 12u);
  w.wait(200'000);
  EXPECT_EQ(w.ask(":050000090000000010E2\r\n"), "");
}

TEST(SimCoprocessorFaults, UpdateModeRefusedThenAccepted) {
  Faults f;
  f.refuseUpdateMode = 2;
  Controller c(module("QM23A", CoprocessorKind::Fpga), f);
  Wire w(c);
  EXPECT_EQ(w.ask(modeFrame(0), kSlow), bytes({0xEE}));
  EXPECT_EQ(w.ask(modeFrame(0), kSlow), bytes({0xEE}));
  EXPECT_FALSE(c.frameMode());
  EXPECT_EQ(c.listening().baud, 19200u);
  EXPECT_EQ(w.ask(modeFrame(0), kSlow), bytes({0xE0}));
  EXPECT_TRUE(c.frameMode());
}

TEST(SimCoprocessorFaults, ReplyFaultsApplyToFrameReplies) {
  Faults f;
  f.extraBytes = 1;
  f.garbleReplyByte = 3;
  Controller c(module("QM23A", CoprocessorKind::Fpga), f);
  Wire w(c);
  EXPECT_EQ(w.ask(modeFrame(0), kSlow), bytes({0xE0, '~'}));
  const std::string erase = w.ask(kErase);
  ASSERT_EQ(erase.size(), 2u);
  EXPECT_NE(erase[0], '\xE3');
  EXPECT_EQ(erase[1], '~');

  Faults late;
  late.lateMs = 50;
  late.dropReplyByte = 2;
  Controller l(module("QD21S", CoprocessorKind::None), late);
  Wire wl(l);
  EXPECT_EQ(wl.ask(":0100000306f6"), ".");
  const uint64_t sent = wl.now;
  EXPECT_EQ(wl.ask(kErase), "");  // the second reply byte is lost
  EXPECT_EQ(wl.ask(kErase), bytes({0xE3}));
  EXPECT_GE(wl.now - sent, 50'000u);
}

TEST(SimCoprocessorFaults, FaultWords) {
  Faults f;
  EXPECT_EQ(parseFault("coproc-silent", f), 1);
  EXPECT_TRUE(f.coprocessorSilent);
  EXPECT_EQ(parseFault("block-refuse=3", f), 1);
  EXPECT_EQ(f.refuseBlock, 3u);
  EXPECT_EQ(parseFault("crc-wrong", f), 1);
  EXPECT_TRUE(f.wrongCrc);
  EXPECT_EQ(parseFault("dead-after-restart", f), 1);
  EXPECT_TRUE(f.deadAfterRestart);
  EXPECT_EQ(parseFault("mode-refuse=2", f), 1);
  EXPECT_EQ(f.refuseUpdateMode, 2u);
  EXPECT_EQ(parseFault("block-refuse=0", f), 0);
  EXPECT_EQ(parseFault("block-refuse", f), 0);
  EXPECT_EQ(parseFault("mode-refuse=x", f), 0);
  EXPECT_EQ(parseFault("crc-wrong=1", f), 0);
  EXPECT_EQ(parseFault("coproc-silent=yes", f), 0);
  for (std::string_view w :
       {"coproc-silent", "block-refuse=N", "crc-wrong", "dead-after-restart", "mode-refuse=N"}) {
    EXPECT_NE(faultHelp().find(w), std::string_view::npos) << w;
  }
}

}  // namespace
}  // namespace qdqm::sim
