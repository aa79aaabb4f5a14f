#include "app/update_folder.h"

#include <strings.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "app/catalogue.h"

namespace qdqm {
namespace fs = std::filesystem;

namespace {

constexpr const char* kFolderName = "qdqm-update";
constexpr std::array<std::string_view, 4> kFamilies{"QD", "QM", "PS", "PN"};
constexpr size_t kTypeLength = 5;
constexpr size_t kMaxSuffix = 2;

// A usable base folder: set, not empty, absolute.
bool usable(const char* value) {
  return value != nullptr && *value != '\0' && fs::path(value).is_absolute();
}

bool isDirectory(const std::string& dir) {
  std::error_code ec;
  return !dir.empty() && fs::is_directory(dir, ec);
}

bool isTypeDirectoryName(std::string_view name) {
  if (name.size() < kTypeLength + 1 || name.size() > kTypeLength + 1 + kMaxSuffix) return false;
  if (name[kTypeLength] != '_') return false;
  for (std::string_view family : kFamilies)
    if (strncasecmp(name.data(), family.data(), family.size()) == 0) return true;
  return false;
}

std::string environmentValue(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

}  // namespace

std::string userDataFolder(const char* xdgDataHome, const char* home) {
#ifdef _WIN32
  (void)xdgDataHome;
  // Windows keeps a user's application data in %LOCALAPPDATA%; `home` stands for it here.
  if (!usable(home)) return {};
  return (fs::path(home) / kFolderName).string();
#else
  if (usable(xdgDataHome)) return (fs::path(xdgDataHome) / kFolderName).string();
  if (usable(home)) return (fs::path(home) / ".local" / "share" / kFolderName).string();
  return {};
#endif
}

UpdateFolderPlaces updateFolderPlaces(const std::string& programDir, const std::string& given) {
  UpdateFolderPlaces p;
  p.given = given;
  p.environment = environmentValue("QDQM_DATA_DIR");
  p.programDir = programDir;
#ifdef _WIN32
  p.userDir = userDataFolder(nullptr, std::getenv("LOCALAPPDATA"));
#else
  p.userDir = userDataFolder(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
  p.systemDir = std::string("/usr/share/") + kFolderName;
#endif
  return p;
}

bool holdsTypeDirectories(const std::string& dir) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    if (it->is_directory(typeError) && isTypeDirectoryName(it->path().filename().string()))
      return true;
  }
  return false;
}

std::string chooseUpdateFolder(const UpdateFolderPlaces& places) {
  if (!places.given.empty()) return places.given;
  if (!places.environment.empty()) return places.environment;
  if (holdsTypeDirectories(places.programDir)) return places.programDir;
  for (const std::string* dir : {&places.userDir, &places.systemDir})
    if (isDirectory(*dir)) return *dir;
  return places.userDir.empty() ? places.programDir : places.userDir;
}

std::string updateFolderMenuText(const UpdateDialog& dlg) {
  return "Update folder: " + dlg.programDir;
}

void changeUpdateFolder(UpdateDialog& dlg, const std::string& folder) {
  useUpdateFolder(dlg, folder);
  dlg.forgetModule();
  dlg.setConnectHint(dlg.port.isOpen());
  dlg.updateData();
}

std::string rememberedUpdateFolder(const std::string& remembered) {
  return isDirectory(remembered) ? remembered : std::string();
}

void useUpdateFolder(UpdateDialog& dlg, const std::string& given) {
  determineProgramDir(dlg);
  dlg.programDir = chooseUpdateFolder(updateFolderPlaces(dlg.programDir, given));
  enterProgramDir(dlg);
}

}  // namespace qdqm
