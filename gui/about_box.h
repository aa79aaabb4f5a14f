// The About box: program name and version, OK.
#pragma once

#include <QDialog>

namespace qdqm::gui {

class AboutBox : public QDialog {
  Q_OBJECT
 public:
  explicit AboutBox(QWidget* parent = nullptr);
};

}  // namespace qdqm::gui
