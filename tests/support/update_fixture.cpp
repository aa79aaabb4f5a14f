#include "tests/support/update_fixture.h"

namespace qdqm::testing {

sim::Profile profile(std::string type, sim::Protocol p) {
  sim::Profile pr;
  pr.type = std::move(type);
  pr.protocol = p;
  pr.topSpeed = '3';
  pr.software = {0x01, 0x05};
  pr.versionAfterReset = {0x02, 0x01};
  return pr;
}

void UpdateFlow::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  dir = std::filesystem::temp_directory_path() /
        ("qdqm-update-" + std::string(info->test_suite_name()) + info->name());
  // Separators as the system writes them (a parameterised test's name holds "/"), as in the
  // program directory Windows gives.
  dir.make_preferred();
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
}

void UpdateFlow::TearDown() {
  std::filesystem::remove_all(dir);
}

void UpdateFlow::write(const std::string& name, const std::string& text) {
  std::filesystem::create_directories((dir / name).parent_path());
  std::ofstream(dir / name, std::ios::binary) << text;
}

sim::Image UpdateFlow::dataFile(const std::string& name, const std::string& type, uint32_t start,
                                uint32_t size, const std::string& fpga, const std::string& mpeg,
                                unsigned recordBytes) {
  sim::Image image = sim::syntheticImage(start, size, size + start);
  write(name, sim::makeDataFile({type, fpga, mpeg}, image, recordBytes));
  return image;
}

void UpdateFlow::Run::choose(const std::string& entry, bool lowSpeed) {
  dlg.control(ids::LowSpeed).checked = lowSpeed;
  dlg.onConnectClicked();
  ASSERT_TRUE(dlg.control(ids::Update).enabled)
      << (host.boxes.empty() ? "" : host.boxes.front().text);
  Control& list = dlg.control(ids::VersionList);
  const auto it = std::find(list.items.begin(), list.items.end(), entry);
  ASSERT_NE(it, list.items.end());
  list.selection = static_cast<int>(it - list.items.begin());
  dlg.onVersionSelected();
  host.boxes.clear();
  sentBefore = sent().size();
}

void UpdateFlow::Run::update(const std::string& entry, bool lowSpeed) {
  choose(entry, lowSpeed);
  if (!::testing::Test::HasFatalFailure()) dlg.onUpdateClicked();
}

void expectIdle(UpdateFlow::Run& r) {
  const LineSettings s = r.opener.line(1)->settings();
  EXPECT_EQ(s.baud, 19200u);
  EXPECT_EQ(s.parity, Parity::None);
  EXPECT_TRUE(r.dlg.control(ids::VersionList).items.empty());
  EXPECT_FALSE(r.dlg.control(ids::Update).enabled);
  EXPECT_TRUE(r.dlg.control(ids::Connect).enabled);
  EXPECT_TRUE(r.dlg.control(ids::Exit).enabled);
  EXPECT_FALSE(r.dlg.control(ids::StatusLine).visible);
  EXPECT_EQ(r.dlg.deviceText, "");
  EXPECT_EQ(r.dlg.workingDir, r.dlg.programDir);
}

}  // namespace qdqm::testing
