#include "cli/commands.h"

#include <charconv>
#include <ostream>

#include "app/update_dialog.h"
#include "cli/json_report.h"

namespace qdqm::cli {

namespace {

constexpr Command kCommands[] = {
    {"ports", cmdPorts, "ports                 probe COM1-COM32; one line per port that opens"},
    {"connect", cmdConnect,
     "connect --port N [--low-speed] [--base-unit] [--json] [--trace FILE]  identify the "
     "module, list its versions"},
    {"update", cmdUpdate,
     "update --port N [--low-speed] [--version FILE] [--yes|--no] [--json] [--trace FILE]  "
     "connect, then update\n"
     "                         update --port N --base-unit [--slot K=FILE]... [--skip K]... "
     "[--yes|--no] [--json] [--trace FILE]"},
};

}  // namespace

std::span<const Command> commands() {
  return kCommands;
}

bool OptionReader::next() {
  if (!error_.empty() || at_ >= words_.size()) return false;
  word_ = words_[at_++];
  const size_t eq = word_.find('=');
  if (word_.starts_with("--") && eq != std::string_view::npos) {
    name_ = word_.substr(0, eq);
    attached_ = word_.substr(eq + 1);
  } else {
    name_ = word_;
    attached_.reset();
  }
  return true;
}

std::optional<std::string_view> OptionReader::value() {
  if (attached_) return attached_;
  if (at_ < words_.size()) return words_[at_++];
  fail(std::string(name_) + " needs a value");
  return std::nullopt;
}

bool OptionReader::plain() {
  if (attached_) fail(std::string(name_) + " takes no value");
  return !attached_;
}

void OptionReader::fail(std::string text) {
  if (error_.empty()) error_ = std::move(text);
}

int usageError(const Args& args, std::string_view command, std::string_view what,
               std::string_view help) {
  args.err << "qdqm-update " << command << ": " << what << "\n" << help;
  writeUsageErrorJson(args, command);
  return kUsageError;
}

void writeUsageErrorJson(const Args& args, std::string_view command) {
  for (std::string_view w : args.words) {
    if (w != "--json") continue;
    JsonReport report;
    if (command == "update") {
      report.verdict = "none";
      report.result = "not-started";
      report.moduleChanged = false;
    }
    report.exit = kUsageError;
    writeJsonReport(args.out, report);
    return;
  }
}

bool parsePortNumber(std::string_view text, unsigned& port) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  return ec == std::errc() && end == text.data() + text.size() && port >= 1 && port <= 99;
}

std::string badPortText(std::string_view value) {
  return "--port takes a port number from 1 to 99 (COM1 is 1), not '" + std::string(value) + "'";
}

void printUsage(std::ostream& os) {
  os << "usage: qdqm-update                       open the dialog\n";
  for (const Command& c : commands()) os << "       qdqm-update " << c.usage << "\n";
  os << "       qdqm-update --version             print the program version\n"
        "       qdqm-update --help                print this text\n";
}

void explainEmptyVersionList(const Args& args, std::string_view command, const UpdateDialog& dlg) {
  // Only the empty type directory leaves the working directory there with nothing listed.
  if (dlg.control(ids::Update).enabled || dlg.workingDir == dlg.programDir) return;
  if (!dlg.control(ids::VersionList).items.empty()) return;
  args.err << "qdqm-update " << command << ": no update version for " << dlg.typeText << ": "
           << dlg.workingDir << " holds no file\n";
}

}  // namespace qdqm::cli
