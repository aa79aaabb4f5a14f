// Whole update runs of modules with coprocessors against the simulated controller on the virtual
// clock: every run compares the coprocessor image on the simulator with its file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/sha256.h"
#include "app/update_dialog.h"
#include "coproc/fpga_stages.h"
#include "coproc/frame_stages.h"
#include "sim/controller.h"
#include "tests/support/test_bytes.h"
#include "tests/support/update_fixture.h"

namespace qdqm {
namespace {

using testing::bytes;
using testing::imageBytes;
using testing::text;

using ::testing::ElementsAre;
using testing::expectIdle;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::profile;

constexpr const char* kSuccess = testing::kSuccessText;
constexpr const char* kFailure = testing::kFailureText;
constexpr const char* kNotRunning = "QM-Module is not running after Update !!!";

sim::Profile withCoprocessor(std::string type, sim::CoprocessorKind kind,
                             sim::Protocol p = sim::Protocol::Raw) {
  sim::Profile pr = profile(std::move(type), p);
  pr.coprocessor = kind;
  pr.coprocessorVersion = "1.05";
  pr.coprocessorVersionAfter = "2.01";
  return pr;
}

class CoprocFlow : public testing::UpdateFlow {
 protected:
  // A controller data file naming `mpeg` (and `fpga`), and the coprocessor file itself.
  std::string files(const std::string& typeDir, const std::string& type, const std::string& fpga,
                    const std::string& mpeg, const std::string& coprocessorFile, size_t size) {
    dataFile(typeDir + "/upd2.01", type, 0, 512, fpga, mpeg);
    dataFile(typeDir + "/update", type, 0, 512, fpga, mpeg);  // version 0: no controller flash
    const std::string image = imageBytes(size, static_cast<unsigned>(size));
    write(typeDir + "/" + coprocessorFile, image);
    return image;
  }

