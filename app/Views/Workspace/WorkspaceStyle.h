#pragma once

#include "Models/Speaker.h"

#include <QColor>
#include <QList>
#include <QPalette>
#include <QString>

#include <functional>

class QAbstractButton;
class QLabel;
class QWidget;

namespace parlowvista::workspace {

// Colours, fonts and icons the workspace views share beyond app/Views/Common (Theme, Icons,
// ThemedLabel). Every colour is derived from the widget's palette, so the views follow a light or
// a dark palette without their own tables.

// The accent: the palette's highlight.
QColor accentColor(const QPalette& palette);
// Behind bars and rows: the theme's strip background.
QColor controlBackgroundColor(const QPalette& palette);

// The resource path of a bundled workspace symbol (":/workspace/<name>.svg"), for Icons.
QString symbolPath(const QString& name);

// Colours given at construction follow a desktop that switches palette: each of these applies
// now and again on every palette change.
using PaletteColour = std::function<QColor(const QPalette&)>;
// `button`'s icon: the symbol `name`, `size` pixels square, in `colour` of the button's palette.
void followSymbol(QAbstractButton* button, const QString& name, PaletteColour colour, int size = 20);
// `label`'s picture: the symbol `name`, `size` pixels square, in `colour` of its surroundings.
void followSymbol(QLabel* label, const QString& name, PaletteColour colour, int size);
// Secondary text of `palette`, as the theme gives it on the window.
QColor secondaryText(const QPalette& palette);

// The first speaker with that id's colour; an id no speaker has takes its default colour
// (Speaker::color: the palette colour of the id modulo 8, negative ids too). Labels come from
// Speaker::displayLabel.
QColor speakerColor(qint64 speakerId, const QList<Speaker>& speakers);

}  // namespace parlowvista::workspace
