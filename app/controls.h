// The main window's controls as data: id, kind, template text, place (dialog units) and state.
// The window model changes these; a view (Qt, terminal, tests) only shows them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qdqm {

enum class ControlKind {
  Label,
  Icon,
  GroupBox,
  RadioButton,
  DropDown,
  PushButton,
  CheckBox,
  Edit,
  ProgressBar
};

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
};

struct Control {
  int id = 0;  // controls without an id of their own carry an id below 0
  ControlKind kind = ControlKind::Label;
  std::string text;
  Rect rect;
  bool visible = true;
  bool enabled = true;
  bool checked = false;  // radio buttons and check boxes
  bool defaultButton = false;
  std::vector<std::string> items;  // drop-down lists
  std::vector<std::string> notes;  // shown beside an item in its open list (a port's device)
  int selection = -1;              // selected item, -1 for none
  int position = 0;                // progress bar
  int rangeLow = 0, rangeHigh = 100;
};

namespace ids {
constexpr int SelectComLabel = 1004, HintLine1 = 1005, HintLine2 = 1012, HintLine3 = 1006;
constexpr int Com1 = 1013, Com2 = 1014, Com3 = 1015, Com4 = 1016, PortList = 1018;
constexpr int Connect = 1000, LowSpeed = 1020, BaseUnit = 1022;
constexpr int DeviceGroup = 1009, DeviceField = 1001;
constexpr int VersionLabel = 1007, VersionList = 1003;
constexpr int ProgressGroup = 1010, Progress = 1002, StatusLine = 1021;
constexpr int Update = 1008, Exit = 1019;
constexpr int SlotPanel = 1023;
constexpr int AppIcon = -1, PortGroup = -2;
}  // namespace ids

// The four controls of one slot row, slot index 0..8.
struct SlotRowIds {
  int name, check, verLabel, versionList;
};
extern const SlotRowIds kSlotRows[9];
// The slot index 0..8 whose row has `id` as the given member (e.g. &SlotRowIds::name), or -1.
int slotOfControl(int id, int SlotRowIds::*member);

// A control's colour.
struct Rgb {
  uint8_t red, green, blue;
};

// Every control of the dialog template with its initial state.
std::vector<Control> makeDialogControls();

constexpr const char* kWindowTitle = "Corvane QD/QM Module Update";
constexpr int kDialogWidth = 324, kDialogHeight = 207;  // dialog units, slot panel open

}  // namespace qdqm
