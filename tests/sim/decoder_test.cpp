#include "sim/decoder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/controller.h"
#include "sim/coprocessor.h"
#include "tests/sim/wire.h"

namespace qdqm::sim {
namespace {

using testing::bytes;
using testing::Wire;

const std::string kMpegMode = ":0100000302fa";
const Line kController{19200};
const Line kSwid{19200};
const Line kVers{9600, Parity::Even};
const Line kApplication{9600};
const Line kBootLoader{57600};

Profile decoderModule(std::string type, DecoderKind kind) {
  Profile p;
  p.type = std::move(type);
  p.decoder = kind;
  return p;
}

std::string text(const std::vector<uint8_t>& v) {
  return std::string(v.begin(), v.end());
}

// Bytes with every value in them; frame and command bytes (02, 03, 0D, 55, "swid\r", "VERS",
// "###00@@") included.
std::string image(size_t n, unsigned seed) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i * 151 + seed * 7 + (i >> 3)));
  const std::string inserts[] = {
      "UU\r", "swid\r",  "boot\r", "VERS",
      "REST", "###00@@", "DDDD",   bytes({0x02, 0x53, 0x00, 0x01, 0x42})};
  size_t at = 1;
  for (const std::string& insert : inserts) {
    if (at + insert.size() > n) break;
    s.replace(at, insert.size(), insert);
    at += insert.size() + 13;
  }
  return s;
}

std::string word(uint32_t v) {
  return bytes({static_cast<int>(v >> 24), static_cast<int>((v >> 16) & 0xFF),
                static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF)});
}

