#pragma once

#include <QSlider>

namespace parlowvista {

// The horizontal position slider of a player. A left click on its track moves the handle to the
// point clicked (and a drag goes on from there), as a seek bar does, instead of Qt's step of one
// page towards it; the arrow and page keys step as on any slider.
class SeekSlider : public QSlider {
  Q_OBJECT
 public:
  explicit SeekSlider(QWidget* parent = nullptr);
};

}  // namespace parlowvista
