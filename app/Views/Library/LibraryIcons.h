#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace parlowvista {

// The library browser's bundled SVG icons (":/library/<name>.svg"), drawn in one colour,
// normally a palette role, so they follow light and dark palettes.
struct LibraryIcons {
  static QPixmap pixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio = 1.0);
  static QIcon icon(const QString& name, const QColor& color, int size = 16);
};

}  // namespace parlowvista
