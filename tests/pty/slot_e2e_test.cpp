// `qdqm-update connect/update --base-unit` against a simulated QM65B on a pty, in real time: the
// slot rows printed, the choices of --slot and --skip, the JSON report with its slots, and the
// module's flash compared with the file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/program_dir.h"

namespace {

namespace fs = std::filesystem;
using qdqm::testing::readFile;

class SlotE2E : public qdqm::testing::ProgramDirTest {
 protected:
  void dataFile(const std::string& type, const std::string& typeDir, const std::string& file,
                unsigned size, unsigned seed) {
    fs::create_directories(dir / typeDir);
    const std::string cmd = (fs::path(QDQM_BINARY_DIR) / "qdqm-datafile").string() + " --module " +
                            type + " --out " + (dir / typeDir / file).string() + " --size " +
                            std::to_string(size) + " --seed " + std::to_string(seed) +
                            " --image-out " + (dir / (file + ".hex")).string();
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  // Every slot holds a module: an empty slot costs the search half a minute of waiting for an
  // answer that never comes (the flow tests cover empty slots on the virtual clock).
  void startUnit() {
    std::vector<std::string> args{"--base-unit",   "B",
                                  "--slot",        "1=QM21_",
                                  "--version",     "1.05",
                                  "--new-version", "2.01",
                                  "--flash-out",   (dir / "slot1.hex").string(),
                                  "--slot",        "2=QM37_",
                                  "--slot",        "4=QM21_",
                                  "--version",     "2.01",
                                  "--flash-out",   (dir / "slot4.hex").string()};
    for (const char* slot : {"3=QM61_", "5=QM37_", "6=QM33_", "7=QM37_", "8=QM66A", "9=QM37_"}) {
      args.push_back("--slot");
      args.push_back(slot);
    }
    startSim(args);
  }
};

TEST_F(SlotE2E, ConnectPrintsTheSlotRows) {
  dataFile("QM21_", "QM21__", "upd2.01", 512, 3);
  dataFile("QM21_", "QM21__", "upd1.10", 512, 4);
  startUnit();
  std::string out;
  EXPECT_EQ(runTool("connect --port 7 --base-unit", out), 0) << errText();
  EXPECT_NE(out.find("Connected Device: QM65B   V2.22\n"), std::string::npos) << out;
  EXPECT_NE(out.find("slot 1  QM21_  Ver.: 1.05  enabled, checked  upd2.01\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("slot 2  QM37_  Ver.: n.a.  disabled\n"), std::string::npos) << out;
  // QM61 modules print their two version bytes in decimal (0x03 0x19: 3.25).
  EXPECT_NE(out.find("slot 3  QM61_  Ver.: 3.25  disabled\n"), std::string::npos) << out;
}

TEST_F(SlotE2E, UpdateWithChoicesAndJson) {
  dataFile("QM21_", "QM21__", "upd2.01", 512, 3);
  dataFile("QM21_", "QM21__", "upd1.10", 512, 4);
  startUnit();
  std::string out;
  // A file the slot does not offer is named with what it offers; nothing is updated.
  EXPECT_EQ(runTool("update --port 7 --base-unit --slot 1=upd9.99 --yes", out), 2);
  EXPECT_NE(errText().find("upd9.99 is not in slot 1's version list; available: upd2.01 upd1.10"),
            std::string::npos)
      << errText();

  out.clear();
  EXPECT_EQ(runTool("update --port 7 --base-unit --slot 1=UPD1.10 --skip 4 --yes --json", out), 0)
      << errText();
  stopSim();
  EXPECT_EQ(readFile(dir / "slot1.hex"), readFile(dir / "upd1.10.hex"));
  EXPECT_EQ(readFile(dir / "slot4.hex"), ":00000001FF\n");  // skipped: never programmed
  const auto j = nlohmann::json::parse(out);
  EXPECT_EQ(j["device"], "QM65B   V2.22");
  EXPECT_EQ(j["verdict"], "success");
  ASSERT_EQ(j["slots"].size(), 9u);
  EXPECT_EQ(j["slots"][0]["slot"], 1);
  EXPECT_EQ(j["slots"][0]["name"], "QM21_");
  EXPECT_EQ(j["slots"][0]["selected"], "upd1.10");
  EXPECT_EQ(j["slots"][0]["state"], "updated");
  EXPECT_EQ(j["slots"][1]["enabled"], false);
  EXPECT_EQ(j["slots"][1]["state"], "not-updated");
  EXPECT_EQ(j["slots"][3]["checked"], false);
  EXPECT_EQ(j["slots"][3]["state"], "not-updated");
  EXPECT_EQ(j["result"], "updated");
  EXPECT_EQ(j["module_changed"], true);
  EXPECT_EQ(j["exit"], 0);
}

// What a script reads from the exit status and "result": a run with a slot whose data file is for
// another module updated only part of the unit (3), one with every slot skipped touched nothing
// (2).
TEST_F(SlotE2E, ExitStatusSaysWhatTheSlotsSaw) {
  dataFile("QM21_", "QM21__", "upd2.01", 512, 3);
  dataFile("QX99X", "QM21__", "upd1.50", 512, 5);
  startUnit();
  std::string out;
  EXPECT_EQ(runTool("update --port 7 --base-unit --skip 1 --skip 4 --yes --json", out), 2)
      << errText();
  auto j = nlohmann::json::parse(out);
  EXPECT_EQ(j["result"], "not-started");
  EXPECT_EQ(j["module_changed"], false);

  out.clear();
  EXPECT_EQ(
      runTool("update --port 7 --base-unit --slot 1=upd2.01 --slot 4=upd1.50 --yes --json", out), 3)
      << errText();
  j = nlohmann::json::parse(out);
  EXPECT_EQ(j["verdict"], "success");
  EXPECT_EQ(j["result"], "partly-updated");
  EXPECT_EQ(j["module_changed"], true);
  EXPECT_EQ(j["slots"][0]["state"], "updated");
  EXPECT_EQ(j["slots"][3]["state"], "data-file-error");
  stopSim();
  EXPECT_EQ(readFile(dir / "slot1.hex"), readFile(dir / "upd2.01.hex"));
  EXPECT_EQ(readFile(dir / "slot4.hex"), ":00000001FF\n");  // never programmed
}

// A base unit of the first series cannot update modules: Connect refuses it, and slot choices
// for it end without a verdict instead of as usage errors.
TEST_F(SlotE2E, RefusedBaseUnitEndsWithoutVerdict) {
  dataFile("QM21_", "QM21__", "upd2.01", 512, 3);
  startSim({"--base-unit", "B", "--base-version", "1.20", "--slot", "1=QM21_"});
  std::string out;
  EXPECT_EQ(runTool("update --port 7 --base-unit --slot 1=upd2.01 --yes --json", out), 2)
      << errText();
  const auto j = nlohmann::json::parse(out);
  EXPECT_EQ(j["exit"], 2);
  EXPECT_EQ(j["verdict"], "none");
  EXPECT_EQ(j["slots"].size(), 9u);
  EXPECT_EQ(errText().find("is not in slot 1's version list"), std::string::npos) << errText();
}

}  // namespace
