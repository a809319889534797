// Saving and reopening one long transcription version through the object store, against a
// bare SQLite insert of the same rows in one transaction; and the editor's autosave after one
// edited segment of that version in the running application, against a bare SQLite write of
// the rows that edit changes, found by their primary keys as the store finds them.
#include "App/Application.h"
#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/StoredSegment.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Models/UuidText.h"
#include "Services/SpeechEngine.h"
#include "Store/ModelContext.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Library/LibrarySelection.h"
#include "Views/Shell/MainWindow.h"

#include "QtBenchMain.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <vector>

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

// A store whose one version holds the long result; returns the version's id.
QUuid prepareLongVersion(const QString& path) {
  const QUuid id = prepareStore(path);
  ModelContext context(path);
  context.updateSegments(context.find<Transcription>(id), longResult());
  context.save();
  return id;
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
  const QUuid id = prepareLongVersion(path);
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

// The running application (main window shown, offscreen) showing the 20,000-segment version,
// in a library of 100 other sources with 10 versions of 200 segments each, all read into
// memory (as after the user has looked through them: 200,000 stored objects).
class EditorSession {
 public:
  EditorSession() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath("config"));
    class NoEngine : public SpeechEngine {
      std::shared_ptr<SpeechRecognizer> loadRecognizer(const std::function<void()>&, std::stop_token) override {
        return nullptr;
      }
      std::shared_ptr<SpeakerDiarizer> prepareDiarizer(const voxtrellis::OfflineDiarizerConfig&,
                                                       std::stop_token) override {
        return nullptr;
      }
    };
    m_application = std::make_unique<Application>(
        Application::Environment{m_dir.filePath("share"), "com.lanternhollow.bench", std::make_shared<NoEngine>()});
    AppSettings& settings = m_application->appSettings();
    settings.setHasCompletedOnboarding(true);
    settings.setAutoSaveInterval(3600);  // the benchmark makes the ticks
    ModelContext& context = m_application->modelContext();
    m_group = Application::ensureDefaultGroup(context, settings);
    for (int s = 0; s < 100; ++s) {
      auto* other = new AudioSource(QString("/audio/%1.wav").arg(s), QString("%1.wav").arg(s), 400.0);
      m_group->appendAudioSource(other);
      for (int v = 0; v < 10; ++v) {
        auto* version = new Transcription(QString("Version %1").arg(v + 1), 3.0, DiarizationPreset::balanced, 0.5,
                                          std::nullopt, 150, 10.0);
        version->setAudioSource(other);
        QList<TranscribedSegment> segments;
        for (int i = 0; i < 200; ++i)
          segments.append(TranscribedSegment(i % 4, i * 2.0, i * 2.0 + 1.5, QString("Other words %1").arg(i)));
        context.updateSegments(version, TranscriptionResult(std::move(segments), 400.0, 3.0));
      }
    }
    m_source = new AudioSource("/audio/long.wav", "long.wav", kSegments * 2.0);
    m_group->appendAudioSource(m_source);
    m_version = new Transcription("Version 1", 30.0, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 10.0);
    m_version->setAudioSource(m_source);
    context.updateSegments(m_version, longResult());
    context.save();

    m_application->showMainWindow();
    // The window's first showing starts the models; the version is shown once they are there.
    const auto starting = [this] {
      const auto kind = viewModel().state().kind();
      return kind == ProcessingState::Kind::idle || kind == ProcessingState::Kind::loadingModels;
    };
    while (starting()) QApplication::processEvents(QEventLoop::AllEvents, 5);
    LibrarySelection& selection = m_application->mainWindow()->selection();
    selection.setGroup(m_group);
    selection.setAudioSource(m_source);
    selection.setTranscription(m_version);
    settle();
  }

  TranscriptionViewModel& viewModel() const { return m_application->viewModel(); }
  ModelContext& context() const { return m_application->modelContext(); }
  Transcription* version() const { return m_version; }

  // Everything the event loop has to do, painting included.
  static void settle() {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 200) QApplication::processEvents(QEventLoop::AllEvents, 5);
  }

 private:
  QTemporaryDir m_dir;
  std::unique_ptr<Application> m_application;
  TranscriptGroup* m_group = nullptr;
  AudioSource* m_source = nullptr;
  Transcription* m_version = nullptr;
};

QString savedText(ModelContext& context, const QUuid& versionId, int sortOrder) {
  Statement row =
      context.database().prepare("SELECT text FROM StoredSegment WHERE transcription = ?1 AND sortOrder = ?2");
  row.bind(1, versionId).bind(2, sortOrder);
  return row.step() == Statement::Step::row ? row.text(0) : QString();
}

