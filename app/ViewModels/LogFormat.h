#pragma once

#include <QString>

#include <optional>

namespace parlowvista {

// Number texts of the activity log.

// Shortest round-trip decimal with at least one fractional digit: 0.5 -> "0.5", 1 -> "1.0".
QString shortestDouble(double value);
// "%.1f".
QString formatFixed1(double value);
// An optional count, -1 when absent.
QString countOrMinusOne(std::optional<qint64> value);

}  // namespace parlowvista
