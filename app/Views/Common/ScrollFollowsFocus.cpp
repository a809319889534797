#include "Views/Common/ScrollFollowsFocus.h"

#include <QApplication>
#include <QFrame>
#include <QScrollArea>
#include <QScrollBar>

namespace parlowvista {

namespace {

// Moves `bar` the least that brings [start, end) into a page of `page` pixels; a span longer
// than the page shows its start.
void bringIntoPage(QScrollBar* bar, int start, int end, int page) {
  if (end - start > page || start < bar->value())
    bar->setValue(start);
  else if (end > bar->value() + page)
    bar->setValue(end - page);
}

}  // namespace

void scrollFollowsFocus(QScrollArea* area, int margin) {
  // The focus also moves while the area is being deleted, as its children let it go: only its
  // QWidget part is left by then, no scroll area to ask, which the cast sees.
  QObject* watched = area;
  QObject::connect(qApp, &QApplication::focusChanged, area, [watched, margin](QWidget*, QWidget* now) {
    auto* area = qobject_cast<QScrollArea*>(watched);
    if (!area) return;
    QWidget* content = area->widget();
    if (!now || !content || !content->isAncestorOf(now)) return;
    // The control's whole rectangle: QScrollArea::ensureWidgetVisible would take a list's
    // current row (or nothing when it has none) instead of the list.
    const QRect shown = QRect(now->mapTo(content, QPoint()), now->size()).adjusted(-margin, -margin, margin, margin);
    const QSize page = area->viewport()->size();
    bringIntoPage(area->horizontalScrollBar(), shown.left(), shown.right() + 1, page.width());
    bringIntoPage(area->verticalScrollBar(), shown.top(), shown.bottom() + 1, page.height());
  });
}

QScrollArea* makeScrollingColumn(QWidget* parent) {
  auto* area = new QScrollArea(parent);
  area->setWidgetResizable(true);
  area->setFrameShape(QFrame::NoFrame);
  area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  area->setFocusPolicy(Qt::NoFocus);
  scrollFollowsFocus(area);
  return area;
}

}  // namespace parlowvista
