#include "Models/TranscriptionResult.h"

#include <gtest/gtest.h>

using namespace parlowvista;

namespace {

TranscriptionResult oneSegment(const QString& text, double start = 10.0, double end = 20.0, qint64 speaker = 3) {
  return TranscriptionResult({TranscribedSegment(speaker, start, end, text)}, 30.0, 1.0);
}

}  // namespace

TEST(TranscriptionResultSplit, SplitsByCharacterRatio) {
  auto result = oneSegment("Hello world");
  const QUuid firstId = result.segments[0].id;
  auto index = result.splitSegment(0, 5);
  ASSERT_EQ(index, 1);
  ASSERT_EQ(result.segments.size(), 2);
  EXPECT_EQ(result.segments[0].id, firstId);
  EXPECT_EQ(result.segments[0].text, "Hello");
  EXPECT_DOUBLE_EQ(result.segments[0].startTime, 10.0);
  EXPECT_NEAR(result.segments[0].endTime, 10.0 + 10.0 * 5 / 11, 1e-12);
  EXPECT_EQ(result.segments[1].text, "world");
  EXPECT_NE(result.segments[1].id, firstId);
  EXPECT_EQ(result.segments[1].speakerId, 3);
  EXPECT_DOUBLE_EQ(result.segments[1].startTime, result.segments[0].endTime);
  EXPECT_DOUBLE_EQ(result.segments[1].endTime, 20.0);
}

// Return at the start or the end of a segment's text used to add an empty segment (exported as
// an empty subtitle cue); a half of blanks only is just as empty.
TEST(TranscriptionResultSplit, RefusesWithoutChangeWhereAHalfWouldBeEmpty) {
  struct Case {
    const char* text;
    qsizetype index;
    qint64 position;
  };
  for (const Case c :
       {Case{"Hello world", 0, 0}, Case{"Hello world", 0, -4}, Case{"Hello world", 1, 3}, Case{"Hello world", -1, 3},
        Case{"Hello world", 0, 11}, Case{"Hello world", 0, 12}, Case{"Hello world", 0, 500}, Case{"", 0, 1},
        Case{"  Hello", 0, 2}, Case{"Hello \t ", 0, 6}, Case{"Hello\n", 0, 5}}) {
    auto result = oneSegment(QString::fromUtf8(c.text));
    const auto before = result;
    EXPECT_FALSE(result.splitSegment(c.index, c.position).has_value()) << c.text << " " << c.index << "/" << c.position;
    EXPECT_EQ(result, before);
  }
}

TEST(TranscriptionResultSplit, CountsUserPerceivedCharacters) {
  // "e" + combining acute, a thumbs-up with a skin-tone modifier, then "x": three characters.
  const QString text = QString::fromUtf8("e\u0301\U0001F44D\U0001F3FDx");
  auto result = oneSegment(text, 0.0, 3.0);
  ASSERT_EQ(result.splitSegment(0, 2), 1);
  EXPECT_EQ(result.segments[0].text, QString::fromUtf8("e\u0301\U0001F44D\U0001F3FD"));
  EXPECT_EQ(result.segments[1].text, "x");
  EXPECT_DOUBLE_EQ(result.segments[0].endTime, 2.0);
}

TEST(TranscriptionResultSplit, EditorCaretConvertsToCharacterPosition) {
  const QString text = QString::fromUtf8("a\U0001F44D\U0001F3FDb");  // UTF-16 length 6, 3 characters
  EXPECT_EQ(TranscriptionResult::characterPositionForCaret(text, 0), 0);
  EXPECT_EQ(TranscriptionResult::characterPositionForCaret(text, 1), 1);
  EXPECT_EQ(TranscriptionResult::characterPositionForCaret(text, 3), 1);  // inside the emoji
  EXPECT_EQ(TranscriptionResult::characterPositionForCaret(text, 5), 2);
  EXPECT_EQ(TranscriptionResult::characterPositionForCaret(text, 6), 3);
  EXPECT_EQ(TranscriptionResult::characterPositionForCaret(text, 60), 3);
}

TEST(TranscriptionResultSplit, TrimsSpacesAndTabsButKeepsLineBreaks) {
  auto result = oneSegment(QString::fromUtf8("one \t\u00A0two\n"));
  ASSERT_EQ(result.splitSegment(0, 4), 1);
  EXPECT_EQ(result.segments[0].text, "one");
  EXPECT_EQ(result.segments[1].text, "two\n");
}

