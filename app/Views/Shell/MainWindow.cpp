#include "Views/Shell/MainWindow.h"

#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Services/LibraryActions.h"
#include "Store/ModelContext.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Common/Divider.h"
#include "Views/Common/ScrollFollowsFocus.h"
#include "Views/Common/SheetPlacement.h"
#include "Views/Library/AddGroupSheet.h"
#include "Views/Library/AudioFileImportQueue.h"
#include "Views/Library/AudioFileTypes.h"
#include "Views/Library/AudioSourcesList.h"
#include "Views/Library/GroupsSidebar.h"
#include "Views/Library/LibrarySelection.h"
#include "Views/Library/RelocateFileDialog.h"
#include "Views/Library/RelocateFilePresenter.h"
#include "Views/Player/YouTubePlayerView.h"
#include "Views/Shell/ActivityLogView.h"
#include "Views/Shell/ContentTabBar.h"
#include "Views/Shell/ProcessingScreens.h"
#include "Views/Shell/SidePanel.h"
#include "Views/Shell/SkippedFilesNotice.h"
#include "Views/Translation/CreateTranslationSheet.h"
#include "Views/Workspace/ReprocessDialog.h"
#include "Views/Workspace/ResultsView.h"
#include "Views/Workspace/TranscriptionSettingsSheet.h"
#include "Views/Workspace/TranscriptionVersionsBar.h"
#include "Views/Workspace/VersionActions.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QMenuBar>
#include <QMessageBox>
#include <QScopedValueRollback>
#include <QScreen>
#include <QScrollArea>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

