#include "Models/UuidText.h"
#include "Services/Translation/TranslationError.h"
#include "Services/Translation/TranslationFormat.h"

#include <gtest/gtest.h>

using namespace parlowvista;

namespace {

TranscribedSegment segment(const QString& text) {
  return TranscribedSegment(0, 0.0, 1.0, text);
}

QString firstLine(const QString& prompt) {
  return prompt.section(QLatin1Char('\n'), 0, 0);
}

TranslationError parseError(const QString& reply, const QList<TranscribedSegment>& batch) {
  try {
    parseTranslationJSON(reply, batch, QStringLiteral("fr"));
  } catch (const TranslationError& error) {
    return error;
  }
  ADD_FAILURE() << "expected a TranslationError for " << reply.toStdString();
  return TranslationError::cancelled();
}

}  // namespace

TEST(TranslationPrompt, WholePromptForOneSegment) {
  TranscribedSegment s = segment(QStringLiteral("Hello"));
  const QString id = uuidText(s.id);
  const QString expected = QStringLiteral(
                               "Translate the following transcript segments to French.\n"
                               "\n"
                               "IMPORTANT RULES:\n"
                               "1. Return ONLY a valid JSON array - no markdown, no explanation\n"
                               "2. Preserve the \"id\" field exactly as provided\n"
                               "3. Only translate the \"text\" field content\n"
                               "4. Keep proper nouns, names, and technical terms as appropriate\n"
                               "5. Maintain the original tone and style\n"
                               "\n"
                               "Input:\n"
                               "[{\"id\": \"%1\", \"text\": \"Hello\"}]\n"
                               "\n"
                               "Output (JSON array only):")
                               .arg(id);
  EXPECT_EQ(buildTranslationPrompt({s}, QStringLiteral("fr"), std::nullopt), expected);
  EXPECT_EQ(id, id.toUpper());
}

TEST(TranslationPrompt, FirstLineNamesTheLanguages) {
  struct Case {
    QString target;
    std::optional<QString> source;
    QString line;
  };
  const Case cases[] = {
      {"fr", std::nullopt, "Translate the following transcript segments to French."},
      {"fr", QString("de"), "Translate the following transcript segments from German to French."},
      {"xx", std::nullopt, "Translate the following transcript segments to xx."},
      {"FR", QString("yy"), "Translate the following transcript segments from yy to FR."},
      {"pl", QString(""), "Translate the following transcript segments from  to Polish."},
  };
  for (const Case& c : cases)
    EXPECT_EQ(firstLine(buildTranslationPrompt({}, c.target, c.source)), c.line) << c.target.toStdString();
}

TEST(TranslationPrompt, SegmentLinesAreJoinedAndEscaped) {
  const QList<TranscribedSegment> batch = {segment(QStringLiteral("a\\b \"q\"\nline\rret\ttab")),
                                           segment(QStringLiteral("lit \\n, ff\f nul") + QChar(0) + "é")};
  const QString prompt = buildTranslationPrompt(batch, QStringLiteral("en"), std::nullopt);
  const QString first = QStringLiteral("[{\"id\": \"%1\", \"text\": \"a\\\\b \\\"q\\\"\\nline\\rret\\ttab\"},\n")
                            .arg(uuidText(batch[0].id));
  const QString second = QStringLiteral("{\"id\": \"%1\", \"text\": \"lit \\\\n, ff\f nul").arg(uuidText(batch[1].id)) +
                         QChar(0) + QStringLiteral("é\"}]\n");
  EXPECT_TRUE(prompt.contains(first)) << prompt.toStdString();
  EXPECT_TRUE(prompt.contains(second));
}

TEST(TranslationPrompt, EmptyBatchGivesEmptyArray) {
  EXPECT_TRUE(
      buildTranslationPrompt({}, QStringLiteral("en"), std::nullopt).contains(QStringLiteral("Input:\n[]\n\n")));
}

TEST(TranslationReply, ReadsTheArrayOutOfSurroundingText) {
  const QList<TranscribedSegment> batch = {segment("one"), segment("two")};
  const QString a = uuidText(batch[0].id), b = uuidText(batch[1].id);
  struct Case {
    const char* name;
    QString reply;
    QStringList texts;
  };
  const Case cases[] = {
      {"plain", QString(R"([{"id":"%1","text":"un"},{"id":"%2","text":"deux"}])").arg(a, b), {"un", "deux"}},
      {"fenced", QString("```json\n[{\"id\":\"%1\",\"text\":\"un\"}]\n```").arg(a), {"un"}},
      {"preface", QString("Sure! Here it is:\n[{\"id\":\"%1\",\"text\":\"deux\"}] Done.").arg(b), {"deux"}},
      {"escapes", QString(R"([{"id":"%1","text":"l\u00e9\n\"x\"\\"}])").arg(a), {"lé\n\"x\"\\"}},
      {"reply order", QString(R"([{"id":"%2","text":"2"},{"id":"%1","text":"1"}])").arg(a, b), {"2", "1"}},
      {"lower-case ids", QString(R"([{"id":"%1","text":"un"}])").arg(a.toLower()), {"un"}},
      {"repeated id: first answer wins", QString(R"([{"id":"%1","text":"x"},{"id":"%1","text":"y"}])").arg(a), {"x"}},
      {"repeated id in another case",
       QString(R"([{"id":"%1","text":"x"},{"id":"%2","text":"y"}])").arg(a, a.toLower()),
       {"x"}},
      {"empty text", QString(R"([{"id":"%1","text":""}])").arg(a), {""}},
      {"drops bad elements",
       QString(R"([{"id":"%1","text":null},{"id":"%1"},{"text":"t"},{"id":5,"text":"t"},)"
               R"({"id":"not-a-uuid","text":"t"},{"id":"{%1}","text":"t"},)"
               R"({"id":"00000000-0000-4000-8000-000000000000","text":"t"},{"id":"%2","text":"kept","x":1}])")
           .arg(a, b),
       {"kept"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QList<TranslatedSegment> out = parseTranslationJSON(c.reply, batch, QStringLiteral("fr"));
    QStringList texts;
    for (const TranslatedSegment& t : out) {
      texts << t.translatedText;
      EXPECT_EQ(t.targetLanguage, QStringLiteral("fr"));
      EXPECT_FALSE(t.id.isNull());
      EXPECT_TRUE(t.originalSegmentId == batch[0].id || t.originalSegmentId == batch[1].id);
    }
    EXPECT_EQ(texts, c.texts);
  }
}

