// The Host of the dialog: Qt message boxes, the wait cursor, the event pump, the Esc latch.
#pragma once

#include <QObject>

#include "link/host.h"

class QWidget;

namespace qdqm::gui {

// Application-wide filter: remembers an Esc press aimed at the window until it is asked for.
// A press travels from the focus widget up through its parents; the latch makes it count once.
class EscLatch : public QObject {
  Q_OBJECT
 public:
  explicit EscLatch(QObject* parent = nullptr) : QObject(parent) {}
  void watch(QWidget* window) { window_ = window; }
  // Pressed since the last query; the query clears the latch.
  bool take();

 protected:
  bool eventFilter(QObject* receiver, QEvent* event) override;

 private:
  QWidget* window_ = nullptr;
  bool pressed_ = false;
};

class DialogView;

class QtHost final : public Host {
 public:
  QtHost();
  ~QtHost() override;
  void attach(DialogView* view);

  void messageBox(const std::string& caption, const std::string& text, Icon icon) override;
  bool askYesNo(const std::string& caption, const std::string& text, Icon icon) override;
  void controlsChanged() override;
  void pumpEvents() override;
  bool escapePressed() override { return esc_.take(); }
  void forgetEscape() override { esc_.take(); }
  void beep(unsigned hz, unsigned ms) override;
  void repaint() override;
  void closeWindow() override;
  // On stderr: the dialog has no place of its own for it.
  void notice(const std::string& text) override;

 protected:
  void showWaitCursor(bool wait) override;

 private:
  DialogView* view_ = nullptr;
  EscLatch esc_;
  bool overrideShown_ = false;
};

}  // namespace qdqm::gui
