// The --json report of `connect` and `update`: one JSON object on stdout when the command ends,
// the interface of scripted service stations.
#pragma once

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace qdqm::cli {

struct JsonMessage {
  std::string caption, text;
};

struct JsonSlot {
  unsigned slot = 0;  // 1-9, as printed on the unit
  std::string name, version;
  bool enabled = false, checked = false;
  std::vector<std::string> versions;
  std::optional<std::string> selected;
  std::string state;  // "idle", "busy", "updated", "failed", "not-updated", "data-file-error"
};

struct JsonReport {
  std::string device;
  std::vector<std::string> versions;
  std::optional<std::string> selected;
  std::optional<std::vector<JsonSlot>> slots;  // base units only
  std::optional<std::string> verdict;          // "success", "failure" or "none"; `update` only
  // `update` only: "updated", "failed", "not-started" or "partly-updated", and whether anything
  // was written to a module.
  std::optional<std::string> result;
  std::optional<bool> moduleChanged;
  std::vector<JsonMessage> messages;
  int exit = 0;
};

// Writes the report as one line of JSON.
void writeJsonReport(std::ostream& out, const JsonReport& report);
// The report as a JSON object, and a JSON value as one line (texts that are not UTF-8 replaced).
nlohmann::ordered_json jsonOf(const JsonReport& report);
void writeJsonLine(std::ostream& out, const nlohmann::ordered_json& value);

}  // namespace qdqm::cli
