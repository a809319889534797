#pragma once

#include <QString>
#include <QUuid>

namespace parlowvista {

// One subtitle-sized piece of a transcript. A plain value, copied freely.
// `id` and `startTime` are fixed once the segment is made (editing changes speaker, end and
// text); they are plain fields so the value stays assignable inside lists.
struct TranscribedSegment {
  QUuid id;              // fresh random id whenever a segment is made; list identity
  qint64 speakerId = 0;  // 0 for the first speaker, never negative
  double startTime = 0;  // seconds on the audio's time line
  double endTime = 0;    // seconds
  QString text;

  // A segment with a fresh random id.
  TranscribedSegment();
  TranscribedSegment(qint64 speakerId, double startTime, double endTime, QString text);
  TranscribedSegment(QUuid id, qint64 speakerId, double startTime, double endTime, QString text);

  bool operator==(const TranscribedSegment& other) const = default;

  // "%02d:%02d.%03d": whole minutes (not wrapped at the hour), seconds, milliseconds.
  // Seconds and milliseconds are truncated toward zero (1.9996 s gives 00:01.999).
  // Non-finite input is written as 0.
  static QString formatTimestamp(double seconds);

  // "%02d:%02d:%02d,%03d": hours, minutes, seconds, milliseconds, truncated as above.
  static QString formatTimestampSRT(double seconds);
};

namespace timeparts {
// Whole seconds truncated toward zero; 0 for non-finite input, clamped to the 64-bit range.
qint64 wholeSeconds(double seconds);
// The fractional part times 1000, truncated; 0 for non-finite input.
qint64 milliseconds(double seconds);
}  // namespace timeparts

}  // namespace parlowvista
