// What an update run did to the module, as a script on a service bench must be able to rely on:
// the verdict the window showed, whether anything was written to a module, and for a base unit
// which of the checked slots were updated.
#pragma once

#include <string_view>

#include "app/update_dialog.h"

namespace qdqm {

enum class RunResult {
  Updated,        // the success verdict, every checked slot updated or found current
  Failed,         // the failure verdict, or the run stopped after something was written
  NotStarted,     // nothing was written to any module
  PartlyUpdated,  // a base unit: the success verdict, but a checked slot was not updated
};

// The result of the last update run on `dlg` (none run: NotStarted).
RunResult runResult(const UpdateDialog& dlg);
// "updated", "failed", "not-started", "partly-updated".
std::string_view runResultName(RunResult result);
// "success", "failure" or "none".
std::string_view verdictName(Verdict verdict);
// The exit status of the terminal commands: 0, 1, 2, 3 in the order above.
int exitStatusOf(RunResult result);

}  // namespace qdqm
