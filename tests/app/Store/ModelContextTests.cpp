#include "Models/AudioSource.h"
#include "Models/StoredSegment.h"
#include "Models/StoredSpeaker.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Store/ModelContext.h"
#include "support/PermissionsApply.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>

#include <cmath>
#include <memory>

using namespace parlowvista;

namespace {

class ModelContextTest : public testsupport::TempDirTest {
 protected:
  QString storeFile() const { return QString::fromStdString((tempDir.path() / "Parlowvista.store").string()); }

  std::unique_ptr<ModelContext> open() { return std::make_unique<ModelContext>(storeFile()); }

  // Closes the store and opens it again from the file.
  void reopen() {
    context.reset();
    context = open();
  }

  Transcription* makeVersion(const QString& name, AudioSource* source, std::optional<qint64> minSpeakers = 2) {
    auto* t = new Transcription(name, 1.5, DiarizationPreset::fewerSpeakers, 0.7, minSpeakers, 150, 10.0);
    t->setAudioSource(source);
    return t;
  }

  // Rows in the file, read through the open context's own connection: the store holds the
  // file for itself while it is open.
  qint64 rowCount(const char* table) {
    Statement statement = context->database().prepare((std::string("SELECT COUNT(*) FROM ") + table).c_str());
    return statement.step() == Statement::Step::row ? statement.int64(0) : -1;
  }

  std::unique_ptr<ModelContext> context = open();
};

}  // namespace

TEST_F(ModelContextTest, StoresAndReopensEveryField) {
  auto* group = new TranscriptGroup("General", 0);
  context->insert(group);
  auto* source = new AudioSource("/music/talk.wav", "talk.wav", 61.25, QByteArray("bm\0x", 4), "abc123",
                                 "https://video.example/watch?v=abc123");
  source->setCachedSamplesPath("/cache/x.samples");
  group->appendAudioSource(source);
  Transcription* version = makeVersion(QString::fromUtf8("Version 1 – ü"), source);
  version->setTargetLanguage("de");
  version->appendSegment(new StoredSegment(0, 1, 0.5, 2.25, QString::fromUtf8("Grüße, \"hi\"")));
  version->appendSpeaker(new StoredSpeaker(1, QString("Host"), std::nullopt));
  const QUuid groupId = group->id(), sourceId = source->id(), versionId = version->id();
  const QDateTime createdAt = version->createdAt();
  context->save();
  EXPECT_FALSE(context->hasChanges());

  reopen();
  auto* g = context->find<TranscriptGroup>(groupId);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->name(), "General");
  ASSERT_EQ(g->audioSources().size(), 1);
  AudioSource* s = g->audioSources()[0];
  EXPECT_EQ(s->id(), sourceId);
  EXPECT_EQ(s->group(), g);
  EXPECT_EQ(s->originalPath(), "/music/talk.wav");
  EXPECT_DOUBLE_EQ(s->duration(), 61.25);
  EXPECT_EQ(s->fileBookmark(), QByteArray("bm\0x", 4));
  EXPECT_EQ(s->cachedSamplesPath(), QString("/cache/x.samples"));
  EXPECT_TRUE(s->isYouTubeSource());
  EXPECT_EQ(s->youtubeOriginalURL(), QString("https://video.example/watch?v=abc123"));
  ASSERT_EQ(s->transcriptions().size(), 1);
  Transcription* t = s->transcriptions()[0];
  EXPECT_EQ(t->id(), versionId);
  EXPECT_EQ(t->name(), QString::fromUtf8("Version 1 – ü"));
  EXPECT_EQ(t->createdAt(), createdAt);
  EXPECT_EQ(t->preset(), DiarizationPreset::fewerSpeakers);
  EXPECT_EQ(t->minSpeakers(), 2);
  EXPECT_DOUBLE_EQ(t->customThreshold(), 0.7);
  EXPECT_EQ(t->languageDisplayName(), QString("German"));
  ASSERT_EQ(t->segments().size(), 1);
  EXPECT_EQ(t->segments()[0]->text(), QString::fromUtf8("Grüße, \"hi\""));
  EXPECT_EQ(t->segments()[0]->transcription(), t);
  ASSERT_EQ(t->speakers().size(), 1);
  EXPECT_EQ(t->speakers()[0]->customName(), QString("Host"));
  EXPECT_FALSE(t->speakers()[0]->colorHex().has_value());
}

