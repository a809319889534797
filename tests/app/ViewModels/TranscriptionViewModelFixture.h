#pragma once

// The view model over the pipeline harness with a scripted engine, and what its tests share: a
// recogniser that hears one word, the rows stored, and a disk that fails on a segment's text.

#include "Models/Transcription.h"
#include "Store/Statement.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/TimeLeft.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <span>
#include <string>

namespace transcriptionviewmodeltest {

using namespace pipelinetest;

// A recogniser that hears one word at 0.1 s.
inline std::function<voxtrellis::ASRResult(std::span<const float>)> oneWord(const char* token) {
  return [token](std::span<const float>) {
    voxtrellis::ASRResult r;
    r.text = token;
    voxtrellis::TokenTiming t;
    t.token = token;
    t.startTime = 0.1;
    t.endTime = 0.2;
    r.tokenTimings = std::vector{t};
    return r;
  };
}

class TranscriptionViewModelTest : public ::testing::Test {
 protected:
  // Every wait of the test shares the time ctest gives it, less a margin for the rest: a run
  // settles within a minute and a read of the cache within one, and a test of several files could
  // otherwise wait in all for longer than its limit and be ended by ctest with nothing said.
  const testsupport::TimeLeft timeLeft{PV_TEST_TIMEOUT_SECONDS, 30};
  const testsupport::WaitsWithin waitsWithin{timeLeft};

  void SetUp() override {
    engine = std::make_shared<FakeEngine>();
    rebuild(true, {});
  }

  void rebuild(bool withGroup, std::shared_ptr<SampleCache> cache) {
    h = std::make_unique<Harness>(engine, withGroup, cache);
    audio = h->path("talk.wav");
    writeFloatWav(audio.toStdString(), twoVoices(3.0, {}));
  }

  void runFile(const QString& path) {
    h->vm->processFile(QUrl::fromLocalFile(path));
    ASSERT_TRUE(h->settle());
    ASSERT_EQ(h->vm->state().kind(), ProcessingState::Kind::completed) << h->vm->statusMessage().toStdString();
  }

  // Rows in the file, read through the store's own connection (it holds the file for itself).
  int storedRows(const char* table) {
    Statement count = h->context->database().prepare((std::string("SELECT COUNT(*) FROM ") + table).c_str());
    return count.step() == Statement::Step::row ? int(count.int64(0)) : -1;
  }

  // Triggers standing in for a failing disk when a segment with this text is written (a new
  // row or a changed one).
  void failSegmentWrites(const char* text) {
    for (const char* event : {"INSERT", "UPDATE"}) {
      const std::string sql = std::string("CREATE TRIGGER fail_") + event + " BEFORE " + event +
                              " ON StoredSegment WHEN NEW.text = '" + text +
                              "' BEGIN SELECT RAISE(ABORT, 'disk trouble'); END";
      h->context->database().execute(sql.c_str());
    }
  }
  void healDisk() {
    for (const char* name : {"fail_INSERT", "fail_UPDATE"}) {
      h->context->database().execute((std::string("DROP TRIGGER IF EXISTS ") + name).c_str());
    }
  }
  std::shared_ptr<FakeEngine> engine;
  std::unique_ptr<Harness> h;
  QString audio;
};

}  // namespace transcriptionviewmodeltest