namespace parlowvista {

namespace {

// The launch's bring-to-front: one at once, then up to ten more this far apart.
constexpr int activationRetries = 10;
constexpr int activationIntervalMs = 300;

}  // namespace

MainWindow::MainWindow(TranscriptionViewModel& viewModel, ModelContext& context, Library library, Actions actions,
                       QWidget* parent)
    : QMainWindow(parent),
      m_viewModel(viewModel),
      m_context(context),
      m_library(std::move(library)),
      m_actions(std::move(actions)) {
  setWindowTitle(QStringLiteral("Parlowvista"));
  resize(1200, 700);
  m_selection = new LibrarySelection(m_context, this);
  m_queue = new AudioFileImportQueue(this);
  m_queue->setBusyProbe([this] { return !canStartNextFile(); });
  m_queue->setTargetProbe([this] { return selectedGroup() ? selectedGroup()->id() : QUuid(); });
  // Both: the state settles before the busy guard is given back, or after it.
  connect(&m_viewModel, &TranscriptionViewModel::isBusyChanged, m_queue, &AudioFileImportQueue::pump,
          Qt::QueuedConnection);
  connect(&m_viewModel, &TranscriptionViewModel::stateChanged, m_queue, &AudioFileImportQueue::pump,
          Qt::QueuedConnection);
  connect(m_queue, &AudioFileImportQueue::audioFileDropped, this, &MainWindow::processDroppedFile);

  m_columns = new QSplitter(Qt::Horizontal, this);
  m_columns->setChildrenCollapsible(false);
  m_sidebar =
      new GroupsSidebar(m_context, m_library.actions, m_library.settings, *m_selection, m_library.prompts, m_columns);
  m_columns->addWidget(m_sidebar);
  // The file list's column: the list, and under it the band naming the files that were not
  // transcribed, beside the work rather than over it.
  auto* sourcesColumn = new QWidget(m_columns);
  auto* sourcesLayout = new QVBoxLayout(sourcesColumn);
  sourcesLayout->setContentsMargins(0, 0, 0, 0);
  sourcesLayout->setSpacing(0);
  m_sources = new AudioSourcesList(m_context, m_library.actions, *m_selection, m_library.fileAccess, *m_queue,
                                   m_library.prompts, sourcesColumn);
  sourcesLayout->addWidget(m_sources, 1);
  m_skippedFiles = new SkippedFilesNotice(sourcesColumn);
  sourcesLayout->addWidget(m_skippedFiles);
  m_columns->addWidget(sourcesColumn);
  m_screens = new ProcessingScreens(m_viewModel, m_library.prompts, m_columns);
  m_columns->addWidget(m_screens);
  m_screens->setWorkspace(buildWorkspace());
  m_side = new SidePanel(m_viewModel, m_columns);
  m_columns->addWidget(m_side);
  for (int column : {0, 1, 3}) m_columns->setStretchFactor(column, 0);
  m_columns->setStretchFactor(2, 1);
  m_columns->setSizes({180, 250, 490, 280});
  // On a screen too small for the columns (a laptop at twice the scale) the window still fits
  // it: what does not fit scrolls.
  auto* central = new QWidget(this);
  auto* centralLayout = new QVBoxLayout(central);
  centralLayout->setContentsMargins(0, 0, 0, 0);
  centralLayout->setSpacing(0);
  auto* frame = new QScrollArea(central);
  frame->setFrameShape(QFrame::NoFrame);
  frame->setFocusPolicy(Qt::NoFocus);
  frame->setWidgetResizable(true);
  frame->setWidget(m_columns);
  scrollFollowsFocus(frame);
  centralLayout->addWidget(frame, 1);
  setCentralWidget(central);
  setColumnMinimums(false);
  for (QWidget* column :
       {static_cast<QWidget*>(m_sidebar), static_cast<QWidget*>(m_sources), static_cast<QWidget*>(m_screens)})
    column->installEventFilter(this);
  m_relocate = new RelocateFilePresenter(m_library.fileAccess, m_library.actions, this, m_library.prompts, this);

  connect(m_screens, &ProcessingScreens::fileChosen, this, qOverload<const QUrl&>(&MainWindow::requestTranscription));
  connect(m_screens, &ProcessingScreens::addressEntered, this,
          qOverload<const QString&>(&MainWindow::requestTranscription));
  // Files a drop did not take are named in the band, with why, as those of a batch are.
  const auto nameRefused = [this](const QList<RefusedFile>& files) {
    for (const RefusedFile& file : files) m_skippedFiles->add(file.name, file.reason);
  };
  connect(m_screens, &ProcessingScreens::filesRefused, this, nameRefused);
  connect(m_sources, &AudioSourcesList::filesRefused, this, nameRefused);
  connect(m_selection, &LibrarySelection::groupChanged, this, [this] {
    m_screens->setGroupSelected(m_selection->group() != nullptr);
    refreshTitle();
  });
  // A row's editor holding typed text is committed before the library's selection moves: the
  // commit changes what is shown, and it must find the selection as it was, so that the choice
  // is then taken as it would be with no editor open.
  connect(m_selection, &LibrarySelection::aboutToChange, this, [this] {
    if (!m_followingViewModel) m_viewModel.commitOpenEdit();
  });
  connect(m_selection, &LibrarySelection::audioSourceChanged, this, &MainWindow::onSelectedSourceChanged);
  // A renamed group or version renames the window.
  connect(&m_context, &ModelContext::objectsChanged, this, &MainWindow::refreshTitle);
  connect(m_selection, &LibrarySelection::transcriptionChanged, this, &MainWindow::onSelectedTranscriptionChanged);
  // A run's source (and its group) stays until the run has stored its transcript there.
  m_library.actions.setInUseProbe(
      [this](const AudioSource* source) { return m_viewModel.isBusy() && m_viewModel.currentAudioSource() == source; });
  connect(&m_library.actions, &LibraryActions::deletionRefused, this, &MainWindow::showDeletionRefused);
  // What goes from the library must not stay loaded (and autosaved) in the view model.
  connect(&m_library.actions, &LibraryActions::aboutToDeleteAudioSource, this, [this](AudioSource* source) {
    m_viewModel.commitOpenEdit();
    if (m_viewModel.currentAudioSource() == source && !m_viewModel.isBusy()) m_viewModel.clearResult();
  });
  connect(&m_library.actions, &LibraryActions::aboutToDeleteGroup, this, [this](TranscriptGroup* group) {
    m_viewModel.commitOpenEdit();
    AudioSource* shown = m_viewModel.currentAudioSource();
    if (shown && shown->group() == group && !m_viewModel.isBusy()) m_viewModel.clearResult();
  });
  connect(&m_viewModel, &TranscriptionViewModel::currentTranscriptionChanged, this, [this] {
    if (m_viewModel.currentTranscription()) m_heldBeforeRun = nullptr;
    adoptCurrentVersion();
  });
  // A run takes its file's source before it has a version of it: the library and the title
  // show that file from then on, not the version shown before. (A version being opened sets
  // its source first too, but is followed once it is current.)
  connect(&m_viewModel, &TranscriptionViewModel::currentAudioSourceChanged, this, [this] {
    m_heldBeforeRun = nullptr;
    if (m_viewModel.isBusy()) adoptCurrentVersion();
  });
  // A translation's tab is what the library marks as shown.
  connect(&m_viewModel, &TranscriptionViewModel::activeTabChanged, this, &MainWindow::adoptCurrentVersion);
  connect(&m_viewModel, &TranscriptionViewModel::currentTranscriptionChanged, this, &MainWindow::refreshWorkspace);
  connect(&m_viewModel, &TranscriptionViewModel::stateChanged, this, &MainWindow::refreshWorkspace);
  // A transcript coming on screen or going (a run's end, its error, "Try Again") changes what
  // the library marks as shown, and the title.
  connect(&m_viewModel, &TranscriptionViewModel::stateChanged, this, [this] {
    letGoOfTheFileBeforeTheRun();
    if (m_selection->transcription() != shownVersion()) adoptCurrentVersion();
    refreshTitle();
  });
  connect(&m_viewModel, &TranscriptionViewModel::activeTabChanged, this, &MainWindow::refreshWorkspace);

  m_activationTimer = new QTimer(this);
  m_activationTimer->setInterval(activationIntervalMs);
  connect(m_activationTimer, &QTimer::timeout, this, [this] {
    ++m_activationAttempts;
    activateOnce();
    if (isActiveWindow() || m_activationAttempts >= activationRetries) m_activationTimer->stop();
  });
  buildMenu();
  connect(m_queue, &AudioFileImportQueue::pendingChanged, this, &MainWindow::refreshWaitingFiles);
  connect(&m_viewModel, &TranscriptionViewModel::stateChanged, this, &MainWindow::refreshWaitingFiles);
  refreshTitle();
  refreshWorkspace();
  refreshWaitingFiles();
}

MainWindow::~MainWindow() {
  // What is typed in a row's editor goes into its version while the window is whole: the view
  // model tells this window of the edit, and the views below go one by one.
  m_viewModel.commitOpenEdit();
  m_library.actions.setInUseProbe({});
  // The library views use the selection and the queue, which are this window's own children
  // made before them: the views go first.
  delete m_settingsSheet;
  delete m_columns;
}

void MainWindow::buildMenu() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  file->setToolTipsVisible(true);  // "Add Audio File..." says when files have to wait
  m_addAudio = file->addAction(QStringLiteral("Add Audio File..."));
  m_addAudio->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  connect(m_addAudio, &QAction::triggered, this, [this] {
    if (m_actions.pickAudioFiles) {
      QPointer<MainWindow> self(this);
      m_actions.pickAudioFiles(this, [self](const QList<QUrl>& files) {
        if (self) self->importFiles(files);
      });
    }
  });
  file->addSeparator();
  m_settings = file->addAction(QStringLiteral("Settings..."));
  m_settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
  connect(m_settings, &QAction::triggered, this, [this] {
    if (m_actions.openSettings) m_actions.openSettings();
  });
  m_translationSettings = file->addAction(QStringLiteral("Translation Settings..."));
  connect(m_translationSettings, &QAction::triggered, this, [this] {
    if (m_actions.openTranslationSettings) m_actions.openTranslationSettings();
  });
  file->addSeparator();
  QAction* quit = file->addAction(QStringLiteral("Quit"));
  // Ctrl+Q whatever the desktop's key theme (some have no quit key), and it is the
  // application's, not this window's: it also works with the Settings or Translation
  // Settings window in front.
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  quit->setShortcutContext(Qt::ApplicationShortcut);
  connect(quit, &QAction::triggered, this, &QWidget::close);
}

