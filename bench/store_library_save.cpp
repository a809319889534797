// Saves as the editor makes them, in an empty store and in a big library.
//
// Three saves of a 3,000-segment version, each the editor's own sequence (the version's
// segments from the in-memory transcript, its four speaker overrides, one save; see
// TranscriptionViewModel::saveCurrentTranscription):
//   BM_ResaveVersion   the same transcript saved again (the save on loading another version);
//   BM_AutosaveOneEdit one segment's text changed since the last save (the autosave while
//                      editing), a different segment each time;
//   BM_SaveNewVersion  a new version holding the whole transcript (duplicating a version, or
//                      storing a finished run).
// Two more edits show the cost of what a save still writes:
//   BM_RewriteEverySegment every segment's text changed, as many segments (reprocessing);
//   BM_InsertInTheMiddle   a segment added at the middle, then removed again (a split or
//                          merge): the rows after it move, so they are written too.
// The peer, BM_BareSqliteNewVersion: the 3,000 rows of a new version inserted straight
// through SQLite (one prepared statement, one transaction, values ready) into the big
// library, with random ids (argument 0) or time-ordered ids (argument 1): the floor a save of
// a new version can reach, and what the order of the keys alone costs.
// The argument of the others is the store: 0 = a store holding only that version, 1 = a library of 1,000
// versions x 1,000 segments (and the version), written as earlier releases wrote it: random
// (version 4) row ids, which scatter over the id index. The library is built once per run in a
// temporary folder and shared by the benchmarks; each benchmark opens it with its own context.
// Times are wall time of the save on the UI thread, including the commit (write-ahead log,
// synchronous = NORMAL, with its checkpoints when they fall due). Each iteration reads what it
// wrote back from the file (through the store's own connection, which holds the file's lock)
// and stops the benchmark with an error when it is not there.
#include "Models/AudioSource.h"
#include "Models/Speaker.h"
#include "Models/StoredSegment.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Models/UuidText.h"
#include "Store/ModelContext.h"

#include "QtBenchMain.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <memory>

using namespace parlowvista;

namespace {

constexpr int kSegments = 3000;
constexpr int kLibraryVersions = 1000;
constexpr int kLibrarySegmentsPerVersion = 1000;
constexpr int kVersionsPerSource = 10;

TranscribedSegment segmentAt(int i, const QString& tag = QString()) {
  return TranscribedSegment(i % 4, i * 2.0, i * 2.0 + 1.5,
                            QStringLiteral("Segment number %1 with a few ordinary words in it%2").arg(i).arg(tag));
}

TranscriptionResult transcript() {
  QList<TranscribedSegment> segments;
  segments.reserve(kSegments);
  for (int i = 0; i < kSegments; ++i) segments.append(segmentAt(i));
  return TranscriptionResult(std::move(segments), kSegments * 2.0, 30.0);
}

const QList<Speaker>& speakerOverrides() {
  static const QList<Speaker> speakers{Speaker(0, QString("Host")), Speaker(1, QString("Guest"), QString("#FF8800")),
                                       Speaker(2, std::nullopt, QString("#00AA00")), Speaker(3, QString("Caller"))};
  return speakers;
}

Transcription* newVersion(const QString& name, AudioSource* source) {
  auto* version = new Transcription(name, 30.0, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 10.0);
  version->setAudioSource(source);
  return version;
}

// The editor's save: the version's segments and speaker overrides from memory, then one save.
void saveLikeTheEditor(ModelContext& context, Transcription* version, const TranscriptionResult& result) {
  context.updateSegments(version, result);
  context.updateSpeakers(version, speakerOverrides());
  context.save();
}

// Lets objects released by saves go, as the event loop would between saves.
void drainEvents() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
}

// A store file with the 3,000-segment version under a source "subject.wav".
struct Store {
  std::unique_ptr<QTemporaryDir> dir;
  QString path;
  QUuid sourceId;
  QUuid versionId;
};

void addSubject(Store& store) {
  ModelContext context(store.path);
  auto* source = new AudioSource("/audio/subject.wav", "subject.wav", kSegments * 2.0);
  context.insert(source);
  Transcription* version = newVersion("Version 1", source);
  saveLikeTheEditor(context, version, transcript());
  store.sourceId = source->id();
  store.versionId = version->id();
}

Store emptyStore() {
  Store store;
  store.dir = std::make_unique<QTemporaryDir>();
  store.path = store.dir->filePath("Parlowvista.store");
  addSubject(store);
  return store;
}

