// The dialog on Qt's offscreen platform: widgets from the control table, the window's size rules,
// the extended-port case, slot colours, the Esc latch and a close during a procedure.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>

#include "app/about.h"
#include "gui/about_box.h"
#include "gui/dialog_view.h"
#include "gui/qt_host.h"
#include "gui/units.h"
#include "link/clock.h"
#include "procedures/procedures.h"
#include "tests/support/quiet_ports.h"

namespace qdqm::gui {
namespace {

using testing::ProbeOpener;

struct Screen {
  explicit Screen(std::set<unsigned> ports) : opener(std::move(ports)) {
    host.attach(&view);
    dialog.initWindow();
    view.show();
    // Focus and mnemonics need the window to be the active one, as on a desktop.
    view.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&view));
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
  UpdateDialog dialog{opener, clock, host, windowProcedures()};
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
  QTest::keyClick(list, Qt::Key_Down);  // the user's choice of the first entry
  EXPECT_EQ(list->currentText(), "Com 7");
  EXPECT_EQ(s.opener.opened, std::vector<unsigned>{7});
  EXPECT_TRUE(s.get<QPushButton>(ids::Connect)->isEnabled());
}

// Chooses the entry `text` in the opened list, as a click into it does.
void chooseInPopup(QComboBox* list, const QString& text) {
  list->showPopup();
  ASSERT_TRUE(list->view()->isVisible());
  const int row = list->findText(text);
  ASSERT_GE(row, 0) << text.toStdString();
  list->view()->setCurrentIndex(list->model()->index(row, 0));
  QTest::keyClick(list->view(), Qt::Key_Return);
  EXPECT_FALSE(list->view()->isVisible());
}

size_t opensOf(const ProbeOpener& opener, unsigned n) {
  return static_cast<size_t>(std::count(opener.opened.begin(), opener.opened.end(), n));
}

// Choosing the entry already shown counts as a choice: after the adapter behind COM7 changed it
// is opened again; while the line is unchanged it is kept.
TEST(DialogView, ChoosingTheShownPortAgainReopensAChangedLine) {
  Screen s({7});
  auto* list = s.get<QComboBox>(ids::PortList);
  list->setFocus();
  ASSERT_FALSE(s.dialog.portPlaceholder);
  chooseInPopup(list, "Com 7");
  EXPECT_EQ(opensOf(s.opener, 7), 3u);  // start-up probe, probe on opening, choice
  EXPECT_TRUE(s.get<QPushButton>(ids::Connect)->isEnabled());

  // The port in use is neither probed nor reopened.
  chooseInPopup(list, "Com 7");
  EXPECT_EQ(opensOf(s.opener, 7), 3u);
  EXPECT_EQ(s.dialog.port.device->name(), "/dev/fake7");

  // Another device behind the number: probed when the list opens, opened when chosen.
  s.opener.devices[7] = "/dev/fake7-again";
  chooseInPopup(list, "Com 7");
  EXPECT_EQ(opensOf(s.opener, 7), 5u);
  EXPECT_EQ(s.dialog.port.device->name(), "/dev/fake7-again");
  EXPECT_EQ(list->currentText(), "Com 7");
  EXPECT_EQ(list->itemData(0, Qt::ToolTipRole).toString(), "/dev/fake7-again");
}

// Opening the list probes the ports again, so an adapter plugged in meanwhile is offered. During
// a procedure the list neither opens nor changes: it shows the port in use.
TEST(DialogView, PortListIsProbedWhenOpenedAndKeptDuringAProcedure) {
  Screen s({7});
  auto* list = s.get<QComboBox>(ids::PortList);
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Down);
  ASSERT_EQ(list->currentText(), "Com 7");

  s.opener.present.insert(9);
  list->showPopup();
  EXPECT_TRUE(list->view()->isVisible());
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(list->itemText(1), "Com 9");
  EXPECT_EQ(list->currentText(), "Com 7");
  list->hidePopup();

  s.opener.present.insert(11);
  s.opener.opened.clear();
  s.dialog.runGuarded([&] {
    list->showPopup();
    EXPECT_FALSE(list->view()->isVisible());
    QTest::keyClick(list, Qt::Key_Down);  // keyboard
    EXPECT_EQ(list->currentText(), "Com 7");
    QWheelEvent wheel(QPointF(5, 5), list->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(list, &wheel);
    EXPECT_EQ(list->currentText(), "Com 7");
    s.host.pumpEvents();
  });
  EXPECT_EQ(list->count(), 2);
  EXPECT_TRUE(s.opener.opened.empty());
  EXPECT_EQ(s.dialog.port.device->name(), "/dev/fake7");
  EXPECT_EQ(s.dialog.portIndex, 6);
}

// Alt with the underlined letter reaches its control: "Serial &Port:" gives the focus to the port
// list, or, when the four radio buttons stand instead, to the checked (else the first usable) one.
TEST(DialogView, PortMnemonicFocusesThePortChoice) {
  {
    Screen s({7});
    QTest::keyClick(&s.view, Qt::Key_P, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), s.view.widget(ids::PortList));
    EXPECT_FALSE(s.dialog.portPlaceholder);  // focused as by a click
  }
  {
    Screen s({2, 3});
    QTest::keyClick(&s.view, Qt::Key_P, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), s.view.widget(ids::Com2));
    s.get<QPushButton>(ids::Exit)->setFocus();
    QTest::mouseClick(s.get<QRadioButton>(ids::Com3), Qt::LeftButton);
    s.get<QPushButton>(ids::Exit)->setFocus();
    QTest::keyClick(&s.view, Qt::Key_P, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), s.view.widget(ids::Com3));
  }
}

