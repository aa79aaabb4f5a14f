// `history`: the service record of this user, as a table (newest last) or as its JSON lines.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "app/service_record.h"
#include "cli/commands.h"

namespace qdqm::cli {
namespace {

constexpr std::string_view kHistoryHelp =
    "usage: qdqm-update history [--since YYYY-MM-DD] [--json]\n"
    "  Shows the service record: one line per update run (time in UTC, port, device, data file,\n"
    "  result), oldest first. It is kept in $XDG_STATE_HOME/qdqm-update/history.jsonl\n"
    "  (~/.local/state/qdqm-update/history.jsonl; on Windows %LOCALAPPDATA%\\qdqm-update).\n"
    "  --since DATE  only runs from that day (UTC) on\n"
    "  --json        the record's lines as they are stored, one JSON object a line\n";

struct Entry {
  std::string time, line;
  nlohmann::json j;
};

// YYYY-MM-DD naming a day of the calendar (2026-02-30 is not one).
bool isDate(std::string_view s) {
  if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (s[i] < '0' || s[i] > '9') return false;
  const auto number = [&](size_t at, size_t length) {
    int n = 0;
    for (size_t i = at; i < at + length; ++i) n = n * 10 + (s[i] - '0');
    return n;
  };
  const std::chrono::year_month_day day{std::chrono::year(number(0, 4)),
                                        std::chrono::month(static_cast<unsigned>(number(5, 2))),
                                        std::chrono::day(static_cast<unsigned>(number(8, 2)))};
  return day.ok();
}

std::string text(const nlohmann::json& j, const char* key) {
  const auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string("-");
}

}  // namespace

int cmdHistory(const Args& args) {
  std::string since;
  bool json = false;
  OptionReader r(args.words);
  while (r.next()) {
    if (r.name() == "--json") {
      json = r.plain();
    } else if (r.name() == "--since") {
      const auto v = r.value();
      if (v && !isDate(*v))
        r.fail("--since takes a date YYYY-MM-DD, not '" + std::string(*v) + "'");
      if (v) since = *v;
    } else if (r.name() == "--help" && r.plain()) {
      args.out << kHistoryHelp;
      return 0;
    } else {
      r.unknown();
    }
  }
  if (!r.error().empty()) return usageError(args, "history", r.error(), kHistoryHelp);

  const std::string path = defaultHistoryPath();
  std::ifstream in(path);
  if (!in) {
    if (!json) args.err << "qdqm-update history: no service record yet (" << path << ")\n";
    return 0;
  }
  std::vector<Entry> entries;
  unsigned unreadable = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
      ++unreadable;
      continue;
    }
    const std::string time = text(j, "time");
    if (!since.empty() && time < since) continue;
    entries.push_back({time, line, std::move(j)});
  }
  // Stations and processes append as their runs end: newest last by the time a run started.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.time < b.time; });
  if (unreadable)
    args.err << "qdqm-update history: " << unreadable << " line(s) of " << path
             << " are no record and were passed over\n";
  if (json) {
    for (const Entry& e : entries) args.out << e.line << "\n";
    return 0;
  }
  args.out << std::left << std::setw(21) << "time" << std::setw(7) << "port" << std::setw(16)
           << "device" << std::setw(14) << "file"
           << "result\n";
  for (const Entry& e : entries)
    args.out << std::setw(21) << e.time << std::setw(7) << text(e.j, "port") << std::setw(16)
             << text(e.j, "device") << std::setw(14) << text(e.j, "file") << text(e.j, "result")
             << "\n";
  return 0;
}

}  // namespace qdqm::cli
