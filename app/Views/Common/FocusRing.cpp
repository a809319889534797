#include "Views/Common/FocusRing.h"

#include "Views/Common/Theme.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWidget>

namespace parlowvista {

namespace {

constexpr qreal kRingWidth = 2;
constexpr const char* kShownProperty = "showsFocusRing";
constexpr qreal kRadius = 4;

// The ring itself: a child of the focused control, over all of it, that takes no input.
class Ring : public QWidget {
 public:
  explicit Ring(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("focusRing"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF outer = QRectF(rect()).adjusted(kRingWidth / 2, kRingWidth / 2, -kRingWidth / 2, -kRingWidth / 2);
    painter.setPen(QPen(Theme::focusColor(palette()), kRingWidth));
    painter.drawRoundedRect(outer, kRadius, kRadius);
    const qreal in = kRingWidth / 2 + 0.5;
    painter.setPen(QPen(palette().color(QPalette::Active, QPalette::Window), 1));
    painter.drawRoundedRect(outer.adjusted(in, in, -in, -in), kRadius - in, kRadius - in);
  }
};

// The control a focused widget stands for: a spin box for its field, a combo box for its
// editor (a Tab stop whose focus proxy it is).
QWidget* controlOf(QWidget* focused) {
  QWidget* control = focused;
  for (QWidget* parent = control->parentWidget(); parent && !control->isWindow(); parent = control->parentWidget()) {
    if (parent->focusProxy() != control || !(parent->focusPolicy() & Qt::TabFocus)) break;
    control = parent;
  }
  return control;
}

FocusRing* instance = nullptr;

}  // namespace

FocusRing::FocusRing(QObject* parent) : QObject(parent) {
  connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { follow(now); });
}

void FocusRing::install() {
  if (instance || !qApp) return;
  instance = new FocusRing(qApp);
  connect(instance, &QObject::destroyed, [] { instance = nullptr; });
  instance->follow(QApplication::focusWidget());
}

void FocusRing::setShownOn(QWidget* control, bool shown) {
  control->setProperty(kShownProperty, shown);
}

QWidget* FocusRing::ringedControl() {
  if (!instance || !instance->m_ring || instance->m_ring->isHidden()) return nullptr;
  return instance->m_control;
}

void FocusRing::follow(QWidget* focused) {
  if (m_control) m_control->removeEventFilter(this);
  m_control = nullptr;
  if (m_ring) m_ring->hide();
  if (!focused) return;
  QWidget* control = controlOf(focused);
  // As the style shows focus: only once the keyboard has moved it in that window.
  const bool shown = focused->window()->testAttribute(Qt::WA_KeyboardFocusChange);
  if (!shown || control->isWindow() || !(control->focusPolicy() & Qt::TabFocus) ||
      control->inherits("QWebEngineView") || control->property(kShownProperty) == QVariant(false)) {
    return;
  }
  m_control = control;
  control->installEventFilter(this);
  if (!m_ring) {
    m_ring = new Ring(control);
  } else if (m_ring->parentWidget() != control) {
    m_ring->setParent(control);
  }
  place();
}

void FocusRing::place() {
  if (!m_control || !m_ring) return;
  m_ring->setGeometry(m_control->rect());
  m_ring->raise();
  m_ring->show();
  m_ring->update();
}

bool FocusRing::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_control) {
    switch (event->type()) {
      case QEvent::Resize:
      case QEvent::PaletteChange:
      case QEvent::ChildAdded:  // a child made later would cover the ring
        place();
        break;
      default: break;
    }
  }
  return false;
}

}  // namespace parlowvista
