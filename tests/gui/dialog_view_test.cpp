// The dialog on Qt's offscreen platform: widgets from the control table, the window's size rules,
// the extended-port case, slot colours, the Esc latch and a close during a procedure.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <set>

#include "app/about.h"
#include "gui/about_box.h"
#include "gui/dialog_view.h"
#include "gui/qt_host.h"
#include "gui/units.h"
#include "link/clock.h"
#include "tests/support/quiet_ports.h"

namespace qdqm::gui {
namespace {

using testing::ProbeOpener;

struct Screen {
  explicit Screen(std::set<unsigned> ports) : opener(std::move(ports)) {
    host.attach(&view);
    dialog.initWindow();
    view.show();
  }
  template <class W>
  W* get(int id) {
    auto* w = qobject_cast<W*>(view.widget(id));
    EXPECT_NE(w, nullptr) << id;
    return w;
  }
  ProbeOpener opener;
  VirtualClock clock;
  QtHost host;
  UpdateDialog dialog{opener, clock, host};
  DialogView view{dialog};
};

TEST(DialogView, WidgetsFollowTheControlTable) {
  Screen s({1, 3});
  EXPECT_EQ(s.view.windowTitle(), "Corvane QD/QM Module Update");
  EXPECT_TRUE(s.view.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(s.view.minimumSize(), s.view.maximumSize());
  for (const Control& c : s.dialog.controls) {
    QWidget* w = s.view.widget(c.id);
    ASSERT_NE(w, nullptr) << c.id;
    EXPECT_EQ(w->objectName(), QStringLiteral("c%1").arg(c.id));
    EXPECT_EQ(w->isVisible(), c.visible) << c.id;
    EXPECT_EQ(w->isEnabled(), c.enabled) << c.id;
  }
  EXPECT_EQ(s.get<QPushButton>(ids::Connect)->text(), "&Connect");
  EXPECT_FALSE(s.get<QPushButton>(ids::Connect)->isEnabled());
  EXPECT_EQ(s.get<QPushButton>(ids::Exit)->text(), "&Exit");
  EXPECT_TRUE(s.get<QPushButton>(ids::Exit)->hasFocus() || s.dialog.focusId == ids::Exit);
  EXPECT_EQ(s.get<QRadioButton>(ids::Com1)->text(), "COM &1");
  EXPECT_FALSE(s.get<QRadioButton>(ids::Com2)->isEnabled());
  EXPECT_FALSE(s.get<QRadioButton>(ids::Com4)->isEnabled());
  EXPECT_FALSE(s.get<QComboBox>(ids::PortList)->isVisible());
  EXPECT_EQ(s.get<QGroupBox>(ids::PortGroup)->title(), "Serial &Port:");
  EXPECT_EQ(s.get<QCheckBox>(ids::BaseUnit)->text(), "Update QM2x/4x");
  EXPECT_EQ(s.get<QLabel>(ids::SelectComLabel)->text(), "Select COM Port:");

  // Choosing COM 3 checks its radio button and enables Connect with the hint.
  QTest::mouseClick(s.get<QRadioButton>(ids::Com3), Qt::LeftButton);
  EXPECT_TRUE(s.get<QRadioButton>(ids::Com3)->isChecked());
  EXPECT_FALSE(s.get<QRadioButton>(ids::Com1)->isChecked());
  EXPECT_TRUE(s.get<QPushButton>(ids::Connect)->isEnabled());
  EXPECT_TRUE(s.get<QLabel>(ids::HintLine1)->isVisible());
  EXPECT_EQ(s.dialog.portIndex, 2);
}

TEST(DialogView, HiddenSlotPanelHalvesTheWidth) {
  Screen s({1});
  EXPECT_EQ(s.view.width(), s.view.units().x(kDialogWidth / 2));
  EXPECT_EQ(s.view.height(), s.view.units().y(kDialogHeight));
  EXPECT_FALSE(s.view.widget(ids::SlotPanel)->isVisible());
  s.dialog.showSlotPanel(true);
  s.dialog.updateData();
  EXPECT_EQ(s.view.width(), s.view.units().x(kDialogWidth));
  EXPECT_TRUE(s.view.widget(ids::SlotPanel)->isVisible());
  EXPECT_TRUE(s.view.widget(1058)->isVisible());
}

TEST(DialogView, ExtendedPortUsesTheList) {
  Screen s({7});
  for (int id : {ids::Com1, ids::Com2, ids::Com3, ids::Com4})
    EXPECT_FALSE(s.view.widget(id)->isVisible()) << id;
  auto* list = s.get<QComboBox>(ids::PortList);
  ASSERT_TRUE(list->isVisible());
  EXPECT_EQ(list->currentText(), "SelectCom");
  ASSERT_EQ(list->count(), 2);

  QFocusEvent focus(QEvent::FocusIn, Qt::MouseFocusReason);
  QApplication::sendEvent(list, &focus);
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->itemText(0), "Com 7");
  EXPECT_EQ(list->itemData(0, Qt::ToolTipRole).toString(), "/dev/fake7");

  s.opener.opened.clear();
  list->setCurrentIndex(0);  // as the user's choice does
  EXPECT_EQ(s.opener.opened, std::vector<unsigned>{7});
  EXPECT_TRUE(s.get<QPushButton>(ids::Connect)->isEnabled());
}

TEST(DialogView, SlotNameColoursFollowTheSlotState) {
  Screen s({1});
  s.dialog.showSlotPanel(true);
  s.dialog.slots[0].state = SlotFailed;
  s.dialog.slots[1].state = SlotUpdated;
  s.dialog.slots[2].state = SlotBusy;
  s.dialog.slots[3].state = SlotDataFileError;
  s.dialog.updateData();
  auto background = [&](int id) { return s.view.widget(id)->palette().color(QPalette::Window); };
  EXPECT_EQ(background(1024), QColor(255, 0, 0));
  EXPECT_EQ(background(1025), QColor(0, 255, 0));
  EXPECT_EQ(background(1027), QColor(0, 255, 255));
  EXPECT_EQ(background(1029), QColor(192, 192, 192));  // idle
  EXPECT_TRUE(s.view.widget(1024)->autoFillBackground());
  EXPECT_FALSE(s.view.widget(1028)->autoFillBackground());  // data file error: default colours
}

TEST(DialogView, EscIsLatchedOnceAndCloseWaitsForTheProcedure) {
  Screen s({1});
  QTest::keyClick(s.view.widget(ids::Exit), Qt::Key_Escape);
  EXPECT_TRUE(s.host.escapePressed());
  EXPECT_FALSE(s.host.escapePressed());

  s.dialog.runGuarded([&] {
    s.view.close();
    s.host.pumpEvents();
    EXPECT_TRUE(s.view.isVisible());
    EXPECT_FALSE(s.dialog.ended());
  });
  EXPECT_TRUE(s.dialog.ended());
  QCoreApplication::processEvents();
  EXPECT_FALSE(s.view.isVisible());
}

// A press made while nothing runs is forgotten when a procedure starts.
TEST(DialogView, EscPressedWhileIdleIsForgotten) {
  Screen s({1});
  QTest::keyClick(s.view.widget(ids::Exit), Qt::Key_Escape);
  s.host.forgetEscape();
  EXPECT_FALSE(s.host.escapePressed());
}

// The About box (F1, context menu) runs its own event loop, which would hold a transfer for as
// long as it stays open: while a procedure runs it is not offered.
TEST(DialogView, NoAboutBoxOrContextMenuDuringAProcedure) {
  Screen s({1});
  bool modalShown = false;
  // Should a box open, close it again so that the test fails instead of hanging.
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (QWidget* w = QApplication::activeModalWidget()) {
      modalShown = true;
      w->close();
    }
    if (QWidget* popup = QApplication::activePopupWidget()) {
      modalShown = true;
      popup->close();
    }
  });
  closer.start(50);
  s.dialog.runGuarded([&] {
    QTest::keyClick(&s.view, Qt::Key_F1);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, QPoint(5, 5),
                           s.view.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&s.view, &menu);
    s.host.pumpEvents();
  });
  EXPECT_FALSE(modalShown);
  // Idle, F1 opens it.
  QTest::keyClick(&s.view, Qt::Key_F1);
  EXPECT_TRUE(modalShown);
}

