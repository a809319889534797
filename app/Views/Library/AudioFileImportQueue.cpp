#include "Views/Library/AudioFileImportQueue.h"

#include <QMetaObject>

namespace parlowvista {

AudioFileImportQueue::AudioFileImportQueue(QObject* parent) : QObject(parent) {}

void AudioFileImportQueue::enqueue(const QList<QUrl>& files) {
  const QUuid group = m_target ? m_target() : QUuid();
  for (const QUrl& file : files) m_pending.append(Pending{file, group});
  emit pendingChanged();
  schedule();
}

QList<QUrl> AudioFileImportQueue::pending() const {
  QList<QUrl> files;
  for (const Pending& entry : m_pending) files << entry.file;
  return files;
}

void AudioFileImportQueue::schedule() {
  if (m_scheduled || m_pending.isEmpty()) return;
  m_scheduled = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        m_scheduled = false;
        pump();
      },
      Qt::QueuedConnection);
}

void AudioFileImportQueue::pump() {
  if (m_pending.isEmpty() || (m_isBusy && m_isBusy())) return;
  const Pending next = m_pending.takeFirst();
  emit pendingChanged();
  emit audioFileDropped(next.file, next.group);
  // The receiver normally starts a run here (busy); the next file waits for pump().
  schedule();
}

}  // namespace parlowvista
