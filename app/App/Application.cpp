#include "App/Application.h"

#include "App/LeftoverSweep.h"
#include "App/TerminationSignals.h"
#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Services/AudioCacheService.h"
#include "Services/FileAccessManager.h"
#include "Services/KeychainService.h"
#include "Services/LibraryActions.h"
#include "Services/LocalHTTPServer.h"
#include "Services/SpeechEngine.h"
#include "Services/TemporaryFolder.h"
#include "Services/ToolGuardian.h"
#include "Services/Translation/TranslationService.h"
#include "Services/Translation/TranslationSettings.h"
#include "Store/ModelContext.h"
#include "Store/StoreError.h"
#include "ViewModels/FileDialogs.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Common/EnterActivatesButtons.h"
#include "Views/Common/FocusRing.h"
#include "Views/Player/YouTubePlayerView.h"
#include "Views/Shell/MainWindow.h"
#include "Views/Shell/OnboardingSheet.h"
#include "Views/Shell/SettingsWindow.h"
#include "Views/Translation/TranslationSettingsView.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QSessionManager>
#include <QSettings>
#include <QTimer>
#include <QWebEngineProfile>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <utility>

#include <unistd.h>

namespace parlowvista {

Application::Environment::Environment(QString applicationSupportRoot, QString keychainServiceName,
                                      std::shared_ptr<SpeechEngine> engine, QString sampleCacheDirectory,
                                      QStringList earlierSampleCacheDirectories)
    : applicationSupportRoot(std::move(applicationSupportRoot)),
      keychainServiceName(std::move(keychainServiceName)),
      engine(std::move(engine)),
      sampleCacheDirectory(std::move(sampleCacheDirectory)),
      earlierSampleCacheDirectories(std::move(earlierSampleCacheDirectories)) {}

Application::Environment Application::Environment::user() {
  return Environment{AppSettings::defaultApplicationSupportRoot(), QStringLiteral("com.lanternhollow.translation"),
                     std::make_shared<VoxtrellisSpeechEngine>(), AudioCacheService::defaultCacheDirectory(),
                     QStringList{AudioCacheService::earlierDefaultCacheDirectory()}};
}

Application::Application(const Environment& environment)
    : m_keychain(std::make_unique<KeychainService>(environment.keychainServiceName)),
      m_appSettings(std::make_unique<AppSettings>(std::make_unique<QSettings>(), environment.applicationSupportRoot)),
      m_modelContext(std::make_unique<ModelContext>(ModelContext::storePath(m_appSettings->libraryLocation()))),
      m_translationSettings(std::make_unique<TranslationSettings>(*m_keychain)),
      m_translationService(std::make_unique<TranslationService>(*m_translationSettings, m_providerEndpoints)),
      m_fileAccessManager(std::make_unique<FileAccessManager>()),
      m_localHTTPServer(std::make_unique<LocalHTTPServer>()) {
  TranscriptionViewModel::Dependencies dependencies;
  dependencies.engine = environment.engine ? environment.engine : std::make_shared<VoxtrellisSpeechEngine>();
  const QString cacheFolder = environment.sampleCacheDirectory.isEmpty()
                                  ? QDir(environment.applicationSupportRoot).filePath("Parlowvista/AudioCache")
                                  : environment.sampleCacheDirectory;
  m_sampleCache = std::make_shared<AudioCacheService>(cacheFolder, environment.earlierSampleCacheDirectories);
  dependencies.sampleCache = m_sampleCache;
  // Downloaded online-video audio lives beside the library's default place.
  dependencies.downloadsFolder = QDir(environment.applicationSupportRoot).filePath("Parlowvista/YouTubeDownloads");
  dependencies.translationService = m_translationService.get();
  dependencies.settings = m_appSettings.get();
  dependencies.fileAccess = m_fileAccessManager.get();
  dependencies.dialogs = std::make_shared<QtFileDialogs>([this]() -> QWidget* { return m_mainWindow.get(); });
  const QString downloadsFolder = dependencies.downloadsFolder;
  m_viewModel = std::make_unique<TranscriptionViewModel>(std::move(dependencies));
  // A deletion removes only files inside these folders: what the app made itself. (An empty
  // name would stand for the working folder.)
  QStringList ownedFolders = QStringList{downloadsFolder, cacheFolder} + environment.earlierSampleCacheDirectories;
  ownedFolders.removeAll(QString());
  m_libraryActions =
      std::make_unique<LibraryActions>(*m_modelContext, *m_appSettings, *m_fileAccessManager, ownedFolders);
  m_enterActivatesButtons = std::make_unique<EnterActivatesButtons>();
  QCoreApplication::instance()->installEventFilter(m_enterActivatesButtons.get());
  FocusRing::install();
}

Application::~Application() {
  // A sweep under way stops at its next entry.
  m_leftoverSweep.reset();
  // Windows first: their pages run in the profile, their views use the services.
  m_mainWindow.reset();
  m_translationSettingsView.reset();
  m_settingsWindow.reset();
  m_libraryActions.reset();
  m_viewModel.reset();
  m_playerProfile.reset();
}

QWebEngineProfile& Application::playerProfile() {
  if (!m_playerProfile) m_playerProfile.reset(YouTubePlayerView::createPlayerProfile());
  return *m_playerProfile;
}

PlayerPageHost Application::playerPageHost() {
  return PlayerPageHost{*m_localHTTPServer, playerProfile()};
}

QString Application::storeFailureMessage(const StoreError& error) {
  QString description = error.message();
  if (error.kind() == StoreError::Kind::inUse) {
    description = QStringLiteral(
        "The library is already open in another copy of Parlowvista. Close the other copy and start "
        "Parlowvista again.");
  }
  return QStringLiteral("Could not create ModelContainer: ") + description;
}

TranscriptGroup* Application::ensureDefaultGroup(ModelContext& context, AppSettings& settings) {
  QList<TranscriptGroup*> groups = context.fetch<TranscriptGroup>();
  if (groups.isEmpty()) {
    auto* general = context.insert(std::make_unique<TranscriptGroup>(QStringLiteral("General"), 0));
    try {
      context.save();
    } catch (const StoreError&) {
      // The group stays in the context and goes with the next save.
    }
    settings.setLastUsedGroupId(general->id());
    return general;
  }
  if (const auto id = settings.lastUsedGroupId()) {
    if (auto* group = context.find<TranscriptGroup>(*id)) return group;
  }
  std::stable_sort(groups.begin(), groups.end(),
                   [](const TranscriptGroup* a, const TranscriptGroup* b) { return a->sortOrder() < b->sortOrder(); });
  return groups.first();
}

void Application::showMainWindow() {
  if (!m_mainWindow) {
    MainWindow::Actions actions;
    actions.pickAudioFiles = &MainWindow::pickAudioFilesWithDialog;
    actions.openTranslationSettings = [this] { showTranslationSettings(); };
    actions.openSettings = [this] { showSettings(); };
    actions.playerPageHost = [this] { return playerPageHost(); };
    actions.isTranslationConfigured = [this] { return m_translationSettings->isCurrentProviderConfigured(); };
    // The other windows go with the main one, so the last window closed ends the event loop
    // and no copy stays behind holding the library.
    actions.quit = [this] {
      if (m_settingsWindow) m_settingsWindow->close();
      if (m_translationSettingsView) m_translationSettingsView->close();
    };
    m_mainWindow = std::make_unique<MainWindow>(
        *m_viewModel, *m_modelContext, MainWindow::Library{*m_appSettings, *m_fileAccessManager, *m_libraryActions},
        std::move(actions));
  }
  // Every showing makes sure the library has a group (the user may have deleted them all).
  TranscriptGroup* group = ensureDefaultGroup(*m_modelContext, *m_appSettings);
  if (!m_mainWindow->selectedGroup()) m_mainWindow->setSelectedGroup(group);
  m_mainWindow->show();
  // Only now, and beside the window: see LeftoverSweep.
  if (!m_leftoverSweep) m_leftoverSweep = std::make_unique<LeftoverSweep>(temporaryFolder());
  if (!m_appSettings->hasCompletedOnboarding() && !m_mainWindow->findChild<OnboardingSheet*>()) {
    auto* onboarding = new OnboardingSheet(*m_appSettings, m_mainWindow.get());
    onboarding->setAttribute(Qt::WA_DeleteOnClose);
    onboarding->open();
  }
}

void Application::showSettings() {
  if (!m_settingsWindow) m_settingsWindow = std::make_unique<SettingsWindow>(*m_appSettings);
  m_settingsWindow->show();
  m_settingsWindow->raise();
  m_settingsWindow->activateWindow();
}

void Application::showTranslationSettings() {
  if (!m_translationSettingsView) {
    m_translationSettingsView =
        std::make_unique<TranslationSettingsView>(*m_translationSettings, *m_translationService);
    m_translationSettingsView->setWindowTitle(QStringLiteral("Translation Settings"));
    m_translationSettingsView->setMinimumSize(450, 550);
  }
  m_translationSettingsView->show();
  m_translationSettingsView->raise();
  m_translationSettingsView->activateWindow();
}

void Application::prepareProcess() {
  // First, while this is the only thread: the guardian is a copy of the process as it is now.
  ToolGuardian::start();
  // Qt (its runtime folder, where no XDG_RUNTIME_DIR is set) and the tools (yt-dlp's Python)
  // read $TMPDIR themselves and take one that names no usable folder as it stands: a relative
  // one is the working folder. They all use the application's temporary folder instead.
  const QByteArray named = qgetenv("TMPDIR");
  const QByteArray usable = QFile::encodeName(temporaryFolder());
  if (!named.isEmpty() && named != usable) {
    qputenv("TMPDIR", usable);
    std::fprintf(stderr, "[Parlowvista] TMPDIR (%s) names no folder to use: temporary files go to %s\n",
                 named.constData(), usable.constData());
  }
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  // Chromium, inside Qt WebEngine, will not run sandboxed as root: it ends the whole process
  // when the first page opens. Root runs the app on servers and in containers; its pages are
  // the loopback player page and the provider's player.
  if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX")) {
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    std::fprintf(stderr,
                 "[Parlowvista] Running as root: the web engine's sandbox is turned off (it cannot run "
                 "sandboxed as root)\n");
  }
}

