#include "Views/Common/ScrollFollowsFocus.h"

#include <QApplication>
#include <QScrollArea>

namespace parlowvista {

void scrollFollowsFocus(QScrollArea* area, int margin) {
  QObject::connect(qApp, &QApplication::focusChanged, area, [area, margin](QWidget*, QWidget* now) {
    if (now && area->widget() && area->widget()->isAncestorOf(now)) area->ensureWidgetVisible(now, margin, margin);
  });
}

}  // namespace parlowvista
