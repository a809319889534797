#include "Views/Common/SheetPlacement.h"

#include <QWidget>

namespace parlowvista {

void centreOverParentWindow(QWidget* sheet) {
  if (!sheet || !sheet->parentWidget()) return;
  const QWidget* window = sheet->parentWidget()->window();
  if (!sheet->testAttribute(Qt::WA_Resized)) sheet->adjustSize();
  const QSize size = sheet->size();
  const QRect frame = window->geometry();
  sheet->move(frame.center() - QPoint(size.width() / 2, size.height() / 2));
}

}  // namespace parlowvista
