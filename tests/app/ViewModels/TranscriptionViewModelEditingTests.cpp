// Editing, versions, autosave and export of the view model, over a real store file.

#include "Models/StoredSegment.h"
#include "Models/StoredSpeaker.h"
#include "Models/Transcription.h"
#include "Services/AudioPlayerService.h"
#include "Store/Statement.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/ChildTestRun.h"
#include "support/Namespaces.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <pwd.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>

using namespace pipelinetest;

namespace {

// Three segments: speaker 0 "one two" [0, 1), speaker 1 "three" [1, 2), speaker 0 "four" [2, 3).
class TranscriptionEditingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = std::make_shared<FakeEngine>();
    engine->recognize = [](std::span<const float>) {
      voxtrellis::ASRResult r;
      std::vector<voxtrellis::TokenTiming> tokens;
      for (auto [text, start] :
           std::vector<std::pair<const char*, double>>{{" one", 0.1}, {" two", 0.4}, {" three", 1.2}, {" four", 2.2}}) {
        voxtrellis::TokenTiming t;
        t.token = text;
        t.startTime = start;
        t.endTime = start + 0.2;
        tokens.push_back(t);
      }
      r.tokenTimings = tokens;
      return r;
    };
    engine->diarize = [](std::span<const float>) {
      voxtrellis::DiarizationResult d;
      d.segments.emplace_back("S1", std::vector<float>{}, 0.0f, 1.0f, 1.0f);
      d.segments.emplace_back("S2", std::vector<float>{}, 1.0f, 2.0f, 1.0f);
      d.segments.emplace_back("S1", std::vector<float>{}, 2.0f, 3.0f, 1.0f);
      return d;
    };
    h = std::make_unique<Harness>(engine);
    ASSERT_TRUE(h->startModels());
    audio = h->path("talk.wav");
    writeFloatWav(audio.toStdString(), std::vector<float>(3 * kRate, 0.1f));
    process(audio);
  }

  void process(const QString& path) {
    h->vm->processFile(QUrl::fromLocalFile(path));
    ASSERT_TRUE(h->settle());
    ASSERT_EQ(h->vm->state().kind(), ProcessingState::Kind::completed);
  }

  QStringList texts() const {
    QStringList out;
    for (const auto& s : h->vm->state().result()->segments) out << s.text;
    return out;
  }
  // A stored translation of `version`: every segment reads `text`, speaker 0 is "Anna".
  Transcription* translate(Transcription* version, const QString& code, const QString& text) {
    Transcription* translation = storeTranslation(*h->context, version, code, text);
    h->context->updateSpeakers(translation, {Speaker(0, QString("Anna"))});
    h->context->save();
    return translation;
  }
  QStringList storedTexts(Transcription* t) const {
    QStringList out;
    for (const StoredSegment* s : t->sortedSegments()) out << s->text();
    return out;
  }
  // The result with a first segment far longer than the 16 KiB the export tests leave room for.
  TranscriptionResult largeResult() const {
    TranscriptionResult large = *h->vm->state().result();
    large.segments[0].text = QString(64 * 1024, 'x');
    return large;
  }
  static QStringList filesIn(const std::string& folder) {
    return QDir(QString::fromStdString(folder)).entryList(QDir::Files | QDir::Hidden);
  }
  std::shared_ptr<FakeEngine> engine;
  std::unique_ptr<Harness> h;
  QString audio;
};

