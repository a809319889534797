// Saves write only the rows that changed: segments matched by position, speaker overrides by
// speaker, new rows with time-ordered ids, rows written by earlier releases (random ids) kept.
#include "Models/AudioSource.h"
#include "Models/Speaker.h"
#include "Models/StoredSegment.h"
#include "Models/StoredSpeaker.h"
#include "Models/Transcription.h"
#include "Models/UuidText.h"
#include "Store/ModelContext.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <map>
#include <memory>

using namespace parlowvista;

namespace {

// Rows inserted, updated and deleted per table, counted by SQLite's update hook.
struct Writes {
  std::map<std::string, int> inserted, updated, deleted;

  int total(const std::string& table) const {
    const auto count = [&table](const std::map<std::string, int>& m) {
      const auto it = m.find(table);
      return it == m.end() ? 0 : it->second;
    };
    return count(inserted) + count(updated) + count(deleted);
  }
};

void countWrite(void* data, int operation, const char*, const char* table, sqlite3_int64) {
  auto* writes = static_cast<Writes*>(data);
  auto& counts = operation == SQLITE_INSERT   ? writes->inserted
                 : operation == SQLITE_UPDATE ? writes->updated
                                              : writes->deleted;
  ++counts[table];
}

TranscriptionResult resultOf(const QStringList& texts) {
  QList<TranscribedSegment> segments;
  for (int i = 0; i < texts.size(); ++i) segments.append(TranscribedSegment(i % 2, i, i + 0.5, texts[i]));
  return TranscriptionResult(std::move(segments), 10, 1);
}

class ChangedRowsTest : public testsupport::TempDirTest {
 protected:
  QString storeFile() const { return QString::fromStdString((tempDir / "Parlowvista.store").string()); }

  void reopen() {
    context.reset();
    context = std::make_unique<ModelContext>(storeFile());
  }

  // A saved version holding `texts`; its id.
  QUuid savedVersion(const QStringList& texts) {
    auto* source = new AudioSource("/a.wav", "a.wav", 10.0);
    context->insert(source);
    auto* version = new Transcription("V", 1.0, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 10.0);
    version->setAudioSource(source);
    context->updateSegments(version, resultOf(texts));
    context->save();
    return version->id();
  }

  // Saves, counting the rows the save writes.
  Writes save() {
    Writes writes;
    sqlite3_update_hook(context->database().handle(), countWrite, &writes);
    context->save();
    sqlite3_update_hook(context->database().handle(), nullptr, nullptr);
    return writes;
  }

  // The file's segment rows of the version in sortOrder: text, and id as text.
  QList<std::pair<QString, QUuid>> savedRows(const QUuid& versionId) {
    Statement rows = context->database().prepare(
        "SELECT text, id, sortOrder FROM StoredSegment WHERE transcription = ?1 ORDER BY sortOrder");
    rows.bind(1, versionId);
    QList<std::pair<QString, QUuid>> result;
    for (qint64 expected = 0; rows.step() == Statement::Step::row; ++expected) {
      EXPECT_EQ(rows.int64(2), expected);
      result.append({rows.text(0), rows.uuid(1)});
    }
    return result;
  }

  QStringList textsOf(const QList<std::pair<QString, QUuid>>& rows) {
    QStringList texts;
    for (const auto& row : rows) texts.append(row.first);
    return texts;
  }

  std::unique_ptr<ModelContext> context = std::make_unique<ModelContext>(storeFile());
};

}  // namespace

