#include "cli/commands.h"

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <ostream>

#include "app/catalogue.h"
#include "app/update_dialog.h"
#include "app/update_folder.h"
#include "cli/json_report.h"
#include "link/port_info.h"
#include "link/serial_device.h"

namespace qdqm::cli {

namespace {

constexpr Command kCommands[] = {
    {"ports", cmdPorts,
     "ports [--json]        the ports that open: COM number, device, stable name, USB adapter"},
    {"connect", cmdConnect,
     "connect --port N|DEVICE [--low-speed] [--base-unit] [--json] [--trace FILE]\n"
     "                         [--data-dir DIR]  identify the module, list its versions"},
    {"update", cmdUpdate,
     "update --port N|DEVICE [--low-speed] [--version FILE] [--yes|--no] [--json]\n"
     "                         [--trace FILE] [--data-dir DIR]  connect, then update\n"
     "                         update --port N|DEVICE --base-unit [--slot K=FILE]... [--skip "
     "K]...\n"
     "                         [--yes|--no] [--json] [--trace FILE] [--data-dir DIR]"},
    {"history", cmdHistory,
     "history [--since YYYY-MM-DD] [--json]  the service record: one line per update run"},
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
    const bool update = command == "update";
    // Moved in whole: g++ 12 takes a string assigned into an empty optional in a branch for one
    // that may be read uninitialised (in the sanitizer build).
    std::optional<std::string> verdict, result;
    if (update) {
      verdict = std::string("none");
      result = std::string("not-started");
    }
    JsonReport report;
    report.verdict = std::move(verdict);
    report.result = std::move(result);
    if (update) report.moduleChanged = false;
    report.exit = kUsageError;
    writeJsonReport(args.out, report);
    return;
  }
}

bool parsePortNumber(std::string_view text, unsigned& port) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  return ec == std::errc() && end == text.data() + text.size() && port >= 1 && port <= 99;
}

bool parsePortArgument(std::string_view text, unsigned& number, std::string& device) {
  number = 0;
  device.clear();
#ifdef _WIN32
  if (text.starts_with("\\\\.\\")) text.remove_prefix(4);
#endif
  if (text.size() > 3 && strncasecmp(text.data(), "COM", 3) == 0) text.remove_prefix(3);
  if (parsePortNumber(text, number)) return true;
#ifndef _WIN32
  if (text.find('/') != std::string_view::npos) {
    device = text;
    return true;
  }
#endif
  return false;
}

std::string badPortText(std::string_view value) {
#ifdef _WIN32
  constexpr const char* kDevice = "\\\\.\\COM12";
#else
  constexpr const char* kDevice = "/dev/ttyUSB0";
#endif
  return std::string("--port takes a COM number (1-99, COM1-COM99) or a device such as ") +
         kDevice + ", not '" + std::string(value) + "'";
}

unsigned portNumberFor(const std::string& device, PortOpener& opener) {
  constexpr unsigned kLast = 99;
  for (unsigned n = 1; n <= kLast; ++n)
    if (sameDevice(opener.devicePath(n), device)) return n;
  for (unsigned n = kLast; n >= 1; --n)
    if (opener.devicePath(n).empty()) return opener.assignDevice(n, device) ? n : 0;
  return 0;
}

void printUsage(std::ostream& os) {
  os << "usage: qdqm-update                       open the dialog\n";
  for (const Command& c : commands()) os << "       qdqm-update " << c.usage << "\n";
  os << "       qdqm-update --version             print the program version\n"
        "       qdqm-update --help                print this text\n";
}

std::string PortChoice::name() const {
  return number != 0 ? "COM" + std::to_string(number) : device;
}

bool readPortChoices(OptionReader& r, PortChoices& choices) {
  if (r.name() == "--port") {
    const auto v = r.value();
    PortChoice port;
    if (v && !parsePortArgument(*v, port.number, port.device)) r.fail(badPortText(*v));
    for (const PortChoice& p : choices.ports)
      if (v && p.number == port.number && p.device == port.device)
        r.fail("--port " + std::string(*v) + " is given twice");
    choices.ports.push_back(std::move(port));
    return true;
  }
  if (r.name() == "--data-dir") {
    const auto v = r.value();
    if (v && v->empty()) r.fail("--data-dir needs a folder");
    if (v) choices.updateDir = *v;
    return true;
  }
  return false;
}

bool openChosenPort(const Args& args, std::string_view command, UpdateDialog& dlg,
                    const PortChoice& port, const std::string& updateDir) {
  useUpdateFolder(dlg, updateDir);
  const unsigned n = port.number != 0 ? port.number : portNumberFor(port.device, dlg.port.opener);
  if (n == 0) {
    args.err << "qdqm-update " << command << ": no port number is free for " << port.device << "\n";
    return false;
  }
  return dlg.selectPort(n) == 1;
}

void explainNoUpdate(const Args& args, std::string_view command, const UpdateDialog& dlg,
                     const std::vector<JsonMessage>& shown) {
  if (dlg.control(ids::Update).enabled || !dlg.control(ids::VersionList).items.empty()) return;
  const std::string start = "qdqm-update " + std::string(command) + ": no update ";
  const std::string folder = dlg.typeDirSpec.substr(std::min<size_t>(2, dlg.typeDirSpec.size()));
  if (!shown.empty() && shown.back().text == kNoUpdateText)
    args.err << start << "available for " << dlg.typeText << ": " << dlg.programDir
             << " holds no folder " << folder << "\n";
  else if (dlg.workingDir != dlg.programDir)  // only an empty type directory leaves it there
    args.err << start << "version for " << dlg.typeText << ": " << dlg.workingDir
             << " holds no file\n";
}

}  // namespace qdqm::cli
