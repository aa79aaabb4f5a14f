// The context menu's frame-trace entry on Qt's offscreen platform: it starts a trace file in the
// user's state directory and says where in a box; the same entry then ends it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <set>

// The window model has a member named like Qt's `slots` keyword.
#undef slots
#include "app/trace.h"
#include "app/update_folder.h"
#include "gui/dialog_view.h"
#include "gui/qt_host.h"
#include "link/clock.h"
#include "procedures/procedures.h"
#include "tests/support/quiet_ports.h"

namespace qdqm::gui {
namespace {

using ::testing::StartsWith;

// Opens the context menu and picks the trace entry by its mnemonic; the box that follows is
// closed and its text kept.
QString pickTraceEntry(DialogView& view, QStringList& entries) {
  QString boxText;
  bool picked = false;
  QTimer driver;
  QObject::connect(&driver, &QTimer::timeout, [&] {
    if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget()); menu && !picked) {
      picked = true;
      entries.clear();
      for (QAction* a : menu->actions())
        if (!a->isSeparator()) entries << a->text();
      // Outside this handler: the box that follows needs the timer to close it.
      QTimer::singleShot(0, menu, [menu] { QTest::keyClick(menu, Qt::Key_T); });
    } else if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      boxText = box->text();
      box->close();
    }
  });
  driver.start(20);
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), view.mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(&view, &event);
  // The box opens from the menu's action; wait until it was seen and closed.
  for (int i = 0; i < 100 && boxText.isEmpty(); ++i) QTest::qWait(20);
  return boxText;
}

TEST(TraceMenu, StartsATraceFileAndEndsIt) {
  const std::filesystem::path state =
      std::filesystem::temp_directory_path() / ("qdqm-gui-state-" + std::to_string(getpid()));
  std::filesystem::remove_all(state);
  setenv("XDG_STATE_HOME", state.c_str(), 1);

  testing::ProbeOpener opener(std::set<unsigned>{1});
  VirtualClock clock;
  QtHost host;
  UpdateDialog dialog{opener, clock, host, windowProcedures()};
  DialogView view{dialog};
  host.attach(&view);
  dialog.initWindow();
  view.show();
  ASSERT_EQ(dialog.selectPort(1), 1);

  QStringList entries;
  const QString started = pickTraceEntry(view, entries);
  const QString folder = QString::fromStdString(updateFolderMenuText(dialog));
  EXPECT_EQ(entries,
            QStringList({"&About Varnex...", kStartTraceMenuText, folder, kChooseFolderMenuText}));
  ASSERT_NE(dialog.port.trace, nullptr);
  const std::string path = traceFile(dialog);
  EXPECT_EQ(std::filesystem::path(path).parent_path(), state / "qdqm-update");
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(started.toStdString(), "The frame trace is written to\n" + path);

  const QString ended = pickTraceEntry(view, entries);
  EXPECT_EQ(entries,
            QStringList({"&About Varnex...", kEndTraceMenuText, folder, kChooseFolderMenuText}));
  EXPECT_EQ(dialog.port.trace, nullptr);
  EXPECT_EQ(ended.toStdString(), "The frame trace was written to\n" + path);
  std::filesystem::remove_all(state);
  unsetenv("XDG_STATE_HOME");
}

}  // namespace
}  // namespace qdqm::gui