TEST_F(TranscriptionEditingTest, SplitAndMergeKeepTheEditorsTextAndReportRefusals) {
  ASSERT_EQ(texts(), (QStringList{"one two", "three", "four"}));
  EXPECT_EQ(h->vm->splitSegment(0, "uno two", 0), std::nullopt);
  EXPECT_TRUE(h->logged("Split returned nil"));
  EXPECT_EQ(texts().first(), "uno two");
  EXPECT_TRUE(h->vm->hasUnsavedChanges());  // the typed text is kept, so it is saved too
  h->vm->saveCurrentTranscription();
  EXPECT_EQ(h->vm->splitSegment(3, "x", 1), std::nullopt);
  EXPECT_TRUE(h->logged("Split failed: index 3 out of bounds"));

  EXPECT_EQ(h->vm->splitSegment(0, "uno two", 3), 1);
  EXPECT_EQ(texts(), (QStringList{"uno", "two", "three", "four"}));
  EXPECT_TRUE(h->vm->hasUnsavedChanges());
  EXPECT_TRUE(h->logged("Split success: new segment at index 1, total: 4"));

  // The first segment merges into nothing, and keeps what was typed into it, as a split does.
  h->vm->saveCurrentTranscription();
  EXPECT_EQ(h->vm->mergeWithPrevious(0, "uno"), std::nullopt);
  EXPECT_TRUE(h->logged("Merge failed: cannot merge first segment"));
  EXPECT_FALSE(h->vm->hasUnsavedChanges());
  EXPECT_EQ(h->vm->mergeWithPrevious(0, "UNO"), std::nullopt);
  EXPECT_EQ(texts(), (QStringList{"UNO", "two", "three", "four"}));
  EXPECT_TRUE(h->vm->hasUnsavedChanges());
  EXPECT_EQ(h->vm->mergeWithPrevious(4, "x"), std::nullopt);
  EXPECT_TRUE(h->logged("Merge returned nil"));
  EXPECT_EQ(h->vm->mergeWithPrevious(1, "dos"), 0);
  EXPECT_EQ(texts(), (QStringList{"UNO dos", "three", "four"}));
}

TEST_F(TranscriptionEditingTest, SpeakersAreRenamedAddedAndReassigned) {
  h->vm->renameSpeaker(1, "   ");
  EXPECT_TRUE(h->logged("Renamed speaker 1 to: Speaker 2"));
  h->vm->renameSpeaker(7, "Ann");
  EXPECT_TRUE(h->logged("Speaker 7 not found in speakers: [0, 1]"));
  h->vm->renameSpeaker(0, " Ann ");
  EXPECT_EQ(h->vm->speakers()[0].customName, "Ann");

  EXPECT_EQ(h->vm->addNewSpeaker().value().speakerId, 2);
  EXPECT_TRUE(h->logged("Added new speaker: Speaker 3"));

  h->vm->reassignSegment(1, 9, false);
  EXPECT_EQ(h->vm->state().result()->segments[1].speakerId, 9);
  QList<qint64> ids;
  for (const auto& s : h->vm->speakers()) ids << s.speakerId;
  EXPECT_EQ(ids, (QList<qint64>{0, 1, 2, 9}));

  h->vm->reassignSegment(2, 1, true);  // every segment of speaker 0, before the index too
  EXPECT_EQ(h->vm->state().result()->segments[0].speakerId, 1);
  EXPECT_EQ(h->vm->state().result()->segments[2].speakerId, 1);
  EXPECT_TRUE(h->logged("Reassigned all segments from speaker 0 to 1"));
  EXPECT_EQ(h->vm->speakers().size(), 4);  // speaker 0 stays listed
  const auto stats = h->vm->speakerStats(1);
  EXPECT_EQ(stats.segmentCount, 2);
  EXPECT_NEAR(stats.totalDuration, 0.5 + 0.2, 1e-9);
}

