#include "support/QtWindowAudit.h"

#include "Views/Common/ColorContrast.h"
#include "support/QtWindowAuditShared.h"
#include "support/TimeLeft.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSet>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStyleOptionGroupBox>
#include <QTest>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>
#include <optional>

namespace testsupport {

namespace audit {

QString describe(const QWidget* widget) {
  QString text = QString::fromLatin1(widget->metaObject()->className());
  if (!widget->objectName().isEmpty()) text += QStringLiteral(" #") + widget->objectName();
  QString shown = widget->accessibleName();
  if (const auto* button = qobject_cast<const QAbstractButton*>(widget); button && shown.isEmpty())
    shown = button->text();
  if (const auto* label = qobject_cast<const QLabel*>(widget); label && shown.isEmpty()) {
    QTextDocument doc;
    doc.setHtml(label->text());
    shown = label->textFormat() == Qt::PlainText ? label->text() : doc.toPlainText();
  }
  if (const auto* combo = qobject_cast<const QComboBox*>(widget); combo && shown.isEmpty())
    shown = combo->currentText();
  if (!shown.isEmpty()) text += QStringLiteral(" '") + shown.left(40) + QStringLiteral("'");
  return text;
}

QRect unclippedRect(const QWidget* widget, const QWidget* window, bool scrolling) {
  QRect rect = widget->rect();
  for (const QWidget* a = widget->parentWidget(); a; a = a->parentWidget()) {
    const auto* scroll = a->parentWidget() ? qobject_cast<const QScrollArea*>(a->parentWidget()) : nullptr;
    if (scrolling && scroll && scroll->viewport() == a)
      return rect.isEmpty() || unclippedRect(scroll, window, true).isEmpty() ? QRect() : rect;
    rect &= QRect(widget->mapFrom(a, QPoint(0, 0)), a->size());
    if (a == window) break;
  }
  return rect;
}

QRect labelTextRect(const QLabel* label) {
  QSize size = label->minimumSizeHint();
  if (label->wordWrap()) size = QSize(label->width(), label->heightForWidth(label->width()));
  return QStyle::alignedRect(label->layoutDirection(), label->alignment(), size, label->rect());
}

void settle() {
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
  QCoreApplication::processEvents();
}

}  // namespace audit

namespace {

using audit::describe;
using audit::settle;
using audit::unclippedRect;

using parlowvista::contrastRatio;

constexpr double kTextContrast = 4.5;
constexpr double kLargeContrast = 3.0;
constexpr int kMinimumPixels = 3;
// A visible focus: pixels of the control that change by 3:1 or more between it having the focus
// and not, as many as a line of one pixel round it would take (less a fifth, for its corners).
constexpr double kFocusChange = 3.0;
constexpr double kFocusPerimeterShare = 0.8;

// How one picture differs from the other, pixel by pixel: the largest contrast between a pixel
// and the same pixel of the other, and how many pixels change by at least `enough`.
struct Change {
  double strongest = 1;
  int pixels = 0;
};
Change changeBetween(const QImage& a, const QImage& b, double enough) {
  if (a.size() != b.size()) return {contrastRatio(Qt::black, Qt::white), a.width() * a.height()};
  Change change;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x) {
      if (a.pixel(x, y) == b.pixel(x, y)) continue;
      const double contrast = contrastRatio(a.pixelColor(x, y), b.pixelColor(x, y));
      change.strongest = std::max(change.strongest, contrast);
      if (contrast >= enough) ++change.pixels;
    }
  return change;
}

bool isLinkLabel(const QLabel* label) {
  return label->textFormat() != Qt::PlainText && label->text().contains(QLatin1String("<a "), Qt::CaseInsensitive);
}

bool insideCompositeControl(const QWidget* widget) {
  for (const QWidget* p = widget->parentWidget(); p; p = p->parentWidget())
    if (qobject_cast<const QComboBox*>(p) || qobject_cast<const QAbstractSpinBox*>(p)) return true;
  return false;
}

bool isControl(const QWidget* widget) {
  if (qobject_cast<const QScrollBar*>(widget)) return false;
  if (insideCompositeControl(widget)) return false;
  if (const auto* label = qobject_cast<const QLabel*>(widget)) return isLinkLabel(label);
  return qobject_cast<const QAbstractButton*>(widget) || qobject_cast<const QComboBox*>(widget) ||
         qobject_cast<const QLineEdit*>(widget) || qobject_cast<const QAbstractSpinBox*>(widget) ||
         qobject_cast<const QAbstractSlider*>(widget) || qobject_cast<const QAbstractItemView*>(widget) ||
         qobject_cast<const QTextEdit*>(widget) || qobject_cast<const QPlainTextEdit*>(widget) ||
         widget->inherits("QWebEngineView");
}

// Controls whose value, not their name, is what a screen reader reads without a name.
bool needsExplicitName(const QWidget* widget) {
  return !qobject_cast<const QAbstractButton*>(widget) && !qobject_cast<const QLabel*>(widget);
}

bool shownIn(const QWidget* widget, const QWidget* window) {
  return widget->window() == window && widget->isVisible() && !unclippedRect(widget, window).isEmpty();
}

// Shown, or shown once the scroll areas it sits in scroll to it: a control the keyboard and a
// screen reader must reach.
bool reachableIn(const QWidget* widget, const QWidget* window) {
  return widget->window() == window && widget->isVisible() && !unclippedRect(widget, window, true).isEmpty();
}

// Scrolls every scroll area `widget` sits in (innermost first) so that `area` (widget
// coordinates) comes into view. True when anything moved.
bool scrollIntoView(QWidget* widget, const QRect& area, const QWidget* window) {
  bool moved = false;
  for (QWidget* a = widget->parentWidget(); a && a != window; a = a->parentWidget()) {
    auto* scroll = qobject_cast<QScrollArea*>(a);
    if (!scroll || !scroll->widget() || !scroll->widget()->isAncestorOf(widget)) continue;
    const int x = scroll->horizontalScrollBar()->value(), y = scroll->verticalScrollBar()->value();
    const QPoint centre = widget->mapTo(scroll->widget(), area.center());
    scroll->ensureVisible(centre.x(), centre.y(), area.width() / 2 + 1, area.height() / 2 + 1);
    moved = moved || x != scroll->horizontalScrollBar()->value() || y != scroll->verticalScrollBar()->value();
  }
  return moved;
}

// Buttons of an exclusive group are one Tab stop, as radio buttons are: Tab reaches the checked
// one and the arrow keys choose among them.
QList<QAbstractButton*> exclusiveSiblings(QWidget* widget) {
  auto* button = qobject_cast<QAbstractButton*>(widget);
  if (!button) return {};
  if (button->group() && button->group()->exclusive()) return button->group()->buttons();
  return {};
}

QList<QWidget*> widgetsOf(QWidget* window) {
  QList<QWidget*> widgets = window->findChildren<QWidget*>();
  widgets.prepend(window);
  return widgets;
}

// The control a focused widget belongs to (a spin box's field, a web view's inner surface).
QWidget* controlOwning(QWidget* focused) {
  for (QWidget* w = focused; w; w = w->parentWidget()) {
    if (isControl(w)) return w;
    if (w->isWindow()) break;
  }
  return focused;
}

struct TextArea {
  QRect rect;  // widget coordinates
  double minimum = kTextContrast;
};

bool isLarge(const QFont& font) {
  const double points = QFontInfo(font).pointSizeF();
  return points >= 18 || (points >= 14 && font.bold());
}

// Where a widget draws its text or icon, and the contrast it owes; nothing for widgets that
// draw none (containers, bars) or are disabled.
std::optional<TextArea> textArea(QWidget* widget) {
  if (!widget->isEnabled() || widget->inherits("QWebEngineView")) return std::nullopt;
  const double textMinimum = isLarge(widget->font()) ? kLargeContrast : kTextContrast;
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    if (!label->pixmap().isNull()) return TextArea{label->contentsRect(), kLargeContrast};
    QString text = label->text();
    if (label->textFormat() != Qt::PlainText && Qt::mightBeRichText(text)) {
      QTextDocument doc;
      doc.setHtml(text);
      text = doc.toPlainText();
    }
    if (text.trimmed().isEmpty()) return std::nullopt;
    return TextArea{label->contentsRect() & audit::labelTextRect(label), textMinimum};
  }
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    if (button->text().isEmpty() && button->icon().isNull()) return std::nullopt;
    const double minimum = button->text().isEmpty() ? kLargeContrast : textMinimum;
    return TextArea{button->rect().adjusted(3, 3, -3, -3), minimum};
  }
  if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    if (combo->currentText().isEmpty() || combo->isEditable()) return std::nullopt;  // an editable one has a field
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.editable = false;
    option.currentText = combo->currentText();
    return TextArea{combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo),
                    textMinimum};
  }
  if (auto* field = qobject_cast<QLineEdit*>(widget)) {
    if (field->text().isEmpty() && field->placeholderText().isEmpty()) return std::nullopt;
    return TextArea{field->rect().adjusted(3, 3, -3, -3), textMinimum};
  }
  if (auto* box = qobject_cast<QGroupBox*>(widget); box && !box->title().isEmpty()) {
    QStyleOptionGroupBox option;
    option.initFrom(box);
    option.text = box->title();
    option.subControls = QStyle::SC_GroupBoxLabel;
    return TextArea{box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box),
                    textMinimum};
  }
  return std::nullopt;
}

