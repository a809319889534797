#pragma once

#include <QFont>
#include <QPalette>
#include <QStringList>

#include <functional>
#include <memory>

class QWidget;

namespace testsupport {

// The standard every window and sheet meets, as a check a UI test runs on it:
//
//  (a) Contrast. Every visible, enabled text reads at 4.5:1 or better against what is behind it
//      (3:1 for large text, 18 pt or 14 pt bold, and for icons). Measured, not computed: the whole
//      window is rendered with QWidget::grab(), its text drawn without anti-aliasing for that one
//      picture (layout is unchanged), so every glyph pixel carries the text colour itself. In
//      each text's own rectangle (a label's contents, a button's face inside its frame, a combo
//      box's or field's text area) the most frequent colour is taken as the background and,
//      among colours covering at least three pixels, the one that contrasts most with it as the
//      text. This sees what a person sees: style sheets, custom painting, translucent colours
//      and colours inherited from any parent, which reading palette roles would miss. Icons stay
//      anti-aliased but have solid interiors. Disabled controls are exempt, as in the guidelines.
//      Text a scroll area holds out of view is scrolled into view and measured there.
//  (b) Keyboard. Tab, pressed from the first focus stop until the focus comes round again,
//      reaches every enabled, visible control (buttons, fields, lists, sliders, link labels, web
//      views), including those a scroll area holds out of view, and every stop it makes is such
//      a control on screen (a scroll area must bring the focused control into view): no
//      container or hidden widget takes the focus unseen. Each stop shows where the focus is:
//      pixels of the control change by 3:1 or more between having the focus and not, as many as
//      a line of one pixel round the control would take (a fifth less, for rounded corners). The buttons of an
//      exclusive group count as one stop, as radio buttons do (Tab reaches the checked one, the arrow keys choose).
//  (c) Names. Every visible control (scrolled into view or not) has an accessible name: its own, its visible text
//  (buttons),
//      or the text of a label whose buddy it is. Combo boxes, fields, spin boxes and sliders need
//      one of the latter two, since a screen reader would otherwise announce only their value.
//  (d) Room. Every visible text (labels, buttons, boxes, group titles) has the room its font
//      needs, wholly shown: not cut at an edge of its own or of a parent. A scroll area does not
//      cut what it can scroll to; text its parents hide entirely is not seen, so not checked.
//
// Each check returns its findings as readable lines ("QComboBox 'modelPicker': no accessible
// name"); none means the window passes.
class QtWindowAudit {
 public:
  // Qt's own light palette and a common dark one, both on the Fusion style.
  static QPalette lightPalette();
  static QPalette darkPalette();
  // The font a desktop gives that sets no font of its own, as qt6ct does out of the box: the
  // system's sans-serif at 12 points, a third larger than Qt's own default.
  static QFont desktopFont();

  static QStringList checkContrast(QWidget* window);
  static QStringList checkTabOrder(QWidget* window);
  static QStringList checkAccessibleNames(QWidget* window);
  static QStringList checkClippedText(QWidget* window);
  // All four on a window already shown.
  static QStringList check(QWidget* window);

  // Builds the window with `make` under each palette (the dark one with desktopFont(), as a
  // desktop set to dark gives it), shows it (at its own size), runs
  // `prepare` (to bring it into the state under test) and checks it; then switches the running
  // application to the other palette and font and checks again, so colours derived from the
  // palette and room measured in the font must follow a desktop that changes theme. Findings
  // are prefixed with the palette's name. The application's palette and font are restored
  // afterwards.
  static QStringList checkInBothPalettes(const std::function<std::unique_ptr<QWidget>()>& make,
                                         const std::function<void(QWidget&)>& prepare = {});

  // The figure check (a) measures for one widget's text or icon: the contrast of the most
  // contrasting colour in its text area of `window`'s rendering against the most frequent one.
  // 1.0 when only one colour is there.
  static double measuredContrast(QWidget* window, QWidget* widget);
};

// Sets a font on the whole application for the life of the object.
class ScopedApplicationFont {
 public:
  explicit ScopedApplicationFont(const QFont& font);
  ~ScopedApplicationFont();
  ScopedApplicationFont(const ScopedApplicationFont&) = delete;
  ScopedApplicationFont& operator=(const ScopedApplicationFont&) = delete;

 private:
  QFont m_previous;
};

// Sets a palette on the whole application for the life of the object.
class ScopedApplicationPalette {
 public:
  explicit ScopedApplicationPalette(const QPalette& palette);
  ~ScopedApplicationPalette();
  ScopedApplicationPalette(const ScopedApplicationPalette&) = delete;
  ScopedApplicationPalette& operator=(const ScopedApplicationPalette&) = delete;

 private:
  QPalette m_previous;
};

}  // namespace testsupport