// The result states as many speakers as its segments have after each edit, the figure the export
// writes. The count made with the result stayed as it was: the screen said 2 where the file said 3.
TEST_F(TranscriptionEditingTest, TheSpeakerCountFollowsEveryEditAndIsTheOneTheExportWrites) {
  QDir().mkpath(h->path("out"));
  const auto counted = [&] {
    const TranscriptionResult result = *h->vm->state().result();
    h->vm->performExportAll(result, h->path("out"));
    const auto json = nlohmann::json::parse(testsupport::readFile(h->path("out/talk.json").toStdString()));
    EXPECT_EQ(json.at("metadata").at("speakerCount"), result.speakerCount());
    const std::string text = testsupport::readFile(h->path("out/talk.txt").toStdString());
    EXPECT_NE(text.find("\nSpeakers: " + std::to_string(result.speakerCount()) + "\n"), std::string::npos) << text;
    return result.speakerCount();
  };
  ASSERT_EQ(counted(), 2);
  const auto added = h->vm->addNewSpeaker();
  ASSERT_TRUE(added);
  h->vm->reassignSegment(0, added->speakerId, false);  // speakers 2, 1, 0
  EXPECT_EQ(counted(), 3);
  h->vm->reassignSegment(0, 0, false);  // undone: 0, 1, 0
  EXPECT_EQ(counted(), 2);
  ASSERT_EQ(h->vm->mergeWithPrevious(1, "three"), 0);  // speaker 1's only segment goes: 0, 0
  EXPECT_EQ(counted(), 1);
  ASSERT_EQ(h->vm->splitSegment(0, "one two three", 3), 1);  // 0, 0, 0
  EXPECT_EQ(counted(), 1);
  h->vm->reassignSegment(2, 1, false);  // 0, 0, 1
  EXPECT_EQ(counted(), 2);
  h->vm->reassignSegment(0, 1, true);  // every segment of speaker 0: 1, 1, 1
  EXPECT_EQ(counted(), 1);
}

TEST_F(TranscriptionEditingTest, SavesReachTheStoreAndOnlySpeakersWithANameOrColourAreStored) {
  Transcription* version = h->vm->currentTranscription();
  h->vm->updateSegmentText(1, "THREE");
  h->vm->renameSpeaker(0, "Ann");
  h->vm->renameSpeaker(1, "Bob");
  h->vm->renameSpeaker(1, "");
  h->vm->saveCurrentTranscription();
  EXPECT_FALSE(h->vm->hasUnsavedChanges());
  EXPECT_EQ(h->storedTexts(version->id()), (QStringList{"one two", "THREE", "four"}));
  ASSERT_EQ(version->speakers().size(), 1);
  EXPECT_EQ(version->speakers()[0]->customName(), "Ann");

  h->vm->loadTranscription(version);
  ASSERT_EQ(h->vm->speakers().size(), 2);  // the stored speaker, and the other from the segments
  EXPECT_EQ(h->vm->speakers()[0].customName, "Ann");
  EXPECT_EQ(h->vm->speakers()[1], Speaker(1));

  // A speaker whose colour alone differs from its default is kept by every save, also once its
  // name is taken away again.
  h->context->updateSpeakers(version, {Speaker(0, QString("Ann")), Speaker(1, std::nullopt, QString("#FF2D55"))});
  h->context->save();
  h->vm->loadTranscription(version);
  h->vm->renameSpeaker(1, "Bob");
  h->vm->renameSpeaker(1, "");
  h->vm->saveCurrentTranscription();
  h->vm->loadTranscription(version);
  ASSERT_EQ(h->vm->speakers().size(), 2);
  EXPECT_EQ(h->vm->speakers()[1], Speaker(1, std::nullopt, QString("#FF2D55")));
}

TEST_F(TranscriptionEditingTest, AutosaveWritesOnlyWhenSomethingChanged) {
  h->vm->setupAutoSave();
  // A new period in the settings window applies at once, not at the next start.
  h->settings->setAutoSaveInterval(0.02);
  QTest::qWait(100);
  EXPECT_FALSE(h->logged("Transcription saved"));
  h->vm->updateSegmentText(2, "FOUR");
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h->vm->hasUnsavedChanges(); }));
  EXPECT_TRUE(h->logged("Transcription saved"));
  EXPECT_EQ(h->storedTexts(h->vm->currentTranscription()->id()).last(), "FOUR");
}

