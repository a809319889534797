#pragma once

#include "Views/Common/Icons.h"

namespace parlowvista {

// The library's icons are the shared bundled ones (Icons); this name stays for the relocate sheet,
// which still asks for them here.
struct LibraryIcons {
  static QPixmap pixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio = 1.0) {
    return Icons::pixmap(name, color, size, devicePixelRatio);
  }
  static QIcon icon(const QString& name, const QColor& color, int = 16) { return Icons::icon(name, color); }
};

}  // namespace parlowvista
