#include "ViewModels/SegmentMerger.h"

#include <voxtrellis/WorkStopped.h>

#include <gtest/gtest.h>

using namespace parlowvista;

namespace {

voxtrellis::TokenTiming token(const std::string& text, double start, double end) {
  voxtrellis::TokenTiming t;
  t.token = text;
  t.startTime = start;
  t.endTime = end;
  return t;
}

voxtrellis::ASRResult asr(std::vector<voxtrellis::TokenTiming> tokens, std::string text = "") {
  voxtrellis::ASRResult r;
  r.text = std::move(text);
  if (!tokens.empty()) r.tokenTimings = std::move(tokens);
  return r;
}

voxtrellis::DiarizationResult turns(std::vector<std::tuple<std::string, float, float>> list) {
  voxtrellis::DiarizationResult d;
  for (const auto& [label, start, end] : list) d.segments.emplace_back(label, std::vector<float>{}, start, end, 1.0f);
  return d;
}

struct Piece {
  qint64 speaker;
  double start;
  double end;
  QString text;
  bool operator==(const Piece&) const = default;
};

std::vector<Piece> pieces(const QList<TranscribedSegment>& segments) {
  std::vector<Piece> out;
  for (const auto& s : segments) out.push_back({s.speakerId, s.startTime, s.endTime, s.text});
  return out;
}

void PrintTo(const Piece& p, std::ostream* os) {
  *os << "{" << p.speaker << ", " << p.start << ", " << p.end << ", \"" << p.text.toStdString() << "\"}";
}

const SubtitleLimits kWide{150, 12.0};

TEST(SegmentMergerTest, WordsLandInExactlyOneTurnEvenInGapsAndOverlaps) {
  struct Case {
    const char* name;
    std::vector<std::tuple<std::string, float, float>> turns;
    std::vector<voxtrellis::TokenTiming> tokens;
    std::vector<Piece> expected;
  };
  const std::vector<Case> cases = {
      {"labels numbered by text order",
       {{"S2", 0, 1}, {"S10", 1, 2}, {"S1", 2, 3}},
       {token(" a", 0.1, 0.2), token(" b", 1.1, 1.2), token(" c", 2.1, 2.2)},
       {{2, 0.1, 0.2, "a"}, {1, 1.1, 1.2, "b"}, {0, 2.1, 2.2, "c"}}},
      {"a midpoint on a turn's end belongs to the next turn",
       {{"S1", 0, 1}, {"S2", 1, 2}},
       {token(" a", 0.9, 1.1)},
       {{1, 0.9, 1.1, "a"}}},
      {"a word in a gap goes to the nearest turn",
       {{"S1", 0, 1}, {"S2", 3, 4}},
       {token(" a", 0.2, 0.4), token(" gap", 2.6, 2.8), token(" b", 3.2, 3.4)},
       {{0, 0.2, 0.4, "a"}, {1, 2.6, 3.4, "gap b"}}},
      {"a tie in a gap goes to the earlier turn",
       {{"S1", 0, 1}, {"S2", 3, 4}},
       {token(" mid", 1.9, 2.1)},
       {{0, 1.9, 2.1, "mid"}}},
      {"words before and after every turn",
       {{"S1", 1, 2}, {"S2", 2, 3}},
       {token(" early", 0.0, 0.2), token(" late", 5.0, 5.2)},
       {{0, 0.0, 0.2, "early"}, {1, 5.0, 5.2, "late"}}},
      {"overlapping turns write a word once, in the first turn holding it",
       {{"S1", 0, 2}, {"S2", 1, 3}},
       {token(" both", 1.4, 1.6), token(" two", 2.4, 2.6)},
       {{0, 1.4, 1.6, "both"}, {1, 2.4, 2.6, "two"}}},
      {"turns are taken in start order",
       {{"S2", 2, 3}, {"S1", 0, 2}},
       {token(" a", 0.1, 0.2), token(" b", 2.1, 2.2)},
       {{0, 0.1, 0.2, "a"}, {1, 2.1, 2.2, "b"}}},
      {"turns without tokens give empty segments", {{"S1", 0, 1}, {"S2", 1, 2}}, {}, {{0, 0, 1, ""}, {1, 1, 2, ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto outcome = mergeResults(asr(c.tokens), turns(c.turns), 10.0, kWide);
    EXPECT_EQ(pieces(outcome.segments), c.expected);
  }
  // A merge asked to stop (the application ending) places no more words.
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(mergeResults(asr(cases[0].tokens), turns(cases[0].turns), 10.0, kWide, stop.get_token()),
               voxtrellis::WorkStopped);
}

TEST(SegmentMergerTest, LimitsCutBeforeTheTokenThatWouldBreakThem) {
  const auto words = [](std::vector<voxtrellis::TokenTiming> t) {
    std::vector<const voxtrellis::TokenTiming*> p;
    static std::vector<std::vector<voxtrellis::TokenTiming>> keep;
    keep.push_back(std::move(t));
    for (const auto& x : keep.back()) p.push_back(&x);
    return p;
  };
  // Hello world is 11 characters: over a limit of 10.
  EXPECT_EQ(
      pieces(splitIntoSubtitles(words({token(" Hello", 0.0, 0.4), token(" world", 0.4, 0.8)}), 3, {}, {}, 10, 12.0)),
      (std::vector<Piece>{{3, 0.0, 0.4, "Hello"}, {3, 0.4, 0.8, "world"}}));
  // Exactly 12 s stays; past it starts a new piece.
  EXPECT_EQ(pieces(splitIntoSubtitles(words({token(" a", 0.0, 1.0), token(" b", 11.0, 12.0), token(" c", 12.0, 12.5)}),
                                      0, {}, {}, 150, 12.0)),
            (std::vector<Piece>{{0, 0.0, 12.0, "a b"}, {0, 12.0, 12.5, "c"}}));
  // A token longer than the limit stands alone; pieces of white space only are dropped.
  EXPECT_EQ(pieces(splitIntoSubtitles(words({token(" ", 0, 1), token(" enormous", 1, 2), token(" x", 2, 3)}), 0, {}, {},
                                      4, 12.0)),
            (std::vector<Piece>{{0, 1, 2, "enormous"}, {0, 2, 3, "x"}}));
  // Characters are user-perceived characters, not bytes or UTF-16 units.
  EXPECT_EQ(splitIntoSubtitles(words({token(" 👍🏽👍🏽", 0, 1), token("é", 1, 2)}), 0, {}, {}, 3, 12.0).size(),
            1);
}

TEST(SegmentMergerTest, TextWithoutTimingsIsCutByWordsAndTimedByCharacterShare) {
  // 11 characters over 0...11 s: one second per character.
  const auto segments = splitTextIntoSubtitles("ab cd efghi", 2, 0.0, 11.0, 5);
  EXPECT_EQ(pieces(segments), (std::vector<Piece>{{2, 0.0, 5.0, "ab cd"}, {2, 5.0, 11.0, "efghi"}}));
  // A word longer than the limit is a segment of its own; the last piece ends exactly at the end.
  EXPECT_EQ(pieces(splitTextIntoSubtitles("a enormous b", 0, 0.0, 6.0, 3)),
            (std::vector<Piece>{{0, 0.0, 0.5, "a"}, {0, 0.5, 4.5, "enormous"}, {0, 4.5, 6.0, "b"}}));
  EXPECT_TRUE(splitTextIntoSubtitles("   ", 0, 0, 1, 10).isEmpty());

  // No turns and no tokens: the recognised text over 0...duration as speaker 0.
  const auto outcome = mergeResults(asr({}, "ab cd efghi"), turns({}), 22.0, {5, 12.0});
  EXPECT_EQ(pieces(outcome.segments), (std::vector<Piece>{{0, 0.0, 10.0, "ab cd"}, {0, 10.0, 22.0, "efghi"}}));
}

TEST(SegmentMergerTest, LogsTheMappingAndAtMostFiveTurns) {
  std::vector<std::tuple<std::string, float, float>> many;
  for (int i = 0; i < 7; ++i) many.emplace_back(i % 2 ? "S2" : "S1", float(i), float(i + 1));
  const auto outcome = mergeResults(asr({}), turns(many), 7.0, kWide);
  EXPECT_EQ(outcome.log.value(0), "Diarization returned 7 segments");
  EXPECT_EQ(outcome.log.value(1), "Unique speakers: [\"S1\", \"S2\"]");
  EXPECT_EQ(outcome.log.value(2), "Speaker mapping: [\"S1\": 0, \"S2\": 1]");
  EXPECT_EQ(outcome.log.value(3), "  Seg[0]: S1 → 0 [0.0-1.0s]");
  EXPECT_EQ(outcome.log.filter("  Seg[").size(), 5);
  EXPECT_EQ(outcome.log.last(), "  ... and 2 more segments");

  const auto empty = mergeResults(asr({}), turns({}), 0.0, kWide);
  EXPECT_EQ(empty.log.value(1), "Unique speakers: []");
  EXPECT_EQ(empty.log.value(2), "Speaker mapping: [:]");
  EXPECT_TRUE(empty.segments.isEmpty());
}

}  // namespace
