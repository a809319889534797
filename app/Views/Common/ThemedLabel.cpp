#include "Views/Common/ThemedLabel.h"

#include "Views/Common/Icons.h"

#include <QEvent>
#include <QFontDatabase>

#include <algorithm>

namespace parlowvista {

ThemedLabel::ThemedLabel(const QString& text, ThemeColor color, QWidget* parent)
    : QLabel(text, parent), m_color(color) {
  setTextFormat(Qt::PlainText);
  applyColor();
}

ThemedLabel* ThemedLabel::icon(const QString& iconName, ThemeColor color, int size, QWidget* parent) {
  auto* label = new ThemedLabel(QString(), color, parent);
  label->m_iconSize = size;
  label->setFixedSize(size, size);
  label->setIconName(iconName);
  return label;
}

void ThemedLabel::setThemeColor(ThemeColor color) {
  m_color = color;
  applyColor();
}

void ThemedLabel::setIconName(const QString& iconName) {
  m_iconName = iconName;
  applyColor();
}

void ThemedLabel::setBackgroundRoleForContrast(QPalette::ColorRole role) {
  m_background = role;
  applyColor();
}

void ThemedLabel::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) applyColor();
}

void ThemedLabel::applyColor() {
  if (m_applying) return;
  m_applying = true;
  // The colour is derived from the surroundings' palette: this label's own text role holds the
  // result of the last derivation.
  const QPalette surroundings = parentWidget() ? parentWidget()->palette() : QPalette();
  const QColor color = Theme::color(m_color, surroundings, m_background);
  Theme::setTextColor(this, color);
  if (m_iconSize > 0) setPixmap(Icons::pixmap(m_iconName, color, m_iconSize, devicePixelRatioF()));
  m_applying = false;
}

QLabel* plainLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  return label;
}

void setCaptionFont(QWidget* widget, double scale) {
  widget->setFont(captionFont(widget->font(), scale));
}

QFont captionFont(const QFont& base, double scale) {
  QFont font = base;
  if (font.pointSizeF() > 0)
    font.setPointSizeF(font.pointSizeF() * scale);
  else
    font.setPixelSize(std::max(9, static_cast<int>(font.pixelSize() * scale)));
  return font;
}

QFont monospacedCaptionFont(const QFont& base) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  const QFont caption = captionFont(base);
  if (caption.pointSizeF() > 0) font.setPointSizeF(caption.pointSizeF());
  return font;
}

ThemedLabel* captionLabel(const QString& text, QWidget* parent) {
  auto* label = new ThemedLabel(text, ThemeColor::secondaryText, parent);
  setCaptionFont(label);
  return label;
}

QLabel* headlineLabel(const QString& text, QWidget* parent) {
  QLabel* label = plainLabel(text, parent);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

}  // namespace parlowvista
