#pragma once

#include <QTimer>
#include <QWidget>

namespace parlowvista {

// An indeterminate spinner: twelve spokes round a centre, the brightest one stepping on every
// 80 ms, in the palette's secondary text colour. It turns only while it is on screen (the timer
// stops when it is hidden), so a screen that is not shown costs nothing.
class BusySpinner : public QWidget {
  Q_OBJECT

 public:
  // `diameter` in device-independent pixels.
  explicit BusySpinner(int diameter, QWidget* parent = nullptr);

  bool isTurning() const { return m_timer.isActive(); }
  int step() const { return m_step; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QTimer m_timer;
  int m_step = 0;
};

}  // namespace parlowvista