TEST_F(TranscriptionEditingTest, SwitchingClearingAndResettingSaveUnsavedEditsFirst) {
  Transcription* first = h->vm->currentTranscription();
  process(audio);
  Transcription* second = h->vm->currentTranscription();
  h->vm->updateSegmentText(0, "edited second");
  h->vm->loadTranscription(first);
  EXPECT_EQ(h->storedTexts(second->id()).first(), "edited second");

  h->vm->updateSegmentText(0, "edited first");
  h->vm->clearResult();
  EXPECT_EQ(h->storedTexts(first->id()).first(), "edited first");

  h->vm->loadTranscription(second);
  h->vm->updateSegmentText(0, "reset second");
  h->vm->reset();
  EXPECT_EQ(h->storedTexts(second->id()).first(), "reset second");
}

TEST_F(TranscriptionEditingTest, LoadingRestoresSettingsAndReportsAMovedFile) {
  Transcription* version = h->vm->currentTranscription();
  h->vm->setDiarizationPreset(DiarizationPreset::custom);
  h->vm->setMaxSubtitleChars(40);
  h->vm->setNumSpeakers(5);
  h->vm->loadTranscription(version);
  EXPECT_EQ(h->vm->diarizationPreset(), DiarizationPreset::balanced);
  EXPECT_EQ(h->vm->maxSubtitleChars(), 150);
  EXPECT_EQ(h->vm->numSpeakers(), 5);  // not part of a version
  EXPECT_TRUE(h->logged("Restored local file media source"));

  QFile::rename(audio, h->path("moved.wav"));
  version->audioSource()->setFileBookmark(std::nullopt);
  h->vm->clearResult();
  h->vm->loadTranscription(version);
  EXPECT_TRUE(h->logged("Audio file not found: talk.wav"));
  EXPECT_EQ(h->fileAccess.pendingRelocate(), version->audioSource());
  EXPECT_TRUE(h->fileAccess.showRelocateDialog());
  EXPECT_EQ(h->vm->state().result()->segments.size(), 3);
}

TEST_F(TranscriptionEditingTest, DuplicatingSavesUnsavedEditsAndSpeakersIntoBothUnderTheNextVersionNumber) {
  Transcription* original = h->vm->currentTranscription();
  // Speaker 1's colour was stored earlier; speaker 0 is renamed now and not saved yet.
  h->context->updateSpeakers(original, {Speaker(1, std::nullopt, QString("#FF9500"))});
  h->context->save();
  h->vm->loadTranscription(original);
  h->vm->renameSpeaker(0, "Ann");
  h->vm->updateSegmentText(0, "unsaved");
  h->vm->duplicateCurrentTranscription();
  Transcription* copy = h->vm->currentTranscription();
  ASSERT_NE(copy, original);
  EXPECT_EQ(copy->name(), "Version 2");
  EXPECT_EQ(h->storedTexts(copy->id()).first(), "unsaved");
  // The version the edit was made in keeps it too: a new version re-processed over the copy
  // must not take the only record of it.
  EXPECT_EQ(h->storedTexts(original->id()).first(), "unsaved");

  // The copy has the speakers of the version it copies, in the file, and so when it is opened
  // again.
  const auto storedSpeakers = [&](Transcription* version) {
    Statement rows = h->context->database().prepare(
        "SELECT speakerId, customName, colorHex FROM StoredSpeaker WHERE transcription = ? ORDER BY speakerId");
    rows.bind(1, version->id());
    QStringList out;
    while (rows.step() == Statement::Step::row) out << rows.text(0) + " " + rows.text(1) + " " + rows.text(2);
    return out;
  };
  EXPECT_EQ(storedSpeakers(copy), (QStringList{"0 Ann ", "1  #FF9500"}));
  EXPECT_EQ(storedSpeakers(copy), storedSpeakers(original));
  h->vm->loadTranscription(original);
  h->vm->loadTranscription(copy);
  ASSERT_EQ(h->vm->speakers().size(), 2);
  EXPECT_EQ(h->vm->speakers()[0].customName, "Ann");
  EXPECT_EQ(h->vm->speakers()[1].colorHex, "#FF9500");
}

