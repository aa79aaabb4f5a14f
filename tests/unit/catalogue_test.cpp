// The update file catalogue's pure rules: program directory, path resolution, version order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/catalogue.h"

namespace qdqm {
namespace {

using ::testing::ElementsAre;

TEST(Catalogue, ProgramDirOfExecutable) {
  EXPECT_EQ(programDirOf("/opt/qdqm/bin/qdqm-update"), "/opt/qdqm/bin");
  EXPECT_EQ(programDirOf("C:\\Tools\\update.exe"), "C:\\Tools");
  // The first character is never taken as a separator.
  EXPECT_EQ(programDirOf("/qdqm-update"), "");
  EXPECT_EQ(programDirOf("qdqm-update"), "");
}

TEST(Catalogue, VersionOrderDescendingIgnoringCase) {
  std::vector<std::string> names{"upd1.05", "UPD2.01", "upd1.10"};
  sortVersionsDescending(names);
  EXPECT_THAT(names, ElementsAre("UPD2.01", "upd1.10", "upd1.05"));
  std::vector<std::string> same{"b", "B", "a"};
  sortVersionsDescending(same);  // equal names keep their order
  EXPECT_THAT(same, ElementsAre("b", "B", "a"));
}

TEST(Catalogue, ResolvesBackslashesAndCase) {
  const auto base = std::filesystem::temp_directory_path() / "qdqm-catalogue-resolve";
  std::filesystem::remove_all(base);
  std::filesystem::create_directories(base / "QD09T_3");
  std::ofstream(base / "QD09T_3" / "Fpga.Bit") << "x";
  EXPECT_EQ(resolvePath(base.string(), ".\\QD09T_3\\Fpga.Bit"),
            (base / "QD09T_3" / "Fpga.Bit").string());
#ifdef _WIN32
  // The file system ignores the case: the name as written opens the file.
  EXPECT_TRUE(std::filesystem::equivalent(resolvePath(base.string(), "qd09t_3/FPGA.BIT"),
                                          base / "QD09T_3" / "Fpga.Bit"));
#else
  EXPECT_EQ(resolvePath(base.string(), "qd09t_3/FPGA.BIT"),
            (base / "QD09T_3" / "Fpga.Bit").string());
#endif
  EXPECT_EQ(resolvePath(base.string(), ".\\QD09T_4"), "");
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace qdqm
