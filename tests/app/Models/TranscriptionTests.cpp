#include "Models/AudioSource.h"
#include "Models/StoredSegment.h"
#include "Models/Transcription.h"
#include "Store/ModelContext.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <QThread>

using namespace parlowvista;

namespace {

class TranscriptionTest : public testsupport::TempDirTest {
 protected:
  QString storeFile() const { return QString::fromStdString((tempDir / "Parlowvista.store").string()); }

  Transcription* makeVersion() {
    auto* t = new Transcription("Version 1", 2.0, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 10.0);
    context->insert(t);
    return t;
  }

  std::unique_ptr<ModelContext> context = std::make_unique<ModelContext>(storeFile());
};

QList<qint64> speakerIds(const TranscriptionResult& result) {
  QList<qint64> ids;
  for (const auto& segment : result.segments) ids.append(segment.speakerId);
  return ids;
}

}  // namespace

TEST_F(TranscriptionTest, NewVersionStartsUnlinked) {
  Transcription t("V", 1.0, DiarizationPreset::custom, 0.3, 2, 100, 5.0);
  EXPECT_FALSE(t.isTranslation());
  EXPECT_FALSE(t.targetLanguage());
  EXPECT_EQ(t.sourceTranscription(), nullptr);
  EXPECT_EQ(t.audioSource(), nullptr);
  EXPECT_TRUE(t.segments().isEmpty());
  EXPECT_TRUE(t.speakers().isEmpty());
  EXPECT_TRUE(t.translations().isEmpty());
  EXPECT_EQ(t.diarizationPreset(), "Custom");
  EXPECT_EQ(t.modelContext(), nullptr);
}

