// The terminal Host during an update run: the "another" question, the progress bar.
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <string>

#include "app/update_dialog.h"
#include "cli/interrupts.h"
#include "cli/terminal_host.h"
#include "link/clock.h"
#include "procedures/procedures.h"
#include "tests/support/quiet_ports.h"

namespace qdqm {
namespace {

TEST(TerminalHostUpdate, AnotherModuleIsAnsweredNoWhateverYesSays) {
  std::ostringstream err;
  std::istringstream in("y\n");
  cli::TerminalHost fixedYes(err, {.answer = true});
  cli::TerminalHost asking(err, {.answer = std::nullopt, .askOnTerminal = true}, &in);
  EXPECT_FALSE(
      fixedYes.askYesNo("Question", "Do you wish to update another QD21S ?", Icon::Question));
  EXPECT_FALSE(
      asking.askYesNo("Question", "Do you wish to update another QD29/22 ?", Icon::Question));
  EXPECT_TRUE(fixedYes.askYesNo("Question", "Do you want to overwrite it ?", Icon::Question));
  EXPECT_EQ(err.str(),
            "Question: Do you wish to update another QD21S ? No\n"
            "Question: Do you wish to update another QD29/22 ? No\n"
            "Question: Do you want to overwrite it ? Yes\n");
  EXPECT_EQ(in.peek(), 'y');  // nothing was read from the terminal
}

// The bar line is ended before a box, and the verdict's return to 0 starts no new bar line.
TEST(TerminalHostUpdate, BarLineEndsBeforeABox) {
  std::ostringstream err;
  testing::ProbeOpener opener({1});
  VirtualClock clock;
  cli::TerminalHost host(err,
                         {.answer = std::nullopt, .askOnTerminal = false, .progressBar = true});
  UpdateDialog dlg(opener, clock, host, windowProcedures());
  host.attach(&dlg);
  dlg.control(ids::StatusLine).visible = true;
  dlg.statusText = "programming";
  for (int p : {0, 0, 50, 100}) {
    dlg.control(ids::Progress).position = p;
    dlg.updateData();
  }
  host.messageBox("Attention", "done", Icon::Information);
  dlg.control(ids::Progress).position = 0;
  dlg.updateData();
  host.askYesNo("Question", "Do you wish to update another QD21S ?", Icon::Question);
  dlg.control(ids::StatusLine).visible = false;
  dlg.updateData();
  const std::string bar0 = "\r[" + std::string(40, ' ') + "] 0% programming\033[K";
  const std::string bar50 =
      "\r[" + std::string(20, '#') + std::string(20, ' ') + "] 50% programming\033[K";
  const std::string bar100 = "\r[" + std::string(40, '#') + "] 100% programming\033[K";
  EXPECT_EQ(err.str(), bar0 + bar50 + bar100 +
                           "\nAttention: done\n"
                           "Question: Do you wish to update another QD21S ? No\n");
}

// The first interrupt is the Esc key once; the abort question right after it is answered Yes even
// with --no, every later question No even with --yes ("update another" stays No).
TEST(TerminalHostUpdate, InterruptActsAsEscAndStopsTheRun) {
  std::ostringstream err;
  {
    cli::TerminalHost host(err, {.answer = false});
    cli::InterruptWatch watch;
    host.watchInterrupts(&watch);
    EXPECT_FALSE(host.escapePressed());
    EXPECT_FALSE(host.askYesNo("Question", "Abort update ?", Icon::Question));
    raise(SIGINT);
    EXPECT_TRUE(watch.interrupted());
    EXPECT_TRUE(host.escapePressed());
    EXPECT_TRUE(host.askYesNo("Question", "Abort update ?", Icon::Question));
    EXPECT_FALSE(host.escapePressed());  // taken once
  }
  {
    cli::TerminalHost host(err, {.answer = true});
    cli::InterruptWatch watch;
    host.watchInterrupts(&watch);
    EXPECT_FALSE(watch.interrupted());
    raise(SIGTERM);
    ASSERT_TRUE(host.escapePressed());
    host.messageBox("Error message", "Time out", Icon::Stop);
    EXPECT_FALSE(host.askYesNo("Question", "Go on nevertheless ?", Icon::Question));
    EXPECT_FALSE(
        host.askYesNo("Question", "Do you wish to update another QD21S ?", Icon::Question));
  }
  EXPECT_EQ(err.str(),
            "Question: Abort update ? No\n"
            "Question: Abort update ? Yes\n"
            "Error message: Time out\n"
            "Question: Go on nevertheless ? No\n"
            "Question: Do you wish to update another QD21S ? No\n");
}

}  // namespace
}  // namespace qdqm
