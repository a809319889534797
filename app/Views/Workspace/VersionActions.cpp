#include "Views/Workspace/VersionActions.h"

#include "Models/AudioSource.h"
#include "Models/Transcription.h"
#include "Services/AudioPlayerService.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Workspace/TranscriptionVersionsBar.h"

namespace parlowvista {

VersionActions::VersionActions(TranscriptionViewModel& viewModel, TranscriptionVersionsBar& bar, QObject* parent)
    : QObject(parent), m_vm(viewModel), m_bar(bar) {}

void VersionActions::selectNewest() {
  m_bar.refresh();
  const auto list = m_bar.transcriptions();
  Transcription* newest = list.isEmpty() ? nullptr : list.last();
  if (newest == m_bar.selectedTranscription()) {
    // Already selected: the window still has to show what the view model now holds.
    if (newest) m_vm.loadTranscription(newest);
    return;
  }
  m_bar.setSelectedTranscription(nullptr);
  // Through the bar, so the window hears of it as of a click.
  if (newest) {
    m_bar.setSelectedTranscription(newest);
    emit m_bar.selectedTranscriptionChanged(newest);
  } else {
    emit m_bar.selectedTranscriptionChanged(nullptr);
  }
}

void VersionActions::duplicate() {
  m_vm.duplicateCurrentTranscription();
  if (m_bar.audioSource()) selectNewest();
}

void VersionActions::reprocessAsNewVersion() {
  // The copy is of the working version (never of a translation shown in its tab), under its name.
  Transcription* before = m_vm.currentTranscription();
  std::optional<QString> name;
  if (before) name = before->name();
  m_vm.duplicateCurrentTranscription(name);
  if (!before || m_vm.currentTranscription() == before) {
    // No copy was made: processing now would overwrite the version the user meant to keep.
    emit reprocessFinished();
    return;
  }
  m_bar.refresh();
  m_vm.audioPlayer().stop();
  m_vm.reprocess();
  afterReprocess([this] { selectNewest(); });
}

void VersionActions::reprocessOverwrite() {
  m_vm.audioPlayer().stop();
  QPointer<Transcription> version = m_vm.currentTranscription();
  m_vm.reprocess();
  afterReprocess([this, version] {
    if (version) m_vm.loadTranscription(version);
  });
}

void VersionActions::afterReprocess(std::function<void()> then) {
  if (!m_vm.isBusy()) {
    then();
    emit reprocessFinished();
    return;
  }
  auto connection = std::make_shared<QMetaObject::Connection>();
  *connection = connect(&m_vm, &TranscriptionViewModel::isBusyChanged, this, [this, connection, then] {
    if (m_vm.isBusy()) return;
    disconnect(*connection);
    then();
    emit reprocessFinished();
  });
}

}  // namespace parlowvista
