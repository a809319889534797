#pragma once

#include "Services/Translation/ProviderEndpoints.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QMainWindow;
class QWebEngineProfile;

namespace parlowvista {

class AppSettings;
class EnterActivatesButtons;
class FileAccessManager;
class KeychainService;
class LeftoverSweep;
class LibraryActions;
class LocalHTTPServer;
class MainWindow;
class SettingsWindow;
class ModelContext;
class SampleCache;
class SpeechEngine;
class StoreError;
class TranscriptGroup;
class TranscriptionViewModel;
class TranslationSettingsView;
struct PlayerPageHost;
class TranslationService;
class TranslationSettings;

// The composition root: builds every application-wide object once, in dependency order, hands
// each view and service what it uses through its constructor, and tears them down in reverse
// order. Nothing else in the application makes these objects or reaches them globally; a test
// builds an Application of its own over temporary folders, or just the pieces it needs.
//
// Owns, in this order: the keychain, the application settings, the store ("Parlowvista.store"
// in the library folder), the translation settings and provider endpoints, the translation
// service, the file-access manager, the loopback player-page server and the player pages' web
// profile (made on first use), the main window's one view model with the speech engine, the
// library actions (every library write of the views), the windows, and the sweep of the temporary
// folder, once the main window is shown. Lives on the UI thread, inside the Qt
// application object's lifetime.
class Application {
 public:
  // Where the application keeps its things. The defaults are the user's own.
  struct Environment {
    // (A constructor rather than an aggregate, so that callers may leave the later fields out.)
    Environment(QString applicationSupportRoot = {}, QString keychainServiceName = {},
                std::shared_ptr<SpeechEngine> engine = {}, QString sampleCacheDirectory = {},
                QStringList earlierSampleCacheDirectories = {});

    // Root of the application-support folder; the default library folder is made under it.
    QString applicationSupportRoot;
    // The Secret Service collection item prefix holding the providers' API keys.
    QString keychainServiceName;
    // The speech models (default: the engine's own, downloaded from the hub when missing).
    std::shared_ptr<SpeechEngine> engine;
    // The sample cache's folder; when empty, "Parlowvista/AudioCache" under the root above.
    QString sampleCacheDirectory;
    // Folders where earlier versions kept the sample cache: still read, and cleaned with
    // their sources, never written.
    QStringList earlierSampleCacheDirectories;

    static Environment user();
  };

  // Builds everything and opens the store. Throws StoreError when the store cannot be opened (a
  // file of another schema, another program's file, a second running copy).
  explicit Application(const Environment& environment = Environment::user());
  // The sweep of the temporary folder stops, a translation in flight stops (its tool killed),
  // the server stops, the settings are written.
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // What must be settled before the Qt application object exists, and before any thread: the
  // tool guardian (ToolGuardian), which ends what the tools started should the application end
  // by any road; a $TMPDIR that names no folder to use replaced by the one temporaryFolder()
  // takes (with a console line saying so), for Qt and the tools too; shared GL contexts for the
  // web engine; and, when running as root, the web engine's sandbox switch (with a console line
  // saying why), without which the first player page ends the process. Once per process, before
  // anything else: exec() calls it first (a program that does not run exec(), first in main()).
  static void prepareProcess();

  // What main() runs: makes the Qt application object and runs the user's application in it.
  static int exec(int argc, char** argv);
  // Builds the Application over `environment`, shows the main window and runs the event loop
  // until the application quits; returns its status once everything is torn down (the store
  // closed, every audio output let go). A store that cannot be opened is reported in a message
  // box and gives status 1. Once the store is open, SIGTERM, SIGHUP and SIGINT end the
  // application as Quit does, without asking (quitOnSignal), and the session manager's request
  // to save before the desktop session ends saves everything (commitData). `started`, when
  // given, runs in the event loop once the window is shown (tests drive the application there).
  static int run(const Environment& environment, const std::function<void(Application&)>& started = {});

  // Ends the process with `status` once the Qt application object is gone: what is buffered for
  // the console is written out, and the process leaves without running static destructors.
  // Qt Multimedia tears its PulseAudio connection down in one of those while PulseAudio's own
  // mainloop thread may still be running, and libpulse then aborts now and then, after
  // everything was saved. When a termination signal ended the application, the process ends by
  // that signal, as whoever sent it expects (a shell stops its script after Ctrl+C). The
  // application and the test programs both end through here.
  [[noreturn]] static void endProcess(int status);