uint32_t crc32Of(std::string_view s) {
  return crc32(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

// The texts of a reply run, split where the line went quiet, each with the time its first byte
// began leaving and its last byte was out.
struct Text {
  std::string text;
  uint64_t startUs = 0;
  uint64_t endUs = 0;
};
std::vector<Text> texts(const std::vector<Emission>& out) {
  std::vector<Text> t;
  for (const Emission& e : out) {
    const uint64_t start = e.doneUs - byteTimeUs(e.line);
    if (t.empty() || start > t.back().endUs) t.push_back(Text{{}, start, e.doneUs});
    t.back().text.push_back(static_cast<char>(e.byte));
    t.back().endUs = e.doneUs;
  }
  return t;
}

std::vector<std::string> words(const std::vector<Text>& t) {
  std::vector<std::string> w;
  for (const Text& x : t) w.push_back(x.text);
  return w;
}

TEST(SimDecoder, DefaultDecoderByModuleType) {
  EXPECT_EQ(defaultDecoder("QD29E"), DecoderKind::Swid);
  EXPECT_EQ(defaultDecoder("QD2xA"), DecoderKind::Swid);
  EXPECT_EQ(defaultDecoder("QD20A"), DecoderKind::Swid);
  EXPECT_EQ(defaultDecoder("QD20B"), DecoderKind::Vers);
  EXPECT_EQ(defaultDecoder("QD20"), DecoderKind::Vers);
  EXPECT_EQ(defaultDecoder("QD22A"), DecoderKind::Vers);
  EXPECT_EQ(defaultDecoder("QD24S"), DecoderKind::Vers);
  EXPECT_EQ(defaultDecoder("QD292"), DecoderKind::Vers);
  EXPECT_EQ(defaultDecoder("QD29A"), DecoderKind::BootLoader);
  EXPECT_EQ(defaultDecoder("QD09A"), DecoderKind::BootLoader);
  EXPECT_EQ(defaultDecoder("QD21S"), DecoderKind::None);
  EXPECT_EQ(defaultDecoder("QM29A"), DecoderKind::None);
  EXPECT_EQ(defaultDecoder("QD2"), DecoderKind::None);
  EXPECT_EQ(defaultDecoderVersion(DecoderKind::Swid, false), "1.05");
  EXPECT_EQ(defaultDecoderVersion(DecoderKind::Swid, true), "2.01");
  EXPECT_EQ(defaultDecoderVersion(DecoderKind::Vers, false), "V1.05");
  EXPECT_EQ(defaultDecoderVersion(DecoderKind::Vers, true), "V2.01");
  EXPECT_EQ(defaultDecoderVersion(DecoderKind::BootLoader, false), "v100");
  EXPECT_EQ(defaultDecoderVersion(DecoderKind::BootLoader, true), "v201");
  EXPECT_EQ(defaultDecoderVersion(DecoderKind::None, false), "");
}

TEST(SimDecoder, WithoutDecoderTheMpegRecordIsOnlyAcknowledged) {
  for (const Protocol protocol : {Protocol::Raw, Protocol::Record}) {
    Profile p = decoderModule("QD29E", DecoderKind::None);
    p.protocol = protocol;
    Controller c(p);
    Wire w(c);
    const bool record = protocol == Protocol::Record;
    EXPECT_EQ(w.ask(kMpegMode), record ? kMpegMode + ".\r\n>" : ".");
    EXPECT_FALSE(c.decoderRouted());
    EXPECT_EQ(c.listening(), kController);
    EXPECT_EQ(w.ask(":0100000501f9").substr(record ? 13 : 0, 5), "QD29E");
  }
}

TEST(SimDecoder, TheRoutedLineBelongsToTheDecoder) {
  Profile p = decoderModule("QD29E", DecoderKind::Swid);
  p.protocol = Protocol::Record;
  Controller c(p);
  Wire w(c);
  // Acknowledged by the controller at its own rate, in its own protocol.
  ASSERT_EQ(w.ask(":020000030403f4"), ":020000030403f4.\r\n>");
  EXPECT_EQ(c.listening().baud, 115200u);
  EXPECT_FALSE(c.decoderRouted());
  EXPECT_EQ(w.ask(kMpegMode, Line{115200}), kMpegMode + ".\r\n>");
  EXPECT_TRUE(c.decoderRouted());
  EXPECT_EQ(c.listening(), kSwid);
  // The controller hears nothing any more, the service channel included.
  EXPECT_EQ(w.ask(":050000090000000010E2\r\n", Line{115200}), "");
  EXPECT_EQ(w.ask(":050000090000000010E2\r\n", kSwid), "");
  EXPECT_EQ(w.ask(bytes({0x15, 0x01, 0x01}), Line{2400}), "");
  EXPECT_EQ(w.ask(kMpegMode, kSwid), "");
  EXPECT_EQ(w.ask("name\r", kSwid), "MPG2");

  // A VERS decoder listens with even parity; listening() says so.
  Controller v(decoderModule("QD22A", DecoderKind::Vers));
  Wire wv(v);
  ASSERT_EQ(wv.ask(kMpegMode), ".");
  EXPECT_EQ(v.listening(), kVers);
  Controller b(decoderModule("QD09A", DecoderKind::BootLoader));
  Wire wb(b);
  ASSERT_EQ(wb.ask(kMpegMode), ".");
  EXPECT_EQ(b.listening(), kApplication);
}

TEST(SimDecoder, ARoutedDecoderIsTheModulesDecoderFlash) {
  // Configured with both, the routed decoder's flash is the one reported.
  Profile p = decoderModule("QD29E", DecoderKind::Swid);
  p.coprocessor = CoprocessorKind::Crc32Decoder;
  Controller c(p);
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".");
  w.ask("boot\r" + std::string(10, 'U') + "abc");
  EXPECT_EQ(text(c.decoderImage()), "abc");
}

TEST(SimDecoderFaults, ReplyFaultsApplyToDecoderReplies) {
  Faults f;
  f.lateMs = 50;
  f.extraBytes = 1;
  f.dropReplyByte = 3;  // the controller's acknowledgement is the first reply byte
  Controller c(decoderModule("QD29E", DecoderKind::Swid), f);
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".~");
  const uint64_t asked = w.now + 5 * byteTimeUs(kSwid);
  const std::vector<Emission> out = w.exchange("name\r", kSwid);
  ASSERT_EQ(out.size(), 4u);  // P, G, 2, ~ (M, the third reply byte of the run, dropped)
  EXPECT_EQ(texts(out)[0].text, "PG2~");
  EXPECT_EQ(out[0].doneUs, asked + 50'000 + byteTimeUs(kSwid));

  Faults g;
  g.garbleReplyByte = 2;
  Controller d(decoderModule("QD29E", DecoderKind::Swid), g);
  Wire wd(d);
  ASSERT_EQ(wd.ask(kMpegMode), ".");
  const std::string name = wd.ask("name\r", kSwid);
  ASSERT_EQ(name.size(), 4u);
  EXPECT_NE(name[0], 'M');
  EXPECT_EQ(name.substr(1), "PG2");
}

TEST(SimDecoderFaults, FaultWords) {
  Faults f;
  EXPECT_EQ(parseFault("decoder-silent", f), 1);
  EXPECT_TRUE(f.decoderSilent);
  EXPECT_EQ(parseFault("bootmode-silent", f), 1);
  EXPECT_TRUE(f.bootModeSilent);
  EXPECT_EQ(parseFault("ramload-refuse=2", f), 1);
  EXPECT_EQ(f.refuseRamLoad, 2u);
  EXPECT_EQ(parseFault("flashwrite-refuse", f), 1);
  EXPECT_TRUE(f.refuseFlashWrite);
  EXPECT_EQ(parseFault("no-programming", f), 1);
  EXPECT_TRUE(f.noProgramming);
  EXPECT_EQ(parseFault("new-code-not-running", f), 1);
  EXPECT_TRUE(f.newCodeNotRunning);
  EXPECT_EQ(parseFault("ramload-refuse=0", f), 0);
  EXPECT_EQ(parseFault("ramload-refuse", f), 0);
  EXPECT_EQ(parseFault("decoder-silent=1", f), 0);
  EXPECT_EQ(parseFault("no-programming=yes", f), 0);
  EXPECT_EQ(parseFault("bootmode", f), 0);
  for (std::string_view w : {"decoder-silent", "bootmode-silent", "ramload-refuse=N",
                             "flashwrite-refuse", "no-programming", "new-code-not-running"}) {
    EXPECT_NE(faultHelp().find(w), std::string_view::npos) << w;
  }
}

TEST(SimDecoderFaults, SilentDecoder) {
  Faults f;
  f.decoderSilent = true;
  for (const DecoderKind kind : {DecoderKind::Swid, DecoderKind::Vers, DecoderKind::BootLoader}) {
    Controller c(decoderModule("QD29E", kind), f);
    Wire w(c);
    EXPECT_EQ(w.ask(kMpegMode), ".");
    EXPECT_TRUE(c.decoderRouted());
    EXPECT_EQ(w.ask("swid\r", kSwid), "");
    EXPECT_EQ(w.ask("VERS", kVers), "");
    EXPECT_EQ(w.ask("REST", kVers), "");
    EXPECT_EQ(w.ask(bytes({0x02, 0x53, 0x00, 0x01, 0x56}), kApplication), "");
    EXPECT_EQ(w.ask(kMpegMode), "");
    EXPECT_TRUE(c.decoder().transfers().empty());
  }
}

// swid ------------------------------------------------------------------------------------------

TEST(SimSwidDecoder, AnswersNameAndSwidAt19200Only) {
  Profile p = decoderModule("QD29E", DecoderKind::Swid);
  p.decoderVersion = "1.23";
  Controller c(p);
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".");
  EXPECT_EQ(w.ask("name\r", kSwid), "MPG2");
  const std::string swid = w.ask("swid\r", kSwid);
  EXPECT_EQ(swid, "V1.23 MPEG decoder ");
  EXPECT_EQ(swid.size(), 19u);
  // Recognised at the end of what arrived; case and line end count.
  EXPECT_EQ(w.ask("xx swid\r", kSwid), swid);
  EXPECT_EQ(w.ask("SWID\r", kSwid), "");
  EXPECT_EQ(w.ask("swid\n", kSwid), "");
  EXPECT_EQ(w.ask("name", kSwid), "");
  EXPECT_EQ(w.ask("\r", kSwid), "MPG2");
  // At another rate or with parity the bytes arrive garbled.
  EXPECT_EQ(w.ask("swid\r", Line{9600}), "");
  EXPECT_EQ(w.ask("swid\r", Line{19200, Parity::Even}), "");
  EXPECT_EQ(w.ask("swid\r", Line{38400}), "");
  // Answers leave at once, at 19200.
  const uint64_t asked = w.now + 5 * byteTimeUs(kSwid);
  const std::vector<Emission> out = w.exchange("name\r", kSwid);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].line, kSwid);
  EXPECT_EQ(out[0].doneUs, asked + byteTimeUs(kSwid));
}