// A save after edits to single segments writes those rows alone. Whatever came between (a
// failed save, a split or a merge, a re-processing, another version shown, a row changed other
// than by the editor), after each save the file holds exactly the transcript on screen.
TEST_F(TranscriptionEditingTest, EverySaveLeavesTheFileHoldingExactlyTheShownTranscript) {
  Transcription* first = h->vm->currentTranscription();
  const auto stored = [&](Transcription* version) {
    Statement rows = h->context->database().prepare(
        "SELECT speakerId, text FROM StoredSegment WHERE transcription = ?1 ORDER BY sortOrder");
    rows.bind(1, version->id());
    QStringList out;
    while (rows.step() == Statement::Step::row) out << QString("%1 %2").arg(rows.int64(0)).arg(rows.text(1));
    return out.join(" | ").toStdString();
  };
  const auto shown = [&] {
    QStringList out;
    for (const auto& s : h->vm->state().result()->segments) out << QString("%1 %2").arg(s.speakerId).arg(s.text);
    return out.join(" | ").toStdString();
  };
  const auto save = [&](const char* after) {
    SCOPED_TRACE(after);
    h->vm->saveCurrentTranscription();
    EXPECT_FALSE(h->vm->hasUnsavedChanges());
    EXPECT_EQ(stored(h->vm->currentTranscription()), shown());
  };

  h->vm->updateSegmentText(1, "THREE");
  save("one text edited");
  h->vm->updateSegmentText(0, "ONE TWO");
  h->vm->reassignSegment(2, 1, false);
  h->vm->updateSegmentText(0, "One two");
  save("three edits, one segment twice");

  // A disk failing on one text: the edit stays pending, and the save after the cure writes it
  // with the edit made meanwhile.
  h->context->database().execute(
      "CREATE TRIGGER fail BEFORE UPDATE ON StoredSegment WHEN NEW.text = 'four!' "
      "BEGIN SELECT RAISE(ABORT, 'disk trouble'); END");
  const std::string before = stored(first);
  h->vm->updateSegmentText(2, "four!");
  h->vm->saveCurrentTranscription();
  EXPECT_TRUE(h->vm->hasUnsavedChanges());
  EXPECT_EQ(stored(first), before);
  h->vm->updateSegmentText(1, "three!");
  h->context->database().execute("DROP TRIGGER fail");
  save("a failed save, then a cure");

  EXPECT_EQ(h->vm->splitSegment(0, "One two", 3), 1);
  save("a split");
  h->vm->updateSegmentText(3, "four");
  save("an edit after the split");
  EXPECT_EQ(h->vm->mergeWithPrevious(1, "two"), 0);
  h->vm->updateSegmentText(1, "three");
  save("a merge and an edit");

  h->vm->reassignSegment(0, 2, true);
  h->vm->updateSegmentText(1, "three again");
  save("a speaker's segments all reassigned, then one edited");

  first->sortedSegments()[0]->setText("changed elsewhere");
  h->vm->updateSegmentText(2, "FOUR");
  save("a row changed other than by the editor");

  process(audio);
  Transcription* second = h->vm->currentTranscription();
  h->vm->updateSegmentText(0, "second");
  save("another version");
  const std::string secondStored = stored(second);
  h->vm->loadTranscription(first);
  h->vm->updateSegmentText(1, "first again");
  save("the first version again");
  h->vm->updateSegmentText(0, "and again");
  save("the first version, a second edit");
  EXPECT_EQ(stored(second), secondStored);

  h->vm->reprocess();
  ASSERT_TRUE(h->settle());
  h->vm->updateSegmentText(0, "after re-processing");
  save("an edit after re-processing");
}

