// Dialog units of the 8-point dialog font to pixels.
#pragma once

#include <QRect>

#include "app/controls.h"

namespace qdqm::gui {

inline int dluX(int x) {
  return x * 3 / 2;
}
inline int dluY(int y) {
  return y * 13 / 8;
}
inline QRect toPixels(const Rect& r) {
  return QRect(dluX(r.x), dluY(r.y), dluX(r.w), dluY(r.h));
}

}  // namespace qdqm::gui