bool MainWindow::saveEverything() {
  m_viewModel.commitOpenEdit();
  m_viewModel.saveIfNeeded();
  return !m_viewModel.hasUnsavedChanges();
}

QString MainWindow::whyNotSaved() const {
  return m_viewModel.saveFailure().isEmpty() ? QStringLiteral("the activity log says why") : m_viewModel.saveFailure();
}

void MainWindow::quitWithoutAsking() {
  const QScopedValueRollback asking(m_quittingWithoutAsking, true);
  close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The edits of the last moments (less than one autosave interval old) go to the store first.
  if (!saveEverything() && !m_quittingWithoutAsking &&
      !m_library.prompts.confirmDestructive(
          this, QStringLiteral("Quit Without Saving?"),
          QStringLiteral("The latest changes could not be saved (%1). Quitting now deletes them.").arg(whyNotSaved()),
          QStringLiteral("Quit Without Saving"))) {
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
  if (event->isAccepted() && m_actions.quit) m_actions.quit();
}

void MainWindow::showDeletionRefused(const QString& reason) {
  m_viewModel.addLog(QStringLiteral("Cannot delete: ") + reason);
  // Said where the deletion was asked for, not only in the log; one box at a time.
  if (!m_deletionRefused) {
    m_deletionRefused =
        new QMessageBox(QMessageBox::Information, QStringLiteral("Cannot Delete"), QString(), QMessageBox::Ok, this);
    m_deletionRefused->setAttribute(Qt::WA_DeleteOnClose);
    m_deletionRefused->setTextFormat(Qt::PlainText);
    m_deletionRefused->setWindowModality(Qt::WindowModal);
  }
  m_deletionRefused->setText(reason);
  m_deletionRefused->open();
}

ActivityLogView* MainWindow::activityLog() const {
  return m_side->activityLog();
}

QWidget* MainWindow::buildWorkspace() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  m_versionsBar = new TranscriptionVersionsBar(&m_context, page);
  m_versionsBar->setBeforeStoreWrite([this] {
    m_viewModel.commitOpenEdit();
    m_viewModel.saveIfNeeded();
  });
  layout->addWidget(m_versionsBar);
  m_versionActions = new VersionActions(m_viewModel, *m_versionsBar, this);
  connect(m_versionsBar, &TranscriptionVersionsBar::selectedTranscriptionChanged, this,
          [this](Transcription* version) { m_selection->setTranscription(version); });
  connect(m_versionsBar, &TranscriptionVersionsBar::duplicateRequested, m_versionActions, &VersionActions::duplicate);
  connect(m_versionsBar, &TranscriptionVersionsBar::createNewRequested, this, [this] {
    // The dialog only reports the choice; it goes away first, then the choice is carried out.
    auto* dialog = new ReprocessDialog(this);
    auto answered = [dialog](std::function<void()> then) {
      return [dialog, then] {
        dialog->hide();
        dialog->deleteLater();
        if (then) then();
      };
    };
    connect(dialog, &ReprocessDialog::newVersionRequested, this,
            answered([this] { m_versionActions->reprocessAsNewVersion(); }));
    connect(dialog, &ReprocessDialog::overwriteRequested, this,
            answered([this] { m_versionActions->reprocessOverwrite(); }));
    connect(dialog, &ReprocessDialog::cancelRequested, this, answered({}));
    dialog->open();
    centreOverParentWindow(dialog);
  });
  m_tabBar = new ContentTabBar(
      m_viewModel, m_context, [this] { openCreateTranslation(); }, page);
  layout->addWidget(m_tabBar);
  auto* line = new Divider(page);
  m_tabBarLine = line;
  layout->addWidget(line);
  m_workspaceLayout = layout;
  return page;
}

