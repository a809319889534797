#include "Views/Library/VersionChip.h"

#include "Views/Common/ThemedLabel.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace parlowvista {

namespace {
constexpr int kHorizontalPadding = 8;
constexpr int kVerticalPadding = 3;
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
  setAccessibleName(QStringLiteral("Version %1").arg(name));
  setToolTip(name);
  updateGeometry();
}

QSize VersionChip::sizeHint() const {
  if (!m_sizeHint.isValid()) {
    const QFontMetrics metrics(font());
    m_sizeHint = {metrics.horizontalAdvance(text()) + 2 * kHorizontalPadding, metrics.height() + 2 * kVerticalPadding};
  }
  return m_sizeHint;
}

QSize VersionChip::minimumSizeHint() const {
  const QSize full = sizeHint();
  const QFontMetrics metrics(font());
  return {std::min(full.width(), 6 * metrics.averageCharWidth() + 2 * kHorizontalPadding), full.height()};
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
  painter.setPen(ink);
  // Shortened only when the chip is narrower than its whole name.
  const QString shown = width() >= sizeHint().width()
                            ? text()
                            : fontMetrics().elidedText(text(), Qt::ElideRight, width() - 2 * kHorizontalPadding);
  painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, shown);
}

}  // namespace parlowvista
