#include "ViewModels/LogFormat.h"

#include <QLocale>

#include <cmath>

namespace parlowvista {

QString shortestDouble(double value) {
  QString text = QString::number(value, 'g', QLocale::FloatingPointShortest);
  if (std::isfinite(value) && !text.contains('.') && !text.contains('e')) text += ".0";
  return text;
}

QString formatFixed1(double value) {
  return QString::asprintf("%.1f", value);
}

QString countOrMinusOne(std::optional<qint64> value) {
  return QString::number(value.value_or(-1));
}

}  // namespace parlowvista
