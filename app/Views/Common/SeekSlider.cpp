#include "Views/Common/SeekSlider.h"

#include <QProxyStyle>

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

}  // namespace parlowvista
