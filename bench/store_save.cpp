// Saving and reopening one long transcription version through the object store, against a
// bare SQLite insert of the same rows in one transaction.
#include "Models/AudioSource.h"
#include "Models/StoredSegment.h"
#include "Models/Transcription.h"
#include "Models/UuidText.h"
#include "Store/ModelContext.h"

#include "QtBenchMain.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <QCoreApplication>
#include <QTemporaryDir>

#include <memory>

using namespace parlowvista;

namespace {

constexpr int kSegments = 20000;

TranscriptionResult longResult() {
  QList<TranscribedSegment> segments;
  segments.reserve(kSegments);
  for (int i = 0; i < kSegments; ++i)
    segments.append(TranscribedSegment(i % 4, i * 2.0, i * 2.0 + 1.5,
                                       QStringLiteral("Segment number %1 with a few ordinary words in it").arg(i)));
  return TranscriptionResult(std::move(segments), kSegments * 2.0, 30.0);
}

// A store holding one source and one empty version; returns the version's id.
QUuid prepareStore(const QString& path) {
  ModelContext context(path);
  auto* source = new AudioSource("/audio/long.wav", "long.wav", kSegments * 2.0);
  context.insert(source);
  auto* version = new Transcription("Version 1", 30.0, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 10.0);
  version->setAudioSource(source);
  context.save();
  return version->id();
}

void BM_SaveVersion(benchmark::State& state) {
  const TranscriptionResult result = longResult();
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = std::make_unique<QTemporaryDir>();
    const QString path = dir->filePath("Parlowvista.store");
    const QUuid id = prepareStore(path);
    auto context = std::make_unique<ModelContext>(path);
    Transcription* version = context->find<Transcription>(id);
    state.ResumeTiming();

    context->updateSegments(version, result);
    context->save();

    // Closing (the write-ahead log's checkpoint) and clean-up are not part of a save.
    state.PauseTiming();
    context.reset();
    dir.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kSegments);
}
BENCHMARK(BM_SaveVersion)->Unit(benchmark::kMillisecond);

void BM_ReopenVersion(benchmark::State& state) {
  QTemporaryDir dir;
  const QString path = dir.filePath("Parlowvista.store");
  const QUuid id = prepareStore(path);
  {
    ModelContext context(path);
    context.updateSegments(context.find<Transcription>(id), longResult());
    context.save();
  }
  for (auto _ : state) {
    ModelContext context(path);
    const TranscriptionResult result = context.find<Transcription>(id)->toResult();
    benchmark::DoNotOptimize(result.segments.size());
  }
  state.SetItemsProcessed(state.iterations() * kSegments);
}
BENCHMARK(BM_ReopenVersion)->Unit(benchmark::kMillisecond);

// The floor: the same rows, values ready, one prepared statement, one transaction.
void BM_BareSqliteInsert(benchmark::State& state) {
  const TranscriptionResult result = longResult();
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = std::make_unique<QTemporaryDir>();
    const QString path = dir->filePath("Parlowvista.store");
    const QByteArray owner = prepareStore(path).toRfc4122();
    QList<QByteArray> ids;
    QList<QByteArray> texts;
    for (int i = 0; i < kSegments; ++i) {
      ids.append(newUuid().toRfc4122());
      texts.append(result.segments[i].text.toUtf8());
    }
    sqlite3* db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_exec(db, "PRAGMA foreign_keys = ON; PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL", nullptr,
                 nullptr, nullptr);
    state.ResumeTiming();

    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO StoredSegment (id, sortOrder, speakerId, startTime, endTime, text, "
                       "transcription, _order) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                       -1, &insert, nullptr);
    for (int i = 0; i < kSegments; ++i) {
      const auto& segment = result.segments[i];
      sqlite3_bind_blob(insert, 1, ids[i].constData(), 16, SQLITE_STATIC);
      sqlite3_bind_int64(insert, 2, i);
      sqlite3_bind_int64(insert, 3, segment.speakerId);
      sqlite3_bind_double(insert, 4, segment.startTime);
      sqlite3_bind_double(insert, 5, segment.endTime);
      sqlite3_bind_text(insert, 6, texts[i].constData(), int(texts[i].size()), SQLITE_STATIC);
      sqlite3_bind_blob(insert, 7, owner.constData(), 16, SQLITE_STATIC);
      sqlite3_bind_int64(insert, 8, i);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);

    state.PauseTiming();
    sqlite3_close(db);
    dir.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kSegments);
}
BENCHMARK(BM_BareSqliteInsert)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return bench::runWithQtApplication<QCoreApplication>(argc, argv);
}
