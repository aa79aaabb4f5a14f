// `connect`: the Connect button in the terminal. Prints what the dialog's device field and version
// list would show; error boxes go to stderr through the terminal host.
#include <ostream>
#include <string>

#include "app/catalogue.h"
#include "app/list_handlers.h"
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

constexpr int kConnectFailed = 2;

constexpr std::string_view kConnectHelp =
    "usage: qdqm-update connect --port N|DEVICE [--low-speed] [--base-unit] [--json]\n"
    "                           [--trace FILE] [--data-dir DIR]\n"
    "  Identifies the module on port COM N (1-99, also written COMN) or on the serial device\n"
    "  DEVICE (/dev/ttyUSB0, /dev/serial/by-id/..., a pty) as the Connect button does and prints\n"
    "  the \"Connected Device:\" text and the update versions found for it, the selected one\n"
    "  marked with '*'.\n"
    "  --data-dir DIR  the folder that holds the update sets (the type directories); default\n"
    "               $QDQM_DATA_DIR, else the program's folder when it holds type directories,\n"
    "               else $XDG_DATA_HOME/qdqm-update (~/.local/share/qdqm-update), else\n"
    "               /usr/share/qdqm-update\n"
    "  --low-speed  stay at 19200 baud (the LowSpeed check box)\n"
    "  --base-unit  connect to a base unit with slots (the \"Update QM2x/4x\" check box) and\n"
    "               print one line per slot: name, version, row state, the selected file\n"
    "  --json       stdout carries only one JSON object at the end: device, versions,\n"
    "               selected, messages (every box), exit.\n"
    "  --trace FILE write the frame trace of the serial line into FILE (one line per frame)\n"
    "  Exit status: 0 connected, 2 Connect failed (also when the line went away during it), 64\n"
    "  usage error. Options taking a value also take the form --name=VALUE.\n";

struct ConnectOptions {
  PortChoices port;
  bool lowSpeed = false;
  bool baseUnit = false;
  bool json = false;
  bool help = false;
  std::string trace;  // --trace FILE
};

// What was wrong with the command line; empty when it parsed.
std::string parse(const Args& args, ConnectOptions& o) {
  OptionReader r(args.words);
  while (r.next()) {
    const std::string_view w = r.name();
    if (w == "--help") {
      o.help = r.plain();
    } else if (w == "--low-speed") {
      o.lowSpeed = r.plain();
    } else if (w == "--base-unit") {
      o.baseUnit = r.plain();
    } else if (w == "--json") {
      o.json = r.plain();
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
  if (!o.help && o.port.ports.empty()) return "--port N or --port DEVICE is required";
  if (o.port.ports.size() > 1 && !o.trace.empty())
    return "--trace goes with a single --port (one trace file per run)";
  return {};
}

// Connect; fills what the JSON report shows and returns the exit status.
int connect(const ConnectOptions& o, const PortChoice& port, const Args& args, UpdateDialog& dlg,
            const TerminalHost& host, JsonReport& report) {
  if (!openChosenPort(args, "connect", dlg, port, o.port.updateDir)) return kConnectFailed;
  dlg.control(ids::LowSpeed).checked = o.lowSpeed;
  dlg.control(ids::BaseUnit).checked = o.baseUnit;
  if (o.baseUnit) onSlotPanelToggle(dlg);
  onConnect(dlg);

  report.device = dlg.deviceText;
  if (!dlg.deviceText.empty() && !o.json)
    args.out << "Connected Device: " << dlg.deviceText << "\n";
  if (o.baseUnit) {
    report.slots = slotRows(dlg);
    if (!o.json) printSlotRows(args.out, *report.slots, false);
    return baseUnitAccepted(dlg) ? 0 : kConnectFailed;
  }
  const Control& list = dlg.control(ids::VersionList);
  report.versions = list.items;
  explainNoUpdate(args, "connect", dlg, host.shown);
  if (list.selection >= 0 && list.selection < static_cast<int>(list.items.size()))
    report.selected = list.items[static_cast<size_t>(list.selection)];
  if (!o.json) {
    for (size_t k = 0; k < list.items.size(); ++k)
      args.out << (static_cast<int>(k) == list.selection ? "* " : "  ") << list.items[k] << "\n";
  }
  return dlg.control(ids::Update).enabled ? 0 : kConnectFailed;
}

// Connect on one port; fills the report (its messages included) and returns the exit status.
int connectPort(const ConnectOptions& o, const PortChoice& port, const Args& args,
                PortOpener& opener, Clock& clock, TerminalHost& host, JsonReport& report) {
  UpdateDialog dlg(opener, clock, host, windowProcedures());
  host.attach(&dlg);
  if (!o.trace.empty() && !attachTraceFile(args, "connect", o.trace, dlg)) return kUsageError;
  report.exit = connect(o, port, args, dlg, host, report);
  // The next command (or the dialog) finds the module at 19200, where every Connect starts.
  leaveModuleAtNormalRate(dlg);
  if (host.runStopRequested()) {
    args.err << "qdqm-update connect: interrupted\n";
    report.exit = kConnectFailed;
  }
  reportTraceFile(args, "connect", dlg);
  report.messages = host.shown;
  host.attach(nullptr);
  return report.exit;
}

}  // namespace

int cmdConnect(const Args& args) {
  ConnectOptions o;
  if (const std::string wrong = parse(args, o); !wrong.empty())
    return usageError(args, "connect", wrong, kConnectHelp);
  if (o.help) {
    args.out << kConnectHelp;
    return 0;
  }
  SteadyClock clock;
  PlatformPortOpener opener;
  opener.onOpened = InterruptWatch::watchLine;
  return runPorts(args, "connect", o.port.ports, o.json, TerminalHost::terminalOptions(), opener,
                  clock,
                  [&](const PortChoice& port, const Args& portArgs, PortOpener& portOpener,
                      Clock& portClock, TerminalHost& host, JsonReport& report) {
                    return connectPort(o, port, portArgs, portOpener, portClock, host, report);
                  });
}

}  // namespace qdqm::cli