void MainWindow::refreshWorkspace() {
  const bool hasVersion = m_viewModel.currentTranscription() != nullptr;
  m_tabBar->setVisible(hasVersion);
  m_versionsBar->setAudioSource(m_viewModel.currentAudioSource());
  m_versionsBar->setSelectedTranscription(shownVersion());
  m_versionsBar->refresh();
  const bool hasResult = m_viewModel.activeResult().has_value();
  // Made when first needed: its player pages start the web engine.
  if (hasResult && !m_results && m_actions.playerPageHost) {
    m_results = new ResultsView(m_viewModel, m_actions.playerPageHost, m_workspaceLayout->parentWidget());
    m_workspaceLayout->addWidget(m_results, 1);
    // "New File" has reset the view model: nothing of the version stays loaded or selected.
    connect(m_results, &ResultsView::resetRequested, this, [this] {
      if (!m_viewModel.isBusy()) m_viewModel.clearResult();
      const QScopedValueRollback following(m_followingViewModel, true);
      m_selection->setTranscription(nullptr);
      refreshTitle();
    });
  }
  if (m_results) m_results->setVisible(hasResult);
}

void MainWindow::openCreateTranslation() {
  const bool configured = m_actions.isTranslationConfigured ? m_actions.isTranslationConfigured() : false;
  auto* sheet = CreateTranslationSheet::forViewModel(m_viewModel, configured, m_actions.openTranslationSettings, this);
  if (!sheet) return;
  sheet->open();
  centreOverParentWindow(sheet);
}

