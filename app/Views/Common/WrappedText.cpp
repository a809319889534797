#include "Views/Common/WrappedText.h"

#include <QTextLayout>
#include <QTextOption>

namespace parlowvista {

void layOutWrapped(QTextLayout& layout, int width) {
  QTextOption option(Qt::AlignLeft | Qt::AlignTop);
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  qreal y = 0;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    line.setPosition(QPointF(0, y));
    y += line.height();
  }
  layout.endLayout();
}

}  // namespace parlowvista