TEST_F(ModelContextTest, AbsentOptionalsReadBackAbsent) {
  auto* source = new AudioSource("/a.wav", "a.wav", 1.0);
  context->insert(source);
  Transcription* t = makeVersion("V", source, std::nullopt);
  const QUuid versionId = t->id(), sourceId = source->id();
  context->save();
  EXPECT_FALSE(t->isTranslation());
  EXPECT_EQ(t->sourceTranscription(), nullptr);
  reopen();
  auto* loaded = context->find<Transcription>(versionId);
  ASSERT_NE(loaded, nullptr);
  EXPECT_FALSE(loaded->minSpeakers().has_value());
  EXPECT_FALSE(loaded->targetLanguage().has_value());
  EXPECT_FALSE(loaded->languageDisplayName().has_value());
  auto* s = context->find<AudioSource>(sourceId);
  EXPECT_FALSE(s->fileBookmark().has_value());
  EXPECT_FALSE(s->youtubeVideoId().has_value());
  EXPECT_EQ(s->group(), nullptr);
}

TEST_F(ModelContextTest, DeletingAGroupCascadesThroughVersionsAndTranslations) {
  auto* group = new TranscriptGroup("G", 0);
  context->insert(group);
  auto* source = new AudioSource("/a.wav", "a.wav", 1.0);
  group->appendAudioSource(source);
  Transcription* v1 = makeVersion("Version 1", source);
  Transcription* v2 = makeVersion("Version 2", source);
  Transcription* translation = makeVersion("Version 1 (de)", source);
  translation->setIsTranslation(true);
  translation->setSourceTranscription(v1);
  for (Transcription* t : {v1, v2, translation}) {
    t->appendSegment(new StoredSegment(0, 0, 0, 1, "x"));
    t->appendSpeaker(new StoredSpeaker(0, QString("A")));
  }
  const QUuid groupId = group->id();
  context->save();
  EXPECT_EQ(rowCount("StoredSegment"), 3);

  reopen();  // the cascade must also reach rows that were never read back
  context->remove(context->find<TranscriptGroup>(groupId));
  context->save();
  reopen();
  for (const char* table : {"TranscriptGroup", "AudioSource", "Transcription", "StoredSegment", "StoredSpeaker"})
    EXPECT_EQ(rowCount(table), 0) << table;
  EXPECT_TRUE(context->fetch<StoredSegment>().isEmpty());
}

TEST_F(ModelContextTest, DeletingATranslationDetachesItFromBothOwners) {
  auto* source = new AudioSource("/a.wav", "a.wav", 1.0);
  context->insert(source);
  Transcription* origin = makeVersion("Version 1", source);
  Transcription* translation = makeVersion("Version 1 (fr)", source);
  translation->setSourceTranscription(origin);
  translation->appendSegment(new StoredSegment(0, 0, 0, 1, "bonjour"));
  origin->appendSegment(new StoredSegment(0, 0, 0, 1, "hello"));
  context->save();

  QPointer<Transcription> gone = translation;
  context->remove(translation);
  EXPECT_TRUE(translation->isDeleted());
  EXPECT_EQ(origin->translations().size(), 0);
  EXPECT_EQ(source->transcriptions(), QList<Transcription*>{origin});
  const QUuid originId = origin->id();
  context->save();
  reopen();
  auto* o = context->find<Transcription>(originId);
  ASSERT_NE(o, nullptr);
  EXPECT_TRUE(o->translations().isEmpty());
  EXPECT_EQ(o->segments().size(), 1);
  EXPECT_EQ(rowCount("Transcription"), 1);
  EXPECT_EQ(rowCount("StoredSegment"), 1);
}

