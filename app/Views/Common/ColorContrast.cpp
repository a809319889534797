#include "Views/Common/ColorContrast.h"

#include <algorithm>
#include <cmath>

namespace parlowvista {

namespace {

double linear(double channel) {
  return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

}  // namespace

double relativeLuminance(const QColor& color) {
  const QColor rgb = color.toRgb();
  return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
}

QColor composited(const QColor& foreground, const QColor& background) {
  const QColor fg = foreground.toRgb();
  const QColor bg = background.toRgb();
  const double a = fg.alphaF();
  return QColor::fromRgbF(static_cast<float>(fg.redF() * a + bg.redF() * (1 - a)),
                          static_cast<float>(fg.greenF() * a + bg.greenF() * (1 - a)),
                          static_cast<float>(fg.blueF() * a + bg.blueF() * (1 - a)));
}

double contrastRatio(const QColor& foreground, const QColor& background) {
  const QColor bg = composited(background, Qt::white);
  const double a = relativeLuminance(composited(foreground, bg));
  const double b = relativeLuminance(bg);
  return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

std::optional<QColor> nearestLightness(const QColor& color, const std::function<bool(const QColor&)>& fits) {
  float hue = 0, saturation = 0, lightness = 0, alpha = 0;
  color.toRgb().getHslF(&hue, &saturation, &lightness, &alpha);
  // Step outwards from the colour's own lightness, both ways at once: the nearest that fits wins.
  constexpr int kSteps = 200;
  for (int step = 0; step <= kSteps; ++step) {
    const float delta = static_cast<float>(step) / kSteps;
    for (const float candidate : {lightness - delta, lightness + delta}) {
      if (candidate < 0 || candidate > 1) continue;
      const QColor c = QColor::fromHslF(hue, saturation, candidate);
      if (fits(c)) return c;
    }
  }
  return std::nullopt;
}

QColor withContrast(const QColor& color, const QColor& background, double minimum) {
  const QColor bg = composited(background, Qt::white);
  const QColor start = composited(color, bg);
  if (contrastRatio(start, bg) >= minimum) return start;
  if (auto c = nearestLightness(start, [&](const QColor& c) { return contrastRatio(c, bg) >= minimum; })) return *c;
  return contrastRatio(Qt::black, bg) >= contrastRatio(Qt::white, bg) ? QColor(Qt::black) : QColor(Qt::white);
}

QColor mixed(const QColor& base, const QColor& over, double amount) {
  const QColor a = composited(base, Qt::white);
  const QColor b = composited(over, a);
  const auto mix = [amount](double x, double y) { return static_cast<float>(x + (y - x) * amount); };
  return QColor::fromRgbF(mix(a.redF(), b.redF()), mix(a.greenF(), b.greenF()), mix(a.blueF(), b.blueF()));
}

}  // namespace parlowvista
