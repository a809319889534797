#pragma once

#include <QColor>
#include <QPalette>
#include <QString>

namespace parlowvista {

// Colours of the library views, derived from the palette so text keeps its contrast in light
// and dark palettes.
struct LibraryStyle {
  // Secondary text: between text and base, still 4.5:1 on the base.
  static QColor secondaryText(const QPalette& palette);
  // The warning colour of "Missing" and the missing-file icon: orange, darkened on a light base.
  static QColor warning(const QPalette& palette);
  // "%d:%02d" of whole seconds, truncated toward zero, minutes not capped (62:05).
  static QString formatDuration(double seconds);
};

}  // namespace parlowvista
