// `update`: the Connect button, then the Update button, in the terminal. Boxes and questions go
// through the terminal host (stderr); the exit status is the run's verdict.
#include <strings.h>

#include <charconv>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>

#include "app/catalogue.h"
#include "app/connect.h"
#include "app/procedures.h"
#include "app/update_dialog.h"
#include "cli/commands.h"
#include "cli/interrupts.h"
#include "cli/json_report.h"
#include "cli/slot_rows.h"
#include "cli/terminal_host.h"
#include "cli/trace_option.h"
#include "link/clock.h"
#include "link/platform_port.h"

namespace qdqm::cli {
namespace {

constexpr int kFailureVerdict = 1;
constexpr int kNoVerdict = 2;

constexpr std::string_view kUpdateHelp =
    "usage: qdqm-update update --port N [--low-speed] [--version FILE] [--yes|--no] [--json]\n"
    "                          [--trace FILE]\n"
    "       qdqm-update update --port N --base-unit [--slot K=FILE]... [--skip K]... [--yes|--no]\n"
    "                          [--json] [--trace FILE]\n"
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
    "  --trace FILE    write the frame trace of the serial line into FILE (one line per frame)\n"
    "  --base-unit     a base unit with modules in slots (the \"Update QM2x/4x\" check box): the\n"
    "                  slots are searched, every checked slot is updated in turn and each slot's\n"
    "                  result printed; --json adds \"slots\".\n"
    "  --slot K=FILE   slot K (1-9, as printed on the unit) takes FILE from its version list\n"
    "                  (any case) instead of the preselected highest one\n"
    "  --skip K        slot K is not updated (its row unchecked)\n"
    "  Exit status: 0 success verdict, 1 failure verdict (a slot failed), 2 no verdict (Connect\n"
    "  failed, nothing to update, run aborted), 64 usage error (also a FILE or K the unit's\n"
    "  rows do not offer).\n";

struct UpdateOptions {
  unsigned port = 0;
  bool lowSpeed = false;
  std::string version;
  std::optional<bool> answer;
  bool json = false;
  bool help = false;
  bool baseUnit = false;
  std::map<unsigned, std::string> slotFiles;  // --slot K=FILE
  std::set<unsigned> skipped;                 // --skip K
  std::string trace;                          // --trace FILE
};

bool parseSlotNumber(std::string_view text, unsigned& slot) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), slot);
  return ec == std::errc() && end == text.data() + text.size() && slot >= 1 && slot <= 9;
}

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
    } else if (w == "--base-unit") {
      o.baseUnit = true;
    } else if (w == "--slot" && i + 1 < args.words.size()) {
      const std::string_view v = args.words[++i];
      const size_t eq = v.find('=');
      unsigned slot = 0;
      if (eq == std::string_view::npos || eq + 1 == v.size() ||
          !parseSlotNumber(v.substr(0, eq), slot))
        return 0;
      o.slotFiles[slot] = std::string(v.substr(eq + 1));
    } else if (w == "--skip" && i + 1 < args.words.size()) {
      unsigned slot = 0;
      if (!parseSlotNumber(args.words[++i], slot)) return 0;
      o.skipped.insert(slot);
    } else if (w == "--version" && i + 1 < args.words.size()) {
      o.version = args.words[++i];
      if (o.version.empty()) return 0;
    } else if (w == "--port" && i + 1 < args.words.size()) {
      if (!parsePortNumber(args.words[++i], o.port)) return 0;
    } else if (w == "--trace" && i + 1 < args.words.size()) {
      o.trace = args.words[++i];
      if (o.trace.empty()) return 0;
    } else {
      return 0;
    }
  }
  if (!o.baseUnit && (!o.slotFiles.empty() || !o.skipped.empty())) {
    args.err << "qdqm-update update: --slot and --skip go with --base-unit\n";
    return -1;
  }
  if (o.baseUnit && (!o.version.empty() || o.lowSpeed)) {
    args.err << "qdqm-update update: --version and --low-speed are for a single module; a base "
                "unit takes --slot K=FILE and always runs at 19200 baud\n";
    return -1;
  }
  return o.help || o.port != 0 ? 1 : 0;
}

// Selects the entry named `file` (any case) in a version list; false when the list has none.
bool selectEntry(Control& list, const std::string& file) {
  for (size_t k = 0; k < list.items.size(); ++k) {
    if (strcasecmp(list.items[k].c_str(), file.c_str()) == 0) {
      list.selection = static_cast<int>(k);
      return true;
    }
  }
  return false;
}

