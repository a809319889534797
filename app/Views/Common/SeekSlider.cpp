#include "Views/Common/SeekSlider.h"

#include <QProxyStyle>

#include <algorithm>
#include <cmath>

namespace parlowvista {

namespace {
// The application's own style, except that the left button sets the slider where it is pressed.
class ClickSetsPositionStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == SH_Slider_AbsoluteSetButtons) return Qt::LeftButton;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};
}  // namespace

SeekSlider::SeekSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
  auto* style = new ClickSetsPositionStyle;
  style->setParent(this);  // a widget does not own its style
  setStyle(style);
}

void SeekSlider::setLength(double seconds) {
  // Qt's own steps are 1 and 10 of the range: with a range of a thousand on a minute of sound,
  // a key moved the position by less than the time shown can tell.
  const double span = double(maximum()) - double(minimum());
  const auto steps = [&](double wanted) {
    if (!(seconds > 0) || !(span > 0)) return 1;
    return std::max(1, int(std::lround(std::min(wanted / seconds, 1.0) * span)));
  };
  const double arrow = std::min(5.0, seconds / 10);
  const double page = std::max(arrow, std::min(30.0, seconds / 4));
  setSingleStep(steps(arrow));
  setPageStep(steps(page));
}

}  // namespace parlowvista
