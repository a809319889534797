#pragma once

#include <QColor>
#include <QPalette>

#include <functional>
#include <optional>

class QWidget;

namespace parlowvista {

// Colours the windows need beyond the palette's own roles, each derived from the palette in use
// so that it reads in a light and a dark one alike: status texts and small secondary texts reach
// 4.5:1 against the background they sit on, icons and control edges 3:1.
enum class ThemeColor {
  text,             // the palette's own text colour for the background
  secondaryText,    // captions, hints
  success,          // "Found", "Saved", "OK"
  warning,          // "not found"
  error,            // "Failed", error texts
  link,             // texts that open a web page
  divider,          // thin separating lines (decorative)
  controlEdge,      // the outline of a control
  stripBackground,  // a band of controls set off from the window
};

class Theme {
 public:
  static constexpr double textContrast = 4.5;
  static constexpr double largeContrast = 3.0;  // large text, icons, control edges

  // `role` for content drawn on `background` of `palette` (active colour group).
  static QColor color(ThemeColor role, const QPalette& palette, QPalette::ColorRole background = QPalette::Window);

  // A fill in the palette's highlight hue, at the lightness nearest the highlight's own, that
  // stands out from `surroundings` by at least 3:1 and carries its text at 4.5:1: the
  // highlight's own text colour where some lightness allows it, else its opposite (dark text on a
  // light accent). None when no lightness of that hue does. The chosen segment, a selected row.
  struct Emphasis {
    QColor fill;
    QColor text;
  };
  static std::optional<Emphasis> emphasis(const QPalette& palette, const QColor& surroundings);

  // A segmented control's colours. The selected segment stands out from the others by at least
  // 3:1 and its text reads at 4.5:1 on it, whatever the palette's highlight colour.
  struct SegmentColors {
    QColor fill;
    QColor text;
    QColor selectedFill;
    QColor selectedText;
    QColor edge;
    QColor focus;
  };
  static SegmentColors segmentColors(const QPalette& palette);

  // The colour of the keyboard focus ring: the palette's highlight hue, at the lightness nearest
  // the highlight's own that stands out by 3:1 from the window, the fields, the buttons and the
  // frames it may be drawn over; the window text colour when no lightness of that hue does.
  static QColor focusColor(const QPalette& palette);

  // The selection colour (selected text, the chosen row of a list) at the lightness nearest the
  // palette's own highlight that carries its highlighted text at 4.5:1; Qt's own light palette
  // gives only 3.7:1.
  static QColor selectionColor(const QPalette& palette);
  // Gives the fields, combo boxes (and their lists) and item views under `root` that selection
  // colour, derived from `root`'s palette. Call it from `root`'s followPalette function.
  static void applyReadableSelection(QWidget* root);

  // Sets the colour a label (or other widget) draws its text with.
  static void setTextColor(QWidget* widget, const QColor& color);

  // Calls `apply` now and again whenever `widget`'s palette or style changes (a desktop that
  // switches to dark), so colours derived from the palette follow it. Owned by `widget`.
  static void followPalette(QWidget* widget, std::function<void()> apply);

  // `widget` fills itself with the strip background of its parent's palette, which becomes the
  // window colour of its own palette, so the colours its children derive (ThemedLabel, symbols)
  // are measured against the face they are drawn on. Follows palette changes.
  static void setStripBackground(QWidget* widget);
};

}  // namespace parlowvista
