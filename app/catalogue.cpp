#include "app/catalogue.h"

#ifdef _WIN32
#include <windows.h>
#endif
#include <strings.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/list_handlers.h"
#include "link/controller.h"

namespace qdqm {
namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxPath = 260;

bool isSeparator(char c) {
  return c == '/' || c == '\\';
}

// How a module type obtains its revision suffix.
enum class SuffixRule {
  HardwareDigit,     // hardware revision byte + 0x30
  HardwareHex,       // hardware revision byte in lower-case hex
  HardwareDigitOr1,  // as HardwareDigit; a failed query counts as revision 1, silently
  BootLoader2,       // "2" when the boot loader's major version is 2, else none
  BootLoaderThenHw,  // "1" for boot loaders below 3, else the hardware digit
};
struct SuffixEntry {
  std::string_view prefix;
  SuffixRule rule;
};
constexpr std::array<SuffixEntry, 10> kSuffixTable{{
    {"QD09", SuffixRule::HardwareDigit},
    {"QD21S", SuffixRule::HardwareDigit},
    {"QD292", SuffixRule::HardwareDigit},
    {"QD20", SuffixRule::HardwareDigit},
    {"QM21M", SuffixRule::HardwareDigit},
    {"PS16", SuffixRule::HardwareDigit},
    {"QD21M", SuffixRule::HardwareHex},
    {"PS9x", SuffixRule::HardwareDigitOr1},
    {"QD01", SuffixRule::BootLoader2},
    {"QD61D", SuffixRule::BootLoaderThenHw},
}};

std::string lowerHex(uint8_t b) {
  char text[4];
  std::snprintf(text, sizeof text, "%x", b);
  return text;
}

}  // namespace

std::string programDirOf(std::string_view exePath) {
  std::string dir(exePath.substr(0, kMaxPath));
  // The first character is never taken as the separator: a name without one leaves nothing.
  size_t cut = 0;
  for (size_t i = dir.size(); i > 1; --i)
    if (isSeparator(dir[i - 1])) {
      cut = i - 1;
      break;
    }
  dir.resize(cut);
  return dir;
}

void determineProgramDir(UpdateDialog& dlg) {
#ifdef _WIN32
  wchar_t exe[kMaxPath + 1];
  const DWORD n = GetModuleFileNameW(nullptr, exe, kMaxPath + 1);
  dlg.programDir = n == 0 || n > kMaxPath ? std::string() : programDirOf(fs::path(exe).string());
#else
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  dlg.programDir = ec ? std::string() : programDirOf(exe.string());
#endif
}

void enterProgramDir(UpdateDialog& dlg) {
  dlg.workingDir = dlg.programDir;
}

std::string resolvePath(const std::string& base, std::string_view name) {
  fs::path at = (!name.empty() && isSeparator(name[0])) ? fs::path("/")
                : base.empty()                          ? fs::current_path()
                                                        : fs::path(base);
  size_t i = 0;
#ifdef _WIN32
  // A name with a drive ("C:\...") starts at that drive's root.
  if (name.size() >= 2 && name[1] == ':') {
    at = fs::path(std::string(name.substr(0, 2)) + "\\");
    i = 2;
  }
#endif
  while (i < name.size()) {
    size_t j = i;
    while (j < name.size() && !isSeparator(name[j])) ++j;
    const std::string part(name.substr(i, j - i));
    i = j + 1;
    if (part.empty() || part == ".") continue;
    std::error_code ec;
    if (part == ".." || fs::exists(at / part, ec)) {
      at /= part;
      continue;
    }
    bool found = false;
    for (fs::directory_iterator it(at, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string entry = it->path().filename().string();
      if (strcasecmp(entry.c_str(), part.c_str()) == 0) {
        at /= entry;
        found = true;
        break;
      }
    }
    if (!found) return {};
  }
  return at.string();
}

namespace {

// Makes `dirSpec`, taken from `base`, the working directory; false when it names no directory.
bool enterDir(UpdateDialog& dlg, const std::string& base, std::string_view dirSpec) {
  const std::string dir = resolvePath(base, dirSpec);
  std::error_code ec;
  if (dir.empty() || !fs::is_directory(dir, ec)) return false;
  dlg.workingDir = dir;
  return true;
}

}  // namespace

int enterTypeDir(UpdateDialog& dlg, std::string_view dirSpec) {
  return enterDir(dlg, dlg.programDir, dirSpec) ? 1 : 0;
}

std::string resolveInWorkingDir(const UpdateDialog& dlg, std::string_view name) {
  return resolvePath(dlg.workingDir, name);
}

bool isTypeDirSpec(std::string_view dirSpec) {
  constexpr std::string_view kHere = ".\\";
  if (!dirSpec.starts_with(kHere)) return false;
  const std::string_view name = dirSpec.substr(kHere.size());
  if (name.empty() || name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return c >= ' ' && c < 0x7f && c != '/' && c != '\\' && c != ':';
  });
}

int listDirectory(UpdateDialog& dlg, std::string_view dirSpec, int listId, unsigned filter) {
  if (!enterDir(dlg, dlg.workingDir, dirSpec)) return 0;
  if (filter != kListFiles) return 1;  // no file here lacks all of the DOS attributes
  Control& list = dlg.control(listId);
  std::error_code ec;
  for (fs::directory_iterator it(dlg.workingDir, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec)) list.items.push_back(it->path().filename().string());
  return 1;
}

int readListSelection(const Control& list, std::string& out) {
  if (list.selection < 0 || static_cast<size_t>(list.selection) >= list.items.size()) return 0;
  out = list.items[static_cast<size_t>(list.selection)].substr(0, kMaxPath);
  return 1;
}