TEST(SimSwidDecoder, ImageAfterTheSyncBurstThenRestartWithTheNewVersion) {
  Controller c(decoderModule("QD29E", DecoderKind::Swid));
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".");
  EXPECT_EQ(w.ask("swid\r", kSwid), "V1.05 MPEG decoder ");
  EXPECT_EQ(w.ask("boot\r", kSwid), "");
  EXPECT_TRUE(c.decoder().updating());
  for (int i = 0; i < 10; ++i) {
    w.wait(50'000);
    EXPECT_EQ(w.ask("U", kSwid), "");
  }
  // An image that starts with 55 and holds 0D and the commands: all of it data.
  const std::string img = std::string("\x55\x0d", 2) + image(598, 1);
  ASSERT_EQ(img.size(), 600u);
  w.wait(50'000);
  const uint64_t first = w.now;
  EXPECT_EQ(w.ask(img.substr(0, 300), kSwid), "");
  // Read while it arrives: what came so far.
  EXPECT_EQ(text(c.decoderImage()), img.substr(0, 300));
  ASSERT_EQ(c.decoder().transfers().size(), 1u);
  EXPECT_FALSE(c.decoder().transfers()[0].ended);
  // A pause below a second is still inside the image.
  w.wait(999'000);
  EXPECT_EQ(w.ask(img.substr(300), kSwid), "");
  const uint64_t last = w.now;
  EXPECT_EQ(text(c.decoderImage()), img);
  EXPECT_TRUE(c.decoder().updating());

  // A byte a second after the last one: the image had ended; the decoder restarts and answers
  // nothing for 3 s after the last image byte.
  w.wait(1'000'000);
  EXPECT_EQ(w.ask("swid\r", kSwid), "");
  EXPECT_FALSE(c.decoder().updating());
  EXPECT_EQ(text(c.decoderImage()), img);
  const Decoder::Transfer& t = c.decoder().transfers().at(0);
  EXPECT_TRUE(t.ended);
  EXPECT_TRUE(t.ok);
  EXPECT_EQ(t.startUs, first);
  EXPECT_EQ(t.endUs, last);
  EXPECT_EQ(t.bytesIn, 600u);
  EXPECT_EQ(t.bytesOut, 0u);
  EXPECT_NEAR(t.wireUs, 600 * 10 * 1e6 / 19200, 1);
  w.now = last + 2'990'000;
  EXPECT_EQ(w.ask("swid\r", kSwid), "");
  w.now = last + 3'000'000;
  EXPECT_EQ(w.ask("swid\r", kSwid), "V2.01 MPEG decoder ");
  EXPECT_EQ(c.decoder().version(), "2.01");
  EXPECT_EQ(c.decoder().transfers().size(), 1u);
}

TEST(SimSwidDecoder, ExactlyTenSyncBytes) {
  const std::string img = "U-image";
  // Nine: the image's first U completes the burst; eleven: one U is data.
  const std::pair<int, std::string> cases[] = {{9, "-image"}, {10, "U-image"}, {11, "UU-image"}};
  for (const auto& [n, want] : cases) {
    Controller c(decoderModule("QD29E", DecoderKind::Swid));
    Wire w(c);
    ASSERT_EQ(w.ask(kMpegMode), ".");
    w.ask("boot\r", kSwid);
    w.ask(std::string(static_cast<size_t>(n), 'U'), kSwid);
    w.ask(img, kSwid);
    EXPECT_EQ(text(c.decoderImage()), want) << n;
  }
  // Other bytes in the burst are not counted.
  Controller c(decoderModule("QD29E", DecoderKind::Swid));
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".");
  w.ask("boot\r" + std::string(5, 'U') + "\r\r" + std::string(5, 'U') + img, kSwid);
  EXPECT_EQ(text(c.decoderImage()), img);
}

TEST(SimSwidDecoder, RestartTimeAndPowerOff) {
  Profile p = decoderModule("QD20A", DecoderKind::Swid);
  p.decoderRestartMs = 1500;
  p.decoderVersionAfter = "3.00";
  Controller c(p);
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".");
  w.ask("boot\r" + std::string(10, 'U') + "image", kSwid);
  const uint64_t last = w.now;
  w.now = last + 1'000'000;
  EXPECT_EQ(w.ask("swid\r", kSwid), "");
  w.now = last + 1'500'000;
  EXPECT_EQ(w.ask("swid\r", kSwid), "V3.00 MPEG decoder ");

  // Switched off while the image arrives: the image counts as complete.
  Controller d(decoderModule("QD29E", DecoderKind::Swid));
  Wire wd(d);
  ASSERT_EQ(wd.ask(kMpegMode), ".");
  wd.ask("boot\r" + std::string(10, 'U') + "image", kSwid);
  ASSERT_EQ(d.decoder().transfers().size(), 1u);
  EXPECT_FALSE(d.decoder().transfers()[0].ended);
  d.powerOff();
  EXPECT_TRUE(d.decoder().transfers()[0].ended);
  EXPECT_EQ(d.decoder().transfers()[0].bytesIn, 5u);
  EXPECT_FALSE(d.decoder().updating());
  EXPECT_EQ(text(d.decoderImage()), "image");
}

