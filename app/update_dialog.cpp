#include "app/update_dialog.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <stdexcept>
#include <string_view>

#include "app/catalogue.h"
#include "app/list_handlers.h"
#include "link/controller.h"
#include "link/port_map.h"

namespace qdqm {

namespace {

constexpr const char* kErrorCaption = "Error message";
// The port's number and, as in the open message, 10 + the number.
constexpr const char* kLineLostText =
    "Connection lost on serial port COM %u !\nCheck the update cable, then connect again.\n"
    "Error Code: %u";
constexpr const char* kPortPlaceholder = "SelectCom";
constexpr std::string_view kPortEntryPrefix = "Com ";
constexpr unsigned kProbedPorts = 32;
constexpr unsigned kRadioPorts = 4;

struct SlotColour {
  int state;
  Rgb background;
  const char* name;
};
// The other states, SlotDataFileError among them, keep the default colours.
constexpr SlotColour kSlotColours[] = {
    {SlotFailed, {255, 0, 0}, "failed"},
    {SlotUpdated, {0, 255, 0}, "updated"},
    {SlotNotUpdated, {192, 192, 192}, "not-updated"},
    {SlotIdle, {192, 192, 192}, "idle"},
    {SlotBusy, {0, 255, 255}, "busy"},
};

}  // namespace

const char* slotStateName(int slotState) {
  for (const SlotColour& c : kSlotColours)
    if (c.state == slotState) return c.name;
  return slotState == SlotDataFileError ? "data-file-error" : "idle";
}

std::optional<Rgb> slotNameColour(int slotState) {
  for (const SlotColour& c : kSlotColours)
    if (c.state == slotState) return c.background;
  return std::nullopt;
}

UpdateDialog::UpdateDialog(PortOpener& opener, Clock& clock, Host& host,
                           const Procedures& procedures)
    : host(host),
      clock(clock),
      port(opener, clock, host),
      controls(makeDialogControls()),
      procedures_(procedures) {}

Control& UpdateDialog::control(int id) {
  auto it =
      std::find_if(controls.begin(), controls.end(), [id](const Control& c) { return c.id == id; });
  if (it == controls.end()) throw std::out_of_range("no control " + std::to_string(id));
  return *it;
}

const Control& UpdateDialog::control(int id) const {
  return const_cast<UpdateDialog*>(this)->control(id);
}

void UpdateDialog::updateData() {
  for (int i = 0; i < static_cast<int>(kRadioPorts); ++i)
    control(ids::Com1 + i).checked = (portIndex == i);
  control(ids::DeviceField).text = deviceText;
  control(ids::StatusLine).text = statusText;
  for (int k = 0; k < 9; ++k) {
    control(kSlotRows[k].name).text = slots[k].nameText;
    control(kSlotRows[k].verLabel).text = slots[k].versionText;
  }
  host.controlsChanged();
}

void UpdateDialog::showError(const std::string& text) {
  host.message(kErrorCaption, text, Icon::Stop);
}

bool UpdateDialog::initWindow() {
  Control& list = control(ids::PortList);
  determineProgramDir(*this);
  port.close();
  list.items = {kPortPlaceholder};
  list.notes = {""};
  list.selection = -1;
  portPlaceholder = true;
  host.setWaitCursor(true);
  updateData();

  bool extendedPort = false;
  const auto found = probePorts(port);
  for (unsigned n = 1; n <= kRadioPorts; ++n) {
    const bool opened =
        std::any_of(found.begin(), found.end(), [n](const auto& p) { return p.first == n; });
    if (!opened) control(ids::Com1 + static_cast<int>(n) - 1).enabled = false;
  }
  for (const auto& [n, device] : found) {
    list.items.push_back(std::string(kPortEntryPrefix) + std::to_string(n));
    list.notes.push_back(device);
    if (n > kRadioPorts) extendedPort = true;
  }

  if (extendedPort) {
    for (unsigned i = 0; i < kRadioPorts; ++i) control(ids::Com1 + i).visible = false;
    list.selection = 0;
  } else {
    list.visible = false;
  }
  setFocus(ids::Exit);

  slotCount = 9;
  for (SlotEntry& s : slots) s.state = SlotIdle;
  fullWidth = windowWidth;
  fullHeight = windowHeight;
  showSlotPanel(false);

  host.setWaitCursor(false);
  host.controlsChanged();
  return false;
}

std::vector<std::pair<unsigned, std::string>> UpdateDialog::probePorts(SerialPort& probe) {
  std::vector<std::pair<unsigned, std::string>> found;
  for (unsigned n = 1; n <= kProbedPorts; ++n) {
    if (n == portInUse_ && port.isOpen() && !portLineGone()) {
      found.emplace_back(n, port.opener.describe(n, *port.device));
      continue;
    }
    if (openPort(n, probe) == 1) found.emplace_back(n, probe.opener.describe(n, *probe.device));
    probe.close();
  }
  return found;
}

// The probe opens every other port on a port of its own: the line in use stays as it is.
void UpdateDialog::reprobePortList() {
  host.setWaitCursor(true);
  Control& list = control(ids::PortList);
  const bool selected = list.selection >= 0 && list.selection < static_cast<int>(list.items.size());
  const std::string shown = selected ? list.items[static_cast<size_t>(list.selection)] : "";
  SerialPort probe(port.opener, clock, host);
  const auto found = probePorts(probe);
  list.items.clear();
  list.notes.clear();
  if (portPlaceholder) {
    list.items.push_back(kPortPlaceholder);
    list.notes.push_back("");
  }
  for (const auto& [n, device] : found) {
    list.items.push_back(std::string(kPortEntryPrefix) + std::to_string(n));
    list.notes.push_back(device);
  }
  const auto it = std::find(list.items.begin(), list.items.end(), shown);
  list.selection = it == list.items.end() ? -1 : static_cast<int>(it - list.items.begin());
  if (list.selection < 0) showPortInUse();  // its adapter may be back
  host.setWaitCursor(false);
  host.controlsChanged();
}

void UpdateDialog::showPortInUse() {
  Control& list = control(ids::PortList);
  const std::string entry = std::string(kPortEntryPrefix) + std::to_string(portInUse_);
  const auto it = std::find(list.items.begin(), list.items.end(), entry);
  if (portInUse_ != 0 && it != list.items.end())
    list.selection = static_cast<int>(it - list.items.begin());
}

int UpdateDialog::selectPort(unsigned n) {
  int result = 0;
  host.setWaitCursor(true);
  if (openPort(n, port) == 1) {
    portIndex = static_cast<int>(n) - 1;
    portInUse_ = n;
    setConnectHint(true);
    // The adapter behind the number may have changed since the list was made.
    Control& list = control(ids::PortList);
    const std::string entry = std::string(kPortEntryPrefix) + std::to_string(n);
    for (size_t i = 0; i < list.items.size() && i < list.notes.size(); ++i)
      if (list.items[i] == entry) list.notes[i] = port.opener.describe(n, *port.device);
    result = 1;
  } else {
    char text[96];
    std::snprintf(text, sizeof text, "Could not open serial port COM %u\nError Code: %u", n,
                  n + 10);
    messageText = text;
    const std::string hint = openFailureHint(port.opener.devicePath(n), port.lastOpenError);
    if (!hint.empty()) messageText += "\n" + hint;
    showError(messageText);
    portIndex = -1;
    portInUse_ = 0;
    setConnectHint(false);
  }
  host.setWaitCursor(false);
  updateData();
  return result;
}

void UpdateDialog::setConnectHint(bool show) {
  for (int id : {ids::HintLine1, ids::HintLine2, ids::HintLine3}) control(id).visible = show;
  control(ids::Connect).enabled = show;
}

void UpdateDialog::choosePort(unsigned n) {
  // Reopening a line that is still there would drop the rate a Connect has raised.
  if (n == portInUse_ && port.isOpen() && !portLineGone()) return updateData();
  selectPort(n);
}

bool UpdateDialog::portLineGone() {
  if (!port.isOpen() || portInUse_ == 0) return false;
  if (lineLost(port)) return true;
  const std::string behind = port.opener.deviceBehind(portInUse_);
  return !behind.empty() && behind != port.device->name();
}

void UpdateDialog::forgetModule() {
  resetVersionList(*this);
  for (int k = 0; k < 9; ++k) {
    slots[static_cast<size_t>(k)].state = SlotIdle;
    resetSlotRow(*this, k, true);
  }
}

bool UpdateDialog::reportLineGone() {
  if (!portLineGone()) return false;
  const unsigned n = portInUse_;
  forgetModule();
  if (selectPort(n) == 1) {
    char text[160];
    std::snprintf(text, sizeof text, kLineLostText, n, n + 10);
    showError(text);
  }
  return true;
}

void UpdateDialog::onPortRadio(unsigned n) {
  if (!runGuarded([&] { choosePort(n); })) host.controlsChanged();  // undo the view's click
}

void UpdateDialog::onPortListFocus() {
  if (!portPlaceholder) return;
  portPlaceholder = false;
  Control& list = control(ids::PortList);
  if (!list.items.empty()) list.items.erase(list.items.begin());
  if (!list.notes.empty()) list.notes.erase(list.notes.begin());
  // The placeholder was the selected entry: nothing is selected until the user picks a port.
  list.selection = list.selection > 0 ? list.selection - 1 : -1;
  host.controlsChanged();
}

bool UpdateDialog::onPortListOpened() {
  return runGuarded([&] { reprobePortList(); });
}

void UpdateDialog::onPortListSelected() {
  if (busy_ || ended_) {
    // The port in use cannot change under a running procedure; the list goes back to it.
    showPortInUse();
    host.controlsChanged();
    return;
  }
  const Control& list = control(ids::PortList);
  if (list.selection < 0 || list.selection >= static_cast<int>(list.items.size())) return;
  const std::string_view entry = list.items[static_cast<size_t>(list.selection)];
  if (!entry.starts_with(kPortEntryPrefix)) return;
  const std::string_view digits = entry.substr(kPortEntryPrefix.size());
  unsigned n = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (n < 1 || n > 99) return;
  runGuarded([&] { choosePort(n); });
}

// Only an Esc pressed while the procedure runs may abort it: a press left over from idle time would
// otherwise stop the first exchange, possibly right after an erase. A line that went away since it
// was chosen (adapter unplugged and plugged back) is opened again through the port map first;
// Connect would otherwise talk to the dead line and report a mute module.
void UpdateDialog::onConnectClicked() {
  runGuarded([&] {
    host.forgetEscape();
    if (portLineGone() && selectPort(portInUse_) != 1) return;
    procedures_.connect(*this);
  });
}

void UpdateDialog::onUpdateClicked() {
  runGuarded([&] {
    host.forgetEscape();
    procedures_.update(*this);
  });
}

// Selections only record the chosen file; they never drive the port, so they need no guard.
void UpdateDialog::onVersionSelected() {
  qdqm::onVersionSelected(*this);
}

void UpdateDialog::onSlotVersionSelected(int slotIndex) {
  qdqm::onSlotVersionSelected(*this, slotIndex);
}

void UpdateDialog::onSlotPanelToggleClicked() {
  if (!runGuarded([&] { onSlotPanelToggle(*this); })) {
    // Ignored while a procedure runs: the box keeps the state the panel shows.
    Control& box = control(ids::BaseUnit);
    box.checked = control(ids::SlotPanel).visible;
    host.controlsChanged();
  }
}

void UpdateDialog::onExitClicked() {
  requestExit();
}
void UpdateDialog::onCloseRequested() {
  requestExit();
}

void UpdateDialog::requestExit() {
  if (ended_) return;
  if (busy_)
    exitPending_ = true;
  else
    onExit();
}

void leaveModuleAtNormalRate(UpdateDialog& dlg) {
  const uint32_t rate = lineBaudRate(dlg.port);
  if (rate != 0 && rate != kNormalRate) returnToNormalRate(dlg.port);
}

void UpdateDialog::onExit() {
  leaveModuleAtNormalRate(*this);
  port.close();
  ended_ = true;
  host.closeWindow();
}

bool UpdateDialog::runGuarded(const std::function<void()>& procedure) {
  if (busy_ || ended_) return false;
  busy_ = true;
  try {
    procedure();
  } catch (...) {
    busy_ = false;
    throw;
  }
  busy_ = false;
  if (exitPending_) {
    exitPending_ = false;
    onExit();
  }
  return true;
}

void UpdateDialog::showSlotPanel(bool show) {
  windowWidth = show ? fullWidth : fullWidth / 2;
  windowHeight = fullHeight;
  control(ids::SlotPanel).visible = show;
  for (const SlotRowIds& r : kSlotRows)
    for (int id : {r.name, r.check, r.verLabel, r.versionList}) control(id).visible = show;
}

void UpdateDialog::enableSlotPanel(bool enable) {
  control(ids::SlotPanel).enabled = enable;
  for (const SlotRowIds& r : kSlotRows) control(r.name).enabled = enable;
}

void UpdateDialog::showNinthRow(bool show) {
  const SlotRowIds& r = kSlotRows[8];
  for (int id : {r.name, r.check, r.verLabel, r.versionList}) control(id).visible = show;
}

}  // namespace qdqm
