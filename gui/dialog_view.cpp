#include "gui/dialog_view.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QUrl>
#include <array>
#include <optional>

#include "app/about.h"
#include "app/box_place.h"
#include "app/service_record.h"
#include "app/trace.h"
#include "app/update_folder.h"
#include "gui/about_box.h"
#include "gui/settings.h"
#include "gui/units.h"

namespace qdqm::gui {

namespace {

QString qs(const std::string& s) {
  return QString::fromStdString(s);
}

Rect rectOf(const QRect& r) {
  return {r.x(), r.y(), r.width(), r.height()};
}

// The open list shows an item's note (a port's device) beside it; the closed box the item alone,
// so that a port list keeps to the width of the dialog's template.
class NoteDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    const QString note = index.data(Qt::ToolTipRole).toString();
    if (!note.isEmpty()) option->text += QStringLiteral("  ") + note;
  }
};

// The port list asks the model before it opens: the ports are probed again, and while a procedure
// runs the list stays shut on the port in use.
class PortListBox final : public QComboBox {
 public:
  PortListBox(UpdateDialog& model, QWidget* parent) : QComboBox(parent), model_(model) {}
  void showPopup() override {
    if (model_.onPortListOpened()) QComboBox::showPopup();
  }

 private:
  UpdateDialog& model_;
};

// Controls whose mnemonic hands the focus on, as the next controls in tab order take it on the
// original platform: the first visible, enabled target; of radio buttons the checked one.
struct MnemonicTargets {
  int owner;
  std::array<int, 5> targets;
};
constexpr MnemonicTargets kMnemonicTargets[] = {
    {ids::PortGroup, {ids::PortList, ids::Com1, ids::Com2, ids::Com3, ids::Com4}},
};

const MnemonicTargets* mnemonicTargetsOf(int id) {
  for (const MnemonicTargets& m : kMnemonicTargets)
    if (m.owner == id) return &m;
  return nullptr;
}

}  // namespace

DialogView::DialogView(UpdateDialog& model, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      model_(model),
      units_(font()) {
  setWindowTitle(kWindowTitle);
  setWindowIcon(style()->standardIcon(QStyle::SP_ComputerIcon));
  build();
  auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(f1, &QShortcut::activated, this, &DialogView::showAbout);
  sync();
}

QWidget* DialogView::widget(int id) const {
  auto it = widgets_.find(id);
  return it == widgets_.end() ? nullptr : it->second;
}

void DialogView::build() {
  for (const Control& c : model_.controls) {
    QWidget* w = nullptr;
    const QString text = qs(c.text);
    switch (c.kind) {
      case ControlKind::Label:
        w = new QLabel(text, this);
        break;
      case ControlKind::Icon: {
        auto* icon = new QLabel(this);
        icon->setPixmap(windowIcon().pixmap(32, 32));
        w = icon;
        break;
      }
      case ControlKind::GroupBox:
        w = new QGroupBox(text, this);
        if (mnemonicTargetsOf(c.id)) w->installEventFilter(this);
        break;
      case ControlKind::RadioButton: {
        auto* radio = new QRadioButton(text, this);
        radio->setAutoExclusive(false);  // the model decides which one is checked
        w = radio;
        break;
      }
      case ControlKind::DropDown: {
        auto* combo = c.id == ids::PortList ? new PortListBox(model_, this) : new QComboBox(this);
        combo->setEditable(false);
        combo->setItemDelegate(new NoteDelegate(combo));
        combo->installEventFilter(this);
        w = combo;
        break;
      }
      case ControlKind::PushButton:
        w = new QPushButton(text, this);
        break;
      case ControlKind::CheckBox:
        w = new QCheckBox(text, this);
        break;
      case ControlKind::Edit: {
        auto* edit = new QLineEdit(this);
        edit->setReadOnly(true);
        w = edit;
        break;
      }
      case ControlKind::ProgressBar: {
        auto* bar = new QProgressBar(this);
        bar->setTextVisible(false);
        w = bar;
        break;
      }
    }
    QRect r = units_.rect(c.rect);
    // A drop-down's template height includes its open list; the closed box is one line.
    if (c.kind == ControlKind::DropDown) r.setHeight(units_.y(12));
    w->setGeometry(r);
    w->setObjectName(QStringLiteral("c%1").arg(c.id));
    widgets_[c.id] = w;
    connectControl(c, w);
  }
}

void DialogView::connectControl(const Control& c, QWidget* w) {
  const int id = c.id;
  UpdateDialog& m = model_;
  if (auto* radio = qobject_cast<QRadioButton*>(w)) {
    const unsigned n = static_cast<unsigned>(id - ids::Com1 + 1);
    connect(radio, &QRadioButton::clicked, this, [&m, n] { m.onPortRadio(n); });
  } else if (auto* button = qobject_cast<QPushButton*>(w)) {
    if (id == ids::Connect)
      connect(button, &QPushButton::clicked, this, [&m] { m.onConnectClicked(); });
    else if (id == ids::Update)
      connect(button, &QPushButton::clicked, this, [&m] { m.onUpdateClicked(); });
    else if (id == ids::Exit)
      connect(button, &QPushButton::clicked, this, [&m] { m.onExitClicked(); });
  } else if (auto* box = qobject_cast<QCheckBox*>(w)) {
    connect(box, &QCheckBox::clicked, this, [&m, id](bool checked) {
      m.control(id).checked = checked;
      if (id == ids::BaseUnit) m.onSlotPanelToggleClicked();
    });
  } else if (id == ids::PortList) {
    // Every choice counts, also of the entry shown: the port may have to be opened again.
    connect(static_cast<QComboBox*>(w), &QComboBox::activated, this, [&m, id](int index) {
      m.control(id).selection = index;
      m.onPortListSelected();
    });
  } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
    const int slot = slotOfControl(id, &SlotRowIds::versionList);
    connect(combo, &QComboBox::currentIndexChanged, this, [&m, id, slot](int index) {
      m.control(id).selection = index;
      if (id == ids::VersionList)
        m.onVersionSelected();
      else if (slot >= 0)
        m.onSlotVersionSelected(slot);
    });
  }
}

