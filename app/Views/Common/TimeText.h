#pragma once

#include <QString>

namespace parlowvista {

// How minutesSeconds shows a time before zero.
enum class NegativeTime {
  // What integer division of the truncated seconds gives: -5 s read 0:-5, -61 s read -1:-1.
  Signed,
  // Like zero: 0:00.
  AsZero,
};

// "%d:%02d" of the seconds truncated toward zero to whole seconds: the minutes, then the seconds
// within the minute. Minutes are not wrapped into hours (3725.9 s read 62:05). Not-a-number, the
// infinities and times no whole number of seconds can hold exactly (1e15 s and beyond, either
// sign) read 0:00.
QString minutesSeconds(double seconds, NegativeTime negative = NegativeTime::Signed);

}  // namespace parlowvista
