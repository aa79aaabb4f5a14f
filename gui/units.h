// Dialog units of the dialog's font, as the platform the dialog was laid out on measures them: a
// horizontal unit is a quarter of the font's average character width, a vertical unit an eighth
// of its height. Controls placed in these units keep their texts whatever the font or scaling.
#pragma once

#include <QFont>
#include <QRect>

#include "app/controls.h"

namespace qdqm::gui {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  // Rounded as the platform's MulDiv does.
  int x(int dlu) const { return (dlu * baseX_ + 2) / 4; }
  int y(int dlu) const { return (dlu * baseY_ + 4) / 8; }
  QRect rect(const Rect& r) const { return QRect(x(r.x), y(r.y), x(r.w), y(r.h)); }

 private:
  int baseX_;
  int baseY_;
};

}  // namespace qdqm::gui
