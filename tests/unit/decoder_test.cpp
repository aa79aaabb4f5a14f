// The MPEG decoder's text commands and its boot loader's frames on a scripted line: bytes as the
// decoder expects them (no line ends added), what counts as its answer, and the cycle bounds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "coproc/decoder_text.h"
#include "coproc/loader_frames.h"
#include "link/serial_port.h"
#include "tests/support/fake_line.h"
#include "tests/support/scripted_host.h"
#include "tests/support/test_bytes.h"

namespace qdqm {
namespace {

using testing::bytes;

// A length-prefixed reply of the boot loader: 4 header bytes, the length in bytes 2 and 3.
std::string prefixed(const std::string& text) {
  return bytes({0x02, 0x54, static_cast<int>(text.size() >> 8),
                static_cast<int>(text.size() & 0xFF)}) +
         text;
}

using DecoderLine = testing::FakeLineTest;

TEST_F(DecoderLine, SwidCommands) {
  line->reply("MPG2", 3000);
  EXPECT_EQ(queryDecoderName(port), 1);
  EXPECT_EQ(written(), "name\r");
  SwidVersion reply{};
  line->reply("V1.05 MPEG decoder ", 3000);
  EXPECT_EQ(querySwidVersion(port, reply), 1);
  EXPECT_EQ(written(), "swid\r");
  EXPECT_EQ(std::string(reply.begin(), reply.begin() + 19), "V1.05 MPEG decoder ");
  line->reply("V1.05", 3000);  // short: the 19 bytes never come
  EXPECT_EQ(querySwidVersion(port, reply), 0);
  written();

  // "boot\r", 250 ms, then ten "U" bytes 50 ms apart; nothing is waited for.
  const uint64_t start = clock.nowUs();
  line->reads = 0;
  EXPECT_EQ(sendDecoderBoot(port), 1);
  EXPECT_EQ(written(), "boot\r" + std::string(10, 'U'));
  EXPECT_GE(clock.nowUs() - start, 750'000u);
  EXPECT_EQ(line->reads, 0);
}

TEST_F(DecoderLine, VersLoaderStartCodeAndProgressTexts) {
  line->reply("\r\nLoader\r\n", 20'000);
  line->reply("Waiting", 400'000);
  EXPECT_EQ(enterDecoderLoader(port), 1);
  EXPECT_EQ(written(), "RESTDDDD");
  // The loader that never answers REST gets no "D"; one that says only "Waitin" is not ready.
  EXPECT_EQ(enterDecoderLoader(port), 0);
  EXPECT_EQ(written(), "REST");
  line->reply("x", 1000);
  line->reply("Waitin", 200'000);
  EXPECT_EQ(enterDecoderLoader(port), 0);
  written();

  line->reply("junk ACK ", 5000);
  EXPECT_EQ(sendDecoderStartCode(port), 1);
  EXPECT_EQ(written(), "###00@@");
  line->reply("ACK", 5000);
  EXPECT_EQ(sendDecoderStartCode(port), 0);
  written();

  // "Programming" is recognised by its first ten characters.
  line->reply("Data Ok..Programmin", 1000);
  EXPECT_EQ(waitForDecoderProgress(port, DecoderProgress::DataOk), 1);
  EXPECT_EQ(waitForDecoderProgress(port, DecoderProgress::Programming), 1);
  line->reply("Running 'Code 1'", 1000);  // one blank too few
  EXPECT_EQ(waitForDecoderProgress(port, DecoderProgress::Running), 0);
  EXPECT_EQ(written(), "");
}

TEST_F(DecoderLine, VersVersionFromTheFileName) {
  EXPECT_EQ(decoderVersionText("mpeg\\V2_13.bin"), "V2.13");
  EXPECT_EQ(decoderVersionText("V2_13.bin"), "2.13");  // no separator: from the second character
  EXPECT_EQ(decoderVersionText("mpeg\\.V2_13.bin"), ".V2.13");
  EXPECT_EQ(decoderVersionText("mpeg\\"), "");

  // Other text before the version still counts; a version that arrives only in part does not.
  line->reply("Version: V2.13\r\n", 5000);
  EXPECT_EQ(queryDecoderVersion(port, "mpeg\\V2_13.bin"), 1);
  EXPECT_EQ(written(), "VERS");
  line->reply("Version: V2.1", 5000);
  EXPECT_EQ(queryDecoderVersion(port, "mpeg\\V2_13.bin"), 0);
  EXPECT_EQ(line->waiting(), 0u);  // discarded whatever the outcome
  written();
  // A forced file asks nothing.
  EXPECT_EQ(queryDecoderVersion(port, "mpeg\\UV2_13.bin"), 0);
  EXPECT_EQ(written(), "");
}

TEST_F(DecoderLine, BootLoaderFrames) {
  EXPECT_EQ(requestBootMode(port), 1);
  EXPECT_EQ(written(), bytes({0x02, 0x53, 0x00, 0x01, 0x42}));

  line->reply(prefixed("FLM:: Erase Flash from: 0x2c020000 to 0x2c03a2b3"), 2000);
  EXPECT_EQ(eraseDecoderFlash(port, 0x1A2B3, 5000), 1);
  EXPECT_EQ(written(), bytes({0x02, 0x46, 0x00, 0x14}) + "E0x2c020000, 0x1a2b3");
  line->reply(prefixed("FLM:: Erase error"), 2000);
  EXPECT_EQ(eraseDecoderFlash(port, 0, 5000), 0);
  EXPECT_EQ(written(), bytes({0x02, 0x46, 0x00, 0x10}) + "E0x2c020000, 0x0");

  EXPECT_EQ(loadBlockToRam(port, 0x0FE0), 1);
  EXPECT_EQ(written(), bytes({0x03, 0x4D, 0x0F, 0xE0, 0x2E, 0x1C, 0x00, 0x00}));

  line->reply(prefixed("FLM:: Write Flash from 0x2c020000 to 0x2c020fe0"), 2000);
  EXPECT_EQ(writeDecoderFlash(port, 0x2C020000, 0x0FE0, 100), 1);
  EXPECT_EQ(written(), bytes({0x02, 0x46, 0x00, 0x16}) + "W0x2c020000, 0x0000fe0");
  // Compared over the prefix's full length, case included.
  line->reply(prefixed("FLM:: write Flash from 0x2c020fe0"), 2000);
  EXPECT_EQ(writeDecoderFlash(port, 0x2C020FE0, 0x750, 100), 0);
  EXPECT_EQ(written(), bytes({0x02, 0x46, 0x00, 0x16}) + "W0x2c020fe0, 0x0000750");
}

TEST_F(DecoderLine, BootLoaderDecoderVersion) {
  line->reply(prefixed("Version: v105"), 5000);
  EXPECT_EQ(decoderVersionTest(port, "mpeg\\QD09.v105"), 1);
  EXPECT_EQ(written(), bytes({0x02, 0x53, 0x00, 0x01, 0x56}));
  line->reply(prefixed("Version: v104"), 5000);
  EXPECT_EQ(decoderVersionTest(port, "mpeg\\QD09.v105"), 0);
  EXPECT_EQ(line->waiting(), 0u);
  written();
  // No version after a ".", or a forced file: nothing asked.
  EXPECT_EQ(decoderVersionTest(port, "mpeg\\QD09"), 0);
  EXPECT_EQ(decoderVersionTest(port, "mpeg\\QD09."), 0);
  EXPECT_EQ(decoderVersionTest(port, "mpeg\\uQD09.v105"), 0);
  EXPECT_EQ(written(), "");
}

}  // namespace
}  // namespace qdqm