int Application::exec(int argc, char** argv) {
  prepareProcess();
  QApplication qtApplication(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Parlowvista"));
  QApplication::setApplicationName(QStringLiteral("Parlowvista"));
  return run(Environment::user());
}

int Application::run(const Environment& environment, const std::function<void(Application&)>& started) {
  std::unique_ptr<Application> application;
  try {
    application = std::make_unique<Application>(environment);
  } catch (const StoreError& error) {
    // Nothing has been written: the store refused before any change.
    QMessageBox::critical(nullptr, QStringLiteral("Parlowvista"), storeFailureMessage(error));
    return 1;
  }
  // Until the store is open a signal has nothing to save, and ends the process at once.
  TerminationSignals terminationSignals;
  bool quitting = false;
  QObject::connect(&terminationSignals, &TerminationSignals::received, &terminationSignals, [&](int signal) {
    // A second signal while the first one's quitting runs does not cut it short.
    if (!std::exchange(quitting, true)) application->quitOnSignal(signal);
  });
  QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, &terminationSignals, [&](QSessionManager&) {
    if (!quitting) application->commitData();
  });
  application->showMainWindow();
  if (started) QTimer::singleShot(0, &terminationSignals, [&] { started(*application); });
  const int status = QApplication::exec();
  quitting = true;
  // The store closes and the players let go of their outputs before the Qt application object
  // goes, whose end lets the sound thread's sinks go.
  application.reset();
  return status;
}

void Application::commitData() {
  if (m_mainWindow && !m_mainWindow->saveEverything()) reportUnsavedWork(QStringLiteral("Before the session ends"));
  m_appSettings->store().sync();
}

void Application::quitOnSignal(int signal) {
  if (m_mainWindow) {
    m_mainWindow->quitWithoutAsking();
    if (m_viewModel->hasUnsavedChanges())
      reportUnsavedWork(QStringLiteral("Quitting on %1").arg(TerminationSignals::name(signal)));
  }
  // Whatever else is open goes too, a dialog's own event loop included.
  QCoreApplication::exit(0);
}

void Application::reportUnsavedWork(const QString& when) const {
  std::fprintf(stderr, "[Parlowvista] %s: the latest changes could not be saved (%s)\n", qPrintable(when),
               qPrintable(m_mainWindow->whyNotSaved()));
}

void Application::endProcess(int status) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  if (const int signal = TerminationSignals::firstReceived()) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
  ::_exit(status);
}

}  // namespace parlowvista
