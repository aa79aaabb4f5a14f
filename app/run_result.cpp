#include "app/run_result.h"

#include "app/controls.h"

namespace qdqm {
namespace {

struct ResultRow {
  RunResult result;
  std::string_view name;
  int exitStatus;
};
constexpr ResultRow kResults[] = {
    {RunResult::Updated, "updated", 0},
    {RunResult::Failed, "failed", 1},
    {RunResult::NotStarted, "not-started", 2},
    {RunResult::PartlyUpdated, "partly-updated", 3},
};

const ResultRow& rowOf(RunResult result) {
  for (const ResultRow& r : kResults)
    if (r.result == result) return r;
  return kResults[1];
}

// The success verdict of a base unit covers slots that were never updated (a data file refused,
// a coprocessor stage stopped with Esc, a slot not reached after an interrupt): only the slots
// say whether every checked module was. A run that touched nothing and refused no file (no slot
// checked, every version question answered No) did not start.
RunResult baseUnitSuccess(const UpdateDialog& dlg) {
  bool anyChecked = false, allUpdated = true, anyUpdated = false, fileRefused = false;
  for (int k = 0; k < dlg.slotCount && k < 9; ++k) {
    if (!dlg.control(kSlotRows[k].check).checked) continue;
    const int state = dlg.slots[static_cast<size_t>(k)].state;
    anyChecked = true;
    allUpdated = allUpdated && state == SlotUpdated;
    anyUpdated = anyUpdated || state == SlotUpdated;
    fileRefused = fileRefused || state == SlotDataFileError;
  }
  if (anyChecked && allUpdated) return RunResult::Updated;
  if (anyUpdated || fileRefused || dlg.port.moduleChanged) return RunResult::PartlyUpdated;
  return RunResult::NotStarted;
}

}  // namespace

RunResult runResult(const UpdateDialog& dlg) {
  switch (dlg.verdict) {
    case Verdict::Success:
      return dlg.control(ids::BaseUnit).checked ? baseUnitSuccess(dlg) : RunResult::Updated;
    case Verdict::Failure:
      return RunResult::Failed;
    case Verdict::None:
      break;
  }
  return dlg.port.moduleChanged ? RunResult::Failed : RunResult::NotStarted;
}

std::string_view verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Success:
      return "success";
    case Verdict::Failure:
      return "failure";
    case Verdict::None:
      break;
  }
  return "none";
}

std::string_view runResultName(RunResult result) {
  return rowOf(result).name;
}

int exitStatusOf(RunResult result) {
  return rowOf(result).exitStatus;
}

}  // namespace qdqm
