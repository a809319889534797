#include "App/Application.h"

#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Services/FileAccessManager.h"
#include "Services/KeychainService.h"
#include "Services/LocalHTTPServer.h"
#include "Services/Translation/TranslationService.h"
#include "Services/Translation/TranslationSettings.h"
#include "Store/ModelContext.h"
#include "Store/StoreError.h"
#include "Views/Player/YouTubePlayerView.h"

#include <QApplication>
#include <QMainWindow>
#include <QMessageBox>
#include <QSettings>
#include <QWebEngineProfile>

namespace parlowvista {

Application::Environment Application::Environment::user() {
  return Environment{AppSettings::defaultApplicationSupportRoot(), QStringLiteral("com.lanternhollow.translation")};
}

Application::Application(const Environment& environment)
    : m_keychain(std::make_unique<KeychainService>(environment.keychainServiceName)),
      m_appSettings(std::make_unique<AppSettings>(std::make_unique<QSettings>(), environment.applicationSupportRoot)),
      m_modelContext(std::make_unique<ModelContext>(ModelContext::storePath(m_appSettings->libraryLocation()))),
      m_translationSettings(std::make_unique<TranslationSettings>(*m_keychain)),
      m_translationService(std::make_unique<TranslationService>(*m_translationSettings, m_providerEndpoints)),
      m_fileAccessManager(std::make_unique<FileAccessManager>()),
      m_localHTTPServer(std::make_unique<LocalHTTPServer>()) {}

Application::~Application() {
  // Windows first: their pages run in the profile, their views use the services.
  m_mainWindow.reset();
  m_playerProfile.reset();
}

QWebEngineProfile& Application::playerProfile() {
  if (!m_playerProfile) m_playerProfile.reset(YouTubePlayerView::createPlayerProfile());
  return *m_playerProfile;
}

PlayerPageHost Application::playerPageHost() {
  return PlayerPageHost{*m_localHTTPServer, playerProfile()};
}

void Application::showMainWindow() {
  if (!m_mainWindow) {
    m_mainWindow = std::make_unique<QMainWindow>();
    m_mainWindow->setWindowTitle(QStringLiteral("Parlowvista"));
    m_mainWindow->resize(1200, 700);
  }
  m_mainWindow->show();
}

int Application::exec(int argc, char** argv) {
  // Qt WebEngine needs shared GL contexts, set before the application object exists.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication qtApplication(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Parlowvista"));
  QApplication::setApplicationName(QStringLiteral("Parlowvista"));
  std::unique_ptr<Application> application;
  try {
    application = std::make_unique<Application>();
  } catch (const StoreError& error) {
    QMessageBox::critical(nullptr, QStringLiteral("Parlowvista"),
                          QStringLiteral("The library could not be opened: %1").arg(error.message()));
    return 1;
  }
  application->showMainWindow();
  return QApplication::exec();
}

}  // namespace parlowvista
