#pragma once

#include "Views/Library/LibraryPrompts.h"
#include "Views/Workspace/ResultsView.h"

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QUrl>

#include <functional>
#include <optional>

class QAction;
class QMessageBox;
class QSplitter;
class QTimer;
class QVBoxLayout;

namespace parlowvista {

struct PlayerPageHost;

class ActivityLogView;
class AppSettings;
class AudioFileImportQueue;
class AudioSource;
class AudioSourcesList;
class ContentTabBar;
class FileAccessManager;
class GroupsSidebar;
class LibraryActions;
class LibrarySelection;
class ModelContext;
class ProcessingScreens;
class RelocateFilePresenter;
class ResultsView;
class SidePanel;
class SkippedFilesNotice;
class TranscriptGroup;
class Transcription;
class TranscriptionSettingsSheet;
class TranscriptionVersionsBar;
class TranscriptionViewModel;
class VersionActions;

// The main window, in four columns: the groups, the sources of the selected group, the centre
// pane that follows the processing state (loading, ready with the drop zone, processing, the
// transcript, the error), and the side panel (status, the next run's options, the result's
// figures and save status, the activity log).
//
// It keeps the one selection (group, source, version): choosing a version loads it into the
// view model, choosing none clears it, and the title names the version shown, else the file of
// a run or of its error, else the source, else the group, and then the application. A row
// whose version is not on screen (after a run's error) opens it when clicked. A file or address given to the drop zone
// first opens the transcription settings sheet; "Start Transcription" runs it, "Cancel" forgets it. Files from "Add
// Audio File..." (Ctrl+O, several at once) and from drops on the source list go through the import queue and run one
// after another, each only when no run is going and no sheet is waiting for an answer; a file of them that fails is
// named, with the reason, in a band under the file list that stays until dismissed (the next file's run takes the error
// screen's place at once). The models start the first time the window is shown. Closing it (or File > Quit) saves the
// pending edits first; when that save fails it asks before the edits are lost (unless told not to ask).
class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // What the window asks of its owner: the file picker (so tests can answer it) and the two
  // other windows.
  struct Actions {
    // Shows a multi-select audio file picker without blocking and answers with the chosen
    // files (not at all when cancelled).
    std::function<void(QWidget* parent, std::function<void(const QList<QUrl>&)> chosen)> pickAudioFiles;
    std::function<void()> openSettings;
    std::function<void()> openTranslationSettings;
    // Whether the chosen translation provider can be used (a key stored, or its tool found).
    std::function<bool()> isTranslationConfigured;
    // What the transcript workspace's online-video player runs in; without it the workspace
    // is not shown (tests of the other screens).
    std::function<PlayerPageHost()> playerPageHost;
    // Runs once the window has closed (the close button, File > Quit): ends the application,
    // whatever other window is open.
    std::function<void()> quit;
  };

  // The library the window browses and writes through.
  struct Library {
    AppSettings& settings;
    FileAccessManager& fileAccess;
    LibraryActions& actions;
    // The library views' questions (confirmations, the drop zone's file picker).
    LibraryPrompts prompts = LibraryPrompts::standard();
  };

  MainWindow(TranscriptionViewModel& viewModel, ModelContext& context, Library library, Actions actions,
             QWidget* parent = nullptr);
  ~MainWindow() override;

  // Selects the group new files go into, as choosing it in the sidebar does; none shows the
  // "No Group Selected" notice and imports nothing.
  void setSelectedGroup(TranscriptGroup* group);
  TranscriptGroup* selectedGroup() const;
  // Queues files for import (the menu command); ignored without a selected group.
  void importFiles(const QList<QUrl>& files);
  // What the drop zone does with a file or an address: keeps it and asks for the run's
  // settings first.
  void requestTranscription(const QUrl& file);
  void requestTranscription(const QString& address);
  // The standard multi-select audio picker ("Select audio files to transcribe", "Add").
  static void pickAudioFilesWithDialog(QWidget* parent, std::function<void(const QList<QUrl>&)> chosen);

  LibrarySelection& selection() const { return *m_selection; }
  GroupsSidebar* groupsSidebar() const { return m_sidebar; }
  AudioSourcesList* audioSourcesList() const { return m_sources; }
  AudioFileImportQueue* importQueue() const { return m_queue; }
  RelocateFilePresenter* relocatePresenter() const { return m_relocate; }
  // The open transcription settings sheet, if one is waiting for an answer.
  TranscriptionSettingsSheet* transcriptionSettingsSheet() const;
  // What the settings sheet names as its source: the pending file's name, else the address.
  QString pendingSourceDescription() const;