struct Measurement {
  double contrast = 1;
  QColor foreground;
  QColor background;
};

Measurement measure(const QImage& shot, qreal dpr, QWidget* window, QWidget* widget, const QRect& area) {
  const QRect visible = unclippedRect(widget, window).intersected(area);
  const QPoint origin = widget->mapTo(window, QPoint(0, 0));
  const QRect pixels(QPoint(qRound((visible.left() + origin.x()) * dpr), qRound((visible.top() + origin.y()) * dpr)),
                     QSize(qRound(visible.width() * dpr), qRound(visible.height() * dpr)));
  QHash<QRgb, int> counts;
  const QRect bounded = pixels.intersected(shot.rect());
  for (int y = bounded.top(); y <= bounded.bottom(); ++y)
    for (int x = bounded.left(); x <= bounded.right(); ++x) ++counts[shot.pixel(x, y) | 0xff000000u];
  Measurement result;
  if (counts.isEmpty()) return result;
  QRgb background = counts.begin().key();
  for (auto it = counts.begin(); it != counts.end(); ++it)
    if (it.value() > counts.value(background)) background = it.key();
  result.background = QColor::fromRgb(background);
  result.foreground = result.background;
  for (auto it = counts.begin(); it != counts.end(); ++it) {
    if (it.value() < kMinimumPixels) continue;
    const double contrast = contrastRatio(QColor::fromRgb(it.key()), result.background);
    if (contrast > result.contrast) {
      result.contrast = contrast;
      result.foreground = QColor::fromRgb(it.key());
    }
  }
  return result;
}

