#include "Views/Common/FlatButton.h"

#include "Views/Common/ColorContrast.h"
#include "Views/Common/Theme.h"

#include <QPainter>

namespace parlowvista {

FlatButton::FlatButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
  setFlat(true);
}

void FlatButton::paintEvent(QPaintEvent* event) {
  QPushButton::paintEvent(event);
  // A raised button's bevel shows its focus already.
  if (!isFlat() || !hasFocus()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QColor window = palette().color(QPalette::Window);
  const QColor ring = withContrast(palette().color(QPalette::Highlight), window, Theme::largeContrast);
  painter.setPen(QPen(ring, 2));
  painter.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 4, 4);
}

}  // namespace parlowvista
