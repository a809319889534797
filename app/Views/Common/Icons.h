#pragma once

#include <QColor>
#include <QIcon>
#include <QPalette>
#include <QPixmap>
#include <QString>

namespace parlowvista {

// The bundled line and fill icons (":/icons/<name>.svg", drawn in black on transparent) in any
// colour: the shape's coverage is kept and filled with the wanted colour, so one file serves a
// light and a dark palette. Names: "arrow-down-circle", "globe", "key", "terminal", "sliders", "dollar", "play",
// "pause", "check-circle", "check-circle-outline", "x-circle", "warning", "warning-fill",
// "open-external", "eye", "eye-slash", "play-slash", "plus", "link", "arrow-right", "folder",
// "folder-question", "drop-doc", "waveform", "waveform-add", "people",
// "play-rectangle", "doc-text", "gear", "stop", "trash". An unknown name gives an empty pixmap.
class Icons {
 public:
  // `name` drawn `size` device-independent pixels square in `color`, sharp at `devicePixelRatio`.
  static QPixmap pixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio = 1.0);

  // An icon in `color`, drawn afresh at every size asked of it; disabled, in `disabledColor`
  // (or `color` at 40% opacity when that is invalid).
  static QIcon icon(const QString& name, const QColor& color, const QColor& disabledColor = QColor());

  // An icon in `palette`'s `role` colour, with the disabled group's colour for the disabled mode.
  static QIcon icon(const QString& name, const QPalette& palette, QPalette::ColorRole role = QPalette::ButtonText);

  // A name that is itself a resource path (":/workspace/pencil.svg") is used as it is, so a
  // view's own bundled set is tinted the same way.
  static QString path(const QString& name) {
    return name.startsWith(QStringLiteral(":/")) ? name : QStringLiteral(":/icons/") + name + QStringLiteral(".svg");
  }
};

}  // namespace parlowvista
