// The window model against a simulated controller on COM1 on the virtual clock, with a program
// directory of the test's choice.
#pragma once
#include <filesystem>
#include <string>

#include "app/update_dialog.h"
#include "link/clock.h"
#include "procedures/procedures.h"
#include "sim/controller.h"
#include "tests/support/scripted_host.h"
#include "tests/support/sim_line.h"

namespace qdqm::testing {

struct SimWindow {
  VirtualClock clock;
  ScriptedHost host;
  sim::Controller device;
  SimPortOpener opener{clock};
  UpdateDialog dlg;

  SimWindow(sim::Profile p, sim::Faults f, const std::filesystem::path& programDir)
      : device(std::move(p), f), dlg(opener, clock, host, windowProcedures()) {
    opener.attach(1, device);
    dlg.selectPort(1);
    dlg.programDir = programDir.string();
  }
  // Every byte the tool wrote, as text.
  std::string sent() {
    std::string s;
    for (const auto& w : opener.line(1)->writes) s.append(w.bytes.begin(), w.bytes.end());
    return s;
  }
};

}  // namespace qdqm::testing