TEST(TranslationReply, MatchesIdsByValueWhateverTheirCase) {
  const QList<TranscribedSegment> batch = {segment("one")};
  const auto out = parseTranslationJSON(QString(R"([{"id":"%1","text":"un"}])").arg(uuidText(batch[0].id).toLower()),
                                        batch, QStringLiteral("fr"));
  ASSERT_EQ(out.size(), 1);
  EXPECT_EQ(out[0].originalSegmentId, batch[0].id);
}

TEST(TranslationReply, DuplicateIdsInTheBatchDoNotCrash) {
  TranscribedSegment first = segment("one");
  TranscribedSegment twin(first.id, 1, 2.0, 3.0, QStringLiteral("two"));
  const auto out = parseTranslationJSON(QString(R"([{"id":"%1","text":"un"}])").arg(uuidText(first.id)), {first, twin},
                                        QStringLiteral("fr"));
  ASSERT_EQ(out.size(), 1);
  EXPECT_EQ(out[0].originalSegmentId, first.id);
}

TEST(TranslationReply, SegmentsLeftOutKeepTheirOriginalTextInBatchOrder) {
  TranscribedSegment first = segment("one");
  TranscribedSegment twin(first.id, 1, 2.0, 3.0, QStringLiteral("twin"));
  const QList<TranscribedSegment> batch = {first, segment("two"), segment("three"), twin};
  const QList<TranslatedSegment> answers = {TranslatedSegment{newUuid(), batch[2].id, "trois", "fr"},
                                            TranslatedSegment{newUuid(), batch[0].id, "un", "fr"}};
  const BatchTranslation out = completeBatchTranslation(answers, batch, QStringLiteral("fr"));
  ASSERT_EQ(out.segments.size(), 3);
  EXPECT_EQ(out.segments[0], answers[1]);
  EXPECT_EQ(out.segments[1].originalSegmentId, batch[1].id);
  EXPECT_EQ(out.segments[1].translatedText, QStringLiteral("two"));
  EXPECT_EQ(out.segments[1].targetLanguage, QStringLiteral("fr"));
  EXPECT_FALSE(out.segments[1].id.isNull());
  EXPECT_EQ(out.segments[2], answers[0]);
  EXPECT_EQ(out.untranslated, 1);
  EXPECT_EQ(translationCompleteMessage(0, 3), QStringLiteral("Translation complete"));
  EXPECT_EQ(translationCompleteMessage(1, 3),
            QStringLiteral("Translation complete (1 of 3 segments not translated, original text kept)"));
}

TEST(TranslationReply, FailuresAreInvalidResponses) {
  const QList<TranscribedSegment> batch = {segment("one")};
  const QString id = uuidText(batch[0].id);
  struct Case {
    const char* name;
    QString reply;
    QString message;
  };
  const Case cases[] = {
      {"no brackets", "I cannot translate this.", "No JSON array found in response"},
      {"no closing bracket", "[{\"id\": 1", "No JSON array found in response"},
      {"closing before opening", "oops] and then [{", "No JSON array found in response"},
      {"bracket in preface", QString("Note [1]: here [{\"id\":\"%1\",\"text\":\"un\"}]").arg(id),
       "Failed to parse JSON array"},
      {"bare string element", QString(R"([{"id":"%1","text":"un"}, "x"])").arg(id), "Failed to parse JSON array"},
      {"nested array", "[[1]]", "Failed to parse JSON array"},
      {"not json", "[not json]", "Failed to parse JSON array"},
      {"nothing matched", QString(R"([{"id":"%1","text":"un"}])").arg(uuidText(newUuid())),
       "No translated segment matched the request"},
      {"empty reply for a batch", "[]", "No translated segment matched the request"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TranslationError error = parseError(c.reply, batch);
    EXPECT_EQ(error.kind(), TranslationError::Kind::invalidResponse);
    EXPECT_EQ(error.payload(), c.message);
  }
}

TEST(TranslationReply, EmptyBatchAcceptsEmptyArray) {
  EXPECT_TRUE(parseTranslationJSON(QStringLiteral("[]"), {}, QStringLiteral("fr")).isEmpty());
}
