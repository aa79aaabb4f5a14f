#include "app/service_record.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/catalogue.h"
#include "app/run_result.h"
#include "app/sha256.h"
#include "app/trace.h"

namespace qdqm {
namespace fs = std::filesystem;

namespace {

constexpr const char* kHistoryFile = "history.jsonl";

std::string isoTimeNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

nlohmann::ordered_json textOrNull(const std::string& text) {
  return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

// A file named as the user knows it: relative to the update folder where it lies in it.
std::string shownName(const UpdateDialog& dlg, const std::string& path) {
  std::error_code ec;
  const fs::path relative = fs::path(path).lexically_relative(dlg.programDir);
  if (!dlg.programDir.empty() && !relative.empty() && *relative.begin() != "..")
    return relative.generic_string();
  return path;
}

nlohmann::ordered_json slotRecords(const UpdateDialog& dlg) {
  nlohmann::ordered_json slots = nlohmann::ordered_json::array();
  for (int k = 0; k < dlg.slotCount && k < 9; ++k) {
    // The rows the run was asked to update.
    if (!dlg.control(kSlotRows[k].check).checked) continue;
    const SlotEntry& slot = dlg.slots[static_cast<size_t>(k)];
    const bool chosen = !slot.selectedFile.empty();
    const std::string dir = chosen ? resolvePath(dlg.programDir, slot.dirSpec) : std::string();
    const std::string path = dir.empty() ? dir : resolvePath(dir, slot.selectedFile);
    nlohmann::ordered_json s;
    s["slot"] = k + 1;
    s["name"] = slot.nameText;
    s["version"] = textOrNull(slot.versionText);
    s["file"] = textOrNull(chosen ? slot.selectedFile : std::string());
    s["sha256"] = textOrNull(path.empty() ? path : sha256OfFile(path));
    s["state"] = slotStateName(slot.state);
    slots.push_back(std::move(s));
  }
  return slots;
}

}  // namespace

std::string defaultHistoryPath() {
#ifdef _WIN32
  const std::string dir = windowsTraceDirectory(std::getenv("LOCALAPPDATA"));
#else
  const std::string dir = traceDirectory(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
#endif
  return dir.empty() ? dir : (fs::path(dir) / kHistoryFile).string();
}

std::string historyFolder(const UpdateDialog& dlg) {
  if (dlg.historyPath.empty()) return {};
  const fs::path folder = fs::path(dlg.historyPath).parent_path();
  std::error_code ec;
  fs::create_directories(folder, ec);
  return folder.string();
}

void showHistoryPath(UpdateDialog& dlg) {
  dlg.host.message("Service record", "The service record is kept in\n" + dlg.historyPath,
                   Icon::Information);
}

void beginServiceRecord(UpdateDialog& dlg) {
  UpdateDialog::RunRecord& r = dlg.record;
  r = {};
  r.started = isoTimeNow();
  r.startUs = dlg.clock.nowUs();
  r.device = dlg.deviceText;
  if (!dlg.control(ids::BaseUnit).checked) {
    r.file = dlg.selectedFile;
    r.filePath = resolveInWorkingDir(dlg, dlg.selectedFile);
  }
}

void noteOpenedFile(UpdateDialog& dlg, const std::string& path) {
  dlg.record.coprocessorFiles.push_back(path);
}

std::string serviceRecordLine(const UpdateDialog& dlg) {
  const UpdateDialog::RunRecord& r = dlg.record;
  const RunResult result = runResult(dlg);
  const unsigned port = dlg.portNumber();
  nlohmann::ordered_json j;
  j["time"] = r.started;
  j["duration_s"] = static_cast<double>(dlg.clock.nowUs() - r.startUs) / 1e6;
  j["port"] = "COM" + std::to_string(port);
  j["port_device"] = textOrNull(dlg.port.opener.devicePath(port));
  j["device"] = r.device;
  j["file"] = textOrNull(r.file);
  j["sha256"] = textOrNull(r.filePath.empty() ? r.filePath : sha256OfFile(r.filePath));
  j["coprocessor_files"] = nlohmann::ordered_json::array();
  for (const std::string& path : r.coprocessorFiles)
    j["coprocessor_files"].push_back(
        {{"file", shownName(dlg, path)}, {"sha256", sha256OfFile(path)}});
  j["version_before"] = textOrNull(r.device);
  j["version_after"] = textOrNull(r.versionAfter);
  j["verdict"] = verdictName(dlg.verdict);
  j["result"] = runResultName(result);
  j["module_changed"] = dlg.port.moduleChanged.load();
  if (dlg.control(ids::BaseUnit).checked) j["slots"] = slotRecords(dlg);
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void finishServiceRecord(UpdateDialog& dlg) {
  if (dlg.historyPath.empty()) return;
  std::string error;
  if (!appendHistoryLine(dlg.historyPath, serviceRecordLine(dlg), error))
    dlg.host.notice("the service record could not be written to " + dlg.historyPath + ": " + error);
}

}  // namespace qdqm
