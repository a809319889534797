#include "Views/Common/FlowLayout.h"

#include <QWidget>

#include <algorithm>

namespace parlowvista {

FlowLayout::FlowLayout(QWidget* parent, int spacing) : QLayout(parent) {
  setContentsMargins(0, 0, 0, 0);
  setSpacing(spacing);
}

FlowLayout::~FlowLayout() {
  qDeleteAll(m_items);
}

void FlowLayout::insertWidget(int index, QWidget* widget) {
  addChildWidget(widget);
  m_items.insert(std::clamp<qsizetype>(index, 0, m_items.size()), new QWidgetItem(widget));
  invalidate();
}

void FlowLayout::addItem(QLayoutItem* item) {
  m_items.append(item);
}

QLayoutItem* FlowLayout::takeAt(int index) {
  if (index < 0 || index >= m_items.size()) return nullptr;
  return m_items.takeAt(index);
}

int FlowLayout::heightForWidth(int width) const {
  return arrange(QRect(0, 0, width, 0), false);
}

QSize FlowLayout::minimumSize() const {
  QSize size;
  for (const QLayoutItem* item : m_items) {
    if (!item->isEmpty()) size = size.expandedTo(item->minimumSize());
  }
  const QMargins margins = contentsMargins();
  return size + QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
}

void FlowLayout::setGeometry(const QRect& rect) {
  QLayout::setGeometry(rect);
  arrange(rect, true);
}

int FlowLayout::arrange(const QRect& rect, bool apply) const {
  const QRect area = rect.marginsRemoved(contentsMargins());
  const int gap = spacing();
  int x = area.x();
  int y = area.y();
  int lineHeight = 0;
  for (QLayoutItem* item : m_items) {
    if (item->isEmpty()) continue;
    QSize size = item->sizeHint();
    size.setWidth(std::max(item->minimumSize().width(), std::min(size.width(), area.width())));
    if (x > area.x() && x + size.width() > area.right() + 1) {
      x = area.x();
      y += lineHeight + gap;
      lineHeight = 0;
    }
    if (apply) item->setGeometry(QRect(QPoint(x, y), size));
    x += size.width() + gap;
    lineHeight = std::max(lineHeight, size.height());
  }
  const QMargins margins = contentsMargins();
  return y + lineHeight - rect.y() + margins.bottom();
}

}  // namespace parlowvista