  struct Run : testing::UpdateFlow::Run {
    Run(sim::Profile p, sim::Faults f, const std::filesystem::path& d)
        : testing::UpdateFlow::Run(std::move(p), f, d) {
      host.onControlsChanged = [this] {
        if (statuses.empty() || statuses.back() != dlg.statusText)
          statuses.push_back(dlg.statusText);
        if (!watchStatus.empty() && dlg.statusText == watchStatus)
          positions.push_back(dlg.control(ids::Progress).position);
      };
    }
    // Everything the update wrote at a rate, as one text.
    std::string sentAt(uint32_t baud) {
      std::string s;
      for (const auto& w : opener.line(1)->writes)
        if (w.settings.baud == baud && w.atUs >= updateStartUs)
          s.append(w.bytes.begin(), w.bytes.end());
      return s;
    }
    void updateNow(const std::string& entry, bool lowSpeed = false) {
      choose(entry, lowSpeed);
      updateStartUs = clock.nowUs();
      if (!::testing::Test::HasFatalFailure()) dlg.onUpdateClicked();
    }
    std::vector<std::string> statuses;
    std::string watchStatus;
    std::vector<int> positions;
    uint64_t updateStartUs = 0;
  };
};

TEST_F(CoprocFlow, Crc32FrameStageSendsHeaderLengthAndPayload) {
  const std::string image = files("QM292_", "QM292", ";", "QM292_2_01.bin", "QM292_2_01.bin", 1300);
  Run r(withCoprocessor("QM292", sim::CoprocessorKind::Crc32Decoder), {}, dir);
  r.host.answers = {true};
  r.updateNow("upd2.01");
  EXPECT_EQ(text(r.device.decoderImage()), image);
  EXPECT_EQ(r.device.lengthFrame(), 1280u);  // the payload behind the 20-byte header
  EXPECT_EQ(r.device.coprocessorVersion(), "2.01");
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  EXPECT_THAT(r.host.texts(), ElementsAre(kSuccess, "Do you wish to update another QM292 ?"));
  EXPECT_THAT(r.statuses,
              ElementsAre("", "programming controller flash...", "erasing controller flash...",
                          "wait for programming flash...", "programming controller flash...",
                          "waiting for controller reset...", "compare mpeg decoder version...",
                          "open update file...", "set mpeg decoder to update mode...",
                          "programming mpeg decoder flash...", "waiting for 'Data Okay' ...",
                          "update was successfull ..."));
  // The version query and the update-mode request at 2400 baud, the transfer at 19200.
  EXPECT_THAT(r.sentAt(2400), HasSubstr(bytes({0x15, 0x20, 0x00})));
  EXPECT_THAT(r.sentAt(2400), HasSubstr(bytes({0x15, 0x01, 0x01, 0x15, 0xE0, 0x00})));
  const std::string transfer = r.sentAt(19200);
  EXPECT_THAT(transfer,
              HasSubstr(bytes({0x3A, 0xE1, 0x04, 0x00, 0x00, 0x05, 0x00, 0x3A, 0xE1, 0x14}) +
                        image.substr(0, 20)));
  expectIdle(r);
}

// The service record of a run names the module, the data file and every file a stage opened, each
// with its digest, and what the run did; a run stopped in the controller flash is a failure that
// changed the module. Each run appends one line.
TEST_F(CoprocFlow, ServiceRecordNamesTheFilesAndWhatTheRunDid) {
  const std::string image = files("QM292_", "QM292", ";", "QM292_2_01.bin", "QM292_2_01.bin", 1300);
  const std::string history = (dir / "state" / "history.jsonl").string();
  const auto digest = [](const std::string& bytes) {
    Sha256 sha;
    sha.add(bytes);
    return sha.hex();
  };
  {
    Run r(withCoprocessor("QM292", sim::CoprocessorKind::Crc32Decoder), {}, dir);
    r.dlg.historyPath = history;
    r.host.answers = {true};
    r.updateNow("upd2.01");
    ASSERT_EQ(r.dlg.verdict, Verdict::Success);
  }
  {
    Run r(withCoprocessor("QM292", sim::CoprocessorKind::Crc32Decoder), {}, dir);
    r.dlg.historyPath = history;
    r.host.answers = {true};
    r.watchStatus = "programming controller flash...";
    bool pressed = false;
    r.host.onPump = [&] {
      if (pressed || r.positions.empty() || r.positions.back() <= 20) return;
      pressed = r.host.escLatched = true;
    };
    r.updateNow("upd2.01");
    ASSERT_TRUE(pressed);
  }
  std::ifstream in(history);
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 2u);
  const nlohmann::json& done = lines[0];
  EXPECT_EQ(done["port"], "COM1");
  EXPECT_EQ(done["device"], "QM29/22 V1.05");
  EXPECT_EQ(done["file"], "upd2.01");
  std::ifstream data(dir / "QM292_" / "upd2.01", std::ios::binary);
  EXPECT_EQ(done["sha256"], digest(std::string(std::istreambuf_iterator<char>(data), {})));
  ASSERT_EQ(done["coprocessor_files"].size(), 1u);
  EXPECT_EQ(done["coprocessor_files"][0]["file"], "QM292_/QM292_2_01.bin");
  EXPECT_EQ(done["coprocessor_files"][0]["sha256"], digest(image));
  EXPECT_EQ(done["verdict"], "success");
  EXPECT_EQ(done["result"], "updated");
  EXPECT_EQ(done["module_changed"], true);
  EXPECT_FALSE(done.contains("slots"));
  EXPECT_EQ(lines[1]["result"], "failed");
  EXPECT_EQ(lines[1]["module_changed"], true);
  EXPECT_TRUE(lines[1]["coprocessor_files"].empty());
  EXPECT_GE(lines[1]["duration_s"].get<double>(), 0.25);  // the wait before programming
}

TEST_F(CoprocFlow, Crc32StageUpToDateAndForcedByTheUName) {
  // The decoder reports 1.05; the file's version after the last "_" is 05 as well.
  files("QM292_", "QM292", ";", "QM292_1_05.bin", "QM292_1_05.bin", 640);
  files("QM292_", "QM292", ";", "mpeg\\UQM292_1_05.bin", "mpeg/UQM292_1_05.bin", 640);
  {
    write("QM292_/upd2.01",
          sim::makeDataFile({"QM292", ";", "QM292_1_05.bin"}, sim::syntheticImage(0, 512, 1)));
    Run r(withCoprocessor("QM292", sim::CoprocessorKind::Crc32Decoder), {}, dir);
    r.host.answers = {true};
    r.updateNow("upd2.01");
    EXPECT_TRUE(r.device.decoderImage().empty());
    EXPECT_EQ(r.device.dataBlocks(), 0u);
    EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  }
  {
    write("QM292_/upd2.01", sim::makeDataFile({"QM292", ";", "mpeg\\UQM292_1_05.bin"},
                                              sim::syntheticImage(0, 512, 1)));
    Run r(withCoprocessor("QM292", sim::CoprocessorKind::Crc32Decoder), {}, dir);
    r.host.answers = {true};
    r.updateNow("upd2.01");
    EXPECT_EQ(text(r.device.decoderImage()), imageBytes(640, 640));
    EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  }
}

TEST_F(CoprocFlow, Crc16FrameStageWholeFileAndAnEmptyLastRead) {
  // 4096 bytes: the last read is empty and sends nothing; the CRC-16 goes as 00 00 hh ll.
  const std::string image = files("QM492_", "QM492", ";", "mpg$2_01.bin", "mpg$2_01.bin", 4096);
  Run r(withCoprocessor("QM492", sim::CoprocessorKind::Crc16Decoder, sim::Protocol::Record), {},
        dir);
  r.host.answers = {true};
  r.updateNow("upd2.01");
  EXPECT_EQ(text(r.device.decoderImage()), image);
  EXPECT_EQ(r.device.dataBlocks(), 64u);
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  const std::string transfer = r.sentAt(19200);
  const size_t check = transfer.rfind(bytes({0x3A, 0xE2, 0x00, 0x00}));
  ASSERT_NE(check, std::string::npos);
  EXPECT_EQ(transfer.size(), check + 6);
  // The frame before it is the last full block.
  EXPECT_EQ(transfer.substr(check - 67, 3), bytes({0x3A, 0xE1, 0x40}));
  EXPECT_THAT(r.sentAt(2400), HasSubstr(bytes({0x15, 0xE0, 0x02})));
  EXPECT_THAT(r.sentAt(2400), HasSubstr(bytes({0x14, 0x02, 0x14, 0x03})));
  EXPECT_THAT(r.statuses, ::testing::Contains("programming MPEG flash..."));
  expectIdle(r);
}

TEST_F(CoprocFlow, Crc16StageWithoutFlashResetsARecordControllerAndWaits12s) {
  const std::string image = files("QM492_", "QM492", ";", "mpg$2_01.bin", "mpg$2_01.bin", 100);
  Run r(withCoprocessor("QM492", sim::CoprocessorKind::Crc16Decoder, sim::Protocol::Record), {},
        dir);
  r.host.answers = {true};
  r.updateNow("update");
  EXPECT_EQ(r.device.erases(), 0u);
  EXPECT_EQ(text(r.device.decoderImage()), image);
  const auto& writes = r.opener.line(1)->writes;
  uint64_t resetAt = 0, queryAt = 0;
  for (const auto& w : writes) {
    const std::string s(w.bytes.begin(), w.bytes.end());
    if (w.atUs >= r.updateStartUs && s == ":00000008f8\r\n") resetAt = w.atUs;
    if (resetAt && !queryAt && s == bytes({0x14, 0x02})) queryAt = w.atUs;
  }
  ASSERT_NE(resetAt, 0u);
  ASSERT_NE(queryAt, 0u);
  EXPECT_GE(queryAt - resetAt, 12'000'000u);
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
}

TEST_F(CoprocFlow, Qm23FpgaStageBlocksProgressAndPauses) {
  // 130 bytes: blocks of 64, 64 and 2 with the progress at 0, 50 and 100, 50 ms after each.
  const std::string image =
      files("QM23__", "QM23_", ";", "fpga23$2_01.bin", "fpga23$2_01.bin", 130);
  Run r(withCoprocessor("QM23_", sim::CoprocessorKind::Fpga), {}, dir);
  r.watchStatus = "programming FPGA flash...";
  r.host.answers = {true};
  r.updateNow("upd2.01");
  EXPECT_EQ(text(r.device.fpgaImage()), image);
  EXPECT_EQ(r.device.fpgaErases(), 1u);
  EXPECT_EQ(r.device.coprocessorVersion(), "2.01");
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  EXPECT_THAT(r.positions, ElementsAre(0, 50, 100));
  // The erase and the blocks at 19200, the update mode at 2400.
  EXPECT_THAT(r.sentAt(19200), HasSubstr(bytes({0x3A, 0xE3})));
  EXPECT_THAT(r.sentAt(2400), HasSubstr(bytes({0x14, 0x04})));
  EXPECT_THAT(r.sentAt(2400), HasSubstr(bytes({0x15, 0xE0, 0x00})));
  std::vector<uint64_t> blockTimes;
  for (const auto& w : r.opener.line(1)->writes)
    if (w.bytes.size() > 3 && w.bytes[0] == 0x3A && w.bytes[1] == 0xE1)
      blockTimes.push_back(w.atUs);
  ASSERT_EQ(blockTimes.size(), 3u);
  EXPECT_GE(blockTimes[1] - blockTimes[0], 50'000u);
  EXPECT_GE(blockTimes[2] - blockTimes[1], 50'000u);
  EXPECT_THAT(r.statuses, ::testing::Contains("erase FPGA flash..."));
  EXPECT_THAT(r.statuses, ::testing::Contains("update was successfull ..."));
  expectIdle(r);
}

TEST_F(CoprocFlow, Qm23UpdateModeRefusedTwiceThenTaken) {
  const std::string image =
      files("QM23__", "QM23_", ";", "fpga23$2_01.bin", "fpga23$2_01.bin", 200);
  {
    sim::Faults f;
    f.refuseUpdateMode = 2;
    Run r(withCoprocessor("QM23_", sim::CoprocessorKind::Fpga), f, dir);
    r.host.answers = {true};
    r.updateNow("upd2.01");
    EXPECT_EQ(text(r.device.fpgaImage()), image);
    EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  }
  {
    sim::Faults f;
    f.refuseUpdateMode = 3;
    Run r(withCoprocessor("QM23_", sim::CoprocessorKind::Fpga), f, dir);
    r.updateNow("upd2.01");
    EXPECT_THAT(r.host.texts(), ElementsAre("Could not send Startcode for Update !!!"));
    EXPECT_EQ(r.device.fpgaErases(), 0u);
    EXPECT_EQ(r.dlg.verdict, Verdict::None);
    expectIdle(r);
  }
}

TEST_F(CoprocFlow, Qm23NewerFpgaIsLeftAlone) {
  files("QM23__", "QM23_", ";", "fpga23$1_03.bin", "fpga23$1_03.bin", 200);
  Run r(withCoprocessor("QM23_", sim::CoprocessorKind::Fpga), {}, dir);
  r.host.answers = {true};
  r.updateNow("upd2.01");
  EXPECT_EQ(r.device.fpgaErases(), 0u);
  EXPECT_TRUE(r.device.fpgaImage().empty());
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  EXPECT_THAT(r.host.texts(), ElementsAre(kSuccess, "Do you wish to update another QM23_ ?"));
}

TEST_F(CoprocFlow, QdFpgaStageAtTheDriversSpeed) {
  const std::string image = files("QD29E_", "QD29E", "FPGA$2_01.bin", ";", "FPGA$2_01.bin", 700);
  sim::Profile p = profile("QD29E");
  p.fpga = {0x01, 0x05};
  Run r(p, {}, dir);
  r.host.answers = {true};
  r.updateNow("upd2.01");
  EXPECT_EQ(text(r.device.fpgaImage()), image);
  EXPECT_EQ(r.device.fpgaVersion(), (std::array<uint8_t, 2>{0x01, 0x00}));
  EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  EXPECT_THAT(r.host.texts(), ElementsAre(kSuccess, "Do you wish to update another QD29E ?"));
  // After the controller's restart the driver switched back up to 115200: the FPGA's frames
  // go at that rate.
  EXPECT_THAT(r.sentAt(115200), HasSubstr(":0100000306f6"));
  EXPECT_THAT(r.sentAt(115200), HasSubstr(bytes({0x3A, 0xE3})));
  for (const char* status : {"compare FPGA version...", "set FPGA to update mode...",
                             "erase FPGA ...", "programming FPGA flash...",
                             "waiting for 'FPGA Data Okay' ...", "FPGA Update was successfull ..."})
    EXPECT_THAT(r.statuses, ::testing::Contains(status));
  expectIdle(r);
}

TEST_F(CoprocFlow, QdFpgaCurrentOrWithoutVersionIsNotTouched) {
  files("QD29E_", "QD29E", "FPGA$0_105.bin", ";", "FPGA$0_105.bin", 100);
  for (std::array<uint8_t, 2> reported :
       {std::array<uint8_t, 2>{0x01, 0x05}, std::array<uint8_t, 2>{0x00, 0x00}}) {
    sim::Profile p = profile("QD29E");
    p.fpga = reported;
    Run r(p, {}, dir);
    r.host.answers = {true};
    r.updateNow("upd2.01");
    EXPECT_EQ(r.device.fpgaErases(), 0u);
    EXPECT_EQ(r.dlg.verdict, Verdict::Success);
  }
  // A U file is sent whatever the FPGA reports.
  files("QD29E_", "QD29E", "fpga\\UFPGA$0_105.bin", ";", "fpga/UFPGA$0_105.bin", 100);
  sim::Profile p = profile("QD29E");
  p.fpga = {0x01, 0x05};
  Run r(p, {}, dir);
  r.host.answers = {true};
  r.updateNow("upd2.01");
  EXPECT_EQ(text(r.device.fpgaImage()), imageBytes(100, 100));
}

// The faults a stage reports with its own message; every one ends without a verdict and leaves
// the line at 19200 baud without parity.
TEST_F(CoprocFlow, StageFaultsAbortWithTheStagesMessage) {
  files("QM292_", "QM292", ";", "QM292_2_01.bin", "QM292_2_01.bin", 1300);
  files("QM492_", "QM492", ";", "mpg$2_01.bin", "mpg$2_01.bin", 1300);
  files("QM23__", "QM23_", ";", "fpga23$2_01.bin", "fpga23$2_01.bin", 1300);
  struct Case {
    const char* type;
    sim::CoprocessorKind kind;
    sim::Faults faults;
    const char* text;
  };
  sim::Faults refuse3, wrongCrc, silent, dead;
  refuse3.refuseBlock = 3;
  wrongCrc.wrongCrc = true;
  silent.coprocessorSilent = true;
  dead.deadAfterRestart = true;
  using K = sim::CoprocessorKind;
  const Case cases[] = {
      {"QM292", K::Crc32Decoder, refuse3, "mpeg decoder returned error during updateprocess  !!!"},
      {"QM292", K::Crc32Decoder, wrongCrc, "mpeg decoder returned Cheksumerror  !!!"},
      {"QM292", K::Crc32Decoder, silent, kNotRunning},
      {"QM292", K::Crc32Decoder, dead, kNotRunning},
      {"QM492", K::Crc16Decoder, refuse3, "MPEG returned error during updateprocess  !!!"},
      {"QM492", K::Crc16Decoder, wrongCrc, "FPGA returned Checksumerror  !!!"},
      {"QM23_", K::Fpga, refuse3, "FPGA returned error during updateprocess  !!!"},
      {"QM23_", K::Fpga, wrongCrc, "FPGA returned Checksumerror  !!!"},
      {"QM23_", K::Fpga, silent, kNotRunning},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + ": " + c.text);
    const sim::Protocol protocol =
        c.kind == K::Crc16Decoder ? sim::Protocol::Record : sim::Protocol::Raw;
    Run r(withCoprocessor(c.type, c.kind, protocol), c.faults, dir);
    r.updateNow("upd2.01");
    EXPECT_THAT(r.host.texts(), ElementsAre(c.text));
    EXPECT_EQ(r.dlg.verdict, Verdict::None);
    EXPECT_TRUE(r.device.decoderImage().empty());
    EXPECT_EQ(r.device.coprocessorVersion(), "1.05");
    expectIdle(r);
    if (c.text == std::string(kNotRunning)) {
      // Three version queries, then the message.
      const std::string slow = r.sentAt(2400);
      const std::string query =
          c.kind == K::Crc32Decoder ? bytes({0x15, 0x20, 0x00}) : bytes({0x14, 0x04});
      size_t n = 0;
      for (size_t at = slow.find(query); at != std::string::npos; at = slow.find(query, at + 1))
        ++n;
      EXPECT_EQ(n, 3u);
    }
  }
}

TEST_F(CoprocFlow, EscAndYesDuringTheResetWaitOrThePollEndsWithoutVerdict) {
  files("QM292_", "QM292", ";", "QM292_2_01.bin", "QM292_2_01.bin", 640);
  for (const char* during : {"reset", "poll"}) {
    SCOPED_TRACE(during);
    sim::Faults f;
    f.coprocessorSilent = std::string(during) == "poll";  // keeps the poll waiting between queries
    Run r(withCoprocessor("QM292", sim::CoprocessorKind::Crc32Decoder), f, dir);
    bool armed = false;
    // Pressed during a wait step (progress past 0), not during a version query, which Esc would
    // only make fail.
    r.host.onPump = [&] {
      const bool polling = r.sentAt(2400).find(bytes({0x15, 0x20, 0x00})) != std::string::npos;
      const bool want = std::string(during) == "poll" ? polling : !polling;
      if (!armed && want && r.dlg.statusText == "waiting for controller reset..." &&
          r.dlg.control(ids::Progress).position > 0) {
        armed = true;
        r.host.escLatched = true;
      }
    };
    r.host.answers = {true};
    r.updateNow("upd2.01");
    EXPECT_TRUE(armed);
    // QM292 modules are shown as QM29/22.
    EXPECT_THAT(r.host.texts(),
                ElementsAre("Do you wish to abbort the QM29/22 V1.05 MPEG-Update ?"));
    EXPECT_EQ(r.dlg.verdict, Verdict::None);
    EXPECT_TRUE(r.device.decoderImage().empty());
    expectIdle(r);
  }
}

// The coprocessor files are checked before anything is erased: a run that could not finish its
// coprocessor never starts on the controller.
TEST_F(CoprocFlow, MissingOrShortCoprocessorFileStopsTheRunBeforeTheErase) {
  dataFile("QM292_/upd2.01", "QM292", 0, 512, ";", "mpeg\\QM292_2_01.bin");
  dataFile("QD29E_/upd2.01", "QD29E", 0, 512, "FPGA$2_01.bin", ";");
  write("QM292_/short/QM292_2_01.bin", std::string(19, 'x'));  // shorter than its header
  dataFile("QM292_/upd2.02", "QM292", 0, 512, ";", "short\\QM292_2_01.bin");
  struct Case {
    const char* type;
    const char* entry;
    const char* text;
  };
  for (const Case& c :
       {Case{"QM292", "upd2.01", "Could not open data file mpeg\\QM292_2_01.bin !\nError Code: 40"},
        Case{"QM292", "upd2.02",
             "Could not open data file short\\QM292_2_01.bin !\nError Code: 40"},
        Case{"QD29E", "upd2.01", "Could not open data file FPGA$2_01.bin !\nError Code: 40"}}) {
    SCOPED_TRACE(c.entry);
    Run r(
        withCoprocessor(c.type, std::string(c.type) == "QM292" ? sim::CoprocessorKind::Crc32Decoder
                                                               : sim::CoprocessorKind::None),
        {}, dir);
    r.updateNow(c.entry);
    EXPECT_THAT(r.host.texts(), ElementsAre(c.text));
    EXPECT_EQ(r.device.erases(), 0u);
    EXPECT_FALSE(r.anyRecordSent());
    EXPECT_EQ(r.dlg.verdict, Verdict::None);
    expectIdle(r);
  }
}

// The stages' own checks of their files, for a file that went missing or shrank after the run's
// check before the erase: each reports with its own message. A file shorter than one block (no
// whole block to divide the progress by) goes as one block.
TEST_F(CoprocFlow, StagesCheckTheirFilesThemselves) {
  files("QM292_", "QM292", ";", "QM292_2_01.bin", "QM292_2_01.bin", 640);
  files("QM23__", "QM23_", ";", "fpga23$2_01.bin", "fpga23$2_01.bin", 640);
  files("QD29E_", "QD29E", "FPGA$2_01.bin", ";", "FPGA$2_01.bin", 640);
  write("QM292_/short.bin", imageBytes(19, 1));
  write("QM23__/tiny.bin", imageBytes(10, 1));
  using Stage = Outcome (*)(UpdateDialog&, const std::string&);
  struct Case {
    const char* type;
    sim::CoprocessorKind kind;
    Stage stage;
    const char* line;
    const char* text;
  };
  using K = sim::CoprocessorKind;
  for (const Case& c : {
           Case{"QM292", K::Crc32Decoder, crc32FrameStage, "gone$2_01.bin\n",
                "Could not open data file (MPEG) !!!"},
           Case{"QM292", K::Crc32Decoder, crc32FrameStage, "short.bin\n",
                "Unexpected end of data file !!!"},
           Case{"QM23_", K::Fpga, qm23FpgaStage, "gone$2_01.bin\n",
                "Could not open data file (FPGA) !!!"},
           Case{"QD29E", K::None, qdFpgaStage, "gone$2_01.bin\n",
                "Could not open FPGA-update-file !!!"},
       }) {
    SCOPED_TRACE(c.line);
    sim::Profile p = withCoprocessor(c.type, c.kind);
    p.fpga = {0x01, 0x05};  // an FPGA version the QD stage does not find current
    Run r(p, {}, dir);
    r.choose("update", true);
    Outcome outcome = Outcome::Done;
    r.dlg.runGuarded([&] { outcome = c.stage(r.dlg, c.line); });
    EXPECT_EQ(outcome, Outcome::Abort);
    EXPECT_THAT(r.host.texts(), ElementsAre(c.text));
    EXPECT_EQ(r.device.dataBlocks(), 0u);
  }
  Run r(withCoprocessor("QM23_", K::Fpga), {}, dir);
  r.choose("update", true);
  r.watchStatus = "programming FPGA flash...";
  Outcome outcome = Outcome::Abort;
  r.dlg.runGuarded([&] { outcome = qm23FpgaStage(r.dlg, "tiny.bin\n"); });
  EXPECT_EQ(outcome, Outcome::Done);
  EXPECT_EQ(text(r.device.fpgaImage()), imageBytes(10, 1));
  EXPECT_THAT(r.positions, ElementsAre(0));
}

}  // namespace
}  // namespace qdqm