void MainWindow::setSelectedGroup(TranscriptGroup* group) {
  m_selection->setGroup(group);
}

TranscriptGroup* MainWindow::selectedGroup() const {
  return m_selection->group();
}

Transcription* MainWindow::shownVersion() const {
  // Only a transcript on screen is shown: a run, its error and the drop zone show no version,
  // whatever the view model last held.
  if (!m_viewModel.state().result()) return nullptr;
  Transcription* current = m_viewModel.currentTranscription();
  Transcription* translation = m_viewModel.activeTab().transcription();
  if (current && translation && translation->sourceTranscription() == current) return translation;
  return current;
}

void MainWindow::adoptCurrentVersion() {
  // The library shows what the view model holds; without a source it keeps its selection, and
  // so it does while the view model lets go of what it held (a version chosen to be none).
  if (!m_viewModel.currentAudioSource()) return;
  if (!m_viewModel.isBusy() && !m_viewModel.currentTranscription()) return;
  followTheViewModel();
}

void MainWindow::followTheViewModel() {
  // While a new file runs, its source is current before any version of it: no version then.
  // Before it has a source, no file is marked: the one the view model still holds is not it.
  AudioSource* source = m_viewModel.currentAudioSource();
  if (source == m_heldBeforeRun) source = nullptr;
  const Transcription* current = m_viewModel.currentTranscription();
  const QScopedValueRollback following(m_followingViewModel, true);
  m_selection->setAudioSource(source);
  m_selection->setTranscription(current && current->audioSource() == source ? shownVersion() : nullptr);
  refreshTitle();
}

void MainWindow::onSelectedTranscriptionChanged() {
  // The library marking what the view model shows is no choice of the user's.
  if (m_followingViewModel) return;
  Transcription* version = m_selection->transcription();
  if (!version) {
    if (!m_viewModel.isBusy()) m_viewModel.clearResult();
  } else if (version != shownVersion()) {
    // The version on screen again from its translation's tab: its original, nothing reloaded.
    if (version == m_viewModel.currentTranscription() && m_viewModel.state().result())
      m_viewModel.setActiveTab(ContentTab::original());
    else
      m_viewModel.loadTranscription(version);  // a translation opens in its version's tab
    // Refused while a run goes on: the library and the title stay on what is shown.
    if (version != shownVersion()) followTheViewModel();
  }
  refreshTitle();
}

