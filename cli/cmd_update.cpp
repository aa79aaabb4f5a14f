// `update`: the Connect button, then the Update button, in the terminal. Boxes and questions go
// through the terminal host (stderr); the exit status is the run's verdict.
#include <strings.h>

#include <optional>
#include <ostream>
#include <string>

#include "app/catalogue.h"
#include "app/procedures.h"
#include "app/update_dialog.h"
#include "cli/commands.h"
#include "cli/json_report.h"
#include "cli/terminal_host.h"
#include "link/clock.h"
#include "link/posix_serial.h"

namespace qdqm::cli {
namespace {

constexpr int kFailureVerdict = 1;
constexpr int kNoVerdict = 2;

constexpr std::string_view kUpdateHelp =
    "usage: qdqm-update update --port N [--low-speed] [--version FILE] [--yes|--no] [--json]\n"
    "  Connects to the module on port COM N (1-99) as the Connect button does, then runs the\n"
    "  Update button: controller flash, FPGA and MPEG decoder where the module has them,\n"
    "  verdict. Progress and every box go to stderr.\n"
    "  --low-speed     stay at 19200 baud (the LowSpeed check box)\n"
    "  --version FILE  the update version to flash, a name from the version list (any case);\n"
    "                  default: the preselected (highest) one\n"
    "  --yes, --no     the answer to every question; without them a question is asked on the\n"
    "                  terminal when stdin is one, else answered No. \"Do you wish to update\n"
    "                  another ... ?\" is always answered No.\n"
    "  --json          stdout carries only one JSON object at the end: device, versions,\n"
    "                  selected, verdict, messages (every box), exit.\n"
    "  --base-unit, --slot, --skip: the base-unit update is not available yet.\n"
    "  Exit status: 0 success verdict, 1 failure verdict, 2 no verdict (Connect failed, version\n"
    "  not in the list, run aborted), 64 usage error.\n";

struct UpdateOptions {
  unsigned port = 0;
  bool lowSpeed = false;
  std::string version;
  std::optional<bool> answer;
  bool json = false;
  bool help = false;
};

// 1 parsed, 0 usage error (help text follows), -1 usage error already explained.
int parse(const Args& args, UpdateOptions& o) {
  for (size_t i = 0; i < args.words.size(); ++i) {
    const std::string_view w = args.words[i];
    if (w == "--help") {
      o.help = true;
    } else if (w == "--low-speed") {
      o.lowSpeed = true;
    } else if (w == "--json") {
      o.json = true;
    } else if (w == "--yes" || w == "--no") {
      const bool yes = w == "--yes";
      if (o.answer && *o.answer != yes) return 0;
      o.answer = yes;
    } else if (w == "--base-unit" || w == "--slot" || w == "--skip") {
      args.err << "qdqm-update update: " << w
               << " is not available yet (the base-unit update is not built)\n";
      return -1;
    } else if (w == "--version" && i + 1 < args.words.size()) {
      o.version = args.words[++i];
      if (o.version.empty()) return 0;
    } else if (w == "--port" && i + 1 < args.words.size()) {
      if (!parsePortNumber(args.words[++i], o.port)) return 0;
    } else {
      return 0;
    }
  }
  return o.help || o.port != 0 ? 1 : 0;
}

// Selects the version-list entry named `file` (any case); false when the list has none.
bool selectVersion(UpdateDialog& dlg, const std::string& file) {
  Control& list = dlg.control(ids::VersionList);
  for (size_t k = 0; k < list.items.size(); ++k) {
    if (strcasecmp(list.items[k].c_str(), file.c_str()) == 0) {
      list.selection = static_cast<int>(k);
      onVersionSelected(dlg);
      return true;
    }
  }
  return false;
}

const char* verdictName(Verdict v) {
  switch (v) {
    case Verdict::Success:
      return "success";
    case Verdict::Failure:
      return "failure";
    case Verdict::None:
      break;
  }
  return "none";
}

// Connect, then Update; fills what the JSON report shows (before the clean-up empties the
// window) and returns the exit status.
int connectAndUpdate(const UpdateOptions& o, const Args& args, UpdateDialog& dlg,
                     JsonReport& report) {
  determineProgramDir(dlg);
  if (dlg.selectPort(o.port) != 1) return kNoVerdict;
  dlg.control(ids::LowSpeed).checked = o.lowSpeed;
  onConnect(dlg);
  report.device = dlg.deviceText;
  const Control& list = dlg.control(ids::VersionList);
  report.versions = list.items;
  if (!dlg.deviceText.empty() && !o.json)
    args.out << "Connected Device: " << dlg.deviceText << std::endl;
  if (!dlg.control(ids::Update).enabled) return kNoVerdict;

  if (!o.version.empty() && !selectVersion(dlg, o.version)) {
    args.err << "qdqm-update update: " << o.version << " is not in the version list; available:";
    for (const std::string& item : list.items) args.err << " " << item;
    args.err << "\n";
    return kNoVerdict;
  }
  report.selected = dlg.selectedFile;
  if (!o.json) args.out << "Update version: " << dlg.selectedFile << std::endl;
  onUpdate(dlg);
  report.verdict = verdictName(dlg.verdict);
  switch (dlg.verdict) {
    case Verdict::Success:
      return 0;
    case Verdict::Failure:
      return kFailureVerdict;
    case Verdict::None:
      break;
  }
  return kNoVerdict;
}

}  // namespace

int runUpdateCommand(const Args& args, PortOpener& opener, Clock& clock) {
  UpdateOptions o;
  const int parsed = parse(args, o);
  if (parsed != 1) {
    if (parsed == 0) args.err << kUpdateHelp;
    writeUsageErrorJson(args, "none");
    return kUsageError;
  }
  if (o.help) {
    args.out << kUpdateHelp;
    return 0;
  }
  TerminalHost::Options options = TerminalHost::terminalOptions();
  options.answer = o.answer;
  TerminalHost host(args.err, options);
  UpdateDialog dlg(opener, clock, host);
  host.attach(&dlg);
  JsonReport report;
  report.verdict = "none";
  report.exit = connectAndUpdate(o, args, dlg, report);
  if (o.json) {
    report.messages = host.shown;
    writeJsonReport(args.out, report);
  }
  return report.exit;
}

int cmdUpdate(const Args& args) {
  SteadyClock clock;
  PosixPortOpener opener;
  return runUpdateCommand(args, opener, clock);
}

}  // namespace qdqm::cli
