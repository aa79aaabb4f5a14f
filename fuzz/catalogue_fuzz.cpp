// The update file catalogue on a small folder tree built from the input: the version list's
// order (descending, ignoring case, equal names kept in order) and the resolution of names given
// with "\" or "/" and in any case, judged against a model of the tree.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/catalogue.h"
#include "app/controls.h"
#include "app/update_dialog.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/quiet_host.h"
#include "fuzz/support/script_line.h"
#include "fuzz/support/temp_dir.h"
#include "procedures/procedures.h"

namespace qdqm::fuzz {
namespace {

namespace fs = std::filesystem;

bool sameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// A name as a file system allows it (no separators, no NUL, not "." or ".."); "\" is a
// separator in the data files, so no name holds one either.
std::string fileName(FuzzInput& in) {
  std::string name;
  for (char c : in.text(10))
    if (c != '/' && c != '\\' && c != '\0') name += c;
  if (name.empty() || name == "." || name == "..") name = "v" + std::to_string(name.size());
  return name;
}

std::string flipCase(FuzzInput& in, const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (in.flag())
      c = static_cast<char>(std::isupper(static_cast<unsigned char>(c))
                                ? std::tolower(static_cast<unsigned char>(c))
                                : std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// Descending, ignoring case; names that compare equal keep their order.
void checkOrder(std::vector<std::string> names) {
  std::vector<std::string> sorted = names;
  sortVersionsDescending(sorted);
  std::vector<std::string> expected = names;
  std::stable_sort(expected.begin(), expected.end(),
                   [](const std::string& a, const std::string& b) {
                     return strcasecmp(a.c_str(), b.c_str()) > 0;
                   });
  FUZZ_EXPECT(sorted == expected);
}

struct Entry {
  std::string name;
  bool directory = false;
};

}  // namespace
}  // namespace qdqm::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qdqm;
  using namespace qdqm::fuzz;
  FuzzInput in(data, size);

  // The order alone, over arbitrary texts.
  std::vector<std::string> texts(in.below(9));
  for (std::string& t : texts) {
    t = in.text(6);
    t = t.substr(0, t.find('\0'));  // list entries are C strings
  }
  checkOrder(texts);

  // A program folder with one type folder QD21S_<suffix> in some case, holding up to 6 entries.
  const fs::path root = processTempDir() / "program";
  std::error_code ec;
  fs::remove_all(root, ec);
  fs::create_directories(root, ec);
  FUZZ_EXPECT(!ec);
  const std::string suffix = in.flag() ? std::string(1, char('0' + in.below(10))) : "";
  const std::string typeDir = flipCase(in, "qd21s_" + suffix);
  fs::create_directory(root / typeDir, ec);
  FUZZ_EXPECT(!ec);
  std::vector<Entry> entries;
  const unsigned count = in.below(7);
  for (unsigned k = 0; k < count; ++k) {
    Entry e{fileName(in), in.below(4) == 0};
    if (std::any_of(entries.begin(), entries.end(),
                    [&](const Entry& x) { return x.name == e.name; }))
      continue;
    if (e.directory) {
      fs::create_directory(root / typeDir / e.name, ec);
    } else {
      std::ofstream(root / typeDir / e.name) << "x";
    }
    entries.push_back(e);
  }

  // The version list: every file of the type folder, highest first, the first one chosen.
  VirtualClock clock;
  QuietHost host;
  ScriptOpener opener(clock);
  UpdateDialog dlg(opener, clock, host, windowProcedures());
  dlg.programDir = root.string();
  enterProgramDir(dlg);
  const ListOutcome listed = fillVersionList(dlg, "QD21S", suffix);
  std::vector<std::string> files;
  for (const Entry& e : entries)
    if (!e.directory) files.push_back(e.name);
  const Control& list = dlg.control(ids::VersionList);
  FUZZ_EXPECT(listed == (files.empty() ? ListOutcome::Empty : ListOutcome::Listed));
  std::vector<std::string> shown = list.items;
  std::sort(files.begin(), files.end());
  std::sort(shown.begin(), shown.end());
  FUZZ_EXPECT(shown == files);
  for (size_t i = 0; i + 1 < list.items.size(); ++i)
    FUZZ_EXPECT(strcasecmp(list.items[i].c_str(), list.items[i + 1].c_str()) >= 0);
  if (!files.empty()) FUZZ_EXPECT(list.selection == 0 && dlg.selectedFile == list.items[0]);
  FUZZ_EXPECT(fs::equivalent(dlg.workingDir, root / typeDir, ec));

  // A name of the tree in another case, with either separator: the exact name when it exists,
  // else one that matches ignoring case; nothing when no entry matches.
  if (entries.empty()) return 0;
  const Entry& target = entries[in.below(static_cast<uint32_t>(entries.size()))];
  const bool missing = in.below(6) == 0;
  const std::string asked = missing ? fileName(in) : flipCase(in, target.name);
  const char sep = in.flag() ? '\\' : '/';
  const std::string dirAsked = flipCase(in, typeDir);
  const std::string query = (in.flag() ? std::string(".") + sep : std::string()) + dirAsked + sep +
                            asked + (target.directory && in.flag() ? std::string(1, sep) : "");
  const std::string resolved = resolvePath(root.string(), query);
  std::vector<std::string> candidates;
  for (const Entry& e : entries)
    if (sameIgnoringCase(e.name, asked)) candidates.push_back(e.name);
  const bool exact =
      std::any_of(entries.begin(), entries.end(), [&](const Entry& e) { return e.name == asked; });
  if (candidates.empty()) {
    FUZZ_EXPECT(resolved.empty());
    return 0;
  }
  FUZZ_EXPECT(!resolved.empty() && fs::exists(resolved, ec));
  const fs::path got(resolved);
  FUZZ_EXPECT(fs::equivalent(got.parent_path(), root / typeDir, ec));
  const std::string name = got.filename().string();
  if (exact) {
    FUZZ_EXPECT(name == asked);
  } else {
    FUZZ_EXPECT(std::find(candidates.begin(), candidates.end(), name) != candidates.end());
  }
  return 0;
}