TEST_F(TranscriptionEditingTest, ExportWritesTheCurrentVersionAndNamesWhatFailed) {
  EXPECT_EQ(h->vm->exportFileName(ExportFormat::srt), "talk.srt");
  h->dialogs->nextPath = h->path("out.txt");
  h->vm->exportTranscript(ExportFormat::txt);
  EXPECT_TRUE(h->logged("Exported TXT to: out.txt"));
  EXPECT_TRUE(QFile(h->path("out.txt")).size() > 0);

  QDir().mkpath(h->path("all"));
  h->dialogs->nextPath = h->path("all");
  h->vm->exportAll();
  EXPECT_TRUE(h->logged("Exported all formats to: all/"));
  for (const char* name : {"talk.txt", "talk.srt", "talk.json"}) EXPECT_TRUE(QFileInfo::exists(h->path("all/") + name));

  // A folder where one name is taken by a folder: that format fails, the others are written.
  QDir().mkpath(h->path("some/talk.srt"));
  h->vm->performExportAll(*h->vm->state().result(), h->path("some"));
  EXPECT_TRUE(h->loggedStart("Failed to export srt: "));
  EXPECT_TRUE(h->logged("Exported to some/ except: srt"));
  EXPECT_FALSE(h->logged("Exported all formats to: some/"));

  // Nothing could be written: said as such, not as a partial export.
  for (const char* name : {"none/talk.txt", "none/talk.srt", "none/talk.json"}) QDir().mkpath(h->path(name));
  h->vm->performExportAll(*h->vm->state().result(), h->path("none"));
  EXPECT_TRUE(h->logged("Export failed: no format could be written to none/"));
  EXPECT_FALSE(h->loggedStart("Exported to none/"));

  // In a folder every user may write in, another user's link to a file of the user's under one of
  // the names: that file stays, and the log says why (where the suite can give a link away).
  if (const passwd* nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr) {
    const QString shared = h->path("shared");
    ASSERT_TRUE(QDir().mkpath(shared));
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 01777), 0);
    testsupport::writeFile(h->path("notes.txt").toStdString(), "my notes");
    const QString planted = shared + "/talk.srt";
    ASSERT_TRUE(QFile::link(h->path("notes.txt"), planted));
    ASSERT_EQ(::lchown(QFile::encodeName(planted).constData(), nobody->pw_uid, nobody->pw_gid), 0);
    h->vm->performExportAll(*h->vm->state().result(), shared);
    EXPECT_TRUE(h->logged("Failed to export srt: Failed to write file: " + planted + " belongs to another user"));
    EXPECT_TRUE(h->logged("Exported to shared/ except: srt"));
    EXPECT_EQ(testsupport::readFile(h->path("notes.txt").toStdString()), "my notes");
  }

  // Only the last extension of the audio file goes.
  QFile::copy(audio, h->path("talk.v2.wav"));
  process(h->path("talk.v2.wav"));
  EXPECT_EQ(h->vm->exportFileName(ExportFormat::txt), "talk.v2.txt");

  h->vm->clearResult();
  EXPECT_EQ(h->vm->exportFileName(ExportFormat::json), "transcript.json");
}

// A translation opens read-only in its version's tab, and from there it is exported: its own
// text and speakers, under a name that says its language and so never replaces the original's.
TEST_F(TranscriptionEditingTest, ATranslationsTabExportsTheTranslationUnderANameSayingItsLanguage) {
  Transcription* german = translate(h->vm->currentTranscription(), "de", "hallo");
  h->vm->loadTranscription(german);
  ASSERT_TRUE(h->vm->activeTab() == ContentTab::translation(german));
  // Read-only there: no speaker is added, to it or to its version, as no other edit is made.
  const QList<Speaker> versionSpeakers = h->vm->speakers();
  const QList<Speaker> shownSpeakers = h->vm->activeSpeakers();
  EXPECT_EQ(h->vm->addNewSpeaker(), std::nullopt);
  EXPECT_TRUE(h->logged("Cannot edit a translation"));
  EXPECT_EQ(h->vm->speakers(), versionSpeakers);
  EXPECT_EQ(h->vm->activeSpeakers(), shownSpeakers);
  EXPECT_FALSE(h->vm->hasUnsavedChanges());
  EXPECT_EQ(h->vm->exportFileName(ExportFormat::srt), "talk (German).srt");
  h->dialogs->nextPath = h->path("chosen.txt");
  h->vm->exportTranscript(ExportFormat::txt);
  EXPECT_EQ(h->dialogs->suggested.last(), "talk (German).txt");
  const std::string translated = testsupport::readFile(h->path("chosen.txt").toStdString());
  EXPECT_NE(translated.find("\nhallo\n"), std::string::npos) << translated;
  EXPECT_EQ(translated.find("one two"), std::string::npos) << translated;
  EXPECT_NE(translated.find("] Anna\n"), std::string::npos) << translated;
  QDir().mkpath(h->path("all"));
  h->dialogs->nextPath = h->path("all");
  h->vm->exportAll();
  EXPECT_EQ(QDir(h->path("all")).entryList(QDir::Files),
            QStringList({"talk (German).json", "talk (German).srt", "talk (German).txt"}));
  EXPECT_NE(testsupport::readFile(h->path("all/talk (German).srt").toStdString()).find("hallo"), std::string::npos);

  // Back on the original's tab: its own text under its own name.
  h->vm->setActiveTab(ContentTab::original());
  EXPECT_EQ(h->vm->exportFileName(ExportFormat::txt), "talk.txt");
  h->dialogs->nextPath = h->path("chosen.txt");
  h->vm->exportTranscript(ExportFormat::txt);
  const std::string original = testsupport::readFile(h->path("chosen.txt").toStdString());
  EXPECT_NE(original.find("one two"), std::string::npos);
  EXPECT_EQ(original.find("hallo"), std::string::npos);
}