QString buddyText(QWidget* widget) {
  for (QLabel* label : widget->window()->findChildren<QLabel*>())
    if (label->buddy() == widget && !label->text().isEmpty()) return label->text();
  return {};
}

QString accessibleNameOf(QWidget* widget) {
  if (!widget->accessibleName().trimmed().isEmpty()) return widget->accessibleName();
  if (!needsExplicitName(widget)) {
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) return QString(button->text()).remove(QLatin1Char('&'));
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      QTextDocument doc;
      doc.setHtml(label->text());
      return doc.toPlainText().trimmed();
    }
  }
  return buddyText(widget);
}

// The window rendered with text drawn without anti-aliasing, so that every glyph pixel carries
// the text colour itself. Layout does not change: glyph advances are the same.
QImage renderSharp(QWidget* window) {
  const auto sharpened = [](QFont font) {
    font.setStyleStrategy(QFont::StyleStrategy(font.styleStrategy() | QFont::NoAntialias));
    return font;
  };
  const QFont previous = QApplication::font();
  QApplication::setFont(sharpened(previous));
  // Widgets with a style sheet keep the font it gave them: set theirs one by one.
  struct Kept {
    QWidget* widget;
    QFont font;
    bool ownFont;
  };
  QList<Kept> kept;
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    if (widget->styleSheet().isEmpty()) continue;
    kept.append({widget, widget->font(), widget->testAttribute(Qt::WA_SetFont)});
    widget->setFont(sharpened(widget->font()));
  }
  QCoreApplication::processEvents();
  const QImage shot = window->grab().toImage().convertToFormat(QImage::Format_ARGB32);
  for (const Kept& k : kept) k.widget->setFont(k.ownFont ? k.font : QFont());
  QApplication::setFont(previous);
  QCoreApplication::processEvents();
  return shot;
}

}  // namespace

QPalette QtWindowAudit::lightPalette() {
  return QApplication::style()->standardPalette();
}

QPalette QtWindowAudit::darkPalette() {
  QPalette p;
  const QColor window(0x35, 0x35, 0x35), base(0x24, 0x24, 0x24), text(0xf0, 0xf0, 0xf0);
  const QColor disabledText(0x80, 0x80, 0x80);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, QColor(0x42, 0x42, 0x42));
  p.setColor(QPalette::ToolTipBase, base);
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::PlaceholderText, QColor(0xa0, 0xa0, 0xa0));
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, window);
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::BrightText, Qt::red);
  p.setColor(QPalette::Link, QColor(0x2a, 0x82, 0xda));
  p.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Light, QColor(0x50, 0x50, 0x50));
  p.setColor(QPalette::Midlight, QColor(0x45, 0x45, 0x45));
  p.setColor(QPalette::Mid, QColor(0x2a, 0x2a, 0x2a));
  p.setColor(QPalette::Dark, QColor(0x20, 0x20, 0x20));
  p.setColor(QPalette::Shadow, Qt::black);
  for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::HighlightedText})
    p.setColor(QPalette::Disabled, role, disabledText);
  p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x50, 0x50, 0x50));
  return p;
}

