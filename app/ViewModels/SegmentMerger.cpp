#include "ViewModels/SegmentMerger.h"

#include "Models/TextGraphemes.h"
#include "ViewModels/LogFormat.h"

#include <voxtrellis/WorkStopped.h>

#include <algorithm>
#include <map>
#include <numeric>

namespace parlowvista {

namespace {

struct Turn {
  qint64 speakerId = 0;
  double start = 0;
  double end = 0;
};

// Index of the turn a token with midpoint `m` belongs to. `turns` are sorted by start.
std::size_t turnFor(const std::vector<Turn>& turns, double m) {
  for (std::size_t i = 0; i < turns.size() && turns[i].start <= m; ++i) {
    if (m < turns[i].end) return i;
  }
  std::size_t best = 0;
  double bestDistance = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < turns.size(); ++i) {
    const double distance = m < turns[i].start ? turns[i].start - m : m - turns[i].end;
    if (distance < bestDistance) {
      bestDistance = distance;
      best = i;
    }
  }
  return best;
}

QString quoted(const std::string& label) {
  return "\"" + QString::fromStdString(label) + "\"";
}

}  // namespace

MergeOutcome mergeResults(const voxtrellis::ASRResult& asrResult, const voxtrellis::DiarizationResult& diarization,
                          double audioDuration, SubtitleLimits limits, std::stop_token stop) {
  MergeOutcome outcome;
  const auto& turnsIn = diarization.segments;
  outcome.log << QString("Diarization returned %1 segments").arg(turnsIn.size());

  std::map<std::string, qint64> ids;  // sorted by plain text comparison
  for (const auto& turn : turnsIn) ids.emplace(turn.speakerId, 0);
  qint64 next = 0;
  for (auto& [label, id] : ids) id = next++;
  QStringList labels;
  QStringList mapping;
  for (const auto& [label, id] : ids) {
    labels << quoted(label);
    mapping << QString("%1: %2").arg(quoted(label)).arg(id);
  }
  outcome.log << "Unique speakers: [" + labels.join(", ") + "]";
  outcome.log << "Speaker mapping: [" + (mapping.isEmpty() ? QString(":") : mapping.join(", ")) + "]";
  for (std::size_t i = 0; i < std::min<std::size_t>(5, turnsIn.size()); ++i) {
    const auto& turn = turnsIn[i];
    outcome.log << QString("  Seg[%1]: %2 → %3 [%4-%5s]")
                       .arg(i)
                       .arg(QString::fromStdString(turn.speakerId))
                       .arg(ids[turn.speakerId])
                       .arg(formatFixed1(turn.startTimeSeconds))
                       .arg(formatFixed1(turn.endTimeSeconds));
  }
  if (turnsIn.size() > 5) outcome.log << QString("  ... and %1 more segments").arg(turnsIn.size() - 5);

  const std::vector<voxtrellis::TokenTiming> noTokens;
  const auto& tokens = asrResult.tokenTimings ? *asrResult.tokenTimings : noTokens;
  std::vector<const voxtrellis::TokenTiming*> allTokens;
  allTokens.reserve(tokens.size());
  for (const auto& token : tokens) allTokens.push_back(&token);
  const auto wholeText = [&] {
    return splitIntoSubtitles(allTokens, 0, QString::fromStdString(asrResult.text), audioDuration, limits.maxChars,
                              limits.maxDuration);
  };

  if (turnsIn.empty()) {
    outcome.segments = wholeText();
    return outcome;
  }

  std::vector<Turn> turns;
  turns.reserve(turnsIn.size());
  for (const auto& turn : turnsIn) {
    turns.push_back(
        {ids[turn.speakerId], static_cast<double>(turn.startTimeSeconds), static_cast<double>(turn.endTimeSeconds)});
  }
  std::stable_sort(turns.begin(), turns.end(), [](const Turn& a, const Turn& b) { return a.start < b.start; });

  if (tokens.empty()) {
    for (const auto& turn : turns)
      outcome.segments.append(TranscribedSegment(turn.speakerId, turn.start, turn.end, {}));
    return outcome;
  }

  std::vector<std::vector<const voxtrellis::TokenTiming*>> perTurn(turns.size());
  const auto stopIfAsked = [&stop] {
    if (stop.stop_requested()) throw voxtrellis::WorkStopped("The merge");
  };
  for (const auto* token : allTokens) {
    stopIfAsked();
    const double midpoint = (token->startTime + token->endTime) * 0.5;
    perTurn[turnFor(turns, midpoint)].push_back(token);
  }
  for (std::size_t i = 0; i < turns.size(); ++i) {
    stopIfAsked();
    if (perTurn[i].empty()) continue;
    outcome.segments.append(splitIntoSubtitles(perTurn[i], turns[i].speakerId, std::nullopt, std::nullopt,
                                               limits.maxChars, limits.maxDuration));
  }
  if (outcome.segments.isEmpty()) outcome.segments = wholeText();
  return outcome;
}

QList<TranscribedSegment> splitIntoSubtitles(const std::vector<const voxtrellis::TokenTiming*>& tokens,
                                             qint64 speakerId, const std::optional<QString>& fallbackText,
                                             std::optional<double> fallbackDuration, qint64 maxChars,
                                             double maxDuration) {
  QList<TranscribedSegment> segments;
  if (tokens.empty()) {
    if (fallbackText && !fallbackText->isEmpty() && fallbackDuration) {
      return splitTextIntoSubtitles(*fallbackText, speakerId, 0, *fallbackDuration, maxChars);
    }
    return segments;
  }
  std::vector<const voxtrellis::TokenTiming*> group;
  QString running;
  const auto close = [&] {
    const QString text = trimmingHorizontalWhitespace(running);
    if (!text.isEmpty()) {
      segments.append(TranscribedSegment(speakerId, group.front()->startTime, group.back()->endTime, text));
    }
    group.clear();
    running.clear();
  };
  for (const auto* token : tokens) {
    const QString piece = QString::fromStdString(token->token);
    if (!group.empty()) {
      const qsizetype n = graphemeCount(trimmingHorizontalWhitespace(running + piece));
      if (n > maxChars || token->endTime - group.front()->startTime > maxDuration) close();
    }
    group.push_back(token);
    running += piece;
  }
  if (!group.empty()) close();
  return segments;
}

QList<TranscribedSegment> splitTextIntoSubtitles(const QString& text, qint64 speakerId, double startTime,
                                                 double endTime, qint64 maxChars) {
  QList<TranscribedSegment> segments;
  const QStringList words = text.split(QChar(' '), Qt::SkipEmptyParts);
  if (words.isEmpty()) return segments;
  const double perChar = (endTime - startTime) / static_cast<double>(graphemeCount(text));
  QStringList current;
  qint64 length = 0;
  double t = startTime;
  for (const QString& word : words) {
    const qint64 wordLength = graphemeCount(word);
    if (!current.isEmpty() && length + 1 + wordLength > maxChars) {
      const QString piece = current.join(' ');
      const double end = t + perChar * static_cast<double>(graphemeCount(piece));
      segments.append(TranscribedSegment(speakerId, t, end, piece));
      t = end;
      current.clear();
      length = 0;
    }
    length += wordLength + (length != 0 ? 1 : 0);
    current.append(word);
  }
  if (!current.isEmpty()) segments.append(TranscribedSegment(speakerId, t, endTime, current.join(' ')));
  return segments;
}

}  // namespace parlowvista
