#pragma once

#include <QPushButton>

namespace parlowvista {

// A push button that may be drawn flat (no bevel until pressed) and still shows when it has the
// keyboard focus: the desktop's Fusion style draws the focus of a button only in its bevel, so a
// flat one that Tab reaches would look the same as one it does not. The ring is drawn in the
// palette's highlight hue at 3:1 or better against the window.
class FlatButton : public QPushButton {
  Q_OBJECT
 public:
  explicit FlatButton(const QString& text = QString(), QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace parlowvista