// Every text of the dialog fits its control at the dialog's font and at one and a half times its
// size (display scaling): the layout follows the font as dialog units do.
TEST(DialogView, EveryTextFitsItsControl) {
  for (double scale : {1.0, 1.5}) {
    SCOPED_TRACE(scale);
    const QFont before = QApplication::font();
    QFont font = before;
    font.setPointSizeF(before.pointSizeF() * scale);
    QApplication::setFont(font);
    Screen s({1, 7, 28});
    s.dialog.showSlotPanel(true);
    for (int k = 0; k < 9; ++k) {
      s.dialog.slots[k].nameText = "QM292";
      s.dialog.slots[k].versionText = "Ver.: 12.05";
      s.dialog.control(kSlotRows[k].versionList).items = {"upd12.05", "upd1.05"};
    }
    s.dialog.deviceText = "QM65B  V2.22";
    s.dialog.statusText = "waiting for 'New Code Programming' ...";
    for (int id : {ids::HintLine1, ids::HintLine2, ids::HintLine3, ids::StatusLine})
      s.dialog.control(id).visible = true;
    s.dialog.updateData();
    const QFontMetrics fm(s.view.font());
    for (const Control& c : s.dialog.controls) {
      QWidget* w = s.view.widget(c.id);
      if (auto* label = qobject_cast<QLabel*>(w); label && !label->text().isEmpty()) {
        EXPECT_LE(fm.horizontalAdvance(label->text()), label->width()) << c.id << " " << c.text;
      } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        EXPECT_LE(button->sizeHint().width(), button->width()) << c.id << " " << c.text;
      } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
        EXPECT_LE(fm.horizontalAdvance(group->title()), group->width()) << c.id;
      } else if (auto* combo = qobject_cast<QComboBox*>(w); combo && combo->count() > 0) {
        // The box's own measure of its widest entry with the frame and the arrow.
        EXPECT_LE(combo->sizeHint().width(), combo->width()) << c.id;
      }
    }
    QApplication::setFont(before);
  }
}

TEST(AboutBox, ShowsTitleAndVersionLine) {
  AboutBox box;
  EXPECT_EQ(box.windowTitle(), "About CORVANE QD/QM Update");
  auto* line = box.findChild<QLabel*>("aboutVersion");
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->text(), "CORVANE QD/QM Update Version 3.19.0.7");
  auto* ok = box.findChild<QPushButton*>("aboutOk");
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->text(), "OK");
}

}  // namespace
}  // namespace qdqm::gui

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