TEST_F(TranscriptionEditingTest, NamesAtTheFileSystemsLimitExportAndATooLargeFileSaysSo) {
  // A source whose name takes all 255 bytes a name may have (two-byte letters, so a cut in the
  // middle of one would show).
  const QString longName = QString(124, QChar(0xE4)) + "abc.wav";
  ASSERT_EQ(QFile::encodeName(longName).size(), 255);
  const QString longAudio = h->path("") + longName;
  ASSERT_TRUE(QFile::copy(audio, longAudio));
  process(longAudio);
  for (ExportFormat format : allExportFormats()) {
    const QString suggested = h->vm->exportFileName(format);
    SCOPED_TRACE(suggested.toStdString());
    EXPECT_LE(QFile::encodeName(suggested).size(), 255);
    EXPECT_TRUE(suggested.startsWith(QString(120, QChar(0xE4))));
    EXPECT_TRUE(suggested.endsWith("." + fileExtension(format)));
    EXPECT_FALSE(suggested.contains(QChar::ReplacementCharacter));
  }
  // A translation's name keeps its language whole; the file's name gives way.
  h->vm->loadTranscription(translate(h->vm->currentTranscription(), "uk", "привіт"));
  const QString suggested = h->vm->exportFileName(ExportFormat::json);
  EXPECT_LE(QFile::encodeName(suggested).size(), 255);
  EXPECT_TRUE(suggested.endsWith(QChar(0xE4) + QString(" (Ukrainian).json"))) << suggested.toStdString();
  h->vm->setActiveTab(ContentTab::original());
  QDir().mkpath(h->path("long"));
  h->vm->performExportAll(*h->vm->state().result(), h->path("long"));
  EXPECT_TRUE(h->logged("Exported all formats to: long/"));
  EXPECT_EQ(QDir(h->path("long")).entryList(QDir::Files).size(), 3);

  // Over an existing file whose name has 255 bytes.
  const std::string existing = h->path("").toStdString() + std::string(251, 'n') + ".txt";
  testsupport::writeFile(existing, "old");
  h->vm->performExport(*h->vm->state().result(), ExportFormat::txt, QString::fromStdString(existing));
  EXPECT_TRUE(h->loggedStart("Exported TXT to: nnn"));
  EXPECT_TRUE(testsupport::readFile(existing).starts_with("TRANSCRIPTION"));
  EXPECT_EQ(QDir(h->path("")).entryList({".*"}, QDir::Files | QDir::Hidden).size(), 0) << "a temporary file stayed";

  // The system's own words, not "Unknown error"; the old file stays whole and the half-written
  // new one goes: a file size limit here, a full disk below.
  h->vm->performExport(*h->vm->state().result(), ExportFormat::srt, h->path("missing/out.srt"));
  EXPECT_TRUE(h->logged("Export failed: Failed to write file: No such file or directory"));
  const std::string small = h->path("small").toStdString();
  std::filesystem::create_directory(small);
  testsupport::writeFile(small + "/out.txt", "old");
  {
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    const auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = 16 * 1024;
    ::setrlimit(RLIMIT_FSIZE, &limited);
    h->vm->performExport(largeResult(), ExportFormat::txt, QString::fromStdString(small + "/out.txt"));
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousSignal);
  }
  EXPECT_TRUE(h->logged("Export failed: Failed to write file: File too large"));
  EXPECT_EQ(testsupport::readFile(small + "/out.txt"), "old");
  EXPECT_EQ(filesIn(small), QStringList{"out.txt"}) << "a temporary file stayed";
}

