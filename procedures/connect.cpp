#include "procedures/connect.h"

#include <cstdio>
#include <cstring>

#include "app/catalogue.h"
#include "link/base_unit.h"
#include "link/controller.h"
#include "procedures/procedures.h"
#include "procedures/slot_search.h"

namespace qdqm {
namespace {

const char* const kNoBaseUnitText = "Could not connect to QM65 !\nError Code: 20";
const char* const kNoSoftwareVersionText =
    "Could not get software version of module !\nError Code: 21";
const char* const kOldBaseUnitText =
    "No QM65A connected! \nModulupdate not available \nError Code: 24";
const char* const kNoSlotModulesText = "No QMxx-Modules in QM65A installed ! \nError Code: 25";
const char* const kDeselectText = "Error while deselct QMxx-Modules ! \nError Code: 26";

// QD292 modules share their files' name with the QD22 and are shown as both.
constexpr const char* kQd292Tail = "292";
// Reads of the module's type for its text: the first, and one more when it differs.
constexpr int kTypeReads = 2;

std::string typeString(const uint8_t* type) {
  return std::string(reinterpret_cast<const char*>(type), 5);
}

void singleModule(UpdateDialog& dlg) {
  SerialPort& port = dlg.port;
  uint8_t type[kModuleTypeBuffer]{};
  // A controller that an earlier run left at a raised rate does not hear 19200 until it restarts;
  // it is looked for at its rates and told to come back first.
  if (!identifyModule(port, type) && !(findModuleAtRaisedRate(port) && identifyModule(port, type)))
    return dlg.showError(kNoModuleText);
  Control& lowSpeed = dlg.control(ids::LowSpeed);
  if (!lowSpeed.checked && !switchToHighSpeed(port, type)) {
    lowSpeed.checked = true;
    setBaudRate(port, kNormalRate);
    discardInput(port);
    dlg.showError(kHiSpeedText);
    if (!identifyModule(port, type)) return dlg.showError(kNoModuleText);
  }
  const std::string five = typeString(type);
  dlg.typeDirSpec = ".\\" + five + "_";
  dlg.typeText = five;
  if (!showModuleInfo(dlg)) return dlg.showError(kNoSoftwareVersionText);
  std::string suffix;
  const SuffixOutcome s = revisionSuffix(port, five, suffix, dlg.hwRevisionText);
  if (s != SuffixOutcome::Ok) return dlg.showError(suffixFailureText(s));
  switch (fillVersionList(dlg, five, suffix)) {
    case ListOutcome::NoDirectory:
      return dlg.showError(kNoUpdateText);
    case ListOutcome::Empty:
      return;
    case ListOutcome::Listed:
      break;
  }
  for (int id : {ids::HintLine1, ids::HintLine2, ids::HintLine3}) dlg.control(id).visible = false;
  for (int id :
       {ids::Connect, ids::Com1, ids::Com2, ids::Com3, ids::Com4, ids::BaseUnit, ids::LowSpeed})
    dlg.control(id).enabled = false;
}

void baseUnit(UpdateDialog& dlg) {
  SerialPort& port = dlg.port;
  if (!queryBaseUnit(port, dlg.baseUnitVersion.data())) return dlg.showError(kNoBaseUnitText);
  Control& lowSpeed = dlg.control(ids::LowSpeed);
  lowSpeed.checked = true;
  lowSpeed.enabled = false;
  dlg.control(ids::BaseUnit).enabled = false;
  uint8_t codes[9]{};
  if (!readSlotOccupancy(port, codes)) return dlg.showError(kNoSlotModulesText);
  for (size_t k = 0; k < 9; ++k) dlg.slots[k].typeCode = codes[k];
  if (!selectSlot(port, 0)) return dlg.showError(kDeselectText);
  int count = 9;
  probeSlotCount(port, count);
  dlg.slotCount = static_cast<uint8_t>(count);
  dlg.showNinthRow(count == 9);
  if (!showBaseUnitInfo(dlg)) return dlg.showError(kOldBaseUnitText);
  searchSlots(dlg);
}

// Base units of the first series (major version 1) cannot update the modules in their slots.
bool updatesModules(uint8_t major) {
  return major != 1;
}

}  // namespace

std::string formatDeviceText(const std::string& type, uint8_t major, uint8_t minor) {
  char text[64];
  std::snprintf(text, sizeof text, "%s V%x.%02x", type.c_str(), major, minor);
  return text;
}

int showModuleInfo(UpdateDialog& dlg) {
  SerialPort& port = dlg.port;
  uint8_t type[kModuleTypeBuffer]{};
  uint8_t version[2]{};
  uint8_t boot[2]{};
  // The text names the module the stages are chosen by: a type that differs from the one Connect
  // identified is a damaged reply (one bit makes a QD29E a QD21E, whose FPGA would be skipped). It
  // is asked once more, and a module that still names another type gets no text.
  bool sameType = false;
  for (int attempt = 0; attempt < kTypeReads && !sameType; ++attempt) {
    if (!selectControllerRetry(port) || !identifyModule(port, type) ||
        !readSoftwareVersion(port, version) || !readBootLoaderVersion(port, boot))
      return 0;
    sameType = dlg.typeText.empty() || typeString(type) == dlg.typeText;
  }
  if (!sameType) return 0;
  std::string shown = typeString(type);
  if (shown.compare(2, 3, kQd292Tail) == 0) shown = shown.substr(0, 4) + "/22";
  dlg.deviceText = formatDeviceText(shown, version[0], version[1]);
  dlg.updateData();
  return 1;
}

bool showBaseUnitInfo(UpdateDialog& dlg) {
  const uint8_t major = dlg.baseUnitVersion[0], minor = dlg.baseUnitVersion[1];
  const bool supported = updatesModules(major);
  const char* name = !supported ? "QM65_  " : dlg.slotCount == 9 ? "QM65B  " : "QM65A  ";
  dlg.deviceText = formatDeviceText(name, major, minor);
  dlg.updateData();
  return supported;
}

bool baseUnitAccepted(const UpdateDialog& dlg) {
  return !dlg.deviceText.empty() && updatesModules(dlg.baseUnitVersion[0]);
}

void onConnect(UpdateDialog& dlg) {
  dlg.setWaitCursor(true);
  dlg.updateData();
  setBaudRate(dlg.port, kNormalRate);
  discardInput(dlg.port);
  enterProgramDir(dlg);
  dlg.slotCount = 9;
  for (int k = 0; k < 9; ++k) {
    dlg.slots[static_cast<size_t>(k)].state = SlotIdle;
    resetSlotRow(dlg, k, true);
  }
  if (dlg.control(ids::BaseUnit).checked)
    baseUnit(dlg);
  else
    singleModule(dlg);
  // A line that went away on the way leaves nothing offered that Update could not reach.
  dlg.reportLineGone();
  dlg.setWaitCursor(false);
  dlg.updateData();
}

}  // namespace qdqm
