#pragma once

#include <QColor>
#include <QPalette>
#include <QRect>

class QPainter;

namespace parlowvista {

// How the library's drop targets (the empty group, the start-screen zone) look: a dashed rounded
// outline 2 px wide (8 px drawn, 8 px left out, flat ends) drawn inside `rect` inset 8 px. While
// files hover, it is in the accent colour over a 10 % accent fill; idle, in `idleEdge` (no
// outline when that is invalid).
struct DropOutline {
  // The palette's highlight at 3:1 against the window: the outline, the logo and icons.
  static QColor accent(const QPalette& palette);
  static void paint(QPainter& painter, const QRect& rect, qreal radius, const QPalette& palette, bool targeted,
                    const QColor& idleEdge = QColor());
};

}  // namespace parlowvista
