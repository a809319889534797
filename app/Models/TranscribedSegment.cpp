#include "Models/TranscribedSegment.h"

#include "Models/UuidText.h"

#include <cmath>
#include <limits>

namespace parlowvista {

TranscribedSegment::TranscribedSegment() : id(newUuid()) {}

TranscribedSegment::TranscribedSegment(qint64 speakerId, double startTime, double endTime, QString text)
    : TranscribedSegment(newUuid(), speakerId, startTime, endTime, std::move(text)) {}

TranscribedSegment::TranscribedSegment(QUuid id, qint64 speakerId, double startTime, double endTime, QString text)
    : id(id), speakerId(speakerId), startTime(startTime), endTime(endTime), text(std::move(text)) {}

namespace timeparts {

qint64 wholeSeconds(double seconds) {
  if (!std::isfinite(seconds)) return 0;
  const double truncated = std::trunc(seconds);
  // Converting an out-of-range double to an integer is undefined; clamp first.
  if (truncated >= 9.2e18) return std::numeric_limits<qint64>::max();
  if (truncated <= -9.2e18) return std::numeric_limits<qint64>::min();
  return static_cast<qint64>(truncated);
}

qint64 milliseconds(double seconds) {
  if (!std::isfinite(seconds)) return 0;
  const double fraction = seconds - std::trunc(seconds);
  return static_cast<qint64>(std::trunc(fraction * 1000.0));
}

}  // namespace timeparts

QString TranscribedSegment::formatTimestamp(double seconds) {
  const qint64 whole = timeparts::wholeSeconds(seconds);
  return QString::asprintf("%02lld:%02lld.%03lld", static_cast<long long>(whole / 60),
                           static_cast<long long>(whole % 60),
                           static_cast<long long>(timeparts::milliseconds(seconds)));
}

QString TranscribedSegment::formatTimestampSRT(double seconds) {
  const qint64 whole = timeparts::wholeSeconds(seconds);
  return QString::asprintf("%02lld:%02lld:%02lld,%03lld", static_cast<long long>(whole / 3600),
                           static_cast<long long>((whole % 3600) / 60), static_cast<long long>(whole % 60),
                           static_cast<long long>(timeparts::milliseconds(seconds)));
}

}  // namespace parlowvista
