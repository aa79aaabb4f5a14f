// The main window's model: its controls, the members every procedure reads and writes, and the
// event handlers. Free of any toolkit: a view shows `controls` when Host::controlsChanged() fires
// and forwards clicks to the on... handlers.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/controls.h"
#include "link/host.h"
#include "link/serial_port.h"
#include "link/slot_commands.h"

namespace qdqm {

enum SlotState : int {
  SlotFailed = 0,
  SlotUpdated = 1,
  SlotNotUpdated = 2,
  SlotDataFileError = 3,
  SlotIdle = 128,
  SlotBusy = 255,
};

// Text background of a slot's name label by the slot's state; none keeps the default colours.
std::optional<Rgb> slotNameColour(int slotState);
// "idle", "busy", "updated", "failed", "not-updated" or "data-file-error" (reports, records).
const char* slotStateName(int slotState);

// How the last update run ended: no verdict (aborted, or not run), or the verdict shown.
enum class Verdict { None, Success, Failure };

class UpdateDialog;

// What the window's Connect and Update buttons run. The procedures stand on the window model, so
// the program that shows a window hands them to it (procedures/procedures.h: windowProcedures).
struct Procedures {
  void (*connect)(UpdateDialog& dlg);
  void (*update)(UpdateDialog& dlg);
};

// A slot's row: the module the slot commands know (type code, protocol, present, directory
// spec), and what the window shows and keeps of it.
struct SlotEntry : SlotModule {
  std::string nameText;
  std::string versionText;
  std::string selectedFile;
  int state = SlotIdle;
};

class UpdateDialog {
 public:
  UpdateDialog(PortOpener& opener, Clock& clock, Host& host, const Procedures& procedures);
  UpdateDialog(const UpdateDialog&) = delete;
  UpdateDialog& operator=(const UpdateDialog&) = delete;

  Control& control(int id);
  const Control& control(int id) const;

  // Write the members to the controls (portIndex, deviceText, statusText, slot texts), then let
  // the view show them.
  void updateData();
  void setWaitCursor(bool wait) { host.setWaitCursor(wait); }
  // Error box: arrow cursor, caption "Error message", stop icon, OK.
  void showError(const std::string& text);
  void setFocus(int id) { focusId = id; }

  // Events from the view. A click that arrives (through the exchange's event pump) while a
  // procedure runs is ignored; Exit and closing the window are honoured when it has ended.
  bool initWindow();
  void onPortRadio(unsigned n);  // radio buttons COM 1..4
  void onPortListFocus();
  // The port list is about to open: probes the ports again so that an adapter plugged in since
  // start-up is offered. False while a procedure runs: the list then keeps the port in use.
  bool onPortListOpened();
  void onPortListSelected();
  void onConnectClicked();
  void onUpdateClicked();
  void onVersionSelected();
  void onExitClicked();
  void onSlotPanelToggleClicked();
  void onSlotVersionSelected(int slotIndex);
  void onCloseRequested();

  int selectPort(unsigned n);
  // Port n chosen again: opened anew unless it is the port in use and its line is still there.
  void choosePort(unsigned n);
  // The open port's line has gone away (adapter unplugged), or its number now leads to another
  // device (plugged back in elsewhere): it must be opened again before it is used.
  bool portLineGone();
  // After a line went away (during a procedure, or since Connect): the window forgets the module,
  // whose rows and versions can no longer be trusted, and says so: the port's open message when
  // it cannot be opened again, else the lost-line message. False when the line is there.
  bool reportLineGone();
  // Forgets what Connect found (device, versions, slot rows): the next Connect starts afresh.
  void forgetModule();
  void setConnectHint(bool show);
  void onExit();
  void showSlotPanel(bool show);
  void enableSlotPanel(bool enable);
  void showNinthRow(bool show);
  bool busy() const { return busy_; }
  // The number of the port opened by the user's choice, 0 for none.
  unsigned portNumber() const { return portInUse_; }
  bool ended() const { return ended_; }
  // Exit or a close was asked for while a procedure runs: the program ends after it.
  bool exitRequested() const { return exitPending_; }

  // Runs a procedure under the busy guard; returns false (and runs nothing) when another one is
  // running. An Exit or close that arrived meanwhile is carried out when the procedure has ended.
  bool runGuarded(const std::function<void()>& procedure);

  Host& host;
  Clock& clock;
  SerialPort port;
  std::vector<Control> controls;
  int focusId = 0;
  int windowWidth = kDialogWidth, windowHeight = kDialogHeight;  // dialog units
  int fullWidth = kDialogWidth, fullHeight = kDialogHeight;

  // Members of the original window, with their defaults.
  int portIndex = -1;
  std::string deviceText, statusText, typeText, hwRevisionText, messageText;
  std::string programDir, typeDirSpec, selectedFile;
  // Where relative file names are opened: the program directory or the type directory.
  std::string workingDir;
  uint8_t slotCount = 9;
  std::array<SlotEntry, 9> slots;
  std::array<uint8_t, 3> baseUnitVersion{};
  bool portPlaceholder = false;

  // Run state of an update.
  int overallResult = 1;
  unsigned resetPending = 0;
  Verdict verdict = Verdict::None;
  // What the service record keeps of the run in progress (or the last one).
  struct RunRecord {
    std::string started;       // when it started, ISO 8601 in UTC
    uint64_t startUs = 0;      // the same on the window's clock
    std::string device;        // "Connected Device" as the run began
    std::string file;          // the data file as chosen
    std::string filePath;      // where it was found
    std::string versionAfter;  // the module's text read again after its restart, if it was
    std::vector<std::string> coprocessorFiles;  // every file a stage opened, as opened
  } record;
  // Where every update run appends its line to the service record; empty for none (tests).
  std::string historyPath;

 private:
  // Exit and close: at once when idle, else after the running procedure.
  void requestExit();
  // Port numbers 1..32 that open, each with its device; the port in use is listed as it is while
  // its line is there.
  std::vector<std::pair<unsigned, std::string>> probePorts(SerialPort& probe);
  void reprobePortList();
  // The port list shows the entry of the port in use.
  void showPortInUse();
  const Procedures& procedures_;
  unsigned portInUse_ = 0;  // number of the port opened by the user's choice, 0 for none
  bool busy_ = false;
  bool exitPending_ = false;
  bool ended_ = false;
};

// A Connect that is not followed by an update leaves the controller at the raised rate, where the
// next program to open the port cannot reach it: sends the controller back to 19200 (nothing when
// the line already is there). The dialog's Exit does it, and the terminal commands.
void leaveModuleAtNormalRate(UpdateDialog& dlg);

}  // namespace qdqm
