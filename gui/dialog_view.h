// The main dialog on screen: one widget per control of the window model, placed from the control
// table and refreshed from the model whenever the model shows its members.
#pragma once

#include <QWidget>
#include <map>
#include <optional>

class QMenu;

// The window model has a member named like Qt's `slots` keyword; the view declares no slot
// sections, so the keyword is not needed.
#undef slots
#include "app/update_dialog.h"
#include "app/view_refresh.h"
#include "gui/units.h"

namespace qdqm::gui {

class DialogView : public QWidget {
  Q_OBJECT
 public:
  explicit DialogView(UpdateDialog& model, QWidget* parent = nullptr);

  const DialogUnits& units() const { return units_; }
  // The widget of a control id (object name "c<id>"), or null.
  QWidget* widget(int id) const;
  // Shows the model's controls, window size and focus.
  void sync();
  // The model has ended the dialog: close the window once the current event is done.
  void closeFromModel();
  void showAbout();
  // Where a box of this size goes (its outer top-left on the screen) while the slot panel is open;
  // none while it is closed (Qt centres a box over the window then).
  std::optional<QPoint> boxPosition(QSize box) const;
  // The entries of the context menu: About, starting or ending the frame trace, the update folder.
  void fillContextMenu(QMenu& menu);
  // Asks for another update folder, remembers it and uses it from the next Connect on.
  void chooseUpdateFolder();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void build();
  void connectControl(const Control& c, QWidget* w);
  void apply(const Control& c, QWidget* w);
  void colourSlotName(int slotIndex, QWidget* w);
  // The mnemonic of a control without a focus of its own (a group box) focuses its target.
  void focusMnemonicTarget(int owner);

  UpdateDialog& model_;
  DialogUnits units_;
  std::map<int, QWidget*> widgets_;
  int shownFocus_ = 0;
  ViewRefresh refresh_;
};

}  // namespace qdqm::gui
