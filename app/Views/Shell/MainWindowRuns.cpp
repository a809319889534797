// How the main window starts new files: the import queue and the files waiting for the models,
// the transcription settings sheet that asks before a file or an address runs, and the file
// the view model held before a run, which the run does not show.

#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Store/ModelContext.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Common/SheetPlacement.h"
#include "Views/Library/AudioFileImportQueue.h"
#include "Views/Library/AudioSourcesList.h"
#include "Views/Shell/MainWindow.h"
#include "Views/Shell/ProcessingScreens.h"
#include "Views/Shell/SkippedFilesNotice.h"
#include "Views/Workspace/TranscriptionSettingsSheet.h"

#include <QAction>
#include <QFileInfo>
#include <QPushButton>
#include <QScopedValueRollback>

namespace parlowvista {

namespace {

bool acceptsRuns(ProcessingState::Kind kind) {
  return kind == ProcessingState::Kind::modelsReady || kind == ProcessingState::Kind::completed ||
         kind == ProcessingState::Kind::failed;
}

}  // namespace

void MainWindow::importFiles(const QList<QUrl>& files) {
  // Files come in only into a group: without one nothing is imported, as the notice says.
  if (!selectedGroup() || files.isEmpty()) return;
  m_queue->enqueue(files);
}

bool MainWindow::canStartNextFile() const {
  // A sheet waiting for an answer holds the next file back, so its own run is not refused.
  // Files wait for the models too, through a failed start and "Try Again", and the screen
  // says so: a run without them would only be refused.
  return !m_settingsSheet && !m_viewModel.isBusy() && acceptsRuns(m_viewModel.state().kind()) &&
         m_viewModel.modelsLoaded();
}

void MainWindow::refreshWaitingFiles() {
  const bool waiting = !m_viewModel.modelsLoaded();
  QStringList names;
  if (waiting) {
    for (const QUrl& file : m_queue->pending()) names << QFileInfo(file.toLocalFile()).fileName();
  }
  m_screens->setWaitingFiles(names);
  const QString why =
      waiting ? QStringLiteral("The speech models are not loaded yet: files added now wait for them.") : QString();
  m_addAudio->setToolTip(why);
  m_addAudio->setStatusTip(why);
  if (QPushButton* add = m_sources->addFileButton()) add->setToolTip(why);
}

void MainWindow::targetGroup(TranscriptGroup* group) {
  // The view model files a new source under the last used group: make that the given one.
  if (group && m_library.settings.lastUsedGroupId() != group->id()) m_library.settings.setLastUsedGroupId(group->id());
}

void MainWindow::processDroppedFile(const QUrl& file, const QUuid& groupId) {
  // Into the group it was queued for; a group deleted since takes nothing.
  auto* group = m_context.find<TranscriptGroup>(groupId);
  if (!group || group->isDeleted()) return;
  // The next file takes the place of the one before's error screen: its reason stays in view.
  if (const ErrorInfo* error = m_viewModel.state().error(); error && !m_viewModel.currentFile().isEmpty()) {
    m_skippedFiles->add(QFileInfo(m_viewModel.currentFile().toLocalFile()).fileName(), error->message);
  }
  targetGroup(group);
  startNewFile([&] { m_viewModel.processFile(file); });
}

void MainWindow::requestTranscription(const QUrl& file) {
  if (m_settingsSheet) return;
  m_pendingFile = file;
  m_pendingAddress.reset();
  openTranscriptionSettings();
}

void MainWindow::requestTranscription(const QString& address) {
  if (m_settingsSheet) return;
  m_pendingFile = QUrl();
  m_pendingAddress = address;
  openTranscriptionSettings();
}

TranscriptionSettingsSheet* MainWindow::transcriptionSettingsSheet() const {
  return m_settingsSheet;
}

QString MainWindow::pendingSourceDescription() const {
  if (!m_pendingFile.isEmpty()) return QFileInfo(m_pendingFile.toLocalFile()).fileName();
  if (m_pendingAddress) return *m_pendingAddress;
  return QStringLiteral("Unknown source");
}

void MainWindow::openTranscriptionSettings() {
  auto* sheet = new TranscriptionSettingsSheet(m_viewModel, pendingSourceDescription(), this);
  m_settingsSheet = sheet;
  sheet->setWindowModality(Qt::WindowModal);
  connect(sheet, &TranscriptionSettingsSheet::cancelRequested, this, [this] {
    closeTranscriptionSettings();
    m_pendingFile = QUrl();
    m_pendingAddress.reset();
    m_queue->pump();
  });
  connect(sheet, &TranscriptionSettingsSheet::startRequested, this, [this] {
    closeTranscriptionSettings();
    startPendingTranscription();
    m_queue->pump();
  });
  sheet->show();
  centreOverParentWindow(sheet);
}

void MainWindow::closeTranscriptionSettings() {
  // The sheet never closes itself (a close asks to cancel); its presenter takes it away.
  if (!m_settingsSheet) return;
  TranscriptionSettingsSheet* sheet = m_settingsSheet;
  m_settingsSheet = nullptr;
  sheet->hide();
  sheet->deleteLater();
}

void MainWindow::startPendingTranscription() {
  // Without a group the pending file or address stays for a later start.
  if (!selectedGroup() || selectedGroup()->isDeleted()) return;
  targetGroup(selectedGroup());
  if (!m_pendingFile.isEmpty()) {
    const QUrl file = m_pendingFile;
    m_pendingFile = QUrl();
    startNewFile([&] { m_viewModel.processFile(file); });
  } else if (m_pendingAddress) {
    const QString address = *m_pendingAddress;
    m_pendingAddress.reset();
    startNewFile([&] { m_viewModel.processYouTubeURL(address); });
  }
}

void MainWindow::startNewFile(const std::function<void()>& start) {
  // A row's editor holding typed text is committed first: the commit changes what is shown,
  // and must do so before the window notes what it holds, not be taken for the run's end.
  m_viewModel.commitOpenEdit();
  // Until the run has a source of its own, what the view model holds is the file shown before.
  m_heldBeforeRun = m_viewModel.currentAudioSource();
  {
    // What the view model does before the run is busy (saving what was edited, say) is no end
    // of the run: the file before stays held.
    const QScopedValueRollback starting(m_startingNewFile, true);
    start();
  }
  if (!m_viewModel.isBusy()) m_heldBeforeRun = nullptr;  // refused: nothing changed
  adoptCurrentVersion();
}

void MainWindow::letGoOfTheFileBeforeTheRun() {
  // While a new file runs, and while its error is shown, the file before stays the view
  // model's; once the error is left ("Try Again"), it lets go of it: the drop zone shows, and
  // nothing may bring that file back into the library's highlight or the title.
  if (!m_heldBeforeRun || m_startingNewFile || m_viewModel.isBusy() ||
      m_viewModel.state().kind() == ProcessingState::Kind::failed)
    return;
  AudioSource* before = m_heldBeforeRun;
  m_heldBeforeRun = nullptr;
  if (m_viewModel.currentAudioSource() == before && !m_viewModel.state().result()) m_viewModel.clearResult();
}

}  // namespace parlowvista
