#include "procedures/slot_search.h"

#include "app/catalogue.h"
#include "common/helpers.h"
#include "common/progress.h"
#include "link/slot_commands.h"
#include "link/type_codes.h"
#include "link/version_query.h"

namespace qdqm {
namespace {

constexpr int kVersionAttempts = 3;
constexpr int kWaitSteps = 100;
constexpr uint32_t kWaitStepMs = 5;

void setRowEnabled(UpdateDialog& dlg, const SlotRowIds& row, bool enabled) {
  for (int id : {row.check, row.verLabel, row.versionList}) dlg.control(id).enabled = enabled;
  dlg.control(row.check).checked = enabled;
}

// Up to three reads of a present module's version, the module given time to start between them.
std::string readPresentVersion(UpdateDialog& dlg, uint8_t slot, const SlotEntry& entry) {
  std::string version;
  for (int attempt = 0; attempt < kVersionAttempts; ++attempt) {
    version = slotReadVersion(dlg.port, slot, entry.typeCode, nullptr, entry.recordProtocol);
    if (!isNoVersion(version)) break;
    dlg.statusText = "waiting for controller ...";
    dlg.control(ids::Progress).position = 0;
    dlg.updateData();
    dlg.host.repaint();
    for (int k = 0; k < kWaitSteps; ++k) {
      dlg.clock.sleepMs(kWaitStepMs);
      dlg.control(ids::Progress).position = k + 1;
    }
  }
  return version;
}

void searchSlot(UpdateDialog& dlg, int k) {
  SlotEntry& entry = dlg.slots[static_cast<size_t>(k)];
  const SlotRowIds& row = kSlotRows[k];
  const uint8_t slot = static_cast<uint8_t>(k + 1);
  dlg.statusText = formatMessage(
      dlg.slotCount == 9 ? "search in QM65B slot %u" : "search in QM65A slot %u", unsigned{slot});
  dlg.updateData();

  const TypeCodeName named = typeCodeName(entry.typeCode);
  entry.nameText = named.name;
  entry.present = named.updatable;
  entry.dirSpec = named.dirSpec;
  entry.recordProtocol = named.recordProtocol;
  if (entry.nameText == "empty") entry.nameText = slotIdentify(dlg.port, slot, entry);
  setRowEnabled(dlg, row, entry.present);
  if (!entry.present) {
    entry.versionText =
        slotReadVersion(dlg.port, slot, entry.typeCode, nullptr, entry.recordProtocol);
    return;
  }
  entry.versionText = readPresentVersion(dlg, slot, entry);
  Control& list = dlg.control(row.versionList);
  const bool noVersion = entry.versionText.ends_with("?.??");
  // A module the unit names as updatable whose program does not answer may have lost it (a flash
  // cut off): its boot loader still takes a new one, so the row is offered, unticked.
  const bool recoverable = noVersion && named.updatable;
  if (!isTypeDirSpec(entry.dirSpec) ||
      !listDirectory(dlg, entry.dirSpec, row.versionList, kListFiles) || list.items.empty() ||
      (noVersion && !recoverable)) {
    // No files, or no version of a module found by asking it: the row cannot be updated, but its
    // version stays readable. An empty directory offers nothing: the row is not left ticked.
    entry.present = false;
    list.enabled = false;
    dlg.control(row.check).checked = false;
    dlg.control(row.check).enabled = false;
    return;
  }
  if (recoverable) dlg.control(row.check).checked = false;
  if (list.items.size() > 1) sortVersionsDescending(list.items);
  list.selection = 0;
  readListSelection(list, entry.selectedFile);
  dlg.control(ids::Connect).enabled = false;
  list.enabled = true;
  dlg.control(ids::Update).enabled = true;
  dlg.setFocus(ids::Update);
}

}  // namespace

void searchSlots(UpdateDialog& dlg) {
  for (int id : {ids::Com1, ids::Com2, ids::Com3, ids::Com4}) dlg.control(id).enabled = false;
  showStatus(dlg, "search for modules in QM65A ...");
  for (int k = 0; k < dlg.slotCount && k < 9; ++k) {
    // A line gone answers no slot: Connect reports it once the search has ended.
    if (lineLost(dlg.port)) break;
    searchSlot(dlg, k);
    enterProgramDir(dlg);
  }
  dlg.statusText = "search for modules ready";
  dlg.control(ids::StatusLine).visible = false;
  dlg.updateData();
}

}  // namespace qdqm