TEST(SimSwidDecoder, NewCodeNotRunningKeepsTheOldVersion) {
  Faults f;
  f.newCodeNotRunning = true;
  Controller c(decoderModule("QD29E", DecoderKind::Swid), f);
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".");
  const std::string img = image(200, 2);
  w.ask("boot\r" + std::string(10, 'U') + img, kSwid);
  w.wait(3'000'000);
  EXPECT_EQ(w.ask("swid\r", kSwid), "V1.05 MPEG decoder ");
  EXPECT_EQ(text(c.decoderImage()), img);
  EXPECT_TRUE(c.decoder().transfers().at(0).ok);
}

// VERS ------------------------------------------------------------------------------------------

// The 20-byte header, then the payload.
std::string versTransfer(const std::string& header, const std::string& payload, uint32_t crc) {
  return word(static_cast<uint32_t>(payload.size())) + header + payload + word(crc);
}

void toLoader(Wire& w) {
  ASSERT_EQ(w.ask("REST", kVers), "\r\nLoader\r\n");
  ASSERT_EQ(w.ask("DDDD", kVers), "Waiting");
  ASSERT_EQ(w.ask("###00@@", kVers), "ACK ");
}

TEST(SimVersDecoder, CommandsAt9600EvenParityOnly) {
  Controller c(decoderModule("QD22A", DecoderKind::Vers));
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".");
  EXPECT_EQ(w.ask("VERS", kVers), "Version: V1.05\r\n");
  EXPECT_EQ(w.ask("xVERS", kVers), "Version: V1.05\r\n");
  EXPECT_EQ(w.ask("vers", kVers), "");
  EXPECT_EQ(w.ask("VERS", Line{9600}), "");
  EXPECT_EQ(w.ask("VERS", Line{9600, Parity::Odd}), "");
  EXPECT_EQ(w.ask("VERS", Line{19200, Parity::Even}), "");
  const std::vector<Emission> out = w.exchange("VERS", kVers);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out[0].line, kVers);
  EXPECT_EQ(byteTimeUs(kVers), 11'000'000u / 9600);
  EXPECT_DOUBLE_EQ(byteTimeNs(kVers), 11e9 / 9600);
  EXPECT_DOUBLE_EQ(byteTimeNs(Line{9600}), 10e9 / 9600);
  EXPECT_EQ(byteTimeNs(Line{0, Parity::Even}), 0.0);

  // The loader: the four D may come with other bytes between them; it answers nothing else.
  EXPECT_EQ(w.ask("REST", kVers), "\r\nLoader\r\n");
  EXPECT_EQ(w.ask("VERS", kVers), "");
  EXPECT_EQ(w.ask("DxD", kVers), "");
  EXPECT_EQ(w.ask("D", Line{9600}), "");  // garbled: no D
  EXPECT_EQ(w.ask("D", kVers), "");
  EXPECT_TRUE(c.decoder().updating());
  EXPECT_EQ(w.ask("D", kVers), "Waiting");
  EXPECT_EQ(w.ask("###00@", kVers), "");
  EXPECT_EQ(w.ask("@", kVers), "ACK ");
}

