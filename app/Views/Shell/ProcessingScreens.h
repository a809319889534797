#pragma once

#include "Models/ProcessingState.h"

#include <QColor>
#include <QStackedWidget>
#include <QUrl>

class QLabel;
class QProgressBar;
class QPushButton;

namespace parlowvista {

class TranscriptionViewModel;

// The main window's centre pane: the loading screen while the models start, the notice when
// no group is selected, the ready screen (a drop area and a file button), the processing
// screen with its stage and progress, the workspace once a transcript exists, and the error
// screen. Follows the view model; keeps nothing of its own beyond which group is selected.
class ProcessingScreens : public QStackedWidget {
  Q_OBJECT

 public:
  enum class Screen { loading, noGroupSelected, ready, processing, workspace, error };

  explicit ProcessingScreens(TranscriptionViewModel& viewModel, QWidget* parent = nullptr);

  // Whether a group is selected decides between the ready screen and the notice.
  void setGroupSelected(bool selected);
  // The widget shown in `completed` (the transcript workspace). Owned by this pane.
  void setWorkspace(QWidget* workspace);

  Screen screen() const { return m_screen; }
  // The screen a state shows.
  static Screen screenFor(const ProcessingState& state, bool groupSelected);
  // The colour of the status dot beside the status line.
  static QColor statusColor(const ProcessingState& state);

 signals:
  // A file dropped on or chosen in the ready screen.
  void fileChosen(const QUrl& url);

 private:
  void refresh();
  QWidget* buildLoading();
  QWidget* buildNotice();
  QWidget* buildReady();
  QWidget* buildProcessing();
  QWidget* buildError();

  TranscriptionViewModel& m_viewModel;
  bool m_groupSelected = false;
  Screen m_screen = Screen::loading;
  QProgressBar* m_loadingBar = nullptr;
  QLabel* m_processingFile = nullptr;
  QProgressBar* m_processingBar = nullptr;
  QLabel* m_processingStage = nullptr;
  QLabel* m_downloadStatus = nullptr;
  QLabel* m_downloadPercent = nullptr;
  QLabel* m_errorMessage = nullptr;
  QLabel* m_errorDetails = nullptr;
  QWidget* m_workspacePage = nullptr;
};

}  // namespace parlowvista
