#include "gui/qt_host.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMessageBox>
#include <iostream>
#include <optional>

#include "gui/dialog_view.h"

namespace qdqm::gui {

namespace {

QMessageBox::Icon qtIcon(Icon icon) {
  switch (icon) {
    case Icon::Stop:
      return QMessageBox::Critical;
    case Icon::Exclamation:
      return QMessageBox::Warning;
    case Icon::Question:
      return QMessageBox::Question;
    case Icon::Information:
      return QMessageBox::Information;
    case Icon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

// A box of the window: while the slot panel is open it stands clear of the slot rows.
class WindowBox final : public QMessageBox {
 public:
  WindowBox(qdqm::Icon icon, const std::string& caption, const std::string& text,
            StandardButtons buttons, DialogView* view)
      : QMessageBox(qtIcon(icon), QString::fromStdString(caption), QString::fromStdString(text),
                    buttons, view),
        view_(view) {}

 protected:
  // The box has its size once its own show event is done; it is not on the screen yet.
  void showEvent(QShowEvent* event) override {
    QMessageBox::showEvent(event);
    if (!view_) return;
    if (const std::optional<QPoint> at = view_->boxPosition(frameGeometry().size())) move(*at);
  }

 private:
  DialogView* view_;
};

}  // namespace

bool EscLatch::take() {
  const bool pressed = pressed_;
  pressed_ = false;
  return pressed;
}

bool EscLatch::eventFilter(QObject* receiver, QEvent* event) {
  if (event->type() == QEvent::KeyPress && window_ && receiver->isWidgetType()) {
    auto* widget = static_cast<QWidget*>(receiver);
    if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && widget->window() == window_)
      pressed_ = true;
  }
  return false;
}

QtHost::QtHost() {
  qApp->installEventFilter(&esc_);
}

QtHost::~QtHost() {
  if (!qApp) return;
  qApp->removeEventFilter(&esc_);
  showWaitCursor(false);
}

void QtHost::attach(DialogView* view) {
  view_ = view;
  esc_.watch(view);
}

void QtHost::messageBox(const std::string& caption, const std::string& text, Icon icon) {
  WindowBox box(icon, caption, text, QMessageBox::Ok, view_);
  box.exec();
}

bool QtHost::askYesNo(const std::string& caption, const std::string& text, Icon icon) {
  WindowBox box(icon, caption, text, QMessageBox::Yes | QMessageBox::No, view_);
  return box.exec() == QMessageBox::Yes;
}

void QtHost::controlsChanged() {
  if (view_) view_->sync();
}

void QtHost::showWaitCursor(bool wait) {
  if (wait == overrideShown_) return;
  overrideShown_ = wait;
  if (wait)
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  else
    QApplication::restoreOverrideCursor();
}

void QtHost::pumpEvents() {
  QCoreApplication::processEvents();
}

void QtHost::beep(unsigned, unsigned) {
  QApplication::beep();
}

void QtHost::repaint() {
  if (view_) view_->repaint();
}

void QtHost::notice(const std::string& text) {
  std::cerr << programName << ": " << text << std::endl;
}

void QtHost::closeWindow() {
  if (view_) view_->closeFromModel();
}

}  // namespace qdqm::gui
