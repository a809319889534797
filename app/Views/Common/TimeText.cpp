#include "Views/Common/TimeText.h"

#include <cmath>

namespace parlowvista {

QString minutesSeconds(double seconds, NegativeTime negative) {
  // Well inside what a long long holds, and below 2^53, where a double stops holding every whole
  // number: beyond it a "time" is a broken value rather than a length anyone could play.
  constexpr double kLongest = 1e15;
  if (!std::isfinite(seconds) || std::abs(seconds) >= kLongest) return QStringLiteral("0:00");
  if (seconds < 0 && negative == NegativeTime::AsZero) return QStringLiteral("0:00");
  const auto whole = static_cast<long long>(std::trunc(seconds));
  return QString::asprintf("%lld:%02lld", whole / 60, whole % 60);
}

}  // namespace parlowvista