void DialogView::apply(const Control& c, QWidget* w) {
  const QString text = qs(c.text);
  if (auto* label = qobject_cast<QLabel*>(w)) {
    if (c.kind == ControlKind::Label && label->text() != text) label->setText(text);
  } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    if (edit->text() != text) edit->setText(text);
  } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
    if (group->title() != text) group->setTitle(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
    if (button->text() != text) button->setText(text);
    if (button->isCheckable()) button->setChecked(c.checked);
  } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
    QStringList items, notes;
    for (size_t i = 0; i < c.items.size(); ++i) {
      items << qs(c.items[i]);
      notes << (i < c.notes.size() ? qs(c.notes[i]) : QString());
    }
    QStringList shown, shownNotes;
    for (int i = 0; i < combo->count(); ++i) {
      shown << combo->itemText(i);
      shownNotes << combo->itemData(i, Qt::ToolTipRole).toString();
    }
    if (shown != items || shownNotes != notes) {
      combo->clear();
      combo->addItems(items);
      for (int i = 0; i < notes.size(); ++i) combo->setItemData(i, notes[i], Qt::ToolTipRole);
      // The open list is as wide as its widest entry with its note.
      combo->view()->setMinimumWidth(combo->view()->sizeHintForColumn(0) +
                                     2 * combo->view()->frameWidth());
    }
    if (combo->currentIndex() != c.selection) combo->setCurrentIndex(c.selection);
  } else if (auto* bar = qobject_cast<QProgressBar*>(w)) {
    bar->setRange(c.rangeLow, c.rangeHigh);
    bar->setValue(c.position);
  }
  w->setEnabled(c.enabled);
  w->setVisible(c.visible);
}

void DialogView::colourSlotName(int slotIndex, QWidget* w) {
  const std::optional<Rgb> colour = slotNameColour(model_.slots[slotIndex].state);
  QPalette palette = this->palette();
  if (colour) palette.setColor(QPalette::Window, QColor(colour->red, colour->green, colour->blue));
  w->setAutoFillBackground(colour.has_value());
  w->setPalette(palette);
}

