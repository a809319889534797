#include "Views/Library/AudioFileImportQueue.h"

#include <QMetaObject>

namespace parlowvista {

AudioFileImportQueue::AudioFileImportQueue(QObject* parent) : QObject(parent) {}

void AudioFileImportQueue::enqueue(const QList<QUrl>& files) {
  m_pending << files;
  emit pendingChanged();
  schedule();
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
  const QUrl next = m_pending.takeFirst();
  emit pendingChanged();
  emit audioFileDropped(next);
  // The receiver normally starts a run here (busy); the next file waits for pump().
  schedule();
}

}  // namespace parlowvista
