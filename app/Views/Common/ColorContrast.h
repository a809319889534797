#pragma once

#include <QColor>

#include <functional>
#include <optional>

namespace parlowvista {

// Contrast as the accessibility guidelines measure it, and the smallest colour change that
// reaches a wanted contrast. Pure functions of their arguments.

// Relative luminance of an opaque colour, 0 (black) ... 1 (white). The alpha channel is ignored.
double relativeLuminance(const QColor& color);

// A translucent foreground laid over an opaque background, as it shows on screen.
QColor composited(const QColor& foreground, const QColor& background);

// (lighter + 0.05) / (darker + 0.05), from 1 (same luminance) to 21 (black on white), of
// `foreground` laid over `background`. Symmetric for opaque colours.
double contrastRatio(const QColor& foreground, const QColor& background);

// `color` with its lightness moved as little as possible (not at all if it fits), hue and
// saturation kept, until `fits` takes it; nothing when no lightness does.
std::optional<QColor> nearestLightness(const QColor& color, const std::function<bool(const QColor&)>& fits);
// `color` (laid over `background`) with its lightness moved as little as possible, hue and
// saturation kept, until it reaches `minimum` against `background`. Where no lightness reaches it,
// black or white, whichever contrasts more.
QColor withContrast(const QColor& color, const QColor& background, double minimum);

// `amount` (0 ... 1) of `over` mixed into `base`, channel by channel; opaque.
QColor mixed(const QColor& base, const QColor& over, double amount);

}  // namespace parlowvista