TEST(SimVersDecoder, WholeTransferReportsItsProgressInTime) {
  Controller c(decoderModule("QD292", DecoderKind::Vers));
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".");
  toLoader(w);
  const std::string header = image(20, 3), payload = image(300, 4);
  const std::string frame = versTransfer(header, payload, crc32Of(payload));
  const uint64_t bt = byteTimeUs(kVers);
  const uint64_t start = w.now, last = w.now + frame.size() * bt;
  const std::vector<Text> t = texts(w.exchange(frame, kVers));
  ASSERT_EQ(words(t), (std::vector<std::string>{"Data Ok", "Programming", "Programmed",
                                                "Running 'Code  1'", "MODULE"}));
  // Each text so long after the previous one is out.
  EXPECT_EQ(t[0].startUs, last);
  EXPECT_EQ(t[0].endUs, last + 7 * bt);
  EXPECT_EQ(t[1].startUs, t[0].endUs + 200'000);
  EXPECT_EQ(t[2].startUs, t[1].endUs + 1'000'000);
  EXPECT_EQ(t[3].startUs, t[2].endUs + 500'000);
  EXPECT_EQ(t[4].startUs, t[3].endUs + 500'000);
  EXPECT_EQ(text(c.decoderImage()), header + payload);
  EXPECT_EQ(w.ask("VERS", kVers), "Version: V2.01\r\n");
  EXPECT_FALSE(c.decoder().updating());

  // The transfer: length frame to the end of Data Ok, at 11 bits a byte.
  ASSERT_EQ(c.decoder().transfers().size(), 1u);
  const Decoder::Transfer& r = c.decoder().transfers()[0];
  EXPECT_TRUE(r.ended);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.startUs, start);
  EXPECT_EQ(r.endUs, last + 7 * bt);
  EXPECT_EQ(r.bytesIn, 4u + 20 + 300 + 4);
  EXPECT_EQ(r.bytesOut, 7u);
  EXPECT_NEAR(r.wireUs, (328 + 7) * 11 * 1e6 / 9600, 1);

  // Updated again from the new application.
  toLoader(w);
  const std::string again = image(64, 5);
  EXPECT_EQ(words(texts(w.exchange(versTransfer(header, again, crc32Of(again)), kVers))).size(),
            5u);
  EXPECT_EQ(text(c.decoderImage()), header + again);
  EXPECT_EQ(c.decoder().transfers().size(), 2u);
}

TEST(SimVersDecoder, HeaderOnlyImage) {
  Controller c(decoderModule("QD24A", DecoderKind::Vers));
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".");
  toLoader(w);
  const std::string header = image(20, 6);
  EXPECT_EQ(crc32Of(""), 0xFFFFFFFFu);
  const std::vector<Text> t = texts(w.exchange(versTransfer(header, "", 0xFFFFFFFF), kVers));
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[0].text, "Data Ok");
  EXPECT_EQ(text(c.decoderImage()), header);
}

TEST(SimVersDecoder, WrongCrcBackToTheLoader) {
  Controller c(decoderModule("QD22A", DecoderKind::Vers));
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".");
  const std::string header = image(20, 7), payload = image(100, 8);
  const uint32_t right = crc32Of(payload);
  // With final inversion, over the header too, or a byte short: CRC Error and nothing more.
  const std::string wrong[] = {
      versTransfer(header, payload, right ^ 0xFFFFFFFF),
      versTransfer(header, payload, crc32Of(header + payload)),
      versTransfer(header, payload.substr(1), right),
  };
  toLoader(w);
  for (const std::string& frame : wrong) {
    EXPECT_EQ(words(texts(w.exchange(frame, kVers))), std::vector<std::string>{"CRC Error"});
    w.wait(5'000'000);
    EXPECT_EQ(w.ask("VERS", kVers), "");
    EXPECT_TRUE(c.decoderImage().empty());
    EXPECT_FALSE(c.decoder().transfers().back().ok);
    EXPECT_TRUE(c.decoder().transfers().back().ended);
    EXPECT_EQ(c.decoder().transfers().back().bytesOut, 9u);
    // Back to waiting for the start of a transfer.
    EXPECT_EQ(w.ask("###00@@", kVers), "ACK ");
  }
  EXPECT_EQ(texts(w.exchange(versTransfer(header, payload, right), kVers)).size(), 5u);
  EXPECT_EQ(text(c.decoderImage()), header + payload);
  EXPECT_EQ(c.decoder().transfers().size(), 4u);
}

TEST(SimVersDecoderFaults, CrcWrongNoProgrammingNewCodeNotRunning) {
  const std::string header = image(20, 9), payload = image(50, 10);
  const std::string frame = versTransfer(header, payload, crc32Of(payload));
  struct Case {
    const char* fault;
    std::vector<std::string> texts;
    bool kept;      // the flash holds the image
    bool inLoader;  // back in the loader (else hanging)
  };
  const Case cases[] = {
      {"crc-wrong", {"CRC Error"}, false, true},
      {"no-programming", {"Data Ok"}, false, false},
      {"new-code-not-running", {"Data Ok", "Programming", "Programmed"}, true, false},
  };
  for (const Case& k : cases) {
    Faults f;
    ASSERT_EQ(parseFault(k.fault, f), 1);
    Controller c(decoderModule("QD22A", DecoderKind::Vers), f);
    Wire w(c);
    ASSERT_EQ(w.ask(kMpegMode), ".");
    toLoader(w);
    EXPECT_EQ(words(texts(w.exchange(frame, kVers))), k.texts) << k.fault;
    EXPECT_EQ(text(c.decoderImage()), k.kept ? header + payload : "") << k.fault;
    EXPECT_EQ(c.decoder().version(), "V1.05") << k.fault;
    w.wait(5'000'000);
    EXPECT_EQ(w.ask("###00@@", kVers), k.inLoader ? "ACK " : "") << k.fault;
    EXPECT_EQ(w.ask("VERS", kVers), "") << k.fault;
  }
}

// The boot-loader decoder ----------------------------------------------------------------------

std::string textFrame(char command, std::string_view payload) {
  return bytes({0x02, command, 0x00, static_cast<int>(payload.size())}) + std::string(payload);
}

std::string reply(std::string_view s) {
  return bytes({0x02, 0x54, static_cast<int>(s.size() >> 8), static_cast<int>(s.size() & 0xFF)}) +
         std::string(s);
}