// Every underlined letter of the window is used once, and every caption that carries one
// (labels, group boxes) passes the focus on to a control that takes it.
TEST(DialogView, EveryMnemonicIsUniqueAndReachesAControl) {
  for (const std::set<unsigned>& ports : {std::set<unsigned>{1, 2, 3, 4}, std::set<unsigned>{7}}) {
    Screen s(ports);
    s.dialog.showSlotPanel(true);
    s.dialog.updateData();
    std::map<QChar, int> owners;
    for (const Control& c : s.dialog.controls) {
      const size_t amp = c.text.find('&');
      if (amp == std::string::npos || amp + 1 >= c.text.size() || !s.view.widget(c.id)->isVisible())
        continue;
      const QChar letter = QChar(c.text[amp + 1]).toUpper();
      EXPECT_FALSE(owners.contains(letter)) << c.text << " and " << owners[letter];
      owners[letter] = c.id;
      if (c.kind != ControlKind::Label && c.kind != ControlKind::GroupBox) continue;
      s.get<QPushButton>(ids::Exit)->setFocus();
      QTest::keyClick(&s.view, Qt::Key(letter.unicode()), Qt::AltModifier);
      QWidget* focus = QApplication::focusWidget();
      ASSERT_NE(focus, nullptr) << c.text;
      EXPECT_NE(focus, s.view.widget(ids::Exit)) << c.text;
      EXPECT_TRUE(focus->isVisible() && focus->isEnabled()) << c.text;
      EXPECT_NE(focus->focusPolicy() & Qt::TabFocus, 0) << c.text;
    }
    EXPECT_TRUE(owners.contains('P'));
  }
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

// Where the box that `show` opens stood; a timer in the box's loop closes it.
QRect boxShownBy(const std::function<void()>& show) {
  QRect at;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    at = box->frameGeometry();
    closer.stop();
    box->done(QMessageBox::No);
  });
  closer.start(10);
  show();
  return at;
}

// The boxes of a base-unit run leave the slot rows in sight (the verdict sends the user to the
// red ones): with the panel open a box stands over the window's left part, clear of the panel;
// with the panel closed it is centred over the window as Qt places it.
TEST(DialogView, BoxesLeaveTheSlotRowsInSight) {
  Screen s({1});
  s.dialog.showSlotPanel(true);
  s.dialog.updateData();
  const QRect screen = s.view.screen()->availableGeometry();
  s.view.move(screen.right() + 1 - s.view.frameGeometry().width(), screen.y() + 100);
  QCoreApplication::processEvents();
  const QRect window = s.view.frameGeometry();
  const int panelLeft = s.view.widget(ids::SlotPanel)->mapToGlobal(QPoint(0, 0)).x();
  const QRect leftPart(window.x(), window.y(), panelLeft - window.x(), window.height());
  const QRect question = boxShownBy([&] { s.host.ask("Question", "Go on ?", Icon::Question); });
  const QRect verdict = boxShownBy([&] {
    s.host.message("Error message",
                   "Could not update all the modules !\nCorrect function of modules, where the "
                   "backcolor \nof the updatestate is red, is no longer guaranteed !\nTry again "
                   "to update, or contact your local dealer !",
                   Icon::Stop);
  });
  ASSERT_LE(question.width(), leftPart.width());  // the cases below need one of each
  ASSERT_GT(verdict.width(), leftPart.width());
  EXPECT_NEAR(question.center().x(), leftPart.center().x(), 1);
  EXPECT_EQ(verdict.x() + verdict.width(), panelLeft);
  for (const QRect& box : {question, verdict}) {
    EXPECT_TRUE(screen.contains(box)) << box.x() << "," << box.y();
    EXPECT_NEAR(box.center().y(), window.center().y(), 1);
    for (const SlotRowIds& row : kSlotRows) {
      for (int id : {row.name, row.check, row.verLabel, row.versionList}) {
        const QWidget* w = s.view.widget(id);
        EXPECT_FALSE(box.intersects(QRect(w->mapToGlobal(QPoint(0, 0)), w->size()))) << id;
      }
    }
  }

  s.dialog.showSlotPanel(false);
  s.dialog.updateData();
  QCoreApplication::processEvents();
  const QRect narrow = s.view.frameGeometry();
  const QRect centred = boxShownBy([&] { s.host.ask("Question", "Go on ?", Icon::Question); });
  EXPECT_NEAR(centred.center().x(), narrow.center().x(), 1);
  EXPECT_NEAR(centred.center().y(), narrow.center().y(), 1);
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
