#include "gui/units.h"

#include <QFontMetrics>

namespace qdqm::gui {

namespace {
// The average character width is measured over the 52 letters, rounded to the nearest pixel.
constexpr const char* kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics fm(font);
  baseX_ = (fm.horizontalAdvance(QString::fromLatin1(kLetters)) / 26 + 1) / 2;
  baseY_ = fm.height();
}

}  // namespace qdqm::gui