void listEntries(std::ostream& err, const Control& list) {
  for (const std::string& item : list.items) err << " " << item;
  if (list.items.empty()) err << " (none)";
  err << "\n";
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

int exitOf(Verdict verdict) {
  switch (verdict) {
    case Verdict::Success:
      return 0;
    case Verdict::Failure:
      return kFailureVerdict;
    case Verdict::None:
      break;
  }
  return kNoVerdict;
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
  if (!dlg.control(ids::Update).enabled) {
    explainEmptyVersionList(args, "update", dlg);
    return kNoVerdict;
  }

  if (!o.version.empty()) {
    if (!selectEntry(dlg.control(ids::VersionList), o.version)) {
      args.err << "qdqm-update update: " << o.version << " is not in the version list; available:";
      listEntries(args.err, list);
      return kNoVerdict;
    }
    onVersionSelected(dlg);
  }
  report.selected = dlg.selectedFile;
  if (!o.json) args.out << "Update version: " << dlg.selectedFile << std::endl;
  onUpdate(dlg);
  report.verdict = verdictName(dlg.verdict);
  return exitOf(dlg.verdict);
}

// The user's choices of slots and files, as the dialog's rows would take them. 0 when they fit
// the rows, else the usage error.
int applySlotChoices(const UpdateOptions& o, const Args& args, UpdateDialog& dlg) {
  for (const auto& [slot, file] : o.slotFiles) {
    const int k = static_cast<int>(slot) - 1;
    Control& list = dlg.control(kSlotRows[k].versionList);
    if (k >= dlg.slotCount || !dlg.control(kSlotRows[k].check).enabled) {
      args.err << "qdqm-update update: slot " << slot << " has no module to update\n";
      return kUsageError;
    }
    if (!selectEntry(list, file)) {
      args.err << "qdqm-update update: " << file << " is not in slot " << slot
               << "'s version list; available:";
      listEntries(args.err, list);
      return kUsageError;
    }
    onSlotVersionSelected(dlg, k);
  }
  for (unsigned slot : o.skipped) {
    const int k = static_cast<int>(slot) - 1;
    if (k < dlg.slotCount) dlg.control(kSlotRows[k].check).checked = false;
  }
  return 0;
}

// Connect to a base unit, the slot choices, then Update slot by slot.
int connectAndUpdateSlots(const UpdateOptions& o, const Args& args, UpdateDialog& dlg,
                          JsonReport& report) {
  determineProgramDir(dlg);
  if (dlg.selectPort(o.port) != 1) return kNoVerdict;
  dlg.control(ids::BaseUnit).checked = true;
  onSlotPanelToggle(dlg);
  onConnect(dlg);
  report.device = dlg.deviceText;
  if (!dlg.deviceText.empty() && !o.json)
    args.out << "Connected Device: " << dlg.deviceText << std::endl;
  // Choices for slots of a base unit that Connect refused would only be usage errors.
  const bool accepted = baseUnitAccepted(dlg);
  const int usage = accepted ? applySlotChoices(o, args, dlg) : 0;
  report.slots = slotRows(dlg);
  if (!accepted) return kNoVerdict;
  if (usage != 0) return usage;
  if (!dlg.control(ids::Update).enabled) return kNoVerdict;
  if (!o.json) printSlotRows(args.out, *report.slots, false);
  onUpdate(dlg);
  report.slots = slotRows(dlg);
  report.verdict = verdictName(dlg.verdict);
  if (!o.json) {
    args.out << "Result:\n";
    printSlotRows(args.out, *report.slots, true);
  }
  return exitOf(dlg.verdict);
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
  InterruptWatch interrupts;
  host.watchInterrupts(&interrupts);
  UpdateDialog dlg(opener, clock, host);
  host.attach(&dlg);
  if (!o.trace.empty() && !attachTraceFile(args, "update", o.trace, dlg)) {
    writeUsageErrorJson(args, "none");
    return kUsageError;
  }
  JsonReport report;
  report.verdict = "none";
  report.exit = o.baseUnit ? connectAndUpdateSlots(o, args, dlg, report)
                           : connectAndUpdate(o, args, dlg, report);
  // A Connect that ended without an update run (version not in the list, nothing to update).
  leaveModuleAtNormalRate(dlg);
  // Stopped by the user: no verdict, unless the module was updated all the same.
  if (interrupts.interrupted() && report.exit != 0) {
    args.err << "qdqm-update update: interrupted\n";
    report.exit = kNoVerdict;
  }
  reportTraceFile(args, "update", dlg);
  if (o.json) {
    report.messages = host.shown;
    writeJsonReport(args.out, report);
  }
  return report.exit;
}

int cmdUpdate(const Args& args) {
  SteadyClock clock;
  PlatformPortOpener opener;
  opener.onOpened = InterruptWatch::watchLine;
  return runUpdateCommand(args, opener, clock);
}

}  // namespace qdqm::cli
