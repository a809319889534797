#include "Views/Shell/BusySpinner.h"

#include "Views/Common/Theme.h"

#include <QPainter>

namespace parlowvista {

namespace {
constexpr int spokes = 12;
}

BusySpinner::BusySpinner(int diameter, QWidget* parent) : QWidget(parent) {
  setFixedSize(diameter, diameter);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAccessibleName(QStringLiteral("Busy"));
  m_timer.setInterval(80);
  connect(&m_timer, &QTimer::timeout, this, [this] {
    m_step = (m_step + 1) % spokes;
    update();
  });
}

void BusySpinner::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  m_timer.start();
}

void BusySpinner::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  m_timer.stop();
}

void BusySpinner::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal radius = width() / 2.0;
  const qreal width = qMax(1.5, radius / 4.5);
  painter.translate(radius, radius);
  QColor color = Theme::color(ThemeColor::secondaryText, palette());
  for (int i = 0; i < spokes; ++i) {
    // The spoke at the current step is solid; those behind it fade to a quarter.
    const int behind = (m_step - i + spokes) % spokes;
    color.setAlphaF(1.0 - 0.75 * behind / (spokes - 1));
    painter.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap));
    painter.save();
    painter.rotate(360.0 * i / spokes);
    painter.drawLine(QPointF(0, -radius * 0.5), QPointF(0, -radius + width / 2));
    painter.restore();
  }
}

}  // namespace parlowvista
