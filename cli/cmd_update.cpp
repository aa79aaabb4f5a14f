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
#include "app/list_handlers.h"
#include "app/run_result.h"
#include "app/service_record.h"
#include "app/update_dialog.h"
#include "cli/commands.h"
#include "cli/interrupts.h"
#include "cli/json_report.h"
#include "cli/slot_rows.h"
#include "cli/stations.h"
#include "cli/terminal_host.h"
#include "cli/trace_option.h"
#include "link/clock.h"
#include "link/platform_port.h"
#include "procedures/connect.h"
#include "procedures/procedures.h"

namespace qdqm::cli {
namespace {

constexpr std::string_view kUpdateHelp =
    "usage: qdqm-update update --port N|DEVICE [--low-speed] [--version FILE] [--yes|--no]\n"
    "                          [--json] [--trace FILE] [--data-dir DIR]\n"
    "       qdqm-update update --port N|DEVICE --base-unit [--slot K=FILE]... [--skip K]...\n"
    "                          [--yes|--no] [--json] [--trace FILE] [--data-dir DIR]\n"
    "  Connects to the module on port COM N (1-99, also written COMN) or on the serial device\n"
    "  DEVICE (/dev/ttyUSB0, /dev/serial/by-id/..., a pty) as the Connect button does, then runs\n"
    "  the Update button: controller flash, FPGA and MPEG decoder where the module has them,\n"
    "  verdict. Progress and every box go to stderr. Options taking a value also take the\n"
    "  form --name=VALUE.\n"
    "  --data-dir DIR  the folder that holds the update sets (the type directories); default\n"
    "                  $QDQM_DATA_DIR, else the program's folder when it holds type directories,\n"
    "                  else $XDG_DATA_HOME/qdqm-update (~/.local/share/qdqm-update), else\n"
    "                  /usr/share/qdqm-update\n"
    "  --low-speed     stay at 19200 baud (the LowSpeed check box)\n"
    "  --version FILE  the update version to flash, a name from the version list (any case);\n"
    "                  default: the preselected (highest) one\n"
    "  --yes, --no     the answer to every question; without them a question is asked on the\n"
    "                  terminal when stdin is one, else answered No. \"Do you wish to update\n"
    "                  another ... ?\" is always answered No.\n"
    "  --json          stdout carries only one JSON object at the end: device, versions,\n"
    "                  selected, verdict, result, module_changed, messages (every box), exit.\n"
    "  --trace FILE    write the frame trace of the serial line into FILE (one line per frame)\n"
    "  --base-unit     a base unit with modules in slots (the \"Update QM2x/4x\" check box): the\n"
    "                  slots are searched, every checked slot is updated in turn and each slot's\n"
    "                  result printed; --json adds \"slots\".\n"
    "  --slot K=FILE   slot K (1-9, as printed on the unit) takes FILE from its version list\n"
    "                  (any case) instead of the preselected highest one; also ticks a row that\n"
    "                  is offered unticked (a module whose version could not be read)\n"
    "  --skip K        slot K is not updated (its row unchecked)\n"
    "  Exit status (\"result\" in the JSON object):\n"
    "    0 updated         the success verdict; for a base unit every checked slot updated\n"
    "                      or found current\n"
    "    1 failed          the failure verdict, or the run stopped (an error, Ctrl-C) after\n"
    "                      anything was written to a module: it may be half-programmed\n"
    "    2 not-started     nothing was written to any module (Connect failed, a file refused\n"
    "                      before the erase, No to a question, a version or slot not offered,\n"
    "                      stopped before the erase, no slot to update)\n"
    "    3 partly-updated  a base unit: the success verdict, but a checked slot was not updated\n"
    "                      (its data file refused, its coprocessor stage stopped with Esc, not\n"
    "                      reached after Ctrl-C)\n"
    "    64                usage error\n";

struct UpdateOptions {
  PortChoices port;
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

// What was wrong with the command line; empty when it parsed.
std::string parse(const Args& args, UpdateOptions& o) {
  OptionReader r(args.words);
  while (r.next()) {
    const std::string_view w = r.name();
    if (w == "--help") {
      o.help = r.plain();
    } else if (w == "--low-speed") {
      o.lowSpeed = r.plain();
    } else if (w == "--json") {
      o.json = r.plain();
    } else if (w == "--base-unit") {
      o.baseUnit = r.plain();
    } else if (w == "--yes" || w == "--no") {
      const bool yes = w == "--yes";
      if (!r.plain()) break;
      if (o.answer && *o.answer != yes) r.fail("--yes and --no cannot both be given");
      o.answer = yes;
    } else if (w == "--slot") {
      const auto v = r.value();
      if (!v) break;
      const size_t eq = v->find('=');
      unsigned slot = 0;
      if (eq == std::string_view::npos || eq + 1 == v->size() ||
          !parseSlotNumber(v->substr(0, eq), slot))
        r.fail("--slot takes K=FILE with a slot K from 1 to 9, not '" + std::string(*v) + "'");
      else
        o.slotFiles[slot] = std::string(v->substr(eq + 1));
    } else if (w == "--skip") {
      const auto v = r.value();
      unsigned slot = 0;
      if (v && !parseSlotNumber(*v, slot))
        r.fail("--skip takes a slot from 1 to 9, not '" + std::string(*v) + "'");
      o.skipped.insert(slot);
    } else if (w == "--version") {
      const auto v = r.value();
      if (v && v->empty()) r.fail("--version needs a file name");
      if (v) o.version = *v;
    } else if (readPortChoices(r, o.port)) {
    } else if (w == "--trace") {
      const auto v = r.value();
      if (v && v->empty()) r.fail("--trace needs a file name");
      if (v) o.trace = *v;
    } else {
      r.unknown();
    }
  }
  if (!r.error().empty()) return r.error();
  if (o.help) return {};
  if (o.port.ports.empty()) return "--port N or --port DEVICE is required";
  if (o.port.ports.size() > 1 && !o.trace.empty())
    return "--trace goes with a single --port (one trace file per run)";
  if (!o.baseUnit && (!o.slotFiles.empty() || !o.skipped.empty()))
    return "--slot and --skip go with --base-unit";
  if (o.baseUnit && (!o.version.empty() || o.lowSpeed))
    return "--version and --low-speed are for a single module; a base unit takes --slot K=FILE "
           "and always runs at 19200 baud";
  return {};
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

// Connect, then Update; fills what the JSON report shows (before the clean-up empties the
// window). What happened to the module is read from the window afterwards.
void connectAndUpdate(const UpdateOptions& o, const PortChoice& port, const Args& args,
                      UpdateDialog& dlg, const TerminalHost& host, JsonReport& report) {
  if (!openChosenPort(args, "update", dlg, port, o.port.updateDir)) return;
  dlg.control(ids::LowSpeed).checked = o.lowSpeed;
  onConnect(dlg);
  report.device = dlg.deviceText;
  const Control& list = dlg.control(ids::VersionList);
  report.versions = list.items;
  if (!dlg.deviceText.empty() && !o.json)
    args.out << "Connected Device: " << dlg.deviceText << std::endl;
  if (!dlg.control(ids::Update).enabled) return explainNoUpdate(args, "update", dlg, host.shown);

  if (!o.version.empty()) {
    if (!selectEntry(dlg.control(ids::VersionList), o.version)) {
      args.err << "qdqm-update update: " << o.version << " is not in the version list; available:";
      listEntries(args.err, list);
      return;
    }
    onVersionSelected(dlg);
  }
  report.selected = dlg.selectedFile;
  if (!o.json) args.out << "Update version: " << dlg.selectedFile << std::endl;
  onUpdate(dlg);
}

// The user's choices of slots and files, as the dialog's rows would take them: a file chosen for a
// row ticks it. False, after saying which, when a choice is not one the unit's rows offer.
bool applySlotChoices(const UpdateOptions& o, const Args& args, UpdateDialog& dlg) {
  for (const auto& [slot, file] : o.slotFiles) {
    const int k = static_cast<int>(slot) - 1;
    Control& list = dlg.control(kSlotRows[k].versionList);
    Control& check = dlg.control(kSlotRows[k].check);
    if (k >= dlg.slotCount || !check.enabled) {
      args.err << "qdqm-update update: slot " << slot << " has no module to update\n";
      return false;
    }
    if (!selectEntry(list, file)) {
      args.err << "qdqm-update update: " << file << " is not in slot " << slot
               << "'s version list; available:";
      listEntries(args.err, list);
      return false;
    }
    onSlotVersionSelected(dlg, k);
    check.checked = true;
  }
  for (unsigned slot : o.skipped) {
    const int k = static_cast<int>(slot) - 1;
    if (k < dlg.slotCount) dlg.control(kSlotRows[k].check).checked = false;
  }
  return true;
}

// Connect to a base unit, the slot choices, then Update slot by slot.
void connectAndUpdateSlots(const UpdateOptions& o, const PortChoice& port, const Args& args,
                           UpdateDialog& dlg, JsonReport& report) {
  if (!openChosenPort(args, "update", dlg, port, o.port.updateDir)) return;
  dlg.control(ids::BaseUnit).checked = true;
  onSlotPanelToggle(dlg);
  onConnect(dlg);
  report.device = dlg.deviceText;
  if (!dlg.deviceText.empty() && !o.json)
    args.out << "Connected Device: " << dlg.deviceText << std::endl;
  // Choices for the slots of a base unit that Connect refused could only be wrong.
  const bool chosen = baseUnitAccepted(dlg) && applySlotChoices(o, args, dlg);
  report.slots = slotRows(dlg);
  if (!chosen || !dlg.control(ids::Update).enabled) return;
  if (!o.json) printSlotRows(args.out, *report.slots, false);
  onUpdate(dlg);
  report.slots = slotRows(dlg);
  if (!o.json) {
    args.out << "Result:\n";
    printSlotRows(args.out, *report.slots, true);
  }
}

// Connect and Update on one port, as the dialog would; fills the report (its messages included)
// and returns the exit status.
int updatePort(const UpdateOptions& o, const PortChoice& port, const Args& args, PortOpener& opener,
               Clock& clock, TerminalHost& host, JsonReport& report) {
  UpdateDialog dlg(opener, clock, host, windowProcedures());
  dlg.historyPath = defaultHistoryPath();
  const WatchedModule watched(&dlg.port.moduleChanged);
  host.attach(&dlg);
  if (!o.trace.empty() && !attachTraceFile(args, "update", o.trace, dlg)) return kUsageError;
  if (o.baseUnit)
    connectAndUpdateSlots(o, port, args, dlg, report);
  else
    connectAndUpdate(o, port, args, dlg, host, report);
  // A Connect that ended without an update run (version not in the list, nothing to update).
  leaveModuleAtNormalRate(dlg);
  // What the module saw decides, interrupted or not: a run stopped after the erase is a failure.
  const RunResult result = runResult(dlg);
  if (host.runStopRequested() && result != RunResult::Updated)
    args.err << "qdqm-update update: interrupted\n";
  report.verdict = std::string(verdictName(dlg.verdict));
  report.result = std::string(runResultName(result));
  report.moduleChanged = dlg.port.moduleChanged.load();
  report.exit = exitStatusOf(result);
  report.messages = host.shown;
  reportTraceFile(args, "update", dlg);
  host.attach(nullptr);
  return report.exit;
}

}  // namespace

int runUpdateCommand(const Args& args, PortOpener& opener, Clock& clock) {
  UpdateOptions o;
  if (const std::string wrong = parse(args, o); !wrong.empty())
    return usageError(args, "update", wrong, kUpdateHelp);
  if (o.help) {
    args.out << kUpdateHelp;
    return 0;
  }
  TerminalHost::Options options = TerminalHost::terminalOptions();
  options.answer = o.answer;
  return runPorts(args, "update", o.port.ports, o.json, options, opener, clock,
                  [&](const PortChoice& port, const Args& portArgs, PortOpener& portOpener,
                      Clock& portClock, TerminalHost& host, JsonReport& report) {
                    return updatePort(o, port, portArgs, portOpener, portClock, host, report);
                  });
}

int cmdUpdate(const Args& args) {
  SteadyClock clock;
  PlatformPortOpener opener;
  opener.onOpened = InterruptWatch::watchLine;
  return runUpdateCommand(args, opener, clock);
}

}  // namespace qdqm::cli
