#include "Views/Library/DropOutline.h"

#include "Views/Common/ColorContrast.h"
#include "Views/Common/Theme.h"

#include <QPainter>
#include <QPainterPath>

namespace parlowvista {

QColor DropOutline::accent(const QPalette& palette) {
  return withContrast(palette.color(QPalette::Active, QPalette::Highlight),
                      palette.color(QPalette::Active, QPalette::Window), Theme::largeContrast);
}

void DropOutline::paint(QPainter& painter, const QRect& rect, qreal radius, const QPalette& palette, bool targeted,
                        const QColor& idleEdge) {
  const QColor edge = targeted ? accent(palette) : idleEdge;
  if (!edge.isValid()) return;
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath frame;
  frame.addRoundedRect(QRectF(rect).adjusted(9, 9, -9, -9), radius, radius);  // the line's middle, 8 px in
  if (targeted) {
    QColor fill = edge;
    fill.setAlphaF(0.1f);
    painter.fillPath(frame, fill);
  }
  QPen pen(edge, 2, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
  pen.setDashPattern({4, 4});  // in line widths: 8 px drawn, 8 px left out
  pen.setMiterLimit(10);
  painter.setPen(pen);
  painter.drawPath(frame);
  painter.restore();
}

}  // namespace parlowvista