TEST_F(ModelContextTest, EqualFieldsStillMakeDistinctObjects) {
  auto* a = new TranscriptGroup("Same", 1);
  auto* b = new TranscriptGroup("Same", 1);
  EXPECT_NE(a->id(), b->id());
  context->insert(a);
  context->insert(b);
  context->save();
  reopen();
  EXPECT_EQ(context->fetch<TranscriptGroup>().size(), 2);
}

TEST_F(ModelContextTest, OneRowIsOneObject) {
  auto* source = new AudioSource("/a.wav", "a.wav", 1.0);
  context->insert(source);
  Transcription* t = makeVersion("V", source);
  t->appendSegment(new StoredSegment(0, 0, 0, 1, "x"));
  const QUuid sourceId = source->id();
  context->save();
  reopen();
  auto* s = context->find<AudioSource>(sourceId);
  auto* viaSource = s->transcriptions()[0];
  auto* viaFetch = context->fetch<Transcription>()[0];
  EXPECT_EQ(viaSource, viaFetch);
  StoredSegment* first = viaSource->segments()[0];
  EXPECT_EQ(context->fetch<StoredSegment>()[0], first);
  EXPECT_EQ(context->find<StoredSegment>(first->id()), first);
}

TEST_F(ModelContextTest, ListsKeepInsertionOrderAcrossReopen) {
  auto* group = new TranscriptGroup("G", 0);
  context->insert(group);
  QList<QUuid> ids;
  for (int i = 0; i < 5; ++i) {
    auto* source = new AudioSource(QString("/%1.wav").arg(i), "f", 1.0);
    group->appendAudioSource(source);
    ids.append(source->id());
  }
  auto* t = makeVersion("V", group->audioSources()[0]);
  // Equal sortOrder everywhere: only the list order tells them apart.
  for (int i = 0; i < 4; ++i) t->appendSegment(new StoredSegment(0, i, 0, 1, QString::number(i)));
  const QUuid groupId = group->id(), versionId = t->id();
  context->save();
  reopen();
  QList<QUuid> loaded;
  for (auto* source : context->find<TranscriptGroup>(groupId)->audioSources()) loaded.append(source->id());
  EXPECT_EQ(loaded, ids);
  QStringList texts;
  for (auto* segment : context->find<Transcription>(versionId)->sortedSegments()) texts.append(segment->text());
  EXPECT_EQ(texts, QStringList({"0", "1", "2", "3"}));
}

TEST_F(ModelContextTest, MovingASourceToAnotherGroupIsSaved) {
  auto* a = new TranscriptGroup("A", 0);
  auto* b = new TranscriptGroup("B", 1);
  context->insert(a);
  context->insert(b);
  auto* source = new AudioSource("/a.wav", "a.wav", 1.0);
  a->appendAudioSource(source);
  context->save();
  source->setGroup(b);
  EXPECT_TRUE(a->audioSources().isEmpty());
  const QUuid aId = a->id(), bId = b->id();
  context->save();
  reopen();
  EXPECT_TRUE(context->find<TranscriptGroup>(aId)->audioSources().isEmpty());
  EXPECT_EQ(context->find<TranscriptGroup>(bId)->audioSources().size(), 1);
}

