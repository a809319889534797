#include "Views/Common/WheelNeedsFocus.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QPointer>
#include <QScrollArea>
#include <QSlider>
#include <QWheelEvent>

namespace parlowvista {

namespace {

class WheelToArea : public QObject {
 public:
  explicit WheelToArea(QScrollArea* area) : QObject(area), m_area(area) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Wheel || !m_area) return false;
    auto* control = static_cast<QWidget*>(watched);
    if (control->hasFocus()) return false;
    // Handed to the area itself: Qt does not pass a wheel event that was sent (not one from
    // the window system) on to the parents, and this way both kinds scroll the same.
    auto* wheel = static_cast<QWheelEvent*>(event);
    const QPointF at = m_area->viewport()->mapFromGlobal(wheel->globalPosition());
    QWheelEvent forwarded(at, wheel->globalPosition(), wheel->pixelDelta(), wheel->angleDelta(), wheel->buttons(),
                          wheel->modifiers(), wheel->phase(), wheel->inverted(), wheel->source());
    QApplication::sendEvent(m_area->viewport(), &forwarded);
    return true;
  }

 private:
  QPointer<QScrollArea> m_area;
};

}  // namespace

void wheelNeedsFocus(QScrollArea* area) {
  QWidget* content = area->widget();
  if (!content) return;
  auto* filter = new WheelToArea(area);
  for (QWidget* control : content->findChildren<QWidget*>()) {
    // Scroll bars of lists inside the panel keep scrolling those lists.
    if (!qobject_cast<QSlider*>(control) && !qobject_cast<QAbstractSpinBox*>(control) &&
        !qobject_cast<QComboBox*>(control))
      continue;
    if (control->focusPolicy() == Qt::WheelFocus) control->setFocusPolicy(Qt::StrongFocus);
    control->installEventFilter(filter);
  }
}

}  // namespace parlowvista
