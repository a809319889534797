#pragma once

#include "Models/TranscribedSegment.h"

#include <QList>
#include <optional>

namespace parlowvista {

// One version's transcript in memory. A plain value: the view model edits a copy and
// publishes it again.
class TranscriptionResult {
 public:
  // In time order as produced; editing keeps the order.
  QList<TranscribedSegment> segments;

  TranscriptionResult() = default;
  TranscriptionResult(QList<TranscribedSegment> segments, double audioDuration, double processingTime);

  double audioDuration() const { return m_audioDuration; }
  double processingTime() const { return m_processingTime; }
  // The number of distinct speaker ids among the segments as they are now. Counted on every
  // call, never kept: a figure kept from when the result was made went stale with each split,
  // merge and reassignment, and the screen then disagreed with the files exported from it.
  // Every place that states how many speakers a transcript has reads it here.
  qint64 speakerCount() const;

  bool operator==(const TranscriptionResult& other) const = default;

  // Splits the segment at `index` after `cursorPosition` user-perceived characters.
  // Returns the index of the new second half, or nothing (and changes nothing) when the
  // index is outside the list or either half would hold no text but white space: a caret
  // at the start or the end, or beside nothing but blanks, makes no empty segment.
  std::optional<qsizetype> splitSegment(qsizetype index, qint64 cursorPosition);

  // The text editor reports its caret in UTF-16 code units; this is the character
  // position `splitSegment` expects for that caret (clamped to the text).
  static qint64 characterPositionForCaret(const QString& text, qint64 utf16Caret);

  // Merges the segment at `index` into the previous one, taking `currentText` (the
  // editor's text of the segment at `index`). Returns index - 1, or nothing when `index`
  // is below 1 or outside the list.
  std::optional<qsizetype> mergeWithPrevious(qsizetype index, const QString& currentText);

  // "%d:%02d" (minutes, seconds) below an hour, else "%d:%02d:%02d"; seconds truncated.
  static QString formatDuration(double seconds);

 private:
  double m_audioDuration = 0;
  double m_processingTime = 0;
};

}  // namespace parlowvista