TEST_F(TranscriptionTest, ToResultOrdersBySortOrderStablyWithFreshIds) {
  Transcription* t = makeVersion();
  struct Row {
    qint64 sortOrder;
    qint64 speaker;
  };
  // Speakers tell the rows apart: two rows share sortOrder 1 and must keep their list order.
  for (Row row : {Row{2, 5}, Row{0, 0}, Row{1, 2}, Row{1, 3}})
    t->appendSegment(new StoredSegment(row.sortOrder, row.speaker, row.sortOrder, row.sortOrder + 1, "x"));
  const TranscriptionResult first = t->toResult();
  EXPECT_EQ(speakerIds(first), QList<qint64>({0, 2, 3, 5}));
  EXPECT_EQ(first.speakerCount(), 4);
  EXPECT_DOUBLE_EQ(first.audioDuration(), 0.0);  // no audio source
  EXPECT_DOUBLE_EQ(first.processingTime(), 2.0);

  const TranscriptionResult second = t->toResult();
  ASSERT_EQ(second.segments.size(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NE(second.segments[i].id, first.segments[i].id);
    EXPECT_EQ(second.segments[i].speakerId, first.segments[i].speakerId);
  }
  EXPECT_NE(first, second);
}

TEST_F(TranscriptionTest, SpeakerCountCountsDistinctIdsAndDurationComesFromTheSource) {
  Transcription* t = makeVersion();
  auto* source = new AudioSource("/a.wav", "a.wav", 42.5);
  t->setAudioSource(source);
  qint64 order = 0;
  for (qint64 speaker : {0, 2, 2, 5}) t->appendSegment(new StoredSegment(order++, speaker, 0, 1, "x"));
  const auto result = t->toResult();
  EXPECT_EQ(result.speakerCount(), 3);
  EXPECT_DOUBLE_EQ(result.audioDuration(), 42.5);
  EXPECT_EQ(makeVersion()->toResult().speakerCount(), 0);
}

TEST_F(TranscriptionTest, UpdateSegmentsRewritesRowsAndSurvivesReopen) {
  Transcription* t = makeVersion();
  for (qint64 order : {7, 3}) t->appendSegment(new StoredSegment(order, 0, 0, 1, "old"));
  context->save();
  const QDateTime before = t->updatedAt();
  QThread::msleep(5);

  TranscriptionResult result({TranscribedSegment(1, 0, 1, "a"), TranscribedSegment(0, 1, 2, "b"),
                              TranscribedSegment(1, 2, 3, QString::fromUtf8("ç"))},
                             9, 9);
  context->updateSegments(t, result);
  EXPECT_GT(t->updatedAt(), before);
  ASSERT_EQ(t->segments().size(), 3);
  for (qint64 i = 0; i < 3; ++i) EXPECT_EQ(t->sortedSegments()[i]->sortOrder(), i);
  const QUuid id = t->id();
  context->save();

  // The store is held by one connection at a time: close it before opening it again.
  context.reset();
  context = std::make_unique<ModelContext>(storeFile());
  Transcription* loaded = context->find<Transcription>(id);
  ASSERT_NE(loaded, nullptr);
  const auto back = loaded->toResult();
  ASSERT_EQ(back.segments.size(), 3);
  EXPECT_EQ(back.segments[2].text, QString::fromUtf8("ç"));
  EXPECT_EQ(speakerIds(back), QList<qint64>({1, 0, 1}));
  EXPECT_EQ(context->fetch<StoredSegment>().size(), 3);  // the old rows are gone

  context->updateSegments(loaded, TranscriptionResult({}, 0, 0));
  context->save();
  context.reset();
  context = std::make_unique<ModelContext>(storeFile());
  EXPECT_TRUE(context->find<Transcription>(id)->segments().isEmpty());
}

TEST_F(TranscriptionTest, RewritingADeletedVersionLeavesLaterSavesWorking) {
  Transcription* t = makeVersion();
  context->save();
  context->remove(t);
  context->updateSegments(t, TranscriptionResult({TranscribedSegment(0, 0, 1, "late")}, 1, 0));
  EXPECT_NO_THROW(context->save());
  EXPECT_TRUE(context->fetch<StoredSegment>().isEmpty());
}

TEST_F(TranscriptionTest, PresetReadsStoredTextExactly) {
  Transcription* t = makeVersion();
  struct Case {
    const char* text;
    DiarizationPreset preset;
  };
  for (Case c :
       {Case{"Fewer Speakers", DiarizationPreset::fewerSpeakers}, Case{"fewer speakers", DiarizationPreset::balanced},
        Case{"", DiarizationPreset::balanced}, Case{"Auto", DiarizationPreset::autoDetect}}) {
    t->setDiarizationPreset(c.text);
    EXPECT_EQ(t->preset(), c.preset) << c.text;
    EXPECT_EQ(t->diarizationPreset(), c.text);  // reading never rewrites the text
  }
  t->setPreset(DiarizationPreset::moreSpeakers);
  EXPECT_EQ(t->diarizationPreset(), "More Speakers");
}

TEST_F(TranscriptionTest, LanguageDisplayName) {
  Transcription* t = makeVersion();
  EXPECT_FALSE(t->languageDisplayName());
  t->setTargetLanguage("uk");
  EXPECT_EQ(t->languageDisplayName(), QString("Ukrainian"));
  t->setTargetLanguage("xq");
  EXPECT_EQ(t->languageDisplayName(), QString("XQ"));
  t->setTargetLanguage("EN");
  EXPECT_EQ(t->languageDisplayName(), QString("EN"));
}

TEST(AudioSourceValues, YouTubeAndBookmarks) {
  AudioSource plain("/a.wav", "a.wav", 1.0);
  EXPECT_FALSE(plain.isYouTubeSource());
  AudioSource empty("/a.wav", "a.wav", 1.0, std::nullopt, QString(""));
  EXPECT_FALSE(empty.isYouTubeSource());
  AudioSource video("/a.wav", "a.wav", 1.0, std::nullopt, QString("dQw4w9WgXcQ"));
  EXPECT_TRUE(video.isYouTubeSource());

  AudioSource kept("/a.wav", "a.wav", 1.0, QByteArray("previous"));
  kept.createBookmark(QUrl::fromLocalFile("/no/such/file.wav"));
  EXPECT_EQ(kept.fileBookmark(), QByteArray("previous"));
}
