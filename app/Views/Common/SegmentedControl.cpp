#include "Views/Common/SegmentedControl.h"

#include "Views/Common/ColorContrast.h"
#include "Views/Common/Theme.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>

namespace parlowvista {

namespace {

constexpr qreal kRadius = 5;

}  // namespace

SegmentedControl::SegmentedControl(const QStringList& labels, QWidget* parent)
    : QWidget(parent), m_group(new QButtonGroup(this)) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  m_group->setExclusive(true);
  for (int i = 0; i < labels.size(); ++i) {
    const auto position = labels.size() == 1       ? SegmentButton::Position::only
                          : i == 0                 ? SegmentButton::Position::first
                          : i == labels.size() - 1 ? SegmentButton::Position::last
                                                   : SegmentButton::Position::middle;
    auto* segment = new SegmentButton(labels[i], position, this);
    m_group->addButton(segment, i);
    row->addWidget(segment);
  }
}

QAbstractButton* SegmentedControl::segment(int index) const {
  return m_group->button(index);
}

void SegmentedControl::setCurrentIndex(int index) {
  if (QAbstractButton* button = m_group->button(index)) button->setChecked(true);
}

int SegmentedControl::currentIndex() const {
  return m_group->checkedId();
}

SegmentButton::SegmentButton(const QString& text, Position position, QWidget* parent)
    : QAbstractButton(parent), m_position(position) {
  setText(text);
  setCheckable(true);
  setFocusPolicy(Qt::StrongFocus);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setAttribute(Qt::WA_Hover);
}

QSize SegmentButton::sizeHint() const {
  const QFontMetrics metrics = fontMetrics();
  return {metrics.horizontalAdvance(text()) + 24, std::max(metrics.height() + 12, 26)};
}

void SegmentButton::enterEvent(QEnterEvent* event) {
  QAbstractButton::enterEvent(event);
  update();
}

void SegmentButton::leaveEvent(QEvent* event) {
  QAbstractButton::leaveEvent(event);
  update();
}

void SegmentButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const Theme::SegmentColors colors = Theme::segmentColors(palette());
  const bool checked = isChecked();

  // Only the outer ends of the row are rounded: the shape is a rounded rectangle stretched past
  // the inner edges and cut back to this segment.
  const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  QRectF shapeRect = bounds;
  if (m_position == Position::first || m_position == Position::middle) shapeRect.setRight(bounds.right() + 2 * kRadius);
  if (m_position == Position::last || m_position == Position::middle) shapeRect.setLeft(bounds.left() - 2 * kRadius);
  QPainterPath rounded;
  rounded.addRoundedRect(shapeRect, kRadius, kRadius);
  QPainterPath clip;
  clip.addRect(QRectF(rect()));
  const QPainterPath shape = rounded.intersected(clip);

  QColor fill = checked ? colors.selectedFill : colors.fill;
  if (isDown()) {
    fill = mixed(fill, colors.text, 0.18);
  } else if (underMouse() && !checked && isEnabled()) {
    fill = mixed(fill, colors.text, 0.08);
  }
  painter.fillPath(shape, fill);
  painter.setPen(QPen(colors.edge, 1));
  painter.drawPath(shape);

  if (hasFocus()) {
    QPainterPath ring;
    ring.addRoundedRect(bounds.adjusted(2, 2, -2, -2), kRadius - 2, kRadius - 2);
    painter.setPen(QPen(checked ? colors.selectedText : colors.focus, 2));
    painter.drawPath(ring);
  }

  QColor textColor = checked ? colors.selectedText : colors.text;
  if (!isEnabled()) textColor = palette().color(QPalette::Disabled, QPalette::ButtonText);
  painter.setPen(textColor);
  painter.setFont(font());
  painter.drawText(rect(), Qt::AlignCenter | Qt::TextShowMnemonic, text());
}

}  // namespace parlowvista
