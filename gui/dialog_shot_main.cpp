// qdqm-dialog-shot: a picture of the dialog after it has done what a technician would do, for the
// documentation: choose a port, optionally check "Update QM2x/4x", Connect, untick slots, Update.
// Boxes are answered Yes without being shown (and written to stderr), so nothing waits for a
// click; the picture is taken when the last step has ended.
#include <QApplication>
#include <QPixmap>
#include <charconv>
#include <iostream>
#include <string_view>
#include <vector>

#undef slots
#include "app/update_dialog.h"
#include "gui/dialog_view.h"
#include "link/clock.h"
#include "link/host.h"
#include "link/posix_serial.h"
#include "procedures/procedures.h"

namespace {

using namespace qdqm;

class ShotHost final : public Host {
 public:
  void attach(gui::DialogView* view) { view_ = view; }
  void messageBox(const std::string& caption, const std::string& text, Icon) override {
    std::cerr << caption << ": " << text << "\n";
  }
  bool askYesNo(const std::string& caption, const std::string& text, Icon) override {
    std::cerr << caption << ": " << text << " Yes\n";
    return true;
  }
  void controlsChanged() override {
    if (view_) view_->sync();
  }
  void pumpEvents() override { QCoreApplication::processEvents(); }
  bool escapePressed() override { return false; }
  void forgetEscape() override {}
  void beep(unsigned, unsigned) override {}
  void repaint() override {
    if (view_) view_->repaint();
  }
  void closeWindow() override {}

 protected:
  void showWaitCursor(bool) override {}

 private:
  gui::DialogView* view_ = nullptr;
};

bool number(std::string_view text, unsigned& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

int usage() {
  std::cerr << "usage: qdqm-dialog-shot OUT.png --port N [--base-unit] [--skip K]... [--update]\n";
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) return usage();
  const QString out = QString::fromLocal8Bit(argv[1]);
  unsigned port = 0;
  bool baseUnit = false, update = false;
  std::vector<unsigned> skipped;
  for (int i = 2; i < argc; ++i) {
    const std::string_view a = argv[i];
    unsigned n = 0;
    if (a == "--base-unit") {
      baseUnit = true;
    } else if (a == "--update") {
      update = true;
    } else if (a == "--port" && i + 1 < argc && number(argv[i + 1], port)) {
      ++i;
    } else if (a == "--skip" && i + 1 < argc && number(argv[i + 1], n) && n >= 1 && n <= 9) {
      skipped.push_back(n);
      ++i;
    } else {
      return usage();
    }
  }
  if (port == 0) return usage();

  SteadyClock clock;
  PosixPortOpener opener;
  ShotHost host;
  UpdateDialog dialog(opener, clock, host, windowProcedures());
  gui::DialogView view(dialog);
  host.attach(&view);
  dialog.initWindow();
  view.show();
  if (dialog.selectPort(port) != 1) return 1;
  if (baseUnit) {
    dialog.control(ids::BaseUnit).checked = true;
    dialog.onSlotPanelToggleClicked();
  }
  dialog.onConnectClicked();
  for (unsigned k : skipped) dialog.control(kSlotRows[k - 1].check).checked = false;
  dialog.updateData();
  if (update) dialog.onUpdateClicked();
  QCoreApplication::processEvents();
  return view.grab().save(out) ? 0 : 1;
}
