#include "app/controls.h"

namespace qdqm {

const SlotRowIds kSlotRows[9] = {
    {1024, 1032, 1040, 1011}, {1025, 1033, 1041, 1017}, {1027, 1035, 1043, 1048},
    {1028, 1036, 1044, 1049}, {1029, 1037, 1045, 1050}, {1030, 1038, 1046, 1051},
    {1031, 1039, 1047, 1052}, {1034, 1042, 1053, 1054}, {1055, 1056, 1057, 1058},
};

int slotOfControl(int id, int SlotRowIds::*member) {
  for (int k = 0; k < 9; ++k)
    if (kSlotRows[k].*member == id) return k;
  return -1;
}

namespace {

Control make(int id, ControlKind kind, std::string text, Rect rect, bool visible = true,
             bool enabled = true) {
  Control c;
  c.id = id;
  c.kind = kind;
  c.text = std::move(text);
  c.rect = rect;
  c.visible = visible;
  c.enabled = enabled;
  return c;
}

}  // namespace

std::vector<Control> makeDialogControls() {
  using K = ControlKind;
  std::vector<Control> c;
  // Left half: one module.
  c.push_back(make(ids::SelectComLabel, K::Label, "Select COM Port:", {7, 6, 70, 8}));
  c.push_back(make(ids::AppIcon, K::Icon, "", {132, 4, 20, 20}));
  c.push_back(make(ids::HintLine1, K::Label, "Connect the Qx Module", {70, 18, 88, 8}, false));
  c.push_back(make(ids::HintLine2, K::Label, "to your PC and press", {70, 27, 88, 8}, false));
  c.push_back(make(ids::HintLine3, K::Label, "the Connect buttom", {70, 36, 88, 8}, false));
  c.push_back(make(ids::PortGroup, K::GroupBox, "Serial &Port:", {7, 16, 61, 62}));
  const char* radios[] = {"COM &1", "COM &2", "COM &3", "COM &4"};
  for (int i = 0; i < 4; ++i)
    c.push_back(make(ids::Com1 + i, K::RadioButton, radios[i], {13, 27 + 12 * i, 48, 10}));
  c.push_back(make(ids::PortList, K::DropDown, "", {11, 27, 54, 100}));
  Control connect = make(ids::Connect, K::PushButton, "&Connect", {70, 48, 84, 14}, true, false);
  connect.defaultButton = true;
  c.push_back(connect);
  c.push_back(make(ids::LowSpeed, K::CheckBox, "LowSpeed", {68, 66, 90, 10}));
  c.push_back(make(ids::BaseUnit, K::CheckBox, "Update QM2x/4x", {68, 77, 90, 10}));
  c.push_back(make(ids::DeviceGroup, K::GroupBox, "Connected Device:", {7, 88, 148, 28}));
  c.push_back(make(ids::DeviceField, K::Edit, "", {13, 99, 136, 12}));
  c.push_back(make(ids::VersionLabel, K::Label, "Select Update Version:", {7, 119, 100, 8}, false));
  c.push_back(make(ids::VersionList, K::DropDown, "", {7, 129, 148, 80}, true, false));
  c.push_back(make(ids::ProgressGroup, K::GroupBox, "Programming Progress:", {7, 145, 148, 36}));
  c.push_back(make(ids::Progress, K::ProgressBar, "", {13, 156, 136, 10}));
  c.push_back(make(ids::StatusLine, K::Label, "programming controller flash...         ",
                   {13, 169, 136, 8}, false));
  Control update = make(ids::Update, K::PushButton, "&Update", {7, 186, 71, 14}, true, false);
  update.defaultButton = true;
  c.push_back(update);
  Control exitButton = make(ids::Exit, K::PushButton, "&Exit", {84, 186, 71, 14});
  exitButton.defaultButton = true;
  c.push_back(exitButton);
  // Right half: the slot panel of a base unit, one row per slot.
  c.push_back(make(ids::SlotPanel, K::GroupBox, "QM2x Update Only", {164, 4, 154, 198}));
  for (int k = 0; k < 9; ++k) {
    const int y = 18 + 20 * k;
    const SlotRowIds& r = kSlotRows[k];
    c.push_back(make(r.name, K::Label, "QM xx", {170, y, 32, 10}));
    c.push_back(make(r.check, K::CheckBox, "", {206, y, 10, 10}));
    c.push_back(make(r.verLabel, K::Label, "Ver.:", {220, y + 1, 42, 8}));
    c.push_back(make(r.versionList, K::DropDown, "", {264, y - 1, 50, 80}));
  }
  return c;
}

}  // namespace qdqm
