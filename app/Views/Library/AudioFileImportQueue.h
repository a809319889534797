#pragma once

#include <QList>
#include <QObject>
#include <QUrl>
#include <functional>

namespace parlowvista {

// The "audioFileDropped" road: files dropped on the source list, chosen in its picker or in
// the "Add Audio File..." command are queued here and announced one at a time with
// audioFileDropped(url), always from the event loop (queued), never inside the drop itself.
// The next file is announced only once `isBusy` says the previous run is over; the host
// calls pump() when that changes (e.g. on the view model's isBusyChanged). UI thread only.
class AudioFileImportQueue : public QObject {
  Q_OBJECT
 public:
  explicit AudioFileImportQueue(QObject* parent = nullptr);

  // Without a probe the queue announces every file, one per event-loop turn.
  void setBusyProbe(std::function<bool()> isBusy) { m_isBusy = std::move(isBusy); }
  void enqueue(const QList<QUrl>& files);
  qsizetype pendingCount() const { return m_pending.size(); }
  const QList<QUrl>& pending() const { return m_pending; }

 public slots:
  void pump();

 signals:
  void audioFileDropped(const QUrl& file);
  // Files were added or one was announced.
  void pendingChanged();

 private:
  void schedule();

  QList<QUrl> m_pending;
  std::function<bool()> m_isBusy;
  bool m_scheduled = false;
};

}  // namespace parlowvista