double QtWindowAudit::measuredContrast(QWidget* window, QWidget* widget) {
  settle();
  const QImage shot = renderSharp(window);
  const std::optional<TextArea> area = textArea(widget);
  return measure(shot, shot.devicePixelRatio(), window, widget, area ? area->rect : widget->rect()).contrast;
}

QStringList QtWindowAudit::checkContrast(QWidget* window) {
  settle();
  struct Text {
    QWidget* widget;
    TextArea area;
    QString finding;
    bool measured = false;
  };
  QList<Text> texts;
  for (QWidget* widget : widgetsOf(window)) {
    if (widget->window() != window || !widget->isVisible()) continue;
    const std::optional<TextArea> area = textArea(widget);
    if (area && !area->rect.isEmpty()) texts.append({widget, *area, {}});
  }
  QImage shot = renderSharp(window);
  const auto measureText = [&](Text& text) {
    const Measurement m = measure(shot, shot.devicePixelRatio(), window, text.widget, text.area.rect);
    if (m.contrast + 1e-9 < text.area.minimum) {
      text.finding = QStringLiteral("%1: contrast %2:1 is below %3:1 (%4 on %5)")
                         .arg(describe(text.widget))
                         .arg(m.contrast, 0, 'f', 2)
                         .arg(text.area.minimum, 0, 'f', 1)
                         .arg(m.foreground.name(), m.background.name());
    }
    text.measured = true;
  };
  const auto measureWhollyShown = [&] {
    for (Text& text : texts)
      if (!text.measured && (unclippedRect(text.widget, window) & text.area.rect) == text.area.rect) measureText(text);
  };
  measureWhollyShown();
  // Text a scroll area holds (partly) out of view is scrolled in and measured there, with all
  // else that scroll shows whole; the scroll areas are put back afterwards.
  QList<QPair<QScrollBar*, int>> scrolled;
  for (QScrollArea* scroll : window->findChildren<QScrollArea*>())
    for (QScrollBar* bar : {scroll->horizontalScrollBar(), scroll->verticalScrollBar()})
      scrolled.append({bar, bar->value()});
  for (Text& text : texts) {
    if (text.measured) continue;
    if (scrollIntoView(text.widget, text.area.rect, window)) {
      settle();
      shot = renderSharp(window);
      measureWhollyShown();
    }
    // What shows of text cut off for good is measured; text its parents hide entirely is not
    // seen, so not measured.
    if (!text.measured && !(unclippedRect(text.widget, window) & text.area.rect).isEmpty()) measureText(text);
  }
  for (const auto& [bar, value] : scrolled) bar->setValue(value);
  settle();
  QStringList findings;
  for (const Text& text : texts)
    if (!text.finding.isEmpty()) findings << text.finding;
  return findings;
}