// Run in a child process by ExportOntoAFullDisk.SaysSoKeepsTheOldFileAndLeavesNothingElse, in
// namespaces of its own where it may mount a file system; skipped otherwise.
class FullDiskChildProcess : public TranscriptionEditingTest {};
TEST_F(FullDiskChildProcess, Exports) {
  if (qEnvironmentVariableIsEmpty("PV_FULL_DISK_CHILD")) GTEST_SKIP() << "only run as a child process";
  // A disk that takes no more: a 16 KiB file system.
  const std::string small = h->path("small").toStdString();
  std::filesystem::create_directory(small);
  ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k"), 0) << std::strerror(errno);
  const auto unmount = qScopeGuard([&] { ::umount(small.c_str()); });
  testsupport::writeFile(small + "/out.txt", "old");
  h->vm->performExport(largeResult(), ExportFormat::txt, QString::fromStdString(small + "/out.txt"));
  EXPECT_TRUE(h->logged("Export failed: Failed to write file: No space left on device"));
  EXPECT_EQ(testsupport::readFile(small + "/out.txt"), "old");
  EXPECT_EQ(filesIn(small), QStringList{"out.txt"}) << "a temporary file stayed";
}

TEST(ExportOntoAFullDisk, SaysSoKeepsTheOldFileAndLeavesNothingElse) {
  // Only the superuser may mount a file system, and any user inside user and mount namespaces
  // of their own, where the system allows them.
  QString whyNot;
  const auto launcher = testsupport::namespaceLauncher({"--mount"}, &whyNot);
  if (!launcher) GTEST_SKIP() << "no file system can be mounted here to fill: " << whyNot.toStdString();
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("PV_FULL_DISK_CHILD", "1");
  const auto child = testsupport::runTestsInChild(environment, "FullDiskChildProcess.Exports", 120000, *launcher);
  ASSERT_TRUE(child.finished);
  EXPECT_EQ(child.exitStatus, QProcess::NormalExit) << child.output.toStdString();
  EXPECT_EQ(child.exitCode, 0) << child.output.toStdString();
  EXPECT_TRUE(child.output.contains("[  PASSED  ] 1 test")) << child.output.toStdString();
}

TEST_F(TranscriptionEditingTest, ReprocessingRewritesTheVersionAndForgetsItsSpeakerNames) {
  Transcription* version = h->vm->currentTranscription();
  h->vm->renameSpeaker(0, "Ann");
  h->vm->saveCurrentTranscription();
  ASSERT_EQ(version->speakers().size(), 1);
  h->vm->setMaxSubtitleChars(3);
  h->vm->reprocess();
  ASSERT_TRUE(h->settle());
  EXPECT_TRUE(h->logged("Saved reprocessed transcription"));
  EXPECT_EQ(texts(), (QStringList{"one", "two", "three", "four"}));
  EXPECT_EQ(h->storedTexts(version->id()), texts());
  EXPECT_TRUE(version->speakers().isEmpty());
  EXPECT_FALSE(h->vm->speakers()[0].customName.has_value());
  EXPECT_EQ(version->maxSubtitleChars(), 3);
}

}  // namespace