TEST_F(ModelContextTest, FailedSaveWritesNothingAndKeepsEveryChange) {
  // A trigger standing in for a disk failure half way through the save.
  context->database().execute(
      "CREATE TRIGGER fail BEFORE INSERT ON StoredSegment WHEN NEW.text = 'boom' "
      "BEGIN SELECT RAISE(ABORT, 'disk trouble'); END");
  auto* group = new TranscriptGroup("G", 0);
  context->insert(group);
  auto* source = new AudioSource("/a.wav", "a.wav", 1.0);
  group->appendAudioSource(source);
  Transcription* t = makeVersion("V", source);
  t->appendSegment(new StoredSegment(0, 0, 0, 1, "fine"));
  auto* bad = new StoredSegment(1, 0, 1, 2, "boom");
  t->appendSegment(bad);

  try {
    context->save();
    FAIL() << "the save should fail";
  } catch (const StoreError& error) {
    EXPECT_EQ(error.kind(), StoreError::Kind::saveFailed);
    EXPECT_EQ(error.message(), "The library could not be saved");
    EXPECT_TRUE(error.details().contains("disk trouble")) << error.details().toStdString();
  }
  EXPECT_EQ(rowCount("TranscriptGroup"), 0);
  EXPECT_EQ(rowCount("StoredSegment"), 0);
  EXPECT_TRUE(context->hasChanges());

  bad->setText("mended");
  const QUuid versionId = t->id();
  context->save();
  reopen();
  EXPECT_EQ(rowCount("TranscriptGroup"), 1);
  auto* loaded = context->find<Transcription>(versionId);
  ASSERT_NE(loaded, nullptr);
  ASSERT_EQ(loaded->segments().size(), 2);
  EXPECT_EQ(loaded->sortedSegments()[1]->text(), "mended");
}

