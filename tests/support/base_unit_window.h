// The window model against a simulated base unit on COM1 on the virtual clock, with a program
// directory of the test's choice and "Update QM2x/4x" checked.
#pragma once
#include <filesystem>
#include <string>

#include "app/update_dialog.h"
#include "link/clock.h"
#include "procedures/procedures.h"
#include "sim/base_unit.h"
#include "tests/support/scripted_host.h"
#include "tests/support/sim_line.h"

namespace qdqm::testing {

struct BaseUnitWindow {
  VirtualClock clock;
  ScriptedHost host;
  sim::BaseUnit unit;
  SimPortOpener opener{clock};
  UpdateDialog dlg;

  BaseUnitWindow(sim::BaseUnitSetup setup, const std::filesystem::path& programDir)
      : unit(setup), dlg(opener, clock, host, windowProcedures()) {
    opener.attach(1, unit);
    dlg.selectPort(1);
    dlg.programDir = programDir.string();
    dlg.control(ids::BaseUnit).checked = true;
    dlg.onSlotPanelToggleClicked();
  }
  // Every byte the tool wrote, as text.
  std::string sent() {
    std::string s;
    for (const auto& w : opener.line(1)->writes) s.append(w.bytes.begin(), w.bytes.end());
    return s;
  }
};

}  // namespace qdqm::testing