void sortVersionsDescending(std::vector<std::string>& names) {
  bool swapped = true;
  while (swapped) {
    swapped = false;
    for (size_t i = 0; i + 1 < names.size(); ++i)
      if (strcasecmp(names[i].c_str(), names[i + 1].c_str()) < 0) {
        std::swap(names[i], names[i + 1]);
        swapped = true;
      }
  }
}

SuffixOutcome revisionSuffix(SerialPort& port, std::string_view type, std::string& suffix,
                             std::string& hwRevisionText) {
  suffix.clear();
  const auto entry = std::find_if(kSuffixTable.begin(), kSuffixTable.end(), [&](const auto& e) {
    return type.substr(0, e.prefix.size()) == e.prefix;
  });
  if (entry == kSuffixTable.end()) return SuffixOutcome::Ok;
  uint8_t hw = 0;
  uint8_t boot[2]{};
  switch (entry->rule) {
    case SuffixRule::HardwareDigit:
      if (!readHardwareInfo(port, &hw)) return SuffixOutcome::NoHardwareInfo;
      suffix = hwRevisionText = std::string(1, static_cast<char>(hw + 0x30));
      return SuffixOutcome::Ok;
    case SuffixRule::HardwareHex:
      if (!readHardwareInfo(port, &hw)) return SuffixOutcome::NoHardwareInfo;
      suffix = hwRevisionText = lowerHex(hw);
      return SuffixOutcome::Ok;
    case SuffixRule::HardwareDigitOr1:
      if (!readHardwareInfo(port, &hw)) hw = 1;
      suffix = std::string(1, static_cast<char>(hw + 0x30));
      return SuffixOutcome::Ok;
    case SuffixRule::BootLoader2:
      if (!readBootLoaderVersion(port, boot)) return SuffixOutcome::NoBootLoaderVersion;
      if (boot[0] == 2) suffix.assign(1, '2');
      return SuffixOutcome::Ok;
    case SuffixRule::BootLoaderThenHw:
      if (!readBootLoaderVersion(port, boot)) return SuffixOutcome::NoBootLoaderVersion;
      if (boot[0] < 3) {
        suffix.assign(1, '1');
        return SuffixOutcome::Ok;
      }
      if (!readHardwareInfo(port, &hw)) return SuffixOutcome::NoHardwareInfo;
      suffix = hwRevisionText = std::string(1, static_cast<char>(hw + 0x30));
      return SuffixOutcome::Ok;
  }
  return SuffixOutcome::Ok;
}

const char* suffixFailureText(SuffixOutcome outcome) {
  switch (outcome) {
    case SuffixOutcome::NoHardwareInfo:
      return "Could not get hardware information from module !\nError Code: 22";
    case SuffixOutcome::NoBootLoaderVersion:
      return "Could not get bootloader version from module !\nError Code: 23";
    case SuffixOutcome::Ok:
      break;
  }
  return "";
}

ListOutcome fillVersionList(UpdateDialog& dlg, std::string_view type, std::string_view suffix) {
  const std::string five(type.substr(0, 5));
  dlg.typeDirSpec = ".\\" + five + "_" + std::string(suffix);
  dlg.typeText = five;
  Control& list = dlg.control(ids::VersionList);
  list.items.clear();
  list.selection = -1;
  if (!isTypeDirSpec(dlg.typeDirSpec) ||
      !listDirectory(dlg, dlg.typeDirSpec, ids::VersionList, kListFiles))
    return ListOutcome::NoDirectory;
  if (list.items.empty()) return ListOutcome::Empty;
  // The list keeps the order it is given: the highest version goes first.
  if (list.items.size() > 1) sortVersionsDescending(list.items);
  list.selection = 0;
  readListSelection(list, dlg.selectedFile);
  dlg.control(ids::VersionLabel).visible = true;
  list.enabled = true;
  dlg.control(ids::Update).enabled = true;
  dlg.setFocus(ids::Update);
  return ListOutcome::Listed;
}

void onVersionSelected(UpdateDialog& dlg) {
  readListSelection(dlg.control(ids::VersionList), dlg.selectedFile);
}

void resetVersionList(UpdateDialog& dlg) {
  listDirectory(dlg, dlg.programDir, ids::VersionList, kListExclusiveNoAttributes);
  dlg.control(ids::Update).enabled = false;
  Control& list = dlg.control(ids::VersionList);
  list.items.clear();
  list.selection = -1;
  dlg.deviceText.clear();
  dlg.updateData();
}

void resetSlotRow(UpdateDialog& dlg, int slotIndex, bool full) {
  if (slotIndex < 0 || slotIndex > 8) return;
  SlotEntry& slot = dlg.slots[static_cast<size_t>(slotIndex)];
  const SlotRowIds& row = kSlotRows[slotIndex];
  const std::string saved = slot.nameText;
  slot.nameText.clear();
  dlg.updateData();
  if (!full) {
    // Redrawn with the colour of its current state.
    slot.nameText = saved;
    dlg.updateData();
    return;
  }
  Control& check = dlg.control(row.check);
  check.enabled = false;
  check.checked = false;
  dlg.control(row.verLabel).enabled = false;
  slot.versionText.clear();
  slot.selectedFile.clear();
  Control& list = dlg.control(row.versionList);
  list.enabled = false;
  list.items.clear();
  list.selection = -1;
  listDirectory(dlg, dlg.programDir, row.versionList, kListExclusiveNoAttributes);
  dlg.updateData();
}

}  // namespace qdqm
