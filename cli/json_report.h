// The --json report of `connect` and `update`: one JSON object on stdout when the command ends,
// the interface of scripted service stations.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace qdqm::cli {

struct JsonMessage {
  std::string caption, text;
};

struct JsonReport {
  std::string device;
  std::vector<std::string> versions;
  std::optional<std::string> selected;
  std::optional<std::string> verdict;  // "success", "failure" or "none"; `update` only
  std::vector<JsonMessage> messages;
  int exit = 0;
};

// Writes the report as one line of JSON.
void writeJsonReport(std::ostream& out, const JsonReport& report);

}  // namespace qdqm::cli
