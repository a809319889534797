#include "Views/Library/LibraryStyle.h"

#include <cmath>

namespace parlowvista {

namespace {
bool isDark(const QPalette& palette) {
  return palette.color(QPalette::Base).lightnessF() < 0.5;
}

QColor mix(const QColor& a, const QColor& b, double t) {
  return QColor::fromRgbF(float(a.redF() * (1 - t) + b.redF() * t), float(a.greenF() * (1 - t) + b.greenF() * t),
                          float(a.blueF() * (1 - t) + b.blueF() * t));
}
}  // namespace

QColor LibraryStyle::secondaryText(const QPalette& palette) {
  return mix(palette.color(QPalette::Text), palette.color(QPalette::Base), 0.3);
}

QColor LibraryStyle::warning(const QPalette& palette) {
  return isDark(palette) ? QColor(0xFB, 0xB0, 0x40) : QColor(0xA8, 0x4A, 0x00);
}

QString LibraryStyle::formatDuration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  const auto whole = static_cast<long long>(seconds);
  return QString::asprintf("%lld:%02lld", whole / 60, whole % 60);
}

}  // namespace parlowvista