// 1,000 versions (100 sources x 10, in one group) of 1,000 segments and four speaker overrides
// each, the rows written straight into the file with random ids as earlier releases made them;
// then the subject version, saved through the store.
Store buildLibrary() {
  Store store;
  store.dir = std::make_unique<QTemporaryDir>();
  store.path = store.dir->filePath("Parlowvista.store");
  QList<QByteArray> versionIds;
  {
    ModelContext context(store.path);
    auto* group = new TranscriptGroup("Library", 0);
    context.insert(group);
    for (int s = 0; s < kLibraryVersions / kVersionsPerSource; ++s) {
      auto* source = new AudioSource(QString("/audio/%1.wav").arg(s), QString("%1.wav").arg(s), 2000.0);
      group->appendAudioSource(source);
      for (int v = 0; v < kVersionsPerSource; ++v) {
        Transcription* version = newVersion(QString("Version %1").arg(v + 1), source);
        versionIds.append(version->id().toRfc4122());
      }
    }
    context.save();
  }
  sqlite3* db = nullptr;
  sqlite3_open(store.path.toUtf8().constData(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA cache_size = -524288", nullptr,
               nullptr, nullptr);
  sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  sqlite3_stmt* segment = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO StoredSegment (id, sortOrder, speakerId, startTime, endTime, text, "
                     "transcription, _order) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                     -1, &segment, nullptr);
  sqlite3_stmt* speaker = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO StoredSpeaker (id, speakerId, customName, colorHex, transcription, _order) "
                     "VALUES (?1, ?2, ?3, NULL, ?4, ?5)",
                     -1, &speaker, nullptr);
  // Random version 4 ids, as QUuid makes them.
  const auto randomId = [] {
    QByteArray bytes(16, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), 4);
    bytes[6] = char((bytes[6] & 0x0F) | 0x40);
    bytes[8] = char((bytes[8] & 0x3F) | 0x80);
    return bytes;
  };
  for (const QByteArray& owner : std::as_const(versionIds)) {
    for (int i = 0; i < kLibrarySegmentsPerVersion; ++i) {
      const QByteArray id = randomId();
      const QByteArray text = segmentAt(i).text.toUtf8();
      sqlite3_bind_blob(segment, 1, id.constData(), 16, SQLITE_TRANSIENT);
      sqlite3_bind_int64(segment, 2, i);
      sqlite3_bind_int64(segment, 3, i % 4);
      sqlite3_bind_double(segment, 4, i * 2.0);
      sqlite3_bind_double(segment, 5, i * 2.0 + 1.5);
      sqlite3_bind_text(segment, 6, text.constData(), int(text.size()), SQLITE_TRANSIENT);
      sqlite3_bind_blob(segment, 7, owner.constData(), 16, SQLITE_STATIC);
      sqlite3_bind_int64(segment, 8, i);
      sqlite3_step(segment);
      sqlite3_reset(segment);
    }
    for (int i = 0; i < 4; ++i) {
      const QByteArray id = randomId();
      sqlite3_bind_blob(speaker, 1, id.constData(), 16, SQLITE_TRANSIENT);
      sqlite3_bind_int64(speaker, 2, i);
      sqlite3_bind_text(speaker, 3, "Name", -1, SQLITE_STATIC);
      sqlite3_bind_blob(speaker, 4, owner.constData(), 16, SQLITE_STATIC);
      sqlite3_bind_int64(speaker, 5, i);
      sqlite3_step(speaker);
      sqlite3_reset(speaker);
    }
  }
  sqlite3_finalize(segment);
  sqlite3_finalize(speaker);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);  // checkpoints the log into the file
  addSubject(store);
  return store;
}

// The big library, built on first use and kept for the rest of the run.
Store& library() {
  static Store store = buildLibrary();
  return store;
}

const char* storeLabel(int which) {
  return which == 0 ? "empty store" : "library 1000 x 1000";
}

// The saved text of the version's row at `sortOrder`, read from the file.
QString savedText(ModelContext& context, const QUuid& versionId, int sortOrder) {
  Statement row =
      context.database().prepare("SELECT text FROM StoredSegment WHERE transcription = ?1 AND sortOrder = ?2");
  row.bind(1, versionId).bind(2, sortOrder);
  return row.step() == Statement::Step::row ? row.text(0) : QString();
}

qint64 savedSegmentCount(ModelContext& context, const QUuid& versionId) {
  Statement row = context.database().prepare("SELECT COUNT(*) FROM StoredSegment WHERE transcription = ?1");
  row.bind(1, versionId);
  return row.step() == Statement::Step::row ? row.int64(0) : -1;
}

