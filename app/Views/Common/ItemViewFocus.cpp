#include "Views/Common/ItemViewFocus.h"

#include <QAbstractItemView>
#include <QPainter>
#include <QStyleOptionFocusRect>

namespace parlowvista {

void paintFocusWhereNoRowShowsIt(QAbstractItemView& view) {
  if (!view.hasFocus()) return;
  QWidget* viewport = view.viewport();
  const QModelIndex current = view.currentIndex();
  if (current.isValid() && view.visualRect(current).intersects(viewport->rect())) return;
  QPainter painter(viewport);
  QStyleOptionFocusRect focus;
  focus.initFrom(&view);
  focus.rect = viewport->rect().adjusted(1, 1, -1, -1);
  focus.backgroundColor = view.palette().color(view.viewport()->backgroundRole());
  if (view.window()->testAttribute(Qt::WA_KeyboardFocusChange)) focus.state |= QStyle::State_KeyboardFocusChange;
  view.style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, &view);
}

}  // namespace parlowvista
