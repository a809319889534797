#include "Views/Common/ChipLabel.h"

#include "Views/Common/Theme.h"

#include <QPainter>
#include <QPainterPath>

namespace parlowvista {

ChipLabel::ChipLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setTextFormat(Qt::PlainText);
  setContentsMargins(6, 2, 6, 2);
  setForegroundRole(QPalette::Text);
  setTextInteractionFlags(Qt::TextSelectableByMouse);
}

void ChipLabel::paintEvent(QPaintEvent* event) {
  {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    painter.fillPath(shape, palette().color(QPalette::Base));
    painter.setPen(QPen(Theme::color(ThemeColor::divider, palette(), QPalette::Base), 1));
    painter.drawPath(shape);
  }
  QLabel::paintEvent(event);
}

}  // namespace parlowvista
