// Whole update runs of modules whose MPEG decoder the tool talks to directly (swid, VERS, boot
// loader) against the simulated module on the virtual clock: every run compares the decoder's
// flash on the simulator with its file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/update_dialog.h"
#include "sim/controller.h"
#include "tests/support/test_bytes.h"
#include "tests/support/update_fixture.h"

namespace qdqm {
namespace {

using testing::bytes;
using testing::count;
using testing::imageBytes;
using testing::text;

using ::testing::Contains;
using ::testing::ElementsAre;
using testing::expectIdle;
using ::testing::HasSubstr;
using testing::kFailureText;
using testing::kSuccessText;
using ::testing::Not;
using testing::profile;

constexpr const char* kNotRunning = "mpeg decoder returned 'new code not running'  !!!";

sim::Profile withDecoder(std::string type, sim::DecoderKind kind, std::string version,
                         std::string after) {
  sim::Profile p = profile(std::move(type));
  p.decoder = kind;
  p.decoderVersion = std::move(version);
  p.decoderVersionAfter = std::move(after);
  return p;
}

class DecoderFlow : public testing::UpdateFlow {
 protected:
  // Controller data files upd2.01 and update (version 0) naming `mpeg`, and the decoder image.
  std::string files(const std::string& typeDir, const std::string& type, const std::string& fpga,
                    const std::string& mpeg, const std::string& imageFile, size_t size) {
    dataFile(typeDir + "/upd2.01", type, 0, 512, fpga, mpeg);
    dataFile(typeDir + "/update", type, 0, 512, fpga, mpeg);
    const std::string image = imageBytes(size, static_cast<unsigned>(size));
    write(typeDir + "/" + imageFile, image);
    return image;
  }

