#include "Views/Common/Divider.h"

#include "Views/Common/Theme.h"

#include <QPainter>

namespace parlowvista {

Divider::Divider(QWidget* parent) : QWidget(parent) {
  setFixedHeight(1);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Divider::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Theme::color(ThemeColor::divider, palette()));
}

}  // namespace parlowvista