// One autosave tick after one edited segment (a different one each time), as the UI thread
// does it: the view model's save, then the store's change notice and the new log line reaching
// the library views, the log and the window (queued calls; painting is left out). Counters,
// medians over the ticks after the first: "ui_ms" the whole tick, "save_ms" the view model's
// save alone (the store's write included); and "first_save_ms", the first save after the
// version was opened, which compares every row once (the later ones touch the edited row alone).
void BM_AutosaveOneEdit(benchmark::State& state) {
  EditorSession session;
  TranscriptionViewModel& vm = session.viewModel();
  if (vm.currentTranscription() != session.version()) return state.SkipWithError("the version is not shown");
  int edits = 0;
  std::vector<double> saves;
  std::vector<double> ticks;
  for (auto _ : state) {
    const int index = int((qint64(edits) * 1103) % kSegments);
    const QString edited = QStringLiteral("Edited segment %1 (edit %2)").arg(index).arg(edits++);
    vm.updateSegmentText(index, edited);
    EditorSession::settle();  // the edit's own repaint is not the save's

    QElapsedTimer clock;
    clock.start();
    vm.saveCurrentTranscription();
    const double saveMs = double(clock.nsecsElapsed()) / 1e6;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    state.SetIterationTime(ms / 1000);
    saves.push_back(saveMs);
    ticks.push_back(ms);

    if (vm.hasUnsavedChanges() || savedText(session.context(), session.version()->id(), index) != edited) {
      state.SkipWithError("the edited segment did not read back as saved");
      break;
    }
  }
  if (saves.size() < 2) return;
  const auto laterMedian = [](std::vector<double> values) {
    values.erase(values.begin());
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(values.size() / 2), values.end());
    return values[values.size() / 2];
  };
  state.counters["first_save_ms"] = saves.front();
  state.counters["save_ms"] = laterMedian(saves);
  state.counters["ui_ms"] = laterMedian(ticks);
}
BENCHMARK(BM_AutosaveOneEdit)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(40);

// The floor of that save: the edited row and the version's change time written straight
// through SQLite by primary key (the ids are known, as the store knows its rows), one
// transaction, statements prepared, into a store of the same size.
void BM_BareSqliteSaveOneEdit(benchmark::State& state) {
  QTemporaryDir dir;
  const QString path = dir.filePath("Parlowvista.store");
  const QUuid id = prepareLongVersion(path);
  const QByteArray owner = id.toRfc4122();
  sqlite3* db = nullptr;
  sqlite3_open(path.toUtf8().constData(), &db);
  sqlite3_exec(db, "PRAGMA foreign_keys = ON; PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL", nullptr, nullptr,
               nullptr);
  std::vector<QByteArray> rowIds(kSegments);
  sqlite3_stmt* ids = nullptr;
  sqlite3_prepare_v2(db, "SELECT sortOrder, id FROM StoredSegment WHERE transcription = ?1", -1, &ids, nullptr);
  sqlite3_bind_blob(ids, 1, owner.constData(), 16, SQLITE_STATIC);
  while (sqlite3_step(ids) == SQLITE_ROW) {
    rowIds.at(std::size_t(sqlite3_column_int64(ids, 0))) =
        QByteArray(static_cast<const char*>(sqlite3_column_blob(ids, 1)), sqlite3_column_bytes(ids, 1));
  }
  sqlite3_finalize(ids);
  sqlite3_stmt* segment = nullptr;
  sqlite3_prepare_v2(db, "UPDATE StoredSegment SET text = ?1 WHERE id = ?2", -1, &segment, nullptr);
  sqlite3_stmt* version = nullptr;
  sqlite3_prepare_v2(db, "UPDATE Transcription SET updatedAt = ?1 WHERE id = ?2", -1, &version, nullptr);
  int edits = 0;
  bool ok = true;
  for (auto _ : state) {
    const int index = int((qint64(edits) * 1103) % kSegments);
    const QByteArray text = QStringLiteral("Edited segment %1 (edit %2)").arg(index).arg(edits++).toUtf8();
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_bind_text(segment, 1, text.constData(), int(text.size()), SQLITE_STATIC);
    sqlite3_bind_blob(segment, 2, rowIds[std::size_t(index)].constData(), 16, SQLITE_STATIC);
    ok = sqlite3_step(segment) == SQLITE_DONE && sqlite3_changes(db) == 1 && ok;
    sqlite3_reset(segment);
    sqlite3_bind_int64(version, 1, QDateTime::currentMSecsSinceEpoch());
    sqlite3_bind_blob(version, 2, owner.constData(), 16, SQLITE_STATIC);
    ok = sqlite3_step(version) == SQLITE_DONE && ok;
    sqlite3_reset(version);
    ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
    if (!ok) {
      state.SkipWithError("the edit did not reach the file");
      break;
    }
  }
  sqlite3_finalize(segment);
  sqlite3_finalize(version);
  sqlite3_close(db);
}
BENCHMARK(BM_BareSqliteSaveOneEdit)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return bench::runWithQtApplication<QApplication>(argc, argv);
}
