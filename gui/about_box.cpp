#include "gui/about_box.h"

#include <QLabel>
#include <QPushButton>
#include <QStyle>

#include "app/about.h"
#include "gui/units.h"

namespace qdqm::gui {

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  const DialogUnits units(font());
  auto px = [&units](const about::Box& b) { return units.rect(Rect{b.x, b.y, b.w, b.h}); };
  setWindowTitle(about::kTitle);
  setFixedSize(units.x(about::kWidth), units.y(about::kHeight));
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(32, 32));
  icon->setGeometry(px(about::kIcon).adjusted(0, 0, 12, 0));
  auto* line = new QLabel(about::kVersionLine, this);
  line->setObjectName("aboutVersion");
  line->setWordWrap(false);
  line->setGeometry(px(about::kVersionLabel).adjusted(0, 0, 40, 4));
  auto* ok = new QPushButton(about::kOkText, this);
  ok->setObjectName("aboutOk");
  ok->setDefault(true);
  ok->setGeometry(px(about::kOkButton));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace qdqm::gui