std::string loadFrame(std::string_view data, int last = 0x00) {
  return bytes({0x03, 0x4D, static_cast<int>(data.size() >> 8),
                static_cast<int>(data.size() & 0xFF), 0x2E, 0x1C, 0x00, last}) +
         std::string(data);
}

std::string hex(uint32_t v, int digits = 0) {
  char s[16];
  std::snprintf(s, sizeof s, "%0*x", digits, v);
  return s;
}

std::string eraseFrame(uint32_t length) {
  return textFrame('F', "E0x2c020000, 0x" + hex(length));
}

std::string writeFrame(uint32_t address, uint32_t length) {
  return textFrame('F', "W0x" + hex(address, 8) + ", 0x0000" + hex(length));
}

std::string loaded(size_t n) {
  return reply("Prog loaded in RAM Start: 0x10000000 Length: 0x" + hex(static_cast<uint32_t>(n)));
}

std::string written(uint32_t address, uint32_t n) {
  return reply("FLM:: Write Flash from 0x" + hex(address, 8) + " to 0x" + hex(address + n, 8));
}

const std::string kVersionQuery = textFrame('S', "V");
const std::string kBootRequest = textFrame('S', "B");
const std::string kWriteError = reply("FLM:: Write error");

// Routed (if not yet) and in its boot loader.
void toBootLoader(Controller& c, Wire& w) {
  if (!c.decoderRouted()) {
    ASSERT_EQ(w.ask(kMpegMode), ".");
  }
  ASSERT_EQ(w.ask(kBootRequest, kApplication), "");
  ASSERT_EQ(c.listening(), kBootLoader);
}

TEST(SimBootLoaderDecoder, VersionQueryAndBootRequest) {
  Controller c(decoderModule("QD09A", DecoderKind::BootLoader));
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".");
  EXPECT_EQ(kVersionQuery, bytes({0x02, 0x53, 0x00, 0x01, 0x56}));
  EXPECT_EQ(kBootRequest, bytes({0x02, 0x53, 0x00, 0x01, 0x42}));
  EXPECT_EQ(w.ask(kVersionQuery, kApplication), bytes({0x02, 0x54, 0x00, 0x0D}) + "Version: v100");
  // Bytes before a frame are no frame; at the loader's rate the application hears garble.
  EXPECT_EQ(w.ask("xy" + kVersionQuery, kApplication), reply("Version: v100"));
  EXPECT_EQ(w.ask(kVersionQuery, kBootLoader), "");
  EXPECT_EQ(w.ask(kBootRequest, kBootLoader), "");
  EXPECT_EQ(c.listening(), kApplication);
  EXPECT_FALSE(c.decoder().updating());
  // The boot request: no answer at 9600, the boot loader listens at 57600 from now on.
  EXPECT_EQ(w.ask(kBootRequest, kApplication), "");
  EXPECT_EQ(c.listening(), kBootLoader);
  EXPECT_TRUE(c.decoder().updating());
  EXPECT_EQ(w.ask(kBootRequest, kApplication), "");
  EXPECT_EQ(w.ask(kVersionQuery, kBootLoader), "");
  const uint64_t asked = w.now + kBootRequest.size() * byteTimeUs(kBootLoader);
  const std::vector<Emission> out = w.exchange(kBootRequest, kBootLoader);
  std::string got;
  for (const Emission& e : out) got.push_back(static_cast<char>(e.byte));
  EXPECT_EQ(got, reply("BTL:: BootLoader Version: 0.90"));
  // No processing time: the answer follows the frame's last byte at once, at 57600.
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out[0].line, kBootLoader);
  EXPECT_EQ(out[0].doneUs, asked + byteTimeUs(kBootLoader));

  Profile p = decoderModule("QD29A", DecoderKind::BootLoader);
  p.decoderVersion = "v105";
  p.bootLoaderText = "1.02";
  Controller d(p);
  Wire wd(d);
  ASSERT_EQ(wd.ask(kMpegMode), ".");
  EXPECT_EQ(wd.ask(kVersionQuery, kApplication), reply("Version: v105"));
  EXPECT_EQ(wd.ask(kBootRequest, kApplication), "");
  EXPECT_EQ(wd.ask(kBootRequest, kBootLoader), reply("BTL:: BootLoader Version: 1.02"));
}

TEST(SimBootLoaderDecoder, EraseTextIsCheckedToTheLetter) {
  Controller c(decoderModule("QD09A", DecoderKind::BootLoader));
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".");
  // The application does not erase.
  EXPECT_EQ(w.ask(eraseFrame(0x2710), kApplication), "");
  toBootLoader(c, w);
  EXPECT_EQ(eraseFrame(0x2710), bytes({0x02, 0x46, 0x00, 19}) + "E0x2c020000, 0x2710");
  EXPECT_EQ(w.ask(eraseFrame(0x2710), kBootLoader),
            reply("FLM:: Erase Flash from: 0x2c020000 to 0x2c022710"));
  EXPECT_EQ(w.ask(eraseFrame(0x3E0000), kBootLoader),
            reply("FLM:: Erase Flash from: 0x2c020000 to 0x2c400000"));
  const std::string eraseError = reply("FLM:: Erase error");
  for (std::string_view bad :
       {"E0x2C020000, 0x2710", "E0x2c020000, 0x2710 ", "E0x2c020000, 0x02710",
        "E0x2c020000, 0x27A0", "E0x2c020000, 0x", "E0x2c020000,0x2710", "E0x2c030000, 0x2710",
        "E0x2c020000, 0x0", "E0x2c020000, 0x3e0001", "E"}) {
    EXPECT_EQ(w.ask(textFrame('F', bad), kBootLoader), eraseError) << bad;
  }
}

