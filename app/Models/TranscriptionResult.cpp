#include "Models/TranscriptionResult.h"

#include "Models/TextGraphemes.h"

#include <QSet>

namespace parlowvista {

TranscriptionResult::TranscriptionResult(QList<TranscribedSegment> segments, double audioDuration,
                                         double processingTime)
    : segments(std::move(segments)), m_audioDuration(audioDuration), m_processingTime(processingTime) {}

qint64 TranscriptionResult::speakerCount() const {
  QSet<qint64> ids;
  for (const auto& segment : segments) ids.insert(segment.speakerId);
  return ids.size();
}

std::optional<qsizetype> TranscriptionResult::splitSegment(qsizetype index, qint64 cursorPosition) {
  if (index < 0 || index >= segments.size()) return std::nullopt;
  if (cursorPosition < 1) return std::nullopt;

  TranscribedSegment& segment = segments[index];
  const auto boundaries = graphemeBoundaries(segment.text);
  const qint64 length = boundaries.size() - 1;
  // A caret past the end would put the split time after the segment's end.
  const qint64 position = std::min(cursorPosition, length);
  const double ratio = length < 1 ? 1.0 : double(position) / double(length);

  const qsizetype cut = boundaries[position];
  const QString firstText = trimmingHorizontalWhitespace(segment.text.left(cut));
  const QString secondText = trimmingHorizontalWhitespace(segment.text.mid(cut));
  if (firstText.trimmed().isEmpty() || secondText.trimmed().isEmpty()) return std::nullopt;
  const double splitTime = segment.startTime + ratio * (segment.endTime - segment.startTime);
  const double formerEnd = segment.endTime;

  segment.text = firstText;
  segment.endTime = splitTime;
  const qint64 speakerId = segment.speakerId;
  segments.insert(index + 1, TranscribedSegment(speakerId, splitTime, formerEnd, secondText));
  return index + 1;
}

qint64 TranscriptionResult::characterPositionForCaret(const QString& text, qint64 utf16Caret) {
  return graphemeIndexForUtf16Offset(text, utf16Caret);
}

std::optional<qsizetype> TranscriptionResult::mergeWithPrevious(qsizetype index, const QString& currentText) {
  if (index < 1 || index >= segments.size()) return std::nullopt;

  const QString current = trimmingHorizontalWhitespace(currentText);
  TranscribedSegment& previous = segments[index - 1];
  if (previous.text.isEmpty())
    previous.text = current;
  else if (!current.isEmpty())
    previous.text = previous.text + u' ' + current;
  previous.endTime = segments[index].endTime;
  segments.removeAt(index);
  return index - 1;
}

QString TranscriptionResult::formatDuration(double seconds) {
  const qint64 whole = timeparts::wholeSeconds(seconds);
  const long long hours = whole / 3600;
  const long long minutes = (whole % 3600) / 60;
  const long long secs = whole % 60;
  if (hours == 0) return QString::asprintf("%lld:%02lld", minutes, secs);
  return QString::asprintf("%lld:%02lld:%02lld", hours, minutes, secs);
}

}  // namespace parlowvista
