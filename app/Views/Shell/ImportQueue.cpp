#include "Views/Shell/ImportQueue.h"

#include "ViewModels/TranscriptionViewModel.h"

namespace parlowvista {

ImportQueue::ImportQueue(TranscriptionViewModel& viewModel, QObject* parent) : QObject(parent), m_viewModel(viewModel) {
  // Both: the state settles before the busy guard is given back, or after it.
  connect(&m_viewModel, &TranscriptionViewModel::isBusyChanged, this, &ImportQueue::startNext, Qt::QueuedConnection);
  connect(&m_viewModel, &TranscriptionViewModel::stateChanged, this, &ImportQueue::startNext, Qt::QueuedConnection);
}

void ImportQueue::enqueue(const QList<QUrl>& files) {
  m_pending.append(files);
  startNext();
}

void ImportQueue::startNext() {
  if (m_pending.isEmpty() || m_viewModel.isBusy() || !m_viewModel.modelsLoaded()) return;
  const ProcessingState::Kind kind = m_viewModel.state().kind();
  if (kind != ProcessingState::Kind::modelsReady && kind != ProcessingState::Kind::completed &&
      kind != ProcessingState::Kind::failed) {
    return;
  }
  const QUrl next = m_pending.takeFirst();
  emit started(next);
  m_viewModel.processFile(next);
}

}  // namespace parlowvista