TEST(SimBootLoaderDecoder, ImageInThreeBlocks) {
  Controller c(decoderModule("QD29A", DecoderKind::BootLoader));
  Wire w(c);
  toBootLoader(c, w);
  const std::string img = image(10000, 11);
  ASSERT_EQ(w.ask(eraseFrame(10000), kBootLoader),
            reply("FLM:: Erase Flash from: 0x2c020000 to 0x2c022710"));
  EXPECT_TRUE(c.decoder().transfers().empty());
  const uint64_t start = w.now;
  uint64_t in = 0, out = 0;
  const std::pair<uint32_t, uint32_t> blocks[] = {
      {0x2C020000, 4064}, {0x2C020FE0, 4064}, {0x2C021FC0, 1872}};
  for (const auto& [address, n] : blocks) {
    const std::string data = img.substr(address - 0x2C020000, n);
    const std::string load = loadFrame(data), write = writeFrame(address, n);
    EXPECT_EQ(w.ask(load, kBootLoader), loaded(n));
    EXPECT_EQ(w.ask(write, kBootLoader), written(address, n));
    in += load.size() + write.size();
    out += loaded(n).size() + written(address, n).size();
  }
  EXPECT_EQ(loaded(1872), reply("Prog loaded in RAM Start: 0x10000000 Length: 0x750"));
  EXPECT_EQ(written(0x2C021FC0, 1872), reply("FLM:: Write Flash from 0x2c021fc0 to 0x2c022710"));
  EXPECT_EQ(writeFrame(0x2C020FE0, 4064), textFrame('F', "W0x2c020fe0, 0x0000fe0"));
  EXPECT_EQ(text(c.decoderImage()), img);

  // The transfer runs from the first load to the last write's reply; the next boot request
  // closes it.
  const uint64_t end = w.now;
  ASSERT_EQ(c.decoder().transfers().size(), 1u);
  EXPECT_FALSE(c.decoder().transfers()[0].ended);
  EXPECT_EQ(w.ask(kBootRequest, kBootLoader), reply("BTL:: BootLoader Version: 0.90"));
  const Decoder::Transfer& t = c.decoder().transfers()[0];
  EXPECT_TRUE(t.ended);
  EXPECT_TRUE(t.ok);
  EXPECT_EQ(t.startUs, start);
  EXPECT_EQ(t.endUs, end);
  EXPECT_EQ(t.bytesIn, in);
  EXPECT_EQ(t.bytesOut, out);
  EXPECT_NEAR(t.wireUs, static_cast<double>(in + out) * 10 * 1e6 / 57600, 1);
  // Nothing restarts: still the boot loader.
  EXPECT_EQ(c.listening(), kBootLoader);
  EXPECT_EQ(c.decoder().version(), "v100");
}

TEST(SimBootLoaderDecoder, FlashBitsOnlyClearUntilTheNextErase) {
  Controller c(decoderModule("QD09A", DecoderKind::BootLoader));
  Wire w(c);
  toBootLoader(c, w);
  const std::string a = image(64, 12), b = image(64, 13);
  // Never erased: no write.
  EXPECT_EQ(w.ask(loadFrame(a), kBootLoader), loaded(64));
  EXPECT_EQ(w.ask(writeFrame(0x2C020000, 64), kBootLoader), kWriteError);
  EXPECT_TRUE(c.decoderImage().empty());

  // Written twice without an erase between: the second image comes out wrong.
  EXPECT_EQ(w.ask(eraseFrame(0x1000), kBootLoader).size(), 4u + 48);
  EXPECT_EQ(w.ask(writeFrame(0x2C020000, 64), kBootLoader), written(0x2C020000, 64));
  EXPECT_EQ(text(c.decoderImage()), a);
  EXPECT_EQ(w.ask(loadFrame(b), kBootLoader), loaded(64));
  EXPECT_EQ(w.ask(writeFrame(0x2C020000, 64), kBootLoader), written(0x2C020000, 64));
  const std::string got = text(c.decoderImage());
  ASSERT_EQ(got.size(), 64u);
  EXPECT_NE(got, b);
  for (size_t i = 0; i < 64; ++i) EXPECT_EQ(got[i], static_cast<char>(a[i] & b[i])) << i;

  // A block past the erased range, a length other than the RAM block's, a malformed text.
  EXPECT_EQ(w.ask(writeFrame(0x2C020FC1, 64), kBootLoader), kWriteError);
  EXPECT_EQ(w.ask(writeFrame(0x2C01FFC0, 64), kBootLoader), kWriteError);
  EXPECT_EQ(w.ask(writeFrame(0x2C020040, 63), kBootLoader), kWriteError);
  for (std::string_view bad :
       {"W0x2c020040, 0x00040", "W0x2C020040, 0x000040", "W0x2c020040, 0x0000040",
        "W0x2c02004, 0x000040", "W0x2c020040,0x000040", "W0x2c020040, 0x000040 ", "W"}) {
    EXPECT_EQ(w.ask(textFrame('F', bad), kBootLoader), kWriteError) << bad;
  }
  EXPECT_EQ(w.ask(textFrame('F', "W0x2c020040, 0x000040"), kBootLoader), written(0x2C020040, 64));
  // Between two blocks the erased, never written bytes read FF.
  EXPECT_EQ(w.ask(writeFrame(0x2C020FC0, 64), kBootLoader), written(0x2C020FC0, 64));
  const std::string all = text(c.decoderImage());
  ASSERT_EQ(all.size(), 0x1000u);
  EXPECT_EQ(all.substr(64, 64), b);
  EXPECT_EQ(all.substr(128, 0x1000 - 192), std::string(0x1000 - 192, '\xFF'));
  EXPECT_EQ(all.substr(0x1000 - 64), b);

  // Erased again, it holds the image.
  EXPECT_EQ(w.ask(eraseFrame(0x40), kBootLoader),
            reply("FLM:: Erase Flash from: 0x2c020000 to 0x2c020040"));
  EXPECT_EQ(w.ask(writeFrame(0x2C020000, 64), kBootLoader), written(0x2C020000, 64));
  EXPECT_EQ(text(c.decoderImage()).substr(0, 64), b);
}

