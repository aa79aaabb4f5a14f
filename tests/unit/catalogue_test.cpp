// The update file catalogue's pure rules: program directory, path resolution, version order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/catalogue.h"
#include "app/update_folder.h"

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

// Where the update sets are looked for: a folder given wins, then the environment's, then the
// program's own folder when it holds a type directory (a portable copy), then the user's data
// folder and the system's, the first that exists; with none, the user's is named.
TEST(UpdateFolder, OrderOfThePlaces) {
  namespace fs = std::filesystem;
  const fs::path base = fs::temp_directory_path() / "qdqm-update-folder";
  fs::remove_all(base);
  for (const char* d : {"portable/QD21S_1", "bare/notes", "named/qm41b_", "user", "system"})
    fs::create_directories(base / d);
  std::ofstream(base / "bare" / "QD21S_1") << "a file, not a type directory";
  const std::string portable = (base / "portable").string(), bare = (base / "bare").string();
  const std::string user = (base / "user").string(), system = (base / "system").string();
  const std::string missing = (base / "missing").string();
  const struct {
    const char* what;
    UpdateFolderPlaces places;
    std::string expected;
  } kCases[] = {
      {"given wins", {"/media/stick", "/srv/sets", portable, user, system}, "/media/stick"},
      {"environment next", {"", "/srv/sets", portable, user, system}, "/srv/sets"},
      {"portable copy", {"", "", portable, user, system}, portable},
      {"type directory in any case",
       {"", "", (base / "named").string(), user, system},
       (base / "named").string()},
      {"program folder without type directories", {"", "", bare, user, system}, user},
      {"no user folder", {"", "", bare, missing, system}, system},
      {"none exists: the user's is named", {"", "", bare, missing, missing}, missing},
      {"no user folder known", {"", "", bare, "", ""}, bare},
  };
  for (const auto& c : kCases) EXPECT_EQ(chooseUpdateFolder(c.places), c.expected) << c.what;
#ifndef _WIN32
  EXPECT_EQ(userDataFolder("/x/data", "/home/t"), "/x/data/qdqm-update");
  EXPECT_EQ(userDataFolder("relative", "/home/t"), "/home/t/.local/share/qdqm-update");
  EXPECT_EQ(userDataFolder("", ""), "");
#endif
  fs::remove_all(base);
}

}  // namespace
}  // namespace qdqm