  // The four columns: groups, sources (with the band under them), centre pane, side panel.
  QSplitter* columns() const { return m_columns; }
  ProcessingScreens* processingScreens() const { return m_screens; }
  // The band under the file list naming the files of a batch that were not transcribed, and
  // those of a drop that were not taken, and why.
  SkippedFilesNotice* skippedFilesNotice() const { return m_skippedFiles; }
  ActivityLogView* activityLog() const;
  SidePanel* sidePanel() const { return m_side; }
  QAction* addAudioAction() const { return m_addAudio; }
  QAction* settingsAction() const { return m_settings; }
  QAction* translationSettingsAction() const { return m_translationSettings; }
  ContentTabBar* contentTabBar() const { return m_tabBar; }
  TranscriptionVersionsBar* versionsBar() const { return m_versionsBar; }
  ResultsView* resultsView() const { return m_results; }
  // Opens the create-translation sheet for the current version (nothing without one).
  void openCreateTranslation();
  // What quitting saves, asking nothing: the open editor's text is committed and every pending
  // edit written. Whether everything reached the store (when not, the activity log says why).
  bool saveEverything();
  // Why the latest changes could not be saved, as a person reads it: the store's reason, else
  // where it is said.
  QString whyNotSaved() const;
  // Closes the window as Quit does, but does not ask before edits that could not be saved are
  // lost: at the end of the session or on a termination signal nobody may be there to answer.
  void quitWithoutAsking();
  // Whether the launch's repeated bring-to-front is still going (it stops once the window is
  // active, or after ten tries).
  bool isActivationRetryRunning() const;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  // Tab goes through the columns left to right and down each column, whenever their controls
  // were made (the drop zone and the workspace are made after the side panel, a new file's row
  // after the rows below it).
  bool focusNextPrevChild(bool next) override;
  // Another font, or contents that need other room: the columns are fitted again.
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildMenu();
  QWidget* buildWorkspace();
  void refreshWorkspace();
  void refreshTitle();
  void onSelectedTranscriptionChanged();
  void onSelectedSourceChanged();
  // What the workspace shows: the translation in its tab, else the current version; none while
  // no transcript is on screen.
  Transcription* shownVersion() const;
  void adoptCurrentVersion();
  // The library's selection and the title go to what the view model shows.
  void followTheViewModel();
  void processDroppedFile(const QUrl& file, const QUuid& groupId);
  // Starts a new file's run (`start` asks the view model) and marks what it shows.
  void startNewFile(const std::function<void()>& start);
  void letGoOfTheFileBeforeTheRun();
  // A deletion the library refused: the log line, and a box that says why.
  void showDeletionRefused(const QString& reason);
  void startPendingTranscription();
  void openTranscriptionSettings();
  void closeTranscriptionSettings();
  bool canStartNextFile() const;
  void refreshWaitingFiles();
  void targetGroup(TranscriptGroup* group);
  void activateOnce();
  QList<QWidget*> tabStops() const;
  // The columns' minimum widths as the layout asks for them (and never less than their contents
  // need in the font they are shown in), or (compact) no more than their contents need.
  void setColumnMinimums(bool compact);
  QList<std::pair<QWidget*, QSize>> columnMinimums(bool compact) const;
  // The room a line of text takes in the window's font: what a change of font changes.
  QSize textExtent() const;
  // Keeps the window within the screen it is on: the columns shrink first, then scroll.
  void fitToScreen();

  TranscriptionViewModel& m_viewModel;
  ModelContext& m_context;
  Library m_library;
  Actions m_actions;
  LibrarySelection* m_selection = nullptr;
  AudioFileImportQueue* m_queue = nullptr;
  GroupsSidebar* m_sidebar = nullptr;
  AudioSourcesList* m_sources = nullptr;
  RelocateFilePresenter* m_relocate = nullptr;
  QPointer<TranscriptionSettingsSheet> m_settingsSheet;
  QUrl m_pendingFile;
  std::optional<QString> m_pendingAddress;
  bool m_started = false;
  bool m_quittingWithoutAsking = false;
  bool m_followingViewModel = false;  // the selection is being set to what the view model shows
  // The source the view model held when a new file's run started, while it is not the run's
  // own: neither the library nor the title marks it during the run, its error and after.
  QPointer<AudioSource> m_heldBeforeRun;
  bool m_startingNewFile = false;  // a change of state now is the run's start, never its end
  QTimer* m_activationTimer = nullptr;
  int m_activationAttempts = 0;
  QSize m_fittedFrame;   // the window manager's frame the last fit allowed for
  QSize m_fittedExtent;  // and the room a line of text took then (textExtent())
  bool m_compactColumns = false;
  QSplitter* m_columns = nullptr;
  SkippedFilesNotice* m_skippedFiles = nullptr;
  QPointer<QMessageBox> m_deletionRefused;
  ProcessingScreens* m_screens = nullptr;
  SidePanel* m_side = nullptr;
  ContentTabBar* m_tabBar = nullptr;
  QWidget* m_tabBarLine = nullptr;
  TranscriptionVersionsBar* m_versionsBar = nullptr;
  VersionActions* m_versionActions = nullptr;
  QPointer<ResultsView> m_results;  // made when first needed, again should it go
  QVBoxLayout* m_workspaceLayout = nullptr;
  QAction* m_addAudio = nullptr;
  QAction* m_settings = nullptr;
  QAction* m_translationSettings = nullptr;
};

}  // namespace parlowvista