TEST_F(ChangedRowsTest, ASaveWritesOnlyTheSegmentsThatChanged) {
  const QUuid id = savedVersion({"a", "b", "c", "d", "e"});
  const auto before = savedRows(id);
  Transcription* version = context->find<Transcription>(id);

  struct Case {
    const char* what;
    QStringList texts;
    int inserted, updated, deleted;
  };
  const Case cases[] = {
      {"nothing changed", {"a", "b", "c", "d", "e"}, 0, 0, 0},
      {"one text edited", {"a", "b", "C", "d", "e"}, 0, 1, 0},
      {"the last two removed", {"a", "b", "C"}, 0, 0, 2},
      {"two appended", {"a", "b", "C", "f", "g"}, 2, 0, 0},
      {"one inserted in the middle", {"a", "x", "b", "C", "f", "g"}, 1, 4, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    context->updateSegments(version, resultOf(c.texts));
    Writes writes = save();
    EXPECT_EQ(writes.inserted["StoredSegment"], c.inserted);
    EXPECT_EQ(writes.updated["StoredSegment"], c.updated);
    EXPECT_EQ(writes.deleted["StoredSegment"], c.deleted);
    EXPECT_EQ(writes.total("Transcription"), 1);  // its updatedAt
    EXPECT_EQ(textsOf(savedRows(id)), c.texts);
  }
  // Rows kept in place keep their ids; the file reads back whole.
  const auto after = savedRows(id);
  EXPECT_EQ(after[0].second, before[0].second);
  EXPECT_EQ(after[1].second, before[1].second);
  reopen();
  QStringList loaded;
  for (const auto& segment : context->find<Transcription>(id)->toResult().segments) loaded.append(segment.text);
  EXPECT_EQ(loaded, QStringList({"a", "x", "b", "C", "f", "g"}));
}

TEST_F(ChangedRowsTest, UnknownTimesCountAsUnchanged) {
  const QUuid id = savedVersion({});
  Transcription* version = context->find<Transcription>(id);
  const TranscriptionResult result({TranscribedSegment(0, std::nan(""), std::nan(""), "t")}, 1, 1);
  context->updateSegments(version, result);
  context->save();
  context->updateSegments(version, result);
  EXPECT_EQ(save().total("StoredSegment"), 0);
}

TEST_F(ChangedRowsTest, SpeakerOverridesAreMatchedBySpeaker) {
  const QUuid id = savedVersion({"a"});
  Transcription* version = context->find<Transcription>(id);
  context->updateSpeakers(version, {Speaker(0, QString("Ann")), Speaker(1, QString("Bo")), Speaker(2, QString("Cy"))});
  EXPECT_EQ(save().inserted["StoredSpeaker"], 3);

  context->updateSpeakers(version,
                          {Speaker(0, QString("Ann")), Speaker(2, QString("Cyd"), QString("#FF0000")), Speaker(3)});
  Writes writes = save();
  EXPECT_EQ(writes.inserted["StoredSpeaker"], 1);  // speaker 3
  EXPECT_EQ(writes.updated["StoredSpeaker"], 1);   // speaker 2
  EXPECT_EQ(writes.deleted["StoredSpeaker"], 1);   // speaker 1

  context->updateSpeakers(version,
                          {Speaker(0, QString("Ann")), Speaker(2, QString("Cyd"), QString("#FF0000")), Speaker(3)});
  EXPECT_EQ(save().total("StoredSpeaker"), 0);
  // A new colour alone is a change as well.
  context->updateSpeakers(version, {Speaker(0, QString("Ann"), QString("#00AA00")),
                                    Speaker(2, QString("Cyd"), QString("#FF0000")), Speaker(3)});
  EXPECT_EQ(save().updated["StoredSpeaker"], 1);

  reopen();
  std::map<qint64, Speaker> loaded;
  for (const StoredSpeaker* stored : context->find<Transcription>(id)->speakers())
    loaded[stored->speakerId()] = Speaker(stored->speakerId(), stored->customName(), stored->colorHex());
  EXPECT_EQ(loaded, (std::map<qint64, Speaker>{{0, Speaker(0, QString("Ann"), QString("#00AA00"))},
                                               {2, Speaker(2, QString("Cyd"), QString("#FF0000"))},
                                               {3, Speaker(3)}}));
}

TEST_F(ChangedRowsTest, AFailedSaveLeavesTheFileAsItWasAndTheNextSaveWritesWhatWasPending) {
  const QUuid id = savedVersion({"a", "b", "c"});
  Transcription* version = context->find<Transcription>(id);
  context->updateSpeakers(version, {Speaker(0, QString("Ann"))});
  context->save();
  const auto before = savedRows(id);
  // A trigger standing in for a disk failure, on the first row the save updates.
  context->database().execute(
      "CREATE TABLE failing (x); INSERT INTO failing VALUES (1);"
      "CREATE TRIGGER fail BEFORE UPDATE ON StoredSegment WHEN EXISTS (SELECT 1 FROM failing) "
      "BEGIN SELECT RAISE(ABORT, 'disk trouble'); END");

  const TranscriptionResult edited = resultOf({"A", "b"});
  context->updateSegments(version, edited);
  context->updateSpeakers(version, {Speaker(0, QString("Anna")), Speaker(1, QString("Bo"))});
  EXPECT_THROW(context->save(), StoreError);
  EXPECT_EQ(savedRows(id), before);
  {
    Statement speaker = context->database().prepare("SELECT customName FROM StoredSpeaker");
    ASSERT_EQ(speaker.step(), Statement::Step::row);
    EXPECT_EQ(speaker.text(0), "Ann");
    EXPECT_EQ(speaker.step(), Statement::Step::done);
  }
  EXPECT_TRUE(context->hasChanges());

  // The autosave comes again with the same transcript: nothing differs from memory any more,
  // but what the failed save left pending is written now.
  context->database().execute("DELETE FROM failing");
  context->updateSegments(version, edited);
  context->updateSpeakers(version, {Speaker(0, QString("Anna")), Speaker(1, QString("Bo"))});
  context->save();
  EXPECT_FALSE(context->hasChanges());
  reopen();
  QStringList texts;
  for (const auto& segment : context->find<Transcription>(id)->toResult().segments) texts.append(segment.text);
  EXPECT_EQ(texts, QStringList({"A", "b"}));
  EXPECT_EQ(context->find<Transcription>(id)->speakers().size(), 2);
}

TEST_F(ChangedRowsTest, AnEditToASegmentGoneFromTheFileFailsTheSave) {
  const QUuid id = savedVersion({"a", "b"});
  Transcription* version = context->find<Transcription>(id);
  context->database().execute("DELETE FROM StoredSegment WHERE sortOrder = 1");
  context->updateSegments(version, resultOf({"a", "B"}));
  try {
    context->save();
    FAIL() << "an update that reached no row must not report success";
  } catch (const StoreError& error) {
    EXPECT_TRUE(error.message().contains("no longer in the library file")) << error.message().toStdString();
  }
  EXPECT_TRUE(context->hasChanges());
}

TEST_F(ChangedRowsTest, NewRowsGetTimeOrderedIds) {
  const QUuid id = savedVersion({"a", "b", "c", "d", "e", "f", "g", "h"});
  // Ordered by their bytes (as the id index holds them), the rows come in the order made.
  Statement rows = context->database().prepare("SELECT text FROM StoredSegment WHERE transcription = ?1 ORDER BY id");
  rows.bind(1, id);
  QStringList texts;
  while (rows.step() == Statement::Step::row) texts.append(rows.text(0));
  EXPECT_EQ(texts, QStringList({"a", "b", "c", "d", "e", "f", "g", "h"}));

  for (const auto& [text, rowId] : savedRows(id)) {
    EXPECT_EQ(rowId.data3 >> 12, 7) << text.toStdString();  // version 7
    EXPECT_EQ(rowId.variant(), QUuid::DCE);
    EXPECT_EQ(uuidFromText(uuidText(rowId)), rowId);
  }
}

TEST_F(ChangedRowsTest, AFileWrittenWithRandomIdsOpensAndSaves) {
  // The rows as earlier releases wrote them: random (version 4) ids.
  const QUuid id = savedVersion({});
  context.reset();
  QList<QUuid> oldIds;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(storeFile().toUtf8().constData(), &db), SQLITE_OK);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO StoredSegment (id, sortOrder, speakerId, startTime, endTime, text, "
                       "transcription, _order) VALUES (?1, ?2, 0, ?2, ?2 + 0.5, ?3, ?4, ?2)",
                       -1, &insert, nullptr);
    const QByteArray owner = id.toRfc4122();
    for (int i = 0; i < 4; ++i) {
      const QUuid rowId = newUuid();
      oldIds.append(rowId);
      const QByteArray bytes = rowId.toRfc4122();
      const QByteArray text = QString("old %1").arg(i).toUtf8();
      sqlite3_bind_blob(insert, 1, bytes.constData(), 16, SQLITE_TRANSIENT);
      sqlite3_bind_int64(insert, 2, i);
      sqlite3_bind_text(insert, 3, text.constData(), int(text.size()), SQLITE_TRANSIENT);
      sqlite3_bind_blob(insert, 4, owner.constData(), 16, SQLITE_TRANSIENT);
      ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
  }
  reopen();
  Transcription* version = context->find<Transcription>(id);
  ASSERT_NE(version, nullptr);
  ASSERT_EQ(version->segments().size(), 4);
  EXPECT_EQ(version->sortedSegments()[2]->id(), oldIds[2]);
  EXPECT_EQ(context->find<StoredSegment>(oldIds[1])->text(), "old 1");

  // Edit one, drop the last, add two: the old ids stay where their rows stay.
  QList<TranscribedSegment> segments = version->toResult().segments;
  segments[1].text = "edited";
  segments.removeLast();
  segments.append(TranscribedSegment(1, 8, 9, "new 1"));
  segments.append(TranscribedSegment(1, 9, 10, "new 2"));
  context->updateSegments(version, TranscriptionResult(segments, 10, 1));
  Writes writes = save();
  EXPECT_EQ(writes.updated["StoredSegment"], 2);  // the edit, and the row taking "new 1"
  EXPECT_EQ(writes.inserted["StoredSegment"], 1);
  EXPECT_EQ(writes.deleted["StoredSegment"], 0);

  reopen();
  const auto rows = savedRows(id);
  EXPECT_EQ(textsOf(rows), QStringList({"old 0", "edited", "old 2", "new 1", "new 2"}));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(rows[i].second, oldIds[i]);
  EXPECT_EQ(rows[4].second.data3 >> 12, 7);
}
