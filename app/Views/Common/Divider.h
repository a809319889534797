#pragma once

#include <QWidget>

namespace parlowvista {

// A thin horizontal line between rows, in the theme's divider colour: it separates without
// shouting (a plain frame line is drawn in the full text colour).
class Divider : public QWidget {
  Q_OBJECT
 public:
  explicit Divider(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace parlowvista
