#include "Views/Library/VersionChip.h"

#include "Views/Common/Icons.h"
#include "Views/Common/ThemedLabel.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace parlowvista {

namespace {
constexpr int kHorizontalPadding = 8;
constexpr int kVerticalPadding = 3;
constexpr int kGlobeSpacing = 3;
}  // namespace

VersionChip::VersionChip(const QString& name, QWidget* parent) : QAbstractButton(parent) {
  setCheckable(true);
  setAutoExclusive(false);
  setFocusPolicy(Qt::TabFocus);
  setCursor(Qt::PointingHandCursor);
  setCaptionFont(this);
  setName(name);
}

void VersionChip::setName(const QString& name) {
  if (name == text()) return;
  setText(name);
  m_sizeHint = QSize();
  updateAccessibleName();
  setToolTip(name);
  updateGeometry();
}

void VersionChip::setTranslation(bool translation) {
  if (translation == m_translation) return;
  m_translation = translation;
  m_sizeHint = QSize();
  updateAccessibleName();
  updateGeometry();
  update();
}

void VersionChip::updateAccessibleName() {
  setAccessibleName((m_translation ? QStringLiteral("Translation %1") : QStringLiteral("Version %1")).arg(text()));
}

int VersionChip::globeSize() const {
  return m_translation ? QFontMetrics(font()).height() - 2 : 0;
}

QSize VersionChip::sizeHint() const {
  if (!m_sizeHint.isValid()) {
    const QFontMetrics metrics(font());
    const int globe = m_translation ? globeSize() + kGlobeSpacing : 0;
    m_sizeHint = {metrics.horizontalAdvance(text()) + globe + 2 * kHorizontalPadding,
                  metrics.height() + 2 * kVerticalPadding};
  }
  return m_sizeHint;
}

QSize VersionChip::minimumSizeHint() const {
  const QSize full = sizeHint();
  const QFontMetrics metrics(font());
  const int globe = m_translation ? globeSize() + kGlobeSpacing : 0;
  return {std::min(full.width(), 6 * metrics.averageCharWidth() + globe + 2 * kHorizontalPadding), full.height()};
}

void VersionChip::changeEvent(QEvent* event) {
  QAbstractButton::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    m_sizeHint = QSize();
    updateGeometry();
  }
}

void VersionChip::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QPalette& p = palette();
  const bool checked = isChecked();
  const QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  QPainterPath capsule;
  capsule.addRoundedRect(shape, shape.height() / 2, shape.height() / 2);
  painter.fillPath(capsule, p.color(checked ? QPalette::Highlight : QPalette::Button));
  const QColor ink = p.color(checked ? QPalette::HighlightedText : QPalette::ButtonText);
  if (hasFocus()) {
    painter.setPen(QPen(ink, 1.5));
    painter.drawRoundedRect(shape.adjusted(1, 1, -1, -1), shape.height() / 2 - 1, shape.height() / 2 - 1);
  }
  QRect textRect = rect();
  if (m_translation) {
    const int size = globeSize();
    const QRect globe(kHorizontalPadding, (height() - size) / 2, size, size);
    painter.drawPixmap(globe, Icons::pixmap(QStringLiteral("globe"), ink, size, devicePixelRatioF()));
    textRect.setLeft(globe.right() + 1 + kGlobeSpacing);
    textRect.setRight(width() - kHorizontalPadding - 1);
  }
  painter.setPen(ink);
  // Shortened only when the chip is narrower than its whole name.
  const QString shown = width() >= sizeHint().width()
                            ? text()
                            : fontMetrics().elidedText(text(), Qt::ElideRight,
                                                       textRect.width() - (m_translation ? 0 : 2 * kHorizontalPadding));
  painter.drawText(textRect, Qt::AlignCenter | Qt::TextSingleLine, shown);
}

}  // namespace parlowvista