QStringList QtWindowAudit::checkTabOrder(QWidget* window) {
  QStringList findings;
  window->activateWindow();
  if (!QTest::qWaitForWindowActive(window, testsupport::waitBound(5000)))
    return {QStringLiteral("the window never became active")};
  settle();

  // Events are processed between the steps, and the screen may replace a widget meanwhile (a
  // row's editor closes once the focus leaves it): a stop that has gone is passed over.
  QList<QPointer<QWidget>> stops;
  QSet<const QWidget*> reached;
  if (!QApplication::focusWidget() || QApplication::focusWidget()->window() != window) window->setFocus();
  for (int step = 0; step < 400; ++step) {
    QWidget* focused = QApplication::focusWidget();
    QTest::keyClick(focused ? focused : window, Qt::Key_Tab);
    focused = QApplication::focusWidget();
    if (!focused || focused->window() != window) {
      findings << QStringLiteral("Tab left the window");
      break;
    }
    if (!stops.isEmpty() && focused == stops.first()) break;
    if (stops.contains(focused)) {
      const QString first = stops.first() ? describe(stops.first()) : QStringLiteral("the first stop");
      findings << QStringLiteral("Tab circles without returning to %1").arg(first);
      break;
    }
    stops << focused;
    QWidget* control = controlOwning(focused);
    reached.insert(control);
    if (!isControl(control))
      findings << QStringLiteral("Tab stops on %1, which is not a control").arg(describe(control));
    else if (!shownIn(control, window))
      findings << QStringLiteral("Tab stops on %1, which is not on screen").arg(describe(control));
  }
  // Each stop shows that it has the focus: some of it looks clearly different when the focus is
  // elsewhere. A default button is exempt: its look says Enter presses it, which holds wherever
  // the focus is.
  for (qsizetype i = 0; stops.size() > 1 && i < stops.size(); ++i) {
    const QPointer<QWidget> stop = stops[i];
    const QPointer<QWidget> next = stops[(i + 1) % stops.size()];
    if (!stop || !next) continue;
    QWidget* control = controlOwning(stop);
    const auto* button = qobject_cast<const QPushButton*>(control);
    if (control->inherits("QWebEngineView") || (button && button->isDefault())) continue;
    stop->setFocus(Qt::TabFocusReason);
    settle();
    if (!stop || !next) continue;
    const QImage focused = control->grab().toImage();
    next->setFocus(Qt::TabFocusReason);
    settle();
    if (!stop) continue;
    const Change change = changeBetween(focused, control->grab().toImage(), kFocusChange);
    const qreal ratio = focused.devicePixelRatio();
    const int needed = int(kFocusPerimeterShare * 2 * (control->width() + control->height()) * ratio);
    if (change.pixels < needed) {
      findings << QStringLiteral(
                      "Tab stops on %1, but too little shows that it has the focus (%2 pixels change by %3:1, "
                      "%4 needed; the strongest change is %5:1)")
                      .arg(describe(control))
                      .arg(change.pixels)
                      .arg(kFocusChange, 0, 'f', 1)
                      .arg(needed)
                      .arg(change.strongest, 0, 'f', 2);
    }
  }
  for (QWidget* widget : widgetsOf(window)) {
    if (!isControl(widget) || !widget->isEnabled() || !reachableIn(widget, window)) continue;
    if (reached.contains(widget)) continue;
    bool groupReached = false;
    for (QAbstractButton* sibling : exclusiveSiblings(widget)) groupReached = groupReached || reached.contains(sibling);
    if (!groupReached) findings << QStringLiteral("Tab never reaches %1").arg(describe(widget));
  }
  return findings;
}

QStringList QtWindowAudit::checkAccessibleNames(QWidget* window) {
  QStringList findings;
  for (QWidget* widget : widgetsOf(window)) {
    if (!isControl(widget) || !reachableIn(widget, window)) continue;
    if (accessibleNameOf(widget).trimmed().isEmpty())
      findings << QStringLiteral("%1: no accessible name").arg(describe(widget));
  }
  return findings;
}

QStringList QtWindowAudit::check(QWidget* window) {
  return checkContrast(window) + checkAccessibleNames(window) + checkTabOrder(window) + checkClippedText(window);
}

QStringList QtWindowAudit::checkInBothPalettes(const std::function<std::unique_ptr<QWidget>()>& make,
                                               const std::function<void(QWidget&)>& prepare) {
  struct Named {
    const char* name;
    QPalette palette;
    QFont font;
  };
  const Named palettes[] = {{"light", lightPalette(), QApplication::font()}, {"dark", darkPalette(), desktopFont()}};
  QStringList findings;
  for (int first = 0; first < 2; ++first) {
    const Named& start = palettes[first];
    const Named& other = palettes[1 - first];
    ScopedApplicationPalette scoped(start.palette);
    ScopedApplicationFont scopedFont(start.font);
    std::unique_ptr<QWidget> window = make();
    window->show();
    if (prepare) prepare(*window);
    for (const QString& finding : check(window.get()))
      findings << QStringLiteral("[%1] %2").arg(QLatin1String(start.name), finding);
    QApplication::setPalette(other.palette);
    QApplication::setFont(other.font);
    settle();
    for (const QString& finding : check(window.get()))
      findings << QStringLiteral("[%1, switched from %2] %3")
                      .arg(QLatin1String(other.name), QLatin1String(start.name), finding);
  }
  return findings;
}

QFont QtWindowAudit::desktopFont() {
  return QFont(QStringLiteral("Sans Serif"), 12);
}

ScopedApplicationFont::ScopedApplicationFont(const QFont& font) : m_previous(QApplication::font()) {
  QApplication::setFont(font);
}

ScopedApplicationFont::~ScopedApplicationFont() {
  QApplication::setFont(m_previous);
}

ScopedApplicationPalette::ScopedApplicationPalette(const QPalette& palette) : m_previous(QApplication::palette()) {
  QApplication::setPalette(palette);
}

ScopedApplicationPalette::~ScopedApplicationPalette() {
  QApplication::setPalette(m_previous);
}

}  // namespace testsupport