void BM_ResaveVersion(benchmark::State& state) {
  Store empty;
  Store& store = state.range(0) == 0 ? (empty = emptyStore()) : library();
  ModelContext context(store.path);
  Transcription* version = context.find<Transcription>(store.versionId);
  const TranscriptionResult result = version->toResult();
  for (auto _ : state) {
    saveLikeTheEditor(context, version, result);

    state.PauseTiming();
    if (context.hasChanges() || savedSegmentCount(context, store.versionId) != kSegments ||
        savedText(context, store.versionId, kSegments - 1) != result.segments.last().text) {
      state.SkipWithError("the version did not read back as saved");
      break;
    }
    drainEvents();
    state.ResumeTiming();
  }
  state.SetLabel(storeLabel(int(state.range(0))));
}
BENCHMARK(BM_ResaveVersion)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AutosaveOneEdit(benchmark::State& state) {
  Store empty;
  Store& store = state.range(0) == 0 ? (empty = emptyStore()) : library();
  ModelContext context(store.path);
  Transcription* version = context.find<Transcription>(store.versionId);
  TranscriptionResult result = version->toResult();
  saveLikeTheEditor(context, version, result);  // the state the editor leaves after a save
  int edits = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // A different segment each time, spread over the version, with text it never had.
    const int index = int((qint64(edits) * 1103) % kSegments);
    const QString edited = result.segments[index].text + QStringLiteral(" (edit %1)").arg(edits++);
    result.segments[index].text = edited;
    state.ResumeTiming();

    saveLikeTheEditor(context, version, result);

    state.PauseTiming();
    if (context.hasChanges() || savedText(context, store.versionId, index) != edited) {
      state.SkipWithError("the edited segment did not read back as saved");
      break;
    }
    drainEvents();
    state.ResumeTiming();
  }
  state.SetLabel(storeLabel(int(state.range(0))));
}
BENCHMARK(BM_AutosaveOneEdit)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RewriteEverySegment(benchmark::State& state) {
  Store empty;
  Store& store = state.range(0) == 0 ? (empty = emptyStore()) : library();
  ModelContext context(store.path);
  Transcription* version = context.find<Transcription>(store.versionId);
  int rewrites = 0;
  for (auto _ : state) {
    state.PauseTiming();
    QList<TranscribedSegment> segments;
    segments.reserve(kSegments);
    const QString tag = QStringLiteral(" (run %1)").arg(rewrites++);
    for (int i = 0; i < kSegments; ++i) segments.append(segmentAt(i, tag));
    const TranscriptionResult result(std::move(segments), kSegments * 2.0, 30.0);
    state.ResumeTiming();

    saveLikeTheEditor(context, version, result);

    state.PauseTiming();
    if (context.hasChanges() || savedSegmentCount(context, store.versionId) != kSegments ||
        savedText(context, store.versionId, 17) != result.segments[17].text) {
      state.SkipWithError("the rewritten version did not read back as saved");
      break;
    }
    drainEvents();
    state.ResumeTiming();
  }
  state.SetLabel(storeLabel(int(state.range(0))));
}
BENCHMARK(BM_RewriteEverySegment)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_InsertInTheMiddle(benchmark::State& state) {
  Store empty;
  Store& store = state.range(0) == 0 ? (empty = emptyStore()) : library();
  ModelContext context(store.path);
  Transcription* version = context.find<Transcription>(store.versionId);
  const TranscriptionResult plain = version->toResult();
  TranscriptionResult split = plain;
  split.segments.insert(kSegments / 2, TranscribedSegment(0, kSegments - 0.5, kSegments - 0.25, "inserted"));
  saveLikeTheEditor(context, version, plain);
  bool inserted = false;
  for (auto _ : state) {
    inserted = !inserted;
    saveLikeTheEditor(context, version, inserted ? split : plain);

    state.PauseTiming();
    const QString expected = inserted ? QStringLiteral("inserted") : plain.segments[kSegments / 2].text;
    if (context.hasChanges() || savedSegmentCount(context, store.versionId) != kSegments + (inserted ? 1 : 0) ||
        savedText(context, store.versionId, kSegments / 2) != expected) {
      state.SkipWithError("the version did not read back as saved");
      break;
    }
    drainEvents();
    state.ResumeTiming();
  }
  saveLikeTheEditor(context, version, plain);  // the library is shared by later runs
  state.SetLabel(storeLabel(int(state.range(0))));
}
BENCHMARK(BM_InsertInTheMiddle)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SaveNewVersion(benchmark::State& state) {
  Store empty;
  Store& store = state.range(0) == 0 ? (empty = emptyStore()) : library();
  ModelContext context(store.path);
  AudioSource* source = context.find<AudioSource>(store.sourceId);
  const TranscriptionResult result = transcript();
  for (auto _ : state) {
    Transcription* copy = newVersion("Copy", source);
    context.insert(copy);
    saveLikeTheEditor(context, copy, result);

    state.PauseTiming();
    const QUuid copyId = copy->id();
    const bool saved = !context.hasChanges() && savedSegmentCount(context, copyId) == kSegments &&
                       savedText(context, copyId, kSegments / 2) == result.segments[kSegments / 2].text;
    // The library keeps its size: the copy goes again, outside the timing.
    context.remove(copy);
    context.save();
    drainEvents();
    if (!saved) {
      state.SkipWithError("the new version did not read back as saved");
      break;
    }
    state.ResumeTiming();
  }
  state.SetLabel(storeLabel(int(state.range(0))));
}
BENCHMARK(BM_SaveNewVersion)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BareSqliteNewVersion(benchmark::State& state) {
  const bool timeOrdered = state.range(0) == 1;
  Store& store = library();
  const TranscriptionResult result = transcript();
  QList<QByteArray> texts;
  for (const TranscribedSegment& segment : result.segments) texts.append(segment.text.toUtf8());
  const QByteArray owner = store.versionId.toRfc4122();
  sqlite3* db = nullptr;
  sqlite3_open(store.path.toUtf8().constData(), &db);
  sqlite3_exec(db, "PRAGMA foreign_keys = ON; PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL", nullptr, nullptr,
               nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO StoredSegment (id, sortOrder, speakerId, startTime, endTime, text, "
                     "transcription, _order) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                     -1, &insert, nullptr);
  for (auto _ : state) {
    state.PauseTiming();
    QList<QByteArray> ids;
    for (int i = 0; i < kSegments; ++i) ids.append((timeOrdered ? newTimeOrderedUuid() : newUuid()).toRfc4122());
    state.ResumeTiming();

    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    bool ok = true;
    for (int i = 0; i < kSegments; ++i) {
      const TranscribedSegment& segment = result.segments[i];
      sqlite3_bind_blob(insert, 1, ids[i].constData(), 16, SQLITE_STATIC);
      sqlite3_bind_int64(insert, 2, kSegments + i);
      sqlite3_bind_int64(insert, 3, segment.speakerId);
      sqlite3_bind_double(insert, 4, segment.startTime);
      sqlite3_bind_double(insert, 5, segment.endTime);
      sqlite3_bind_text(insert, 6, texts[i].constData(), int(texts[i].size()), SQLITE_STATIC);
      sqlite3_bind_blob(insert, 7, owner.constData(), 16, SQLITE_STATIC);
      sqlite3_bind_int64(insert, 8, kSegments + i);
      ok = sqlite3_step(insert) == SQLITE_DONE && ok;
      sqlite3_reset(insert);
    }
    ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK && ok;

    state.PauseTiming();
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM StoredSegment WHERE transcription = ?1 AND sortOrder >= ?2", -1,
                       &count, nullptr);
    sqlite3_bind_blob(count, 1, owner.constData(), 16, SQLITE_STATIC);
    sqlite3_bind_int64(count, 2, kSegments);
    ok = sqlite3_step(count) == SQLITE_ROW && sqlite3_column_int64(count, 0) == kSegments && ok;
    sqlite3_finalize(count);
    // The library keeps its size.
    sqlite3_stmt* cleanup = nullptr;
    sqlite3_prepare_v2(db, "DELETE FROM StoredSegment WHERE transcription = ?1 AND sortOrder >= ?2", -1, &cleanup,
                       nullptr);
    sqlite3_bind_blob(cleanup, 1, owner.constData(), 16, SQLITE_STATIC);
    sqlite3_bind_int64(cleanup, 2, kSegments);
    sqlite3_step(cleanup);
    sqlite3_finalize(cleanup);
    if (!ok) {
      state.SkipWithError("the rows did not read back as inserted");
      break;
    }
    state.ResumeTiming();
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetLabel(timeOrdered ? "library, time-ordered ids" : "library, random ids");
}
BENCHMARK(BM_BareSqliteNewVersion)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return bench::runWithQtApplication<QCoreApplication>(argc, argv);
}