void MainWindow::onSelectedSourceChanged() {
  // A file chosen without a version while the drop zone shows (after a run's error and "Try
  // Again", say): the view model lets go of the file it last held, which is not shown, so that
  // nothing brings it back into the library's highlight or the title.
  if (!m_followingViewModel && !m_selection->transcription() && !m_viewModel.isBusy() &&
      m_viewModel.state().kind() == ProcessingState::Kind::modelsReady && m_viewModel.currentAudioSource() &&
      m_viewModel.currentAudioSource() != m_selection->audioSource()) {
    m_viewModel.clearResult();
  }
  refreshTitle();
}

void MainWindow::pickAudioFilesWithDialog(QWidget* parent, std::function<void(const QList<QUrl>&)> chosen) {
  auto* dialog = new QFileDialog(parent, QStringLiteral("Select audio files to transcribe"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setFileMode(QFileDialog::ExistingFiles);
  dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Add"));
  dialog->setNameFilter(AudioFileTypes::dialogFilter());  // only what the loader takes
  QObject::connect(dialog, &QFileDialog::accepted, dialog, [dialog, chosen] {
    const QList<QUrl> files = dialog->selectedUrls();
    if (!files.isEmpty()) chosen(files);
  });
  dialog->open();
}

bool MainWindow::isActivationRetryRunning() const {
  return m_activationTimer->isActive();
}

void MainWindow::activateOnce() {
  // Best effort: a window manager may refuse focus to a window that did not ask for it.
  raise();
  // Without a window manager a raised window covers its own open sheets: they go back on top.
  for (QDialog* sheet : findChildren<QDialog*>(Qt::FindDirectChildrenOnly)) {
    if (sheet->isVisible()) sheet->raise();
  }
  activateWindow();
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  fitToScreen();
  activateOnce();
  if (m_started) return;
  if (QWindow* handle = windowHandle()) {
    connect(handle, &QWindow::screenChanged, this, [this](QScreen* screen) {
      fitToScreen();
      if (screen) {
        connect(screen, &QScreen::availableGeometryChanged, this, &MainWindow::fitToScreen, Qt::UniqueConnection);
      }
    });
  }
  if (QScreen* shown = screen()) {
    connect(shown, &QScreen::availableGeometryChanged, this, &MainWindow::fitToScreen, Qt::UniqueConnection);
  }
  // The first showing hands the store to the view model and starts the models, and keeps
  // bringing the window to the front for a little while until it is active.
  m_started = true;
  m_activationAttempts = 0;
  if (!isActiveWindow()) m_activationTimer->start();
  m_viewModel.setModelContext(&m_context);
  m_viewModel.setupAutoSave();
  if (m_viewModel.state().kind() == ProcessingState::Kind::idle) m_viewModel.initializeModels();
}

void MainWindow::refreshTitle() {
  // What is on screen, then the application: a window list names both ("Version 1 — Parlowvista").
  // A run and its error show the file it was given, whether or not it has come into the library.
  const QString application = QStringLiteral("Parlowvista");
  const QString runFile = QFileInfo(m_viewModel.currentFile().toLocalFile()).fileName();
  const bool showsRun = m_viewModel.isBusy() || m_viewModel.state().kind() == ProcessingState::Kind::failed;
  QString shown;
  if (Transcription* version = shownVersion()) {
    shown = version->name();
  } else if (showsRun && !runFile.isEmpty()) {
    shown = runFile;
  } else if (AudioSource* source = m_selection->audioSource()) {
    shown = source->filename();
  } else if (TranscriptGroup* group = m_selection->group()) {
    shown = group->name();
  }
  setWindowTitle(shown.isEmpty() ? application : shown + QStringLiteral(" \u2014 ") + application);
}

}  // namespace parlowvista