  struct Run : testing::UpdateFlow::Run {
    using testing::UpdateFlow::Run::Run;
    // Everything the update wrote at a rate and parity, as one text.
    std::string sentAt(uint32_t baud, Parity parity = Parity::None) {
      std::string s;
      for (const auto& w : opener.line(1)->writes)
        if (w.settings.baud == baud && w.settings.parity == parity && w.atUs >= startUs)
          s.append(w.bytes.begin(), w.bytes.end());
      return s;
    }
    void updateNow(const std::string& entry) {
      choose(entry, false);
      startUs = clock.nowUs();
      if (!::testing::Test::HasFatalFailure()) dlg.onUpdateClicked();
    }
    uint64_t startUs = 0;
  };
};

TEST_F(DecoderFlow, Qd20aTakesTheSwidStageNeverVers) {
  const std::string image =
      files("QD20A_1", "QD20A", ";", "mpeg\\mpg$2_01.bin", "mpeg/mpg$2_01.bin", 1000);
  Run r(withDecoder("QD20A", sim::DecoderKind::Swid, "1.05", "2.01"), {}, dir);
  r.host.answers = {true};
  r.updateNow("upd2.01");
  EXPECT_TRUE(text(r.device.decoderImage()) == image);
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  EXPECT_THAT(r.host.texts(), ElementsAre(kSuccessText, "Do you wish to update another QD20A ?"));
  const std::string swid = r.sentAt(19200);
  EXPECT_THAT(swid, HasSubstr(":0100000302fa"));
  EXPECT_THAT(swid, HasSubstr("name\r"));
  EXPECT_THAT(swid, HasSubstr("boot\r" + std::string(10, 'U') + image.substr(0, 128)));
  EXPECT_THAT(swid, Not(HasSubstr("VERS")));
  EXPECT_TRUE(r.sentAt(9600, Parity::Even).empty());
  expectIdle(r);
}

TEST_F(DecoderFlow, ForcedSwidFileIsSentAndTheNewVersionStillChecked) {
  files("QD20A_1", "QD20A", ";", "mpeg\\Umpg$1_05.bin", "mpeg/Umpg$1_05.bin", 300);
  {
    // The decoder already runs 1.05; the U file goes anyway and 1.05 runs afterwards.
    Run r(withDecoder("QD20A", sim::DecoderKind::Swid, "1.05", "1.05"), {}, dir);
    r.host.answers = {true};
    r.updateNow("upd2.01");
    EXPECT_EQ(text(r.device.decoderImage()), imageBytes(300, 300));
    EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  }
  {
    // The same file, but what runs afterwards is not its version: the new code is not running.
    Run r(withDecoder("QD20A", sim::DecoderKind::Swid, "1.05", "2.01"), {}, dir);
    r.host.answers = {true};
    r.updateNow("upd2.01");
    EXPECT_THAT(r.host.texts(),
                ElementsAre(kNotRunning, kFailureText, "Do you wish to update another QD20A ?"));
    EXPECT_EQ(r.dlg.verdict, Verdict::Failure);
    expectIdle(r);
  }
}

TEST_F(DecoderFlow, QdFpgaThenSwidOnAQd29e) {
  files("QD29E_", "QD29E", "fpga\\FPGA$2_01.bin", "mpeg\\mpg$2_01.bin", "mpeg/mpg$2_01.bin", 700);
  write("QD29E_/fpga/FPGA$2_01.bin", imageBytes(300, 7));
  sim::Profile p = withDecoder("QD29E", sim::DecoderKind::Swid, "1.05", "2.01");
  p.fpga = {0x01, 0x05};
  Run r(p, {}, dir);
  r.host.answers = {true};
  r.updateNow("upd2.01");
  EXPECT_EQ(text(r.device.fpgaImage()), imageBytes(300, 7));
  EXPECT_EQ(text(r.device.decoderImage()), imageBytes(700, 700));
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  EXPECT_THAT(r.host.texts(), ElementsAre(kSuccessText, "Do you wish to update another QD29E ?"));
  expectIdle(r);
}

TEST_F(DecoderFlow, VersTransferAtEvenParity) {
  const std::string image =
      files("QD22A_", "QD22A", ";", "mpeg\\V2_01.bin", "mpeg/V2_01.bin", 20 + 1003);
  Run r(withDecoder("QD22A", sim::DecoderKind::Vers, "V1.05", "V2.01"), {}, dir);
  r.host.answers = {true};
  r.updateNow("upd2.01");
  EXPECT_TRUE(text(r.device.decoderImage()) == image);
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  // Everything after the routing goes at 9600 baud with even parity.
  const std::string vers = r.sentAt(9600, Parity::Even);
  EXPECT_THAT(vers, HasSubstr("VERSRESTDDDD###00@@" + bytes({0x00, 0x00, 0x03, 0xEB}) +
                              image.substr(0, 20) + image.substr(20, 8)));
  EXPECT_THAT(r.sentAt(19200), HasSubstr(":0100000302fa"));
  expectIdle(r);
}

TEST_F(DecoderFlow, VersUpToDateAndAHeaderOnlyFile) {
  files("QD22A_", "QD22A", ";", "mpeg\\V2_01.bin", "mpeg/V2_01.bin", 500);
  {
    // Other text before the version in the answer to VERS: still up to date.
    Run r(withDecoder("QD22A", sim::DecoderKind::Vers, "V2.01", "V2.02"), {}, dir);
    r.host.answers = {true};
    r.updateNow("upd2.01");
    EXPECT_TRUE(r.device.decoderImage().empty());
    EXPECT_THAT(r.sentAt(9600, Parity::Even), Not(HasSubstr("REST")));
    EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  }
  // A file of its header alone: length 0, the header, no payload, CRC FF FF FF FF.
  files("QD22A_", "QD22A", ";", "mpeg\\V2_01.bin", "mpeg/V2_01.bin", 20);
  Run r(withDecoder("QD22A", sim::DecoderKind::Vers, "V1.05", "V2.01"), {}, dir);
  r.host.answers = {true};
  r.updateNow("upd2.01");
  const std::string image = imageBytes(20, 20);
  EXPECT_TRUE(text(r.device.decoderImage()) == image);
  EXPECT_THAT(r.sentAt(9600, Parity::Even),
              HasSubstr("###00@@" + bytes({0, 0, 0, 0}) + image + bytes({0xFF, 0xFF, 0xFF, 0xFF})));
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
}

TEST_F(DecoderFlow, VersFaults) {
  files("QD22A_", "QD22A", ";", "mpeg\\V2_01.bin", "mpeg/V2_01.bin", 300);
  struct Case {
    sim::Faults faults;
    const char* text;
    Verdict verdict;
  };
  sim::Faults wrongCrc, noProgramming, notRunning, silent;
  wrongCrc.wrongCrc = true;
  noProgramming.noProgramming = true;
  notRunning.newCodeNotRunning = true;
  silent.decoderSilent = true;
  for (const Case& c : {
           Case{wrongCrc, "mpeg decoder returned Cheksumerror  !!!", Verdict::None},
           Case{noProgramming, "mpeg decoder returned 'new code not valide'  !!!",
                Verdict::Failure},
           Case{notRunning, kNotRunning, Verdict::Failure},
           Case{silent, "Could not set MPEGModule in UpDate Mode !!!", Verdict::None},
       }) {
    SCOPED_TRACE(c.text);
    Run r(withDecoder("QD22A", sim::DecoderKind::Vers, "V1.05", "V2.01"), c.faults, dir);
    r.host.answers = {true};
    r.updateNow("upd2.01");
    EXPECT_EQ(r.host.texts().at(0), c.text);
    EXPECT_EQ(r.dlg.verdict, c.verdict);
    if (c.verdict == Verdict::Failure) {
      EXPECT_EQ(r.host.texts().at(1), kFailureText);
    }
    expectIdle(r);
  }
}

TEST_F(DecoderFlow, SwidFaults) {
  files("QD20A_1", "QD20A", ";", "mpeg\\mpg$2_01.bin", "mpeg/mpg$2_01.bin", 300);
  sim::Faults silent, notRunning;
  silent.decoderSilent = true;
  notRunning.newCodeNotRunning = true;
  {
    Run r(withDecoder("QD20A", sim::DecoderKind::Swid, "1.05", "2.01"), silent, dir);
    r.updateNow("upd2.01");
    EXPECT_THAT(r.host.texts(), ElementsAre("Could not read MPEG-Version in Update-Mode !!!"));
    EXPECT_EQ(count(r.sentAt(19200), "swid\r"), 10u);
    EXPECT_EQ(r.dlg.verdict, Verdict::None);
    expectIdle(r);
  }
  {
    Run r(withDecoder("QD20A", sim::DecoderKind::Swid, "1.05", "2.01"), notRunning, dir);
    r.host.answers = {true};
    r.updateNow("upd2.01");
    EXPECT_THAT(r.host.texts(),
                ElementsAre(kNotRunning, kFailureText, "Do you wish to update another QD20A ?"));
    EXPECT_EQ(r.dlg.verdict, Verdict::Failure);
  }
}

sim::Profile loaderModule(std::string bootLoader) {
  sim::Profile p = withDecoder("QD09T", sim::DecoderKind::BootLoader, "v100", "v201");
  p.bootLoaderText = std::move(bootLoader);
  return p;
}

TEST_F(DecoderFlow, BootLoaderBlocksAddressesAndOneErase) {
  // 10000 bytes in 4064-byte blocks: 4064, 4064 and 1872 bytes at the three addresses.
  const std::string image =
      files("QD09T_1", "QD09T", "1", "mpeg\\QD09.v201", "mpeg/QD09.v201", 10000);
  Run r(loaderModule("0.90"), {}, dir);
  r.host.answers = {true};
  r.updateNow("upd2.01");
  EXPECT_TRUE(text(r.device.decoderImage()) == image);
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  const std::string loader = r.sentAt(57600);
  EXPECT_EQ(count(loader, "E0x2c020000, 0x2710"), 1u);
  EXPECT_EQ(count(loader, "E0x"), 1u);
  EXPECT_THAT(loader, HasSubstr("W0x2c020000, 0x0000fe0"));
  EXPECT_THAT(loader, HasSubstr("W0x2c020fe0, 0x0000fe0"));
  EXPECT_THAT(loader, HasSubstr("W0x2c021fc0, 0x0000750"));
  EXPECT_EQ(count(loader, "W0x"), 3u);
  EXPECT_EQ(count(loader, bytes({0x03, 0x4D, 0x0F, 0xE0, 0x2E, 0x1C, 0x00, 0x00})), 2u);
  EXPECT_EQ(count(loader, bytes({0x03, 0x4D, 0x07, 0x50, 0x2E, 0x1C, 0x00, 0x00})), 1u);
  // The version asked and the boot request at 9600, the loader at 57600.
  EXPECT_THAT(r.sentAt(9600), HasSubstr(bytes({0x02, 0x53, 0x00, 0x01, 0x56})));
  EXPECT_THAT(r.sentAt(9600), HasSubstr(bytes({0x02, 0x53, 0x00, 0x01, 0x42})));
  expectIdle(r);
}

TEST_F(DecoderFlow, BootLoaderBelow090TakesLargeBlocksAndExactMultiplesEndCleanly) {
  // 0.89: 32768-byte blocks; 65536 bytes are two of them and no empty third.
  const std::string image =
      files("QD09T_1", "QD09T", "1", "mpeg\\QD09.v201", "mpeg/QD09.v201", 65536);
  Run r(loaderModule("0.89"), {}, dir);
  r.host.answers = {true};
  r.updateNow("upd2.01");
  EXPECT_TRUE(text(r.device.decoderImage()) == image);
  const std::string loader = r.sentAt(57600);
  EXPECT_EQ(count(loader, bytes({0x03, 0x4D, 0x80, 0x00, 0x2E, 0x1C, 0x00, 0x00})), 2u);
  EXPECT_EQ(count(loader, "W0x"), 2u);
  EXPECT_THAT(loader, HasSubstr("W0x2c028000, 0x00008000"));
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
}

TEST_F(DecoderFlow, BootLoaderCurrentDecoderIsLeftAlone) {
  files("QD09T_1", "QD09T", "1", "mpeg\\QD09.v100", "mpeg/QD09.v100", 500);
  Run r(loaderModule("0.90"), {}, dir);
  r.host.answers = {true};
  r.updateNow("upd2.01");
  EXPECT_TRUE(r.device.decoderImage().empty());
  EXPECT_TRUE(r.sentAt(57600).empty());
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
}

TEST_F(DecoderFlow, BootLoaderFaults) {
  const std::string image =
      files("QD09T_1", "QD09T", "1", "mpeg\\QD09.v201", "mpeg/QD09.v201", 5000);
  {
    // A RAM load refused once: the whole load again, header and the block from its start.
    sim::Faults f;
    f.refuseRamLoad = 1;
    Run r(loaderModule("0.90"), f, dir);
    r.host.answers = {true};
    r.updateNow("upd2.01");
    EXPECT_TRUE(text(r.device.decoderImage()) == image);
    EXPECT_EQ(count(r.sentAt(57600),
                    bytes({0x03, 0x4D, 0x0F, 0xE0, 0x2E, 0x1C, 0x00, 0x00}) + image.substr(0, 16)),
              2u);
    EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  }
  struct Case {
    sim::Faults faults;
    const char* text;
  };
  sim::Faults never, refused3, writeRefused;
  never.bootModeSilent = true;
  refused3.refuseRamLoad = 3;
  writeRefused.refuseFlashWrite = true;
  for (const Case& c : {
           Case{never, "Could not set mpeg decoder to boot mode !!!"},
           Case{refused3,
                "Could send data block to mpeg decoder !!!\nPlease contact service personal."},
           Case{writeRefused,
                "Could not write data block to mpeg decoder !!!\nPlease contact service "
                "personal."},
       }) {
    SCOPED_TRACE(c.text);
    Run r(loaderModule("0.90"), c.faults, dir);
    r.updateNow("upd2.01");
    EXPECT_THAT(r.host.texts(), Contains(c.text));
    EXPECT_EQ(r.host.texts().back(), c.text);
    EXPECT_EQ(r.dlg.verdict, Verdict::None);
    expectIdle(r);
    if (c.faults.bootModeSilent) {
      EXPECT_EQ(count(r.sentAt(57600), bytes({0x02, 0x53, 0x00, 0x01, 0x42})), 3u);
    }
  }
}

// Images shorter than one piece (128 bytes for swid) or than 100 bytes (the boot loader's progress
// divisor) go whole, and the bar never divides by zero.
TEST_F(DecoderFlow, ShortImagesGoWhole) {
  files("QD20A_1", "QD20A", ";", "mpeg\\mpg$2_01.bin", "mpeg/mpg$2_01.bin", 100);
  files("QD09T_1", "QD09T", "1", "mpeg\\QD09.v201", "mpeg/QD09.v201", 50);
  {
    Run r(withDecoder("QD20A", sim::DecoderKind::Swid, "1.05", "2.01"), {}, dir);
    r.host.answers = {true};
    r.updateNow("update");
    EXPECT_EQ(text(r.device.decoderImage()), imageBytes(100, 100));
    EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  }
  Run r(loaderModule("0.90"), {}, dir);
  r.host.answers = {true};
  r.updateNow("update");
  EXPECT_EQ(text(r.device.decoderImage()), imageBytes(50, 50));
  EXPECT_THAT(r.sentAt(57600), HasSubstr("W0x2c020000, 0x000032"));
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
}

// The files of rows 2, 3 and 7 are checked before the controller is erased as well.
TEST_F(DecoderFlow, DecoderFilesAreCheckedBeforeTheErase) {
  dataFile("QD22A_/upd2.01", "QD22A", 0, 512, ";", "mpeg\\V2_01.bin");
  write("QD22A_/mpeg/V2_01.bin", std::string(19, 'x'));  // shorter than its header
  dataFile("QD09T_1/upd2.01", "QD09T", 0, 512, "1", "mpeg\\QD09.v201");
  dataFile("QD20A_1/upd2.01", "QD20A", 0, 512, ";", "mpeg\\mpg$2_01.bin");
  struct Case {
    const char* type;
    const char* typeDir;
    sim::DecoderKind kind;
    const char* text;
  };
  for (const Case& c : {
           Case{"QD22A", "QD22A_", sim::DecoderKind::Vers,
                "Could not open data file mpeg\\V2_01.bin !\nError Code: 40"},
           Case{"QD09T", "QD09T_1", sim::DecoderKind::BootLoader,
                "Could not open data file mpeg\\QD09.v201 !\nError Code: 40"},
           Case{"QD20A", "QD20A_1", sim::DecoderKind::Swid,
                "Could not open data file mpeg\\mpg$2_01.bin !\nError Code: 40"},
       }) {
    SCOPED_TRACE(c.type);
    Run r(withDecoder(c.type, c.kind, "1.05", "2.01"), {}, dir);
    r.updateNow("upd2.01");
    EXPECT_THAT(r.host.texts(), ElementsAre(c.text));
    EXPECT_EQ(r.device.erases(), 0u);
    EXPECT_EQ(r.dlg.verdict, Verdict::None);
    expectIdle(r);
  }
}

}  // namespace
}  // namespace qdqm