TEST(SimBootLoaderDecoder, FramesAreTakenByPosition) {
  Controller c(decoderModule("QD09A", DecoderKind::BootLoader));
  Wire w(c);
  toBootLoader(c, w);
  ASSERT_EQ(w.ask(eraseFrame(0x100), kBootLoader).size(), 4u + 48);
  // A block made of frames is data; so is a block with a wrong fixed part.
  const std::string data = kBootRequest + eraseFrame(0x10) + kVersionQuery + loadFrame("ab");
  EXPECT_EQ(w.ask(loadFrame(data), kBootLoader), loaded(data.size()));
  EXPECT_EQ(w.ask(loadFrame(data, 0x01), kBootLoader), reply("Prog load error"));
  EXPECT_EQ(w.ask(loadFrame(data), kBootLoader), loaded(data.size()));
  EXPECT_EQ(w.ask(writeFrame(0x2C020000, static_cast<uint32_t>(data.size())), kBootLoader),
            written(0x2C020000, static_cast<uint32_t>(data.size())));
  EXPECT_EQ(text(c.decoderImage()), data);
  // An empty block, and a text frame whose third byte is not 00 is no frame.
  EXPECT_EQ(w.ask(loadFrame(""), kBootLoader), loaded(0));
  EXPECT_EQ(w.ask(bytes({0x02, 0x53, 0x01, 0x01, 0x42}), kBootLoader), "");
}

TEST(SimBootLoaderDecoderFaults, RamLoadRefusedThenAccepted) {
  Faults f;
  ASSERT_EQ(parseFault("ramload-refuse=1", f), 1);
  Controller c(decoderModule("QD09A", DecoderKind::BootLoader), f);
  Wire w(c);
  toBootLoader(c, w);
  const std::string block = image(4064, 14);
  ASSERT_EQ(w.ask(eraseFrame(4064), kBootLoader).size(), 4u + 48);
  EXPECT_EQ(w.ask(loadFrame(block), kBootLoader), reply("Prog load error"));
  EXPECT_EQ(w.ask(writeFrame(0x2C020000, 4064), kBootLoader), kWriteError);
  EXPECT_TRUE(c.decoderImage().empty());
  EXPECT_EQ(w.ask(loadFrame(block), kBootLoader), loaded(4064));
  EXPECT_EQ(w.ask(writeFrame(0x2C020000, 4064), kBootLoader), written(0x2C020000, 4064));
  EXPECT_EQ(text(c.decoderImage()), block);
  // Switched off: the transfer ends with every block written.
  c.powerOff();
  ASSERT_EQ(c.decoder().transfers().size(), 1u);
  EXPECT_TRUE(c.decoder().transfers()[0].ended);
  EXPECT_TRUE(c.decoder().transfers()[0].ok);
}

TEST(SimBootLoaderDecoderFaults, FlashWriteRefused) {
  Faults f;
  f.refuseFlashWrite = true;
  Controller c(decoderModule("QD09A", DecoderKind::BootLoader), f);
  Wire w(c);
  toBootLoader(c, w);
  const std::string block = image(100, 15);
  ASSERT_EQ(w.ask(eraseFrame(100), kBootLoader).size(), 4u + 48);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(w.ask(loadFrame(block), kBootLoader), loaded(100));
    EXPECT_EQ(w.ask(writeFrame(0x2C020000, 100), kBootLoader), kWriteError);
  }
  EXPECT_TRUE(c.decoderImage().empty());
  // The next erase closes the transfer: a block was never written.
  ASSERT_EQ(w.ask(eraseFrame(100), kBootLoader).size(), 4u + 48);
  ASSERT_EQ(c.decoder().transfers().size(), 1u);
  EXPECT_TRUE(c.decoder().transfers()[0].ended);
  EXPECT_FALSE(c.decoder().transfers()[0].ok);
}

TEST(SimBootLoaderDecoderFaults, BootModeSilent) {
  Faults f;
  f.bootModeSilent = true;
  Controller c(decoderModule("QD09A", DecoderKind::BootLoader), f);
  Wire w(c);
  ASSERT_EQ(w.ask(kMpegMode), ".");
  EXPECT_EQ(w.ask(kBootRequest, kApplication), "");
  EXPECT_EQ(c.listening(), kApplication);
  EXPECT_EQ(w.ask(kBootRequest, kBootLoader), "");
  EXPECT_EQ(w.ask(eraseFrame(0x100), kBootLoader), "");
  EXPECT_EQ(w.ask(kVersionQuery, kApplication), reply("Version: v100"));
}

}  // namespace
}  // namespace qdqm::sim
