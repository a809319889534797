#pragma once

#include <QList>
#include <QObject>
#include <QUrl>
#include <QUuid>
#include <functional>

namespace parlowvista {

// The "audioFileDropped" road: files dropped on the source list, chosen in its picker or in
// the "Add Audio File..." command are queued here and announced one at a time with
// audioFileDropped(url, group), always from the event loop (queued), never inside the drop
// itself. Each file keeps the group that was the target when it was queued (see
// setTargetProbe), so a batch goes where it was added even if the user moves on meanwhile.
// The next file is announced only once `isBusy` says the previous run is over; the host
// calls pump() when that changes (e.g. on the view model's isBusyChanged). UI thread only.
class AudioFileImportQueue : public QObject {
  Q_OBJECT
 public:
  explicit AudioFileImportQueue(QObject* parent = nullptr);

  // Without a probe the queue announces every file, one per event-loop turn.
  void setBusyProbe(std::function<bool()> isBusy) { m_isBusy = std::move(isBusy); }
  // The group files queued now are for (asked at enqueue); without a probe, a null id.
  void setTargetProbe(std::function<QUuid()> target) { m_target = std::move(target); }
  void enqueue(const QList<QUrl>& files);
  qsizetype pendingCount() const { return m_pending.size(); }
  // The files still waiting, in order.
  QList<QUrl> pending() const;

 public slots:
  void pump();

 signals:
  void audioFileDropped(const QUrl& file, const QUuid& group);
  // Files were added or one was announced.
  void pendingChanged();

 private:
  struct Pending {
    QUrl file;
    QUuid group;
  };
  void schedule();

  QList<Pending> m_pending;
  std::function<bool()> m_isBusy;
  std::function<QUuid()> m_target;
  bool m_scheduled = false;
};

}  // namespace parlowvista
