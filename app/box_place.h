// Where the window's message boxes and questions stand while the slot panel is open. A box centred
// over the whole window would hide the slot rows it speaks of (the verdict of a base-unit run sends
// the user to the red ones), so it is centred over the part of the window left of the panel, and
// one wider than that part ends at the panel's edge. Where the screen leaves no room for it there,
// it goes below the window, else above it; it always stays on the screen. With the panel closed
// the views leave their boxes where the window system puts them.
#pragma once

#include "app/controls.h"

namespace qdqm {

// In screen pixels: `window` the window's outer rectangle, `panelLeft` the left edge of the slot
// panel, `screen` the work area of the window's screen. Returns the box's outer rectangle.
Rect boxBesideSlotPanel(const Rect& window, int panelLeft, int boxWidth, int boxHeight,
                        const Rect& screen);

}  // namespace qdqm
