#pragma once

#include <QSlider>

namespace parlowvista {

// The horizontal position slider of a player. A left click on its track moves the handle to the
// point clicked (and a drag goes on from there), as a seek bar does, instead of Qt's step of one
// page towards it. The keys step by time, as a player's do: the arrows 5 s and PageUp/PageDown
// 30 s of the length it is given, at most a tenth and a quarter of a short one; Home and End go
// to the ends.
class SeekSlider : public QSlider {
  Q_OBJECT
 public:
  explicit SeekSlider(QWidget* parent = nullptr);

  // The seconds from the slider's minimum to its maximum; set the range first.
  void setLength(double seconds);
};

}  // namespace parlowvista
