#pragma once

#include "Models/ProcessingState.h"
#include "Views/Library/AudioFileTypes.h"
#include "Views/Library/LibraryPrompts.h"

#include <QColor>
#include <QStackedWidget>
#include <QUrl>

class QLabel;
class QProgressBar;
class QPushButton;

namespace parlowvista {

class FileDropZone;
class TranscriptionViewModel;

// The main window's centre pane: the loading screen while the models start, the notice when
// no group is selected, the ready screen (the library's drop zone: a file dropped or chosen,
// or an online-video address), the processing
// screen with its stage and progress, the workspace once a transcript exists, and the error
// screen. Follows the view model; keeps nothing of its own beyond which group is selected.
class ProcessingScreens : public QStackedWidget {
  Q_OBJECT

 public:
  enum class Screen { loading, noGroupSelected, ready, processing, workspace, error };

  // `prompts` answer the drop zone's "Choose File...".
  explicit ProcessingScreens(TranscriptionViewModel& viewModel, LibraryPrompts prompts = LibraryPrompts::standard(),
                             QWidget* parent = nullptr);

  // Whether a group is selected decides between the ready screen and the notice.
  void setGroupSelected(bool selected);
  // The widget shown in `completed` (the transcript workspace). Owned by this pane.
  void setWorkspace(QWidget* workspace);
  // Files added while the speech models are not loaded: the loading and error screens say that
  // they wait for them.
  void setWaitingFiles(const QStringList& names);
  static QString waitingText(const QStringList& names);

  Screen screen() const { return m_screen; }
  // The ready screen's drop zone (remade when the online-video tool is found or lost).
  FileDropZone* dropZone() const { return m_dropZone; }
  // The screen a state shows.
  static Screen screenFor(const ProcessingState& state, bool groupSelected);
  // The colour of the status dot beside the status line; a result kept with a warning (its
  // speakers not told apart) takes the warning colour, as unsaved edits do.
  static QColor statusColor(const ProcessingState& state, bool warning = false);
  // The download's whole percent, fraction dropped ("99%" for 0.999); a fraction like 0.29, which
  // is a hair below 0.29 in binary, still reads "29%".
  static QString downloadPercentText(double fraction);

 signals:
  // A file dropped on or chosen in the ready screen.
  void fileChosen(const QUrl& url);
  // An http or https address entered in the ready screen.
  void addressEntered(const QString& address);
  // Files of a drop on the ready screen that were not taken, each with why.
  void filesRefused(const QList<parlowvista::RefusedFile>& files);

 private:
  void refresh();
  QWidget* buildLoading();
  QWidget* buildNotice();
  QWidget* buildReady();
  void rebuildDropZone();
  QWidget* buildProcessing();
  QWidget* buildError();
  QLabel* waitingNote(QWidget* page);

  TranscriptionViewModel& m_viewModel;
  LibraryPrompts m_prompts;
  QWidget* m_readyPage = nullptr;
  FileDropZone* m_dropZone = nullptr;
  bool m_groupSelected = false;
  Screen m_screen = Screen::loading;
  QProgressBar* m_loadingBar = nullptr;
  QLabel* m_downloadSymbol = nullptr;
  QLabel* m_processingFile = nullptr;
  QProgressBar* m_processingBar = nullptr;
  QWidget* m_stageRow = nullptr;
  QLabel* m_processingStage = nullptr;
  QLabel* m_downloadStatus = nullptr;
  QLabel* m_downloadPercent = nullptr;
  QList<QLabel*> m_waitingNotes;
  QLabel* m_errorMessage = nullptr;
  QLabel* m_errorNextStep = nullptr;
  QLabel* m_errorDetails = nullptr;
  QPushButton* m_retry = nullptr;
  QWidget* m_workspacePage = nullptr;
};

}  // namespace parlowvista
