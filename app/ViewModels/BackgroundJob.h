#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace parlowvista {

// How a background job ended: its value, or the failure's user-facing description
// (`error`) and full description (`details`), with the exception itself for callers that
// tell kinds of failure apart.
template <typename T>
struct JobResult {
  std::optional<T> value;
  QString error;
  QString details;
  std::exception_ptr exception;
};

// Runs `fn` on the application's (UI) thread later, unless `alive` has turned false by then.
inline void postToUi(const std::shared_ptr<bool>& alive, std::function<void()> fn) {
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [alive, fn = std::move(fn)] {
        if (*alive) fn();
      },
      Qt::QueuedConnection);
}

// The worker threads of the application's long jobs (loading and caching audio, recognising,
// diarizing, model start-up), apart from Qt's global pool: Qt paints large areas and converts
// images in pieces on that pool while the UI thread waits for them, so a job holding one of its
// threads for seconds would hold up the window's painting. A few jobs run at once (a run's step
// beside the cache write of the run before, a release of samples, the allocator's trim); more
// wait their turn. Destroying the pool (as the application quits) asks its jobs to stop, then
// waits for the jobs under way: every job that may take long on a long file or a slow network
// (a model download; each step of a run: loading, recognition, diarization, the merge; the
// sample cache's write) watches stopToken() between its pieces of work and ends within one of
// them. The outcome of a job stopped so is never handed on: its owner goes with the pool.
class JobPool : public QThreadPool {
 public:
  explicit JobPool(QObject* parent = nullptr) : QThreadPool(parent) { setMaxThreadCount(4); }
  ~JobPool() override {
    m_stop.request_stop();
    waitForDone();
  }
  JobPool(const JobPool&) = delete;
  JobPool& operator=(const JobPool&) = delete;

  std::stop_token stopToken() const { return m_stop.get_token(); }

 private:
  std::stop_source m_stop;
};

// Runs `work` on a thread of `pool` and hands its outcome to `done` on the UI thread, unless
// `owner` is gone by then. `work` must not touch `owner`; every exception it throws becomes the
// result's error.
template <typename T>
void runJob(QThreadPool& pool, QObject* owner, std::function<T()> work, std::function<void(JobResult<T>)> done) {
  QPointer<QObject> guard(owner);
  pool.start([work = std::move(work), done = std::move(done), guard]() mutable {
    auto result = std::make_shared<JobResult<T>>();
    try {
      result->value = work();
    } catch (const std::exception& error) {
      result->error = QString::fromUtf8(error.what());
      result->details = result->error;
      result->exception = std::current_exception();
    } catch (...) {
      result->error = "Unknown error";
      result->details = result->error;
      result->exception = std::current_exception();
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [guard, done = std::move(done), result]() mutable {
          if (guard) done(std::move(*result));
        },
        Qt::QueuedConnection);
  });
}

}  // namespace parlowvista
