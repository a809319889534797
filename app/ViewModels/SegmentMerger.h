#pragma once

#include "Models/TranscribedSegment.h"

#include <voxtrellis/ASRResult.h>
#include <voxtrellis/DiarizationResult.h>

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <stop_token>
#include <vector>

namespace parlowvista {

// The subtitle limits in force when a merge runs: characters are user-perceived characters,
// the duration is seconds. Both are inclusive (a piece may reach them exactly).
struct SubtitleLimits {
  qint64 maxChars = 150;
  double maxDuration = 12.0;
};

// Segments plus the diagnostic lines the activity log shows for the merge.
struct MergeOutcome {
  QList<TranscribedSegment> segments;
  QStringList log;
};

// Joins recognised tokens and speaker turns into subtitle-sized, speaker-labelled segments.
//
// Turn labels are numbered by plain text order (S1, S10, S2 -> 0, 1, 2). Turns are taken in
// start order. Every token lands in exactly one turn: the first turn whose half-open span
// [start, end) holds the token's midpoint, else the nearest turn (a tie goes to the earlier
// one), so no recognised word is lost in a gap between turns nor written twice where turns
// overlap. Without turns the whole text is one speaker (0); without tokens each turn becomes
// an empty segment. Pure; fails only when asked to stop through `stop`, which it sees before
// the next token or turn it places (voxtrellis::WorkStopped).
MergeOutcome mergeResults(const voxtrellis::ASRResult& asrResult, const voxtrellis::DiarizationResult& diarization,
                          double audioDuration, SubtitleLimits limits, std::stop_token stop = {});

// Cuts timed tokens (in order) into pieces under the limits; a token that would break a
// limit starts the next piece, and a piece always holds at least one token. Without tokens,
// a non-empty fallback text with a fallback duration is cut by words instead.
QList<TranscribedSegment> splitIntoSubtitles(const std::vector<const voxtrellis::TokenTiming*>& tokens,
                                             qint64 speakerId, const std::optional<QString>& fallbackText,
                                             std::optional<double> fallbackDuration, qint64 maxChars,
                                             double maxDuration);

// Cuts plain text at spaces into pieces of at most `maxChars` characters (a longer word
// stands alone), timed by character share of [startTime, endTime]; the last piece ends
// exactly at `endTime`.
QList<TranscribedSegment> splitTextIntoSubtitles(const QString& text, qint64 speakerId, double startTime,
                                                 double endTime, qint64 maxChars);

}  // namespace parlowvista
