#include "Views/Common/SheetEdge.h"

#include "Views/Common/Theme.h"

#include <QEvent>
#include <QPainter>
#include <QWidget>

namespace parlowvista {

namespace {

// A see-through child over the whole sheet that only draws the border. It stays the topmost
// child (controls added later would otherwise cover it) and follows the sheet's size.
class SheetEdgeOverlay : public QWidget {
 public:
  explicit SheetEdgeOverlay(QWidget* sheet) : QWidget(sheet) {
    setObjectName(QStringLiteral("sheetEdge"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(sheet->rect());
    sheet->installEventFilter(this);
    raise();
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == parent()) {
      if (event->type() == QEvent::Resize) setGeometry(parentWidget()->rect());
      if (event->type() == QEvent::ChildAdded || event->type() == QEvent::Show) raise();
    }
    return false;
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setPen(Theme::color(ThemeColor::controlEdge, parentWidget()->palette()));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
  }
};

}  // namespace

void drawEdgeAroundSheet(QWidget* sheet) {
  if (sheet) new SheetEdgeOverlay(sheet);
}

}  // namespace parlowvista
