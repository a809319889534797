#pragma once

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QUrl>

#include <functional>

class QAction;
class QLabel;
class QPlainTextEdit;
class QVBoxLayout;
class QSplitter;

namespace parlowvista {

struct PlayerPageHost;

class ActivityLogView;
class ContentTabBar;
class ResultsView;
class TranscriptionVersionsBar;
class VersionActions;
class ImportQueue;
class ModelContext;
class ProcessingScreens;
class SidePanel;
class TranscriptGroup;
class TranscriptionViewModel;

// The main window: the library on the left, the centre pane that follows the processing state
// (loading, ready, processing, the transcript, the error), and the side panel (status, the next
// run's options, the result's figures and save status, the activity log). Its File menu adds audio files (Ctrl+O,
// several at once, run one after another) and opens the settings windows; files dropped anywhere on the window are
// added the same way. The models start the first time the window is shown.
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
  };

  MainWindow(TranscriptionViewModel& viewModel, ModelContext& context, Actions actions, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The group new files go into; none shows the "No Group Selected" notice and imports nothing.
  void setSelectedGroup(TranscriptGroup* group);
  TranscriptGroup* selectedGroup() const { return m_selectedGroup; }
  // Queues files for import (the menu command, drops); ignored without a selected group.
  void importFiles(const QList<QUrl>& files);
  // The standard multi-select audio picker ("Select audio files to transcribe", "Add").
  static void pickAudioFilesWithDialog(QWidget* parent, std::function<void(const QList<QUrl>&)> chosen);

  ProcessingScreens* processingScreens() const { return m_screens; }
  ActivityLogView* activityLog() const;
  SidePanel* sidePanel() const { return m_side; }
  ImportQueue* importQueue() const { return m_queue; }
  QAction* addAudioAction() const { return m_addAudio; }
  QAction* settingsAction() const { return m_settings; }
  QAction* translationSettingsAction() const { return m_translationSettings; }
  ContentTabBar* contentTabBar() const { return m_tabBar; }
  TranscriptionVersionsBar* versionsBar() const { return m_versionsBar; }
  ResultsView* resultsView() const { return m_results; }
  // Opens the create-translation sheet for the current version (nothing without one).
  void openCreateTranslation();
  // Replaces the library column's content (the group and source lists).
  void setLibraryPane(QWidget* pane);

 protected:
  void showEvent(QShowEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void buildMenu();
  QWidget* buildWorkspace();
  void refreshWorkspace();
  void refreshTitle();

  TranscriptionViewModel& m_viewModel;
  ModelContext& m_context;
  Actions m_actions;
  QPointer<TranscriptGroup> m_selectedGroup;
  bool m_started = false;
  QSplitter* m_columns = nullptr;
  QWidget* m_libraryPane = nullptr;
  ProcessingScreens* m_screens = nullptr;
  SidePanel* m_side = nullptr;
  ContentTabBar* m_tabBar = nullptr;
  QWidget* m_tabBarLine = nullptr;
  TranscriptionVersionsBar* m_versionsBar = nullptr;
  VersionActions* m_versionActions = nullptr;
  ResultsView* m_results = nullptr;
  QVBoxLayout* m_workspaceLayout = nullptr;
  ImportQueue* m_queue = nullptr;
  QAction* m_addAudio = nullptr;
  QAction* m_settings = nullptr;
  QAction* m_translationSettings = nullptr;
};

}  // namespace parlowvista
