#pragma once

#include "Models/Speaker.h"

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QList>
#include <QPalette>
#include <QString>

#include <functional>

class QAbstractButton;
class QLabel;
class QWidget;

namespace parlowvista::workspace {

// Colours, fonts and icons the workspace views share. Every colour is derived from the
// widget's palette, so the views follow a light or a dark palette without their own tables.

// The accent: the palette's highlight.
QColor accentColor(const QPalette& palette);
// Secondary text: the text colour mixed a third of the way toward the base, which keeps
// 4.5:1 against the base in the stock light and dark palettes.
QColor secondaryTextColor(const QPalette& palette);
// Behind bars and rows: the window colour moved slightly toward the text colour.
QColor controlBackgroundColor(const QPalette& palette);
// `colour` at `opacity` laid over `background` (an opaque result, so text drawn on it can be
// checked for contrast).
QColor over(const QColor& colour, double opacity, const QColor& background);
// Speaker colours against the row background may be too light to read as text; this darkens
// or lightens `colour` until it reaches 4.5:1 against `background`.
QColor readableOn(const QColor& colour, const QColor& background);

// Caption text: the application font at 85 %.
QFont captionFont(const QFont& base);
QFont monospacedCaptionFont(const QFont& base);

// A bundled symbol (":/workspace/<name>.svg") drawn in `colour`.
QIcon symbolIcon(const QString& name, const QColor& colour, int size = 20);

// Colours given at construction follow a desktop that switches palette: each of these applies
// now and again on every palette change.
using PaletteColour = std::function<QColor(const QPalette&)>;
// `widget`'s text in `colour` of its surroundings' (the parent's) palette.
void followTextColour(QWidget* widget, PaletteColour colour);
inline void followSecondaryText(QWidget* widget) {
  followTextColour(widget, secondaryTextColor);
}
// `button`'s icon: the symbol `name` in `colour` of the button's palette.
void followSymbol(QAbstractButton* button, const QString& name, PaletteColour colour, int size = 20);
// `label`'s picture: the symbol `name`, `size` pixels square, in `colour` of its surroundings.
void followSymbol(QLabel* label, const QString& name, PaletteColour colour, int size);

// The label of a speaker id: the first speaker with that id's custom name when set
// (unchanged, even when empty), else "Speaker " and the id plus one.
QString speakerName(qint64 speakerId, const QList<Speaker>& speakers);
// The first speaker with that id's colour; an id no speaker has takes the palette colour of
// the id modulo 8.
QColor speakerColor(qint64 speakerId, const QList<Speaker>& speakers);
// "%d:%02d" of whole seconds truncated toward zero; minutes are not wrapped into hours.
QString formatClock(double seconds);

}  // namespace parlowvista::workspace
