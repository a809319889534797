#include "Views/Common/CloseKeys.h"

#include <QKeyEvent>
#include <QKeySequence>
#include <QShortcut>
#include <QWidget>

namespace parlowvista {

namespace {

// Sees Escape only once the focused control has let it go up to the window: a shortcut would
// take it before an open list or a field's own edit does.
class EscapeCloses : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress || !static_cast<QKeyEvent*>(event)->matches(QKeySequence::Cancel))
      return false;
    static_cast<QWidget*>(watched)->close();
    return true;
  }
};

}  // namespace

void closeWithEscapeOrCtrlW(QWidget* window) {
  window->installEventFilter(new EscapeCloses(window));
  auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), window);
  shortcut->setContext(Qt::WindowShortcut);
  QObject::connect(shortcut, &QShortcut::activated, window, &QWidget::close);
}

}  // namespace parlowvista
