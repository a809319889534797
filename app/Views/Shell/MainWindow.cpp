#include "Views/Shell/MainWindow.h"

#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Store/ModelContext.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Player/YouTubePlayerView.h"
#include "Views/Shell/ActivityLogView.h"
#include "Views/Shell/ContentTabBar.h"
#include "Views/Shell/ImportQueue.h"
#include "Views/Shell/ProcessingScreens.h"
#include "Views/Shell/SidePanel.h"
#include "Views/Translation/CreateTranslationSheet.h"
#include "Views/Workspace/ReprocessDialog.h"
#include "Views/Workspace/ResultsView.h"
#include "Views/Workspace/TranscriptionVersionsBar.h"
#include "Views/Workspace/VersionActions.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QSplitter>
#include <QVBoxLayout>

namespace parlowvista {

MainWindow::MainWindow(TranscriptionViewModel& viewModel, ModelContext& context, Actions actions, QWidget* parent)
    : QMainWindow(parent), m_viewModel(viewModel), m_context(context), m_actions(std::move(actions)) {
  setWindowTitle(QStringLiteral("Parlowvista"));
  resize(1200, 700);
  setAcceptDrops(true);
  m_queue = new ImportQueue(m_viewModel, this);

  m_columns = new QSplitter(Qt::Horizontal, this);
  m_columns->setChildrenCollapsible(false);
  m_libraryPane = new QWidget(m_columns);
  m_libraryPane->setMinimumWidth(220);
  m_columns->addWidget(m_libraryPane);
  m_screens = new ProcessingScreens(m_viewModel, m_columns);
  m_columns->addWidget(m_screens);
  m_screens->setWorkspace(buildWorkspace());
  m_side = new SidePanel(m_viewModel, m_columns);
  m_columns->addWidget(m_side);
  m_columns->setStretchFactor(0, 0);
  m_columns->setStretchFactor(1, 1);
  m_columns->setStretchFactor(2, 0);
  setCentralWidget(m_columns);

  connect(m_screens, &ProcessingScreens::fileChosen, this, [this](const QUrl& url) { importFiles({url}); });
  connect(&m_viewModel, &TranscriptionViewModel::currentTranscriptionChanged, this, &MainWindow::refreshTitle);
  connect(&m_viewModel, &TranscriptionViewModel::currentTranscriptionChanged, this, &MainWindow::refreshWorkspace);
  connect(&m_viewModel, &TranscriptionViewModel::stateChanged, this, &MainWindow::refreshWorkspace);
  connect(&m_viewModel, &TranscriptionViewModel::activeTabChanged, this, &MainWindow::refreshWorkspace);
  buildMenu();
  refreshTitle();
  refreshWorkspace();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildMenu() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
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
  quit->setShortcut(QKeySequence::Quit);
  connect(quit, &QAction::triggered, this, &QWidget::close);
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
  m_versionsBar->setBeforeStoreWrite([this] { m_viewModel.saveIfNeeded(); });
  layout->addWidget(m_versionsBar);
  m_versionActions = new VersionActions(m_viewModel, *m_versionsBar, this);
  connect(m_versionsBar, &TranscriptionVersionsBar::selectedTranscriptionChanged, this, [this](Transcription* version) {
    if (m_results) m_results->commitPendingEdit();
    if (version) {
      if (version != m_viewModel.currentTranscription()) m_viewModel.loadTranscription(version);
    } else {
      m_viewModel.clearResult();
    }
  });
  connect(m_versionsBar, &TranscriptionVersionsBar::duplicateRequested, m_versionActions, &VersionActions::duplicate);
  connect(m_versionsBar, &TranscriptionVersionsBar::createNewRequested, this, [this] {
    auto* dialog = new ReprocessDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &ReprocessDialog::newVersionRequested, m_versionActions, &VersionActions::reprocessAsNewVersion);
    connect(dialog, &ReprocessDialog::overwriteRequested, m_versionActions, &VersionActions::reprocessOverwrite);
    dialog->open();
  });
  m_tabBar = new ContentTabBar(
      m_viewModel, m_context, [this] { openCreateTranslation(); }, page);
  layout->addWidget(m_tabBar);
  auto* line = new QFrame(page);
  line->setFrameShape(QFrame::HLine);
  m_tabBarLine = line;
  layout->addWidget(line);
  m_workspaceLayout = layout;
  return page;
}

