#include "Views/Common/Theme.h"

#include "Views/Common/ColorContrast.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QLineEdit>
#include <QWidget>

#include <algorithm>

namespace parlowvista {

namespace {

bool isDark(const QPalette& palette) {
  return relativeLuminance(palette.color(QPalette::Window)) < 0.2;
}

// Runs a function when the palette of the widget it watches changes.
class PaletteFollower : public QObject {
 public:
  PaletteFollower(QWidget* widget, std::function<void()> apply) : QObject(widget), m_apply(std::move(apply)) {
    widget->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    const auto type = event->type();
    if (watched == parent() && (type == QEvent::PaletteChange || type == QEvent::StyleChange) && !m_applying) {
      m_applying = true;
      m_apply();
      m_applying = false;
    }
    return false;
  }

 private:
  std::function<void()> m_apply;
  bool m_applying = false;
};

}  // namespace

QColor Theme::color(ThemeColor role, const QPalette& palette, QPalette::ColorRole background) {
  const QColor bg = palette.color(QPalette::Active, background);
  const QColor text = palette.color(QPalette::Active, background == QPalette::Base     ? QPalette::Text
                                                      : background == QPalette::Button ? QPalette::ButtonText
                                                                                       : QPalette::WindowText);
  const bool dark = isDark(palette);
  switch (role) {
    case ThemeColor::text: return text;
    case ThemeColor::secondaryText: return withContrast(mixed(bg, text, 0.62), bg, textContrast);
    case ThemeColor::success:
      return withContrast(dark ? QColor(0x4c, 0xc2, 0x6a) : QColor(0x1e, 0x7b, 0x36), bg, textContrast);
    case ThemeColor::warning:
      return withContrast(dark ? QColor(0xf5, 0xa6, 0x23) : QColor(0xa3, 0x55, 0x00), bg, textContrast);
    case ThemeColor::error:
      return withContrast(dark ? QColor(0xff, 0x6b, 0x61) : QColor(0xc4, 0x1e, 0x16), bg, textContrast);
    case ThemeColor::link: return withContrast(palette.color(QPalette::Active, QPalette::Link), bg, textContrast);
    case ThemeColor::divider: return mixed(bg, text, dark ? 0.28 : 0.2);
    case ThemeColor::controlEdge: return withContrast(mixed(bg, text, 0.45), bg, largeContrast);
    case ThemeColor::stripBackground: return mixed(bg, text, dark ? 0.08 : 0.06);
  }
  return text;
}

Theme::SegmentColors Theme::segmentColors(const QPalette& palette) {
  SegmentColors colors;
  colors.fill = palette.color(QPalette::Active, QPalette::Button);
  colors.text = withContrast(palette.color(QPalette::Active, QPalette::ButtonText), colors.fill, textContrast);
  colors.edge = withContrast(mixed(colors.fill, colors.text, 0.45), palette.color(QPalette::Window), largeContrast);

  // The selected fill stands out from the plain segments and carries readable text.
  if (const auto selected = emphasis(palette, colors.fill)) {
    colors.selectedFill = selected->fill;
    colors.selectedText = selected->text;
    colors.focus = withContrast(selected->fill, palette.color(QPalette::Window), largeContrast);
    return colors;
  }
  // No hue works with this palette: plain text colours swapped.
  colors.selectedFill = colors.text;
  colors.selectedText = colors.fill;
  colors.focus = colors.text;
  return colors;
}

std::optional<Theme::Emphasis> Theme::emphasis(const QPalette& palette, const QColor& surroundings) {
  const QColor accent = palette.color(QPalette::Active, QPalette::Highlight);
  const QColor highlightedText = palette.color(QPalette::Active, QPalette::HighlightedText);
  const QColor opposite = relativeLuminance(highlightedText) > 0.5 ? QColor(0x10, 0x10, 0x10) : QColor(Qt::white);
  for (const QColor& text : {highlightedText, opposite}) {
    const auto fill = nearestLightness(accent, [&](const QColor& fill) {
      return contrastRatio(text, fill) >= textContrast && contrastRatio(fill, surroundings) >= largeContrast;
    });
    if (fill) return Emphasis{*fill, text};
  }
  return std::nullopt;
}

QColor Theme::focusColor(const QPalette& palette) {
  // What a control may show at its edge: the window, a field, a button face, frames and grooves.
  QList<QColor> surfaces;
  for (const auto role : {QPalette::Window, QPalette::Base, QPalette::Button, QPalette::Light, QPalette::Midlight,
                          QPalette::Mid, QPalette::Dark})
    surfaces << palette.color(QPalette::Active, role);
  const auto ring = nearestLightness(palette.color(QPalette::Active, QPalette::Highlight), [&](const QColor& ring) {
    return std::all_of(surfaces.begin(), surfaces.end(),
                       [&](const QColor& surface) { return contrastRatio(ring, surface) >= largeContrast; });
  });
  return ring.value_or(palette.color(QPalette::Active, QPalette::WindowText));
}

QColor Theme::selectionColor(const QPalette& palette) {
  const QColor text = palette.color(QPalette::Active, QPalette::HighlightedText);
  return withContrast(palette.color(QPalette::Active, QPalette::Highlight), text, textContrast);
}

void Theme::applyReadableSelection(QWidget* root) {
  const QColor selection = selectionColor(root->palette());
  const auto apply = [&selection](QWidget* widget) {
    QPalette palette = widget->palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive})
      palette.setColor(group, QPalette::Highlight, selection);
    widget->setPalette(palette);
  };
  for (QWidget* widget : root->findChildren<QWidget*>()) {
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
      apply(combo);
      apply(combo->view());
    } else if (qobject_cast<QLineEdit*>(widget) || qobject_cast<QAbstractItemView*>(widget)) {
      apply(widget);
    }
  }
}

void Theme::setTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  for (const auto group : {QPalette::Active, QPalette::Inactive}) {
    palette.setColor(group, QPalette::WindowText, color);
    palette.setColor(group, QPalette::Text, color);
    palette.setColor(group, QPalette::ButtonText, color);
  }
  widget->setPalette(palette);
}

void Theme::followPalette(QWidget* widget, std::function<void()> apply) {
  apply();
  new PaletteFollower(widget, std::move(apply));
}

void Theme::setStripBackground(QWidget* widget) {
  widget->setAutoFillBackground(true);
  followPalette(widget, [widget] {
    const QWidget* parent = widget->parentWidget();
    const QPalette surroundings = parent ? parent->palette() : QApplication::palette(widget);
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, color(ThemeColor::stripBackground, surroundings));
    widget->setPalette(palette);
  });
}

}  // namespace parlowvista
