#pragma once

#include <QLabel>

namespace parlowvista {

// A plain-text label drawn as a chip: the text-field background, a faint edge and rounded
// corners around its text, which can be selected and copied (an install command, say).
class ChipLabel : public QLabel {
  Q_OBJECT
 public:
  explicit ChipLabel(const QString& text = QString(), QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace parlowvista