  // Shows the main window (made on first call); its first showing starts the models and, once
  // the window is shown, the sweep of what copies that could not end cleanly left in the
  // temporary folder (LeftoverSweep, on a thread of its own); on the first run the onboarding
  // sheet opens over it.
  void showMainWindow();
  // Shows the "Translation Settings" window (made on first call).
  void showTranslationSettings();
  // Shows the settings window (made on first call).
  void showSettings();

  // Before the desktop session ends: the open editor's text and every pending edit are saved,
  // and the settings written, without asking anything (the session does not wait for an
  // answer). The application goes on: the session may yet be cancelled. A save that fails is
  // said in the activity log and on standard error.
  void commitData();
  // A termination signal: the application ends as Quit ends it (the open editor's text
  // committed, every pending edit saved, the other windows closed, then the event loop and
  // everything else), but asks nothing. A save that fails is said in the activity log and on
  // standard error, and the store keeps what it held before.
  void quitOnSignal(int signal);

  // What a user reads when the store cannot be opened: "Could not create ModelContainer: "
  // and the error, in plain words for a second running copy.
  static QString storeFailureMessage(const StoreError& error);
  // The library's first group: makes "General" (and remembers it as the last used group)
  // when the library has none. Returns the group new files go into.
  static TranscriptGroup* ensureDefaultGroup(ModelContext& context, AppSettings& settings);

  AppSettings& appSettings() const { return *m_appSettings; }
  KeychainService& keychain() const { return *m_keychain; }
  ModelContext& modelContext() const { return *m_modelContext; }
  TranslationSettings& translationSettings() const { return *m_translationSettings; }
  ProviderEndpoints& providerEndpoints() { return m_providerEndpoints; }
  TranslationService& translationService() const { return *m_translationService; }
  FileAccessManager& fileAccessManager() const { return *m_fileAccessManager; }
  LibraryActions& libraryActions() const { return *m_libraryActions; }
  LocalHTTPServer& localHTTPServer() const { return *m_localHTTPServer; }
  // The profile every player page runs in; made on first use (it starts the web engine).
  QWebEngineProfile& playerProfile();
  // What the player views are built with: the server above and the profile.
  PlayerPageHost playerPageHost();
  TranscriptionViewModel& viewModel() const { return *m_viewModel; }
  MainWindow* mainWindow() const { return m_mainWindow.get(); }
  TranslationSettingsView* translationSettingsWindow() const { return m_translationSettingsView.get(); }
  SettingsWindow* settingsWindow() const { return m_settingsWindow.get(); }
  // The sweep of the temporary folder: none before the main window's first showing.
  LeftoverSweep* leftoverSweep() const { return m_leftoverSweep.get(); }

 private:
  // A save that failed while nobody may be there to read the window (the main window made).
  void reportUnsavedWork(const QString& when) const;

  std::unique_ptr<KeychainService> m_keychain;
  std::unique_ptr<AppSettings> m_appSettings;
  std::unique_ptr<ModelContext> m_modelContext;
  std::unique_ptr<TranslationSettings> m_translationSettings;
  ProviderEndpoints m_providerEndpoints;
  std::unique_ptr<TranslationService> m_translationService;
  std::unique_ptr<FileAccessManager> m_fileAccessManager;
  std::unique_ptr<LocalHTTPServer> m_localHTTPServer;
  std::unique_ptr<QWebEngineProfile> m_playerProfile;
  std::shared_ptr<SampleCache> m_sampleCache;
  std::unique_ptr<TranscriptionViewModel> m_viewModel;
  std::unique_ptr<LibraryActions> m_libraryActions;
  // Every window's buttons take Enter.
  std::unique_ptr<EnterActivatesButtons> m_enterActivatesButtons;
  // Last: their views use everything above.
  std::unique_ptr<TranslationSettingsView> m_translationSettingsView;
  std::unique_ptr<SettingsWindow> m_settingsWindow;
  std::unique_ptr<MainWindow> m_mainWindow;
  std::unique_ptr<LeftoverSweep> m_leftoverSweep;
};

}  // namespace parlowvista
