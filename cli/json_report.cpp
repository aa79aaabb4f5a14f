#include "cli/json_report.h"

#include <nlohmann/json.hpp>
#include <ostream>

namespace qdqm::cli {

nlohmann::ordered_json jsonOf(const JsonReport& report) {
  nlohmann::ordered_json j;
  j["device"] = report.device;
  j["versions"] = report.versions;
  j["selected"] = report.selected ? nlohmann::ordered_json(*report.selected) : nullptr;
  if (report.slots) {
    j["slots"] = nlohmann::ordered_json::array();
    for (const JsonSlot& slot : *report.slots) {
      nlohmann::ordered_json o;
      o["slot"] = slot.slot;
      o["name"] = slot.name;
      o["version"] = slot.version;
      o["enabled"] = slot.enabled;
      o["checked"] = slot.checked;
      o["versions"] = slot.versions;
      o["selected"] = slot.selected ? nlohmann::ordered_json(*slot.selected) : nullptr;
      o["state"] = slot.state;
      j["slots"].push_back(std::move(o));
    }
  }
  if (report.verdict) j["verdict"] = *report.verdict;
  if (report.result) j["result"] = *report.result;
  if (report.moduleChanged) j["module_changed"] = *report.moduleChanged;
  j["messages"] = nlohmann::ordered_json::array();
  for (const JsonMessage& m : report.messages)
    j["messages"].push_back({{"caption", m.caption}, {"text", m.text}});
  j["exit"] = report.exit;
  return j;
}

void writeJsonLine(std::ostream& out, const nlohmann::ordered_json& value) {
  // Texts from the module or from file names need not be valid UTF-8: replace, never throw.
  out << value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << std::endl;
}

void writeJsonReport(std::ostream& out, const JsonReport& report) {
  writeJsonLine(out, jsonOf(report));
}

}  // namespace qdqm::cli
