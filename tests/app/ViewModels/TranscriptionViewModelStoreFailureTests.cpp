// The view model when the store fails it: a full disk, a read-only library file, a segment that
// cannot be written. No finished run is dropped, the status says why, and a later save writes it.

#include "app/ViewModels/TranscriptionViewModelFixture.h"

#include "Models/Transcription.h"
#include "Store/Statement.h"

#include <string>

#include <gtest/gtest.h>

using namespace pipelinetest;

namespace {

using namespace transcriptionviewmodeltest;

// A finished run is never dropped because the store cannot take it. The disk fills up while the
// run goes on (its source is already stored); a later file finds the store refusing before it
// starts.
TEST_F(TranscriptionViewModelTest, ARunWhoseVersionCannotBeStoredIsKeptUnsavedUntilTheStoreTakesIt) {
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  Transcription* earlier = h->vm->currentTranscription();
  const QString other = h->path("other.wav");
  writeFloatWav(other.toStdString(), twoVoices(3.0, {}));

  // More text than the free room in the file's pages, so that storing it needs a new page.
  static const std::string longWord = " " + std::string(20000, 'x');
  engine->recognize = oneWord(longWord.c_str());
  engine->diarizeGate = std::make_shared<Gate>();
  h->vm->processFile(QUrl::fromLocalFile(other));
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->diarizeGate->hasWaiter(); }));
  ASSERT_TRUE(fillTheDisk(h->context->database()));
  engine->diarizeGate->open();
  ASSERT_TRUE(h->settle());
  EXPECT_TRUE(h->logged("Failed to create transcription: The disk is full"));
  Transcription* kept = h->vm->currentTranscription();
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->audioSource()->filename(), "other.wav");
  EXPECT_TRUE(h->vm->hasUnsavedChanges());
  EXPECT_EQ(h->vm->statusMessage(),
            "Transcription complete - not saved yet: The disk is full. Saving is tried again automatically.");
  EXPECT_TRUE(h->vm->hasStatusWarning());
  EXPECT_EQ(storedRows("Transcription"), 1);

  // An edit goes into the kept version, never into the one shown before. Opening that one, a
  // saved version of another file, leaves the work unsaved (quitting asks), but the status line
  // says so only over the file whose work it is; so with no version shown at all.
  const QString edited = "edited while the disk is full " + QString(20000, 'y');
  h->vm->updateSegmentText(0, edited);
  h->vm->loadTranscription(earlier);
  EXPECT_TRUE(h->vm->hasUnsavedChanges());
  EXPECT_EQ(h->vm->statusMessage(), "Transcription complete");
  EXPECT_FALSE(h->vm->hasStatusWarning());
  EXPECT_FALSE(h->vm->isShownWorkUnsaved());
  EXPECT_EQ(h->storedTexts(earlier->id()), (QStringList{"hello", "world"}));
  h->vm->loadTranscription(kept);
  EXPECT_TRUE(h->vm->statusMessage().contains("not saved yet: The disk is full"))
      << h->vm->statusMessage().toStdString();
  EXPECT_TRUE(h->vm->isShownWorkUnsaved());
  h->vm->clearResult();
  EXPECT_TRUE(h->vm->hasUnsavedChanges());
  EXPECT_FALSE(h->vm->statusMessage().contains("not saved yet")) << h->vm->statusMessage().toStdString();

  // The autosave keeps trying with no version shown. Once there is room again, whichever save
  // comes first writes the kept version, with the edit: here another part of the library's
  // (the samples cache finishing late, a rename in the library) before the autosave's turn.
  h->settings->setAutoSaveInterval(0.05);
  h->vm->setupAutoSave();
  ASSERT_TRUE(testsupport::waitUntil([&] {
    return std::count_if(h->vm->logs().begin(), h->vm->logs().end(),
                         [](const LogEntry& entry) { return entry.message.startsWith("Failed to save: "); }) >= 2;
  }));
  EXPECT_TRUE(h->vm->hasUnsavedChanges());
  makeRoomOnTheDisk(h->context->database());
  h->context->save();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !h->vm->hasUnsavedChanges(); }));
  h->vm->loadTranscription(kept);
  EXPECT_EQ(storedRows("Transcription"), 2);
  EXPECT_EQ(h->storedTexts(kept->id()), QStringList{edited});
  EXPECT_EQ(h->storedTexts(earlier->id()), (QStringList{"hello", "world"}));
  EXPECT_EQ(h->vm->statusMessage(), "Transcription complete");
  EXPECT_FALSE(h->vm->hasStatusWarning());

  // A file whose source cannot be stored is not transcribed at all, and the status says why.
  const QString third = h->path("third.wav");
  writeFloatWav(third.toStdString(), twoVoices(3.0, {}));
  const int recognitions = engine->recognitions;
  h->context->database().execute("PRAGMA query_only = ON");
  h->vm->processFile(QUrl::fromLocalFile(third));
  ASSERT_TRUE(h->settle());
  EXPECT_EQ(h->vm->state().kind(), ProcessingState::Kind::failed);
  EXPECT_EQ(h->vm->statusMessage(),
            "Error: third.wav could not be added to the library: The library file is read-only");
  EXPECT_TRUE(h->logged("Failed to create audio source: The library file is read-only"));
  EXPECT_EQ(engine->recognitions, recognitions);
  h->context->database().execute("PRAGMA query_only = OFF");
  runFile(third);
  EXPECT_EQ(storedRows("AudioSource"), 3);
  EXPECT_EQ(storedRows("Transcription"), 3);
}