void MainWindow::refreshWorkspace() {
  const bool hasVersion = m_viewModel.currentTranscription() != nullptr;
  m_tabBar->setVisible(hasVersion);
  m_versionsBar->setAudioSource(m_viewModel.currentAudioSource());
  m_versionsBar->setSelectedTranscription(m_viewModel.currentTranscription());
  m_versionsBar->refresh();
  const bool hasResult = m_viewModel.activeResult().has_value();
  // Made when first needed: its player pages start the web engine.
  if (hasResult && !m_results && m_actions.playerPageHost) {
    m_results = new ResultsView(m_viewModel, m_actions.playerPageHost(), m_workspaceLayout->parentWidget());
    m_workspaceLayout->addWidget(m_results, 1);
  }
  if (m_results) m_results->setVisible(hasResult);
}

void MainWindow::openCreateTranslation() {
  Transcription* version = m_viewModel.currentTranscription();
  if (!version) return;
  const bool configured = m_actions.isTranslationConfigured ? m_actions.isTranslationConfigured() : false;
  QPointer<TranscriptionViewModel> viewModel(&m_viewModel);
  auto* sheet = new CreateTranslationSheet(
      version, m_viewModel.existingTranslationLanguages(), configured,
      [viewModel](const QString& code, std::function<void()> finished) {
        if (!viewModel) return;
        viewModel->createTranslation(code);
        if (!viewModel->isTranslating()) {
          finished();
          return;
        }
        auto connection = std::make_shared<QMetaObject::Connection>();
        *connection = QObject::connect(viewModel, &TranscriptionViewModel::isTranslatingChanged, viewModel,
                                       [viewModel, connection, finished] {
                                         if (viewModel->isTranslating()) return;
                                         QObject::disconnect(*connection);
                                         finished();
                                       });
      },
      {}, this);
  sheet->setAttribute(Qt::WA_DeleteOnClose);
  sheet->open();
}

void MainWindow::setLibraryPane(QWidget* pane) {
  const int index = m_columns->indexOf(m_libraryPane);
  QWidget* old = m_columns->replaceWidget(index, pane);
  if (old) old->deleteLater();
  m_libraryPane = pane;
}

void MainWindow::setSelectedGroup(TranscriptGroup* group) {
  m_selectedGroup = group;
  m_screens->setGroupSelected(group != nullptr);
  refreshTitle();
}

void MainWindow::importFiles(const QList<QUrl>& files) {
  // Files come in only into a group: without one nothing is imported, as the notice says.
  if (!m_selectedGroup || m_selectedGroup->isDeleted()) return;
  m_queue->enqueue(files);
}

void MainWindow::pickAudioFilesWithDialog(QWidget* parent, std::function<void(const QList<QUrl>&)> chosen) {
  auto* dialog = new QFileDialog(parent, QStringLiteral("Select audio files to transcribe"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setFileMode(QFileDialog::ExistingFiles);
  dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Add"));
  dialog->setNameFilters(
      {QStringLiteral("Audio files (*.wav *.mp3 *.m4a *.aac *.flac *.aiff *.aif *.caf *.ogg *.opus)"),
       QStringLiteral("All files (*)")});
  QObject::connect(dialog, &QFileDialog::accepted, dialog, [dialog, chosen] {
    const QList<QUrl> files = dialog->selectedUrls();
    if (!files.isEmpty()) chosen(files);
  });
  dialog->open();
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  raise();
  activateWindow();
  if (m_started) return;
  // The first showing hands the store to the view model and starts the models.
  m_started = true;
  m_viewModel.setModelContext(&m_context);
  m_viewModel.setupAutoSave();
  if (m_viewModel.state().kind() == ProcessingState::Kind::idle) m_viewModel.initializeModels();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  QList<QUrl> files;
  for (const QUrl& url : event->mimeData()->urls()) {
    if (url.isLocalFile()) files.append(url);
  }
  importFiles(files);
  event->acceptProposedAction();
}

void MainWindow::refreshTitle() {
  QString title = QStringLiteral("Parlowvista");
  if (Transcription* version = m_viewModel.currentTranscription()) {
    title = version->name();
  } else if (AudioSource* source = m_viewModel.currentAudioSource()) {
    title = source->filename();
  } else if (m_selectedGroup) {
    title = m_selectedGroup->name();
  }
  setWindowTitle(title);
}

}  // namespace parlowvista
