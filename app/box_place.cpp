#include "app/box_place.h"

#include <algorithm>

namespace qdqm {

namespace {

// `at` moved into [low, high - size]; a box larger than that range starts at `low`.
int within(int at, int size, int low, int high) {
  return std::max(low, std::min(at, high - size));
}

}  // namespace

Rect boxBesideSlotPanel(const Rect& window, int panelLeft, int boxWidth, int boxHeight,
                        const Rect& screen) {
  const int leftPart = panelLeft - window.x;
  int x = std::min(window.x + (leftPart - boxWidth) / 2, panelLeft - boxWidth);
  x = within(x, boxWidth, screen.x, screen.x + screen.w);
  int y = window.y + (window.h - boxHeight) / 2;
  if (x + boxWidth > panelLeft) {
    if (window.y + window.h + boxHeight <= screen.y + screen.h)
      y = window.y + window.h;
    else if (window.y - boxHeight >= screen.y)
      y = window.y - boxHeight;
  }
  y = within(y, boxHeight, screen.y, screen.y + screen.h);
  return {x, y, boxWidth, boxHeight};
}

}  // namespace qdqm
