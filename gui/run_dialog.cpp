#include "gui/run_dialog.h"

#include <QApplication>
#include <QPixmap>
#include <cstdlib>

// The window model has a member named like Qt's `slots` keyword; the view declares no slot
// sections, so the keyword is not needed.
#undef slots
#include "app/service_record.h"
#include "app/update_dialog.h"
#include "app/update_folder.h"
#include "gui/dialog_view.h"
#include "gui/qt_host.h"
#include "gui/settings.h"
#include "link/clock.h"
#include "link/posix_serial.h"
#include "procedures/procedures.h"

namespace qdqm::gui {

int runDialog(int argc, char** argv) {
  QApplication app(argc, argv);

  SteadyClock clock;
  PosixPortOpener opener;
  QtHost host;
  UpdateDialog dialog(opener, clock, host, windowProcedures());
  dialog.historyPath = defaultHistoryPath();
  DialogView view(dialog);
  host.attach(&view);
  dialog.initWindow();
  useUpdateFolder(dialog, rememberedUpdateFolder(rememberedFolder()));
  view.show();

  if (const char* file = std::getenv("QDQM_SCREENSHOT"); file && *file) {
    QCoreApplication::processEvents();
    return view.grab().save(QString::fromLocal8Bit(file)) ? 0 : 1;
  }
  return app.exec();
}

}  // namespace qdqm::gui