TEST_F(TranscriptionViewModelTest, AReprocessingWhoseSaveFailsSaysSoAndALaterSaveWritesIt) {
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  Transcription* version = h->vm->currentTranscription();
  engine->recognize = oneWord(" again");
  failSegmentWrites("again");
  h->vm->reprocess();
  ASSERT_TRUE(h->settle());
  EXPECT_TRUE(h->loggedStart("Failed to save: "));
  EXPECT_FALSE(h->logged("Saved reprocessed transcription"));
  EXPECT_TRUE(h->vm->hasUnsavedChanges());
  // The status line says why, as it does for a new version that cannot be stored.
  QString why;
  for (const LogEntry& entry : h->vm->logs()) {
    if (entry.message.startsWith("Failed to save: ")) why = entry.message.mid(QString("Failed to save: ").size());
  }
  ASSERT_FALSE(why.isEmpty());
  EXPECT_TRUE(h->vm->statusMessage().endsWith(" - not saved yet: " + why + ". Saving is tried again automatically."))
      << h->vm->statusMessage().toStdString();
  EXPECT_TRUE(h->vm->hasStatusWarning());
  EXPECT_EQ(h->storedTexts(version->id()), (QStringList{"hello", "world"}));
  healDisk();
  h->vm->saveIfNeeded();
  EXPECT_EQ(h->storedTexts(version->id()), QStringList{"again"});
}

TEST_F(TranscriptionViewModelTest, AFailedSaveSaysWhatHappenedInPlainWordsAndTheNextSaveWritesTheEdit) {
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  Database& file = h->context->database();
  struct Case {
    const char* cause;
    const char* cure;
    QChar fill;
    const char* said;
  };
  // The file may not grow (a full disk), or takes no write at all.
  for (const Case& c : {Case{"PRAGMA max_page_count = 1", "PRAGMA max_page_count = 1073741823", 'x',
                             "Failed to save: The disk is full"},
                        Case{"PRAGMA query_only = ON", "PRAGMA query_only = OFF", 'y',
                             "Failed to save: The library file is read-only"}}) {
    SCOPED_TRACE(c.said);
    const QString longText(20000, c.fill);  // more than fits the pages the file has
    h->vm->updateSegmentText(0, longText);
    file.execute(c.cause);
    h->vm->saveCurrentTranscription();
    EXPECT_TRUE(h->logged(c.said));
    EXPECT_TRUE(h->vm->hasUnsavedChanges());
    for (const LogEntry& entry : h->vm->logs())
      EXPECT_FALSE(entry.message.contains("SQLite") || entry.message.contains("StoredSegment"))
          << entry.message.toStdString();
    file.execute(c.cure);
    h->vm->saveCurrentTranscription();
    EXPECT_FALSE(h->vm->hasUnsavedChanges());
    Statement saved = file.prepare("SELECT text FROM StoredSegment WHERE sortOrder = 0");
    ASSERT_EQ(saved.step(), Statement::Step::row);
    EXPECT_EQ(saved.text(0), longText);
  }
}

TEST_F(TranscriptionViewModelTest, AFailedDuplicateLeavesNothingBehind) {
  ASSERT_TRUE(h->startModels());
  runFile(audio);
  h->vm->updateSegmentText(0, "boom");
  failSegmentWrites("boom");
  Transcription* original = h->vm->currentTranscription();
  h->vm->duplicateCurrentTranscription(QString("Copy"));
  EXPECT_TRUE(h->loggedStart("Failed to duplicate: "));
  EXPECT_EQ(h->vm->currentTranscription(), original);
  EXPECT_EQ(original->audioSource()->transcriptions().size(), 1);
  healDisk();
  h->vm->updateSegmentText(0, "fine");
  h->vm->saveCurrentTranscription();
  EXPECT_EQ(storedRows("Transcription"), 1);
}

}  // namespace