TEST_F(ModelContextTest, RejectsAFileOfAnotherSchemaVersion) {
  context.reset();
  {
    sqlite3* db = nullptr;
    sqlite3_open(storeFile().toUtf8().constData(), &db);
    sqlite3_exec(db, "UPDATE StoreMetadata SET value = '2.0.0' WHERE key = 'schemaVersion'", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  try {
    open();
    FAIL() << "a newer store must not be opened";
  } catch (const StoreError& error) {
    EXPECT_EQ(error.kind(), StoreError::Kind::incompatibleSchema);
    EXPECT_TRUE(error.message().contains("2.0.0"));
  }
  const auto garbage = testsupport::writeFile(tempDir / "garbage.store", std::string(4096, 'x'));
  EXPECT_THROW(ModelContext(QString::fromStdString(garbage.string())), StoreError);
}

TEST_F(ModelContextTest, ARefusedFileIsLeftByteForByte) {
  context.reset();
  const auto makeFile = [this](const char* name, const char* sql) {
    const std::string path = (tempDir.path() / name).string();
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return path;
  };
  // Another program's database, and a store of a newer schema version.
  const std::string foreign = makeFile("foreign.db", "CREATE TABLE notes(text TEXT); INSERT INTO notes VALUES ('x')");
  const std::string newer = makeFile("newer.store",
                                     "CREATE TABLE StoreMetadata(key TEXT PRIMARY KEY, value TEXT);"
                                     "INSERT INTO StoreMetadata VALUES ('schemaVersion', '2.0.0')");
  for (const std::string& path : {foreign, newer}) {
    SCOPED_TRACE(path);
    const std::string before = testsupport::readFile(path);
    try {
      ModelContext refused(QString::fromStdString(path));
      ADD_FAILURE() << "the file must be refused";
    } catch (const StoreError& error) {
      EXPECT_EQ(error.kind(), StoreError::Kind::incompatibleSchema);
    }
    EXPECT_EQ(testsupport::readFile(path), before);
    EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
  }
}

// A store file the user cannot write, one in a folder that takes no new file, and one
// overwritten with random bytes: each is refused at open with a message naming the file and
// why, never opened for reading only, and left byte for byte.
TEST_F(ModelContextTest, AReadOnlyOrDamagedStoreFileIsRefusedAndLeftAsItWas) {
  auto* group = new TranscriptGroup("G", 0);
  context->insert(group);
  context->save();
  context.reset();
  const std::string store = storeFile().toStdString();
  const std::string damaged = (tempDir.path() / "damaged.store").string();
  std::string noise(64 * 1024, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
  testsupport::writeFile(damaged, noise);

  // A library folder that takes no new file (the store's log file cannot be made in it).
  const auto folder = tempDir.path() / "locked";
  std::filesystem::create_directory(folder);
  const std::string inLockedFolder = (folder / "Parlowvista.store").string();
  ModelContext(QString::fromStdString(inLockedFolder)).save();
  std::filesystem::permissions(folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);

  std::filesystem::permissions(store, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
  const auto unlock = qScopeGuard([&] {
    std::filesystem::permissions(store, std::filesystem::perms::owner_all);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
  });
  // The superuser too is held to the permissions, as a user is.
  const testsupport::PermissionsApply permissions;

  struct Case {
    std::string path;
    const char* reason;
  };
  const Case cases[] = {{damaged, "not a database"}, {store, "read-only"}, {inLockedFolder, "folder is read-only"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string before = testsupport::readFile(c.path);
    try {
      ModelContext refused(QString::fromStdString(c.path));
      ADD_FAILURE() << "the file must be refused";
    } catch (const StoreError& error) {
      EXPECT_TRUE(error.message().contains(QString::fromStdString(c.path))) << error.message().toStdString();
      EXPECT_TRUE(error.message().contains(c.reason)) << error.message().toStdString();
      EXPECT_FALSE(error.message().contains("SQLite")) << error.message().toStdString();
    }
    EXPECT_EQ(testsupport::readFile(c.path), before);
    EXPECT_FALSE(std::filesystem::exists(c.path + "-wal"));
  }
}

TEST_F(ModelContextTest, ASecondOpenerIsRefusedWhileTheStoreIsOpen) {
  auto* group = new TranscriptGroup("G", 0);
  context->insert(group);
  context->save();
  try {
    open();
    FAIL() << "a second opener must be refused";
  } catch (const StoreError& error) {
    EXPECT_EQ(error.kind(), StoreError::Kind::inUse);
    EXPECT_TRUE(error.message().contains("already open")) << error.message().toStdString();
  }
  // Another program cannot read it behind the store's back either.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(storeFile().toUtf8().constData(), &db), SQLITE_OK);
  EXPECT_NE(sqlite3_exec(db, "SELECT COUNT(*) FROM TranscriptGroup", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  // The first store works on; once it closes, the file opens again.
  group->setName("H");
  context->save();
  reopen();
  ASSERT_EQ(context->fetch<TranscriptGroup>().size(), 1);
  EXPECT_EQ(context->fetch<TranscriptGroup>()[0]->name(), "H");
  // A file already in write-ahead-log mode is held just the same.
  EXPECT_THROW(open(), StoreError);
}

TEST_F(ModelContextTest, AnEditToARowGoneFromTheFileFailsTheSave) {
  auto* group = new TranscriptGroup("G", 0);
  context->insert(group);
  context->save();
  context->database().execute("DELETE FROM TranscriptGroup");
  group->setName("renamed");
  try {
    context->save();
    FAIL() << "an update that reached no row must not report success";
  } catch (const StoreError& error) {
    EXPECT_EQ(error.kind(), StoreError::Kind::saveFailed);
    EXPECT_TRUE(error.message().contains("no longer in the library file")) << error.message().toStdString();
  }
  EXPECT_TRUE(context->hasChanges());
}

TEST_F(ModelContextTest, NotifiesViewsOfChangesAndDeletions) {
  auto* group = new TranscriptGroup("G", 0);
  context->insert(group);
  context->save();
  QSignalSpy changed(group, &PersistentModel::changed);
  QSignalSpy deleted(context.get(), &ModelContext::objectDeleted);
  QSignalSpy batch(context.get(), &ModelContext::objectsChanged);
  group->setName("Renamed");
  group->setName("Renamed");  // every write notifies, equal or not
  EXPECT_EQ(changed.count(), 2);
  EXPECT_TRUE(batch.wait(1000));
  EXPECT_EQ(batch.count(), 1);  // a burst of writes reaches the views once
  QPointer<TranscriptGroup> handle = group;
  context->remove(group);
  EXPECT_EQ(deleted.count(), 1);
  context->save();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(handle.isNull());
}

// Deleted objects, once the save has released them, are gone from every fetch; new objects,
// which may well take the very memory the released ones had, are each fetched once.
TEST_F(ModelContextTest, AFetchFindsEachLiveObjectOnceAfterDeletedOnesAreReleased) {
  // A source in the group with a version of one segment and one speaker.
  const auto fill = [this](TranscriptGroup* group) {
    auto* source = new AudioSource("/a.wav", "a.wav", 1.0);
    group->appendAudioSource(source);
    Transcription* version = makeVersion("V", source);
    version->appendSegment(new StoredSegment(0, 0, 0, 1, "x"));
    version->appendSpeaker(new StoredSpeaker(0, QString("A")));
    return version;
  };
  auto* saved = context->insert(std::make_unique<TranscriptGroup>("saved", 0));
  Transcription* version = fill(saved);
  context->save();
  auto* neverSaved = context->insert(std::make_unique<TranscriptGroup>("never saved", 1));
  const QList<QPointer<PersistentModel>> released{
      saved, version->audioSource(), version, version->segments()[0], version->speakers()[0], neverSaved};
  context->remove(saved);
  context->remove(neverSaved);
  context->save();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  for (const auto& object : released) ASSERT_TRUE(object.isNull());

  QList<TranscriptGroup*> groups;
  for (int i = 0; i < 4; ++i) groups << context->insert(std::make_unique<TranscriptGroup>(QString::number(i), i));
  Transcription* newVersion = fill(groups[0]);
  context->save();
  EXPECT_EQ(context->fetch<TranscriptGroup>(), groups);
  EXPECT_EQ(context->fetch<AudioSource>(), QList<AudioSource*>{newVersion->audioSource()});
  EXPECT_EQ(context->fetch<Transcription>(), QList<Transcription*>{newVersion});
  EXPECT_EQ(context->fetch<StoredSegment>(), newVersion->segments());
  EXPECT_EQ(context->fetch<StoredSpeaker>(), newVersion->speakers());
}

TEST_F(ModelContextTest, NaNTimesSurviveTheRoundTrip) {
  auto* source = new AudioSource("/a.wav", "a.wav", std::nan(""));
  context->insert(source);
  const QUuid sourceId = source->id();
  context->save();
  reopen();
  EXPECT_TRUE(std::isnan(context->find<AudioSource>(sourceId)->duration()));
}

TEST_F(ModelContextTest, PropertiesAreAddressableByName) {
  auto* source = new AudioSource("/a.wav", "a.wav", 1.0);
  context->insert(source);
  Transcription* t = makeVersion("V", source, std::nullopt);
  EXPECT_EQ(t->property("name").toString(), "V");
  EXPECT_EQ(t->property("id").toUuid(), t->id());
  EXPECT_EQ(source->property("id").toUuid(), source->id());
  EXPECT_FALSE(t->property("minSpeakers").isValid());
  EXPECT_TRUE(t->setProperty("minSpeakers", qint64(3)));
  EXPECT_EQ(t->minSpeakers(), 3);
  EXPECT_TRUE(t->setProperty("minSpeakers", QVariant()));
  EXPECT_FALSE(t->minSpeakers().has_value());
  EXPECT_EQ(t->property("audioSource").value<QObject*>(), source);
  EXPECT_TRUE(source->setProperty("youtubeVideoId", QString("abc")));
  EXPECT_TRUE(source->isYouTubeSource());
  auto* group = new TranscriptGroup("G", 0);
  context->insert(group);
  EXPECT_TRUE(source->setProperty("group", QVariant::fromValue<QObject*>(group)));
  EXPECT_EQ(group->audioSources(), QList<AudioSource*>{source});
}