void DialogView::sync() {
  refresh_.run([this] {
    setFixedSize(units_.x(model_.windowWidth), units_.y(model_.windowHeight));
    for (const Control& c : model_.controls) {
      QWidget* w = widget(c.id);
      if (!w) continue;
      const QSignalBlocker block(w);
      apply(c, w);
      if (const int slot = slotOfControl(c.id, &SlotRowIds::name); slot >= 0)
        colourSlotName(slot, w);
    }
    if (model_.focusId != shownFocus_) {
      shownFocus_ = model_.focusId;
      if (QWidget* w = widget(shownFocus_)) w->setFocus();
    }
  });
}

void DialogView::closeFromModel() {
  QTimer::singleShot(0, this, &QWidget::close);
}

// The box's own event loop would hold a running transfer for as long as it stays open: not
// offered while a procedure runs.
void DialogView::showAbout() {
  if (model_.busy()) return;
  AboutBox box;
  box.exec();
}

std::optional<QPoint> DialogView::boxPosition(QSize box) const {
  const QWidget* panel = widget(ids::SlotPanel);
  if (!panel || !panel->isVisible()) return std::nullopt;
  const Rect at =
      boxBesideSlotPanel(rectOf(frameGeometry()), panel->mapToGlobal(QPoint(0, 0)).x(), box.width(),
                         box.height(), rectOf(screen()->availableGeometry()));
  return QPoint(at.x, at.y);
}

void DialogView::closeEvent(QCloseEvent* event) {
  if (!model_.ended()) model_.onCloseRequested();
  if (model_.ended())
    event->accept();
  else
    event->ignore();  // a procedure is running; the window closes when it ends
}

void DialogView::contextMenuEvent(QContextMenuEvent* event) {
  if (model_.busy()) return;
  QMenu menu(this);
  fillContextMenu(menu);
  menu.exec(event->globalPos());
}

void DialogView::focusMnemonicTarget(int owner) {
  const MnemonicTargets* m = mnemonicTargetsOf(owner);
  if (!m) return;
  QWidget* target = nullptr;
  for (int id : m->targets) {
    QWidget* w = widget(id);
    if (!w || !w->isVisible() || !w->isEnabled()) continue;
    if (!target) target = w;
    if (auto* radio = qobject_cast<QRadioButton*>(w); radio && radio->isChecked()) target = radio;
  }
  if (target) target->setFocus(Qt::ShortcutFocusReason);
}

void DialogView::fillContextMenu(QMenu& menu) {
  menu.addAction(qs(about::kMenuText), this, &DialogView::showAbout);
  menu.addSeparator();
  // The frame trace for service: one entry that starts a trace file, or ends the running one.
  if (model_.port.trace)
    menu.addAction(qs(kEndTraceMenuText), this, [this] { endDialogTrace(model_); });
  else
    menu.addAction(qs(kStartTraceMenuText), this, [this] { startDialogTrace(model_); });
  // Where the update sets are looked for, and another folder (a USB stick, a share).
  menu.addSeparator();
  menu.addAction(qs(updateFolderMenuText(model_)))->setEnabled(false);
  menu.addAction(qs(kChooseFolderMenuText), this, &DialogView::chooseUpdateFolder);
  // The service record: which module got which firmware.
  if (const std::string folder = historyFolder(model_); !folder.empty())
    menu.addAction(qs(kRecordFolderMenuText), this, [this, folder] {
      if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder))))
        showHistoryPath(model_);
    });
}

void DialogView::chooseUpdateFolder() {
  if (model_.busy()) return;
  const QString folder =
      QFileDialog::getExistingDirectory(this, qs("Update folder"), qs(model_.programDir));
  if (folder.isEmpty()) return;
  rememberFolder(folder.toStdString());
  changeUpdateFolder(model_, folder.toStdString());
}

bool DialogView::eventFilter(QObject* watched, QEvent* event) {
  // A group box has no controls of its own here (all are the window's): its mnemonic is passed on.
  if (event->type() == QEvent::Shortcut && watched->isWidgetType()) {
    for (const auto& [id, w] : widgets_) {
      if (w == watched && mnemonicTargetsOf(id)) {
        focusMnemonicTarget(id);
        return true;
      }
    }
  }
  if (event->type() == QEvent::FocusIn && watched == widget(ids::PortList)) {
    if (refresh_.running())
      QTimer::singleShot(0, this, [this] { model_.onPortListFocus(); });
    else
      model_.onPortListFocus();
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace qdqm::gui
