#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

namespace parlowvista {

class TranscriptionViewModel;

// Files waiting for the view model, run one after another: the view model takes one run at a
// time and refuses a second while one is in progress, so several files chosen at once wait
// here and each starts when the previous run has ended (completed or failed).
class ImportQueue : public QObject {
  Q_OBJECT

 public:
  explicit ImportQueue(TranscriptionViewModel& viewModel, QObject* parent = nullptr);

  // Queues the files in order; the first starts at once when the view model is free.
  void enqueue(const QList<QUrl>& files);
  const QList<QUrl>& pending() const { return m_pending; }

 signals:
  // A file was handed to the view model.
  void started(const QUrl& file);

 private:
  void startNext();

  TranscriptionViewModel& m_viewModel;
  QList<QUrl> m_pending;
};

}  // namespace parlowvista