TEST(TranscriptionResultMerge, MergeRules) {
  struct Case {
    QString previous;
    QString current;
    QString merged;
  };
  const Case cases[] = {
      {"Some", "  more words ", "Some more words"},
      {"Some", "  \t ", "Some"},
      {"", " next ", "next"},
      {"Some ", "x", "Some  x"},  // the previous text is not trimmed
  };
  for (const auto& c : cases) {
    TranscriptionResult result({TranscribedSegment(0, 0, 1, c.previous), TranscribedSegment(1, 1, 2.5, "stored")}, 3,
                               0);
    const QUuid keptId = result.segments[0].id;
    ASSERT_EQ(result.mergeWithPrevious(1, c.current), 0);
    ASSERT_EQ(result.segments.size(), 1);
    EXPECT_EQ(result.segments[0].text, c.merged);
    EXPECT_EQ(result.segments[0].id, keptId);
    EXPECT_EQ(result.segments[0].speakerId, 0);
    EXPECT_DOUBLE_EQ(result.segments[0].endTime, 2.5);
  }
}

TEST(TranscriptionResultMerge, RefusesFirstAndOutOfRange) {
  TranscriptionResult result({TranscribedSegment(0, 0, 1, "a"), TranscribedSegment(1, 1, 2, "b")}, 3, 0);
  EXPECT_FALSE(result.mergeWithPrevious(0, "x"));
  EXPECT_FALSE(result.mergeWithPrevious(2, "x"));
  EXPECT_EQ(result.segments.size(), 2);
}

// The count kept from when the result was made stayed 2 after the merge took speaker 1's last
// segment, while the export wrote 1.
TEST(TranscriptionResultMerge, TheSpeakerCountIsThatOfTheSegmentsAsTheyAreNow) {
  TranscriptionResult result({TranscribedSegment(0, 0, 1, "a"), TranscribedSegment(1, 1, 2, "b c")}, 3, 0);
  EXPECT_EQ(result.speakerCount(), 2);
  result.mergeWithPrevious(1, "b c");
  EXPECT_EQ(result.speakerCount(), 1);
  ASSERT_EQ(result.splitSegment(0, 2), 1);
  EXPECT_EQ(result.speakerCount(), 1);
  result.segments[1].speakerId = 7;
  EXPECT_EQ(result.speakerCount(), 2);
  result.segments[1].speakerId = 0;
  EXPECT_EQ(result.speakerCount(), 1);
}

TEST(TranscriptionResult, EqualityIncludesSegmentIds) {
  TranscriptionResult a({TranscribedSegment(0, 0, 1, "a")}, 3, 0);
  TranscriptionResult b({TranscribedSegment(0, 0, 1, "a")}, 3, 0);
  EXPECT_NE(a, b);
  TranscriptionResult c({a.segments[0]}, 3, 0);
  EXPECT_EQ(a, c);
  EXPECT_EQ(TranscriptionResult().speakerCount(), 0);
}

TEST(TimeTexts, Formats) {
  struct Case {
    double seconds;
    const char* duration;
    const char* timestamp;
    const char* srt;
  };
  const Case cases[] = {
      {0, "0:00", "00:00.000", "00:00:00,000"},          {5.5, "0:05", "00:05.500", "00:00:05,500"},
      {59.9, "0:59", "00:59.899", "00:00:59,899"},       {754, "12:34", "12:34.000", "00:12:34,000"},
      {1.9996, "0:01", "00:01.999", "00:00:01,999"},     {3599.99, "59:59", "59:59.989", "00:59:59,989"},
      {3600, "1:00:00", "60:00.000", "01:00:00,000"},    {3725, "1:02:05", "62:05.000", "01:02:05,000"},
      {3725.25, "1:02:05", "62:05.250", "01:02:05,250"}, {3725.042, "1:02:05", "62:05.041", "01:02:05,041"},
      {4530.25, "1:15:30", "75:30.250", "01:15:30,250"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TranscriptionResult::formatDuration(c.seconds), c.duration) << c.seconds;
    EXPECT_EQ(TranscribedSegment::formatTimestamp(c.seconds), c.timestamp) << c.seconds;
    EXPECT_EQ(TranscribedSegment::formatTimestampSRT(c.seconds), c.srt) << c.seconds;
  }
}
