#pragma once

// The main window over the pipeline harness, with the library and its prompts answered by the test,
// and the ways its tests import files and wait for what the window shows.

#include "Views/Shell/MainWindow.h"

#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Services/AudioPlayerService.h"
#include "Services/ExportService.h"
#include "Services/LibraryActions.h"
#include "Services/Translation/TranslationService.h"
#include "Views/Common/Theme.h"
#include "Views/Library/AddGroupSheet.h"
#include "Views/Library/AudioFileImportQueue.h"
#include "Views/Library/AudioSourceRow.h"
#include "Views/Library/AudioSourcesList.h"
#include "Views/Library/FileDropZone.h"
#include "Views/Library/GroupListModel.h"
#include "Views/Library/GroupsSidebar.h"
#include "Views/Library/LibrarySelection.h"
#include "Views/Library/RelocateFileDialog.h"
#include "Views/Library/RelocateFilePresenter.h"
#include "Views/Library/VersionChip.h"
#include "Views/Shell/ActivityLogView.h"
#include "Views/Shell/BusySpinner.h"
#include "Views/Shell/ContentTabBar.h"
#include "Views/Shell/ProcessingScreens.h"
#include "Views/Shell/SidePanel.h"
#include "Views/Shell/SkippedFilesNotice.h"
#include "Views/Translation/CreateTranslationSheet.h"
#include "Views/Workspace/InlineTextEditor.h"
#include "Views/Workspace/ReprocessDialog.h"
#include "Views/Workspace/ResultsView.h"
#include "Views/Workspace/SegmentListModel.h"
#include "Views/Workspace/SegmentListView.h"
#include "Views/Workspace/SegmentRowEditor.h"
#include "Views/Workspace/SpeakerRowView.h"
#include "Views/Workspace/SpeakersPanel.h"
#include "Views/Workspace/TranscriptionSettingsSheet.h"
#include "Views/Workspace/TranscriptionVersionsBar.h"
#include "Views/Workspace/VersionTab.h"
#include "app/Services/Translation/TranslationTestSupport.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "app/Views/Library/LibraryViewTestSupport.h"
#include "app/Views/Player/PlayerPageStandIn.h"
#include "support/LoopbackServer.h"
#include "support/QtWindowAudit.h"
#include "support/TimeLeft.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>

namespace mainwindowtest {

using namespace parlowvista;
using pipelinetest::FakeEngine;
using pipelinetest::Harness;
using Screen = ProcessingScreens::Screen;

inline QPushButton* button(QWidget& root, const QString& text) {
  for (QPushButton* candidate : root.findChildren<QPushButton*>()) {
    if (candidate->text() == text) return candidate;
  }
  return nullptr;
}

inline QLabel* labelNamed(QWidget& root, const char* name) {
  return root.findChild<QLabel*>(QString::fromLatin1(name));
}

class MainWindowTest : public ::testing::Test {
 protected:
  // Every wait of the test shares the time ctest gives it, less a margin for the rest: its own and
  // its helpers' (transcribe() alone may wait minutes), which waitUntil() and Harness::settle()
  // bound by it. A test that transcribes file after file and hangs is told by the wait that hung
  // rather than ended by ctest with nothing said.
  const testsupport::TimeLeft timeLeft{PV_TEST_TIMEOUT_SECONDS, 30};
  const testsupport::WaitsWithin waitsWithin{timeLeft};

  std::shared_ptr<FakeEngine> engine = std::make_shared<FakeEngine>();
  std::unique_ptr<Harness> harness;
  std::unique_ptr<LibraryActions> library;
  QList<QUrl> nextPick;
  QList<QUrl> locatePick;  // what the relocate sheet's picker answers
  int picks = 0;
  bool withTranscriptView = false;  // the workspace's results list and player (starts the web engine)
  int pageHostAsked = 0;            // how often the window asked for the player pages' host
  QStringList confirmations;
  QStringList confirmLabels;  // each confirmation's destructive button
  QStringList confirmMessages;
  bool confirmAnswer = true;
  std::function<void()> whileAsking;  // what happens while a confirmation is open

  // A window over the harness: the library's files are its downloads and sample-cache folders;
  // every confirmation is answered with `confirmAnswer` (its destructive button).
  std::unique_ptr<MainWindow> make(MainWindow::Actions actions = {}) {
    if (!library) {
      library = std::make_unique<LibraryActions>(*harness->context, *harness->settings, harness->fileAccess,
                                                 QStringList{harness->path("downloads"), harness->path("AudioCache")});
    }
    LibraryPrompts prompts;
    prompts.confirmDestructive = [this](QWidget*, const QString& title, const QString& message, const QString& label) {
      confirmations << title;
      confirmLabels << label;
      confirmMessages << message;
      if (whileAsking) std::exchange(whileAsking, {})();
      return confirmAnswer;
    };
    prompts.confirmDelete = [confirm = prompts.confirmDestructive](QWidget* parent, const QString& title,
                                                                   const QString& message) {
      return confirm(parent, title, message, "Delete");
    };
    prompts.chooseAudioFiles = [this](QWidget*, bool) { return locatePick; };
    prompts.showInFileManager = [](const QUrl&) {};
    return std::make_unique<MainWindow>(*harness->vm, *harness->context,
                                        MainWindow::Library{*harness->settings, harness->fileAccess, *library, prompts},
                                        std::move(actions));
  }

  std::unique_ptr<MainWindow> open(bool withGroup = true, bool show = true) {
    harness = std::make_unique<Harness>(engine, withGroup);
    MainWindow::Actions actions;
    actions.pickAudioFiles = [this](QWidget*, std::function<void(const QList<QUrl>&)> chosen) {
      ++picks;
      if (!nextPick.isEmpty()) chosen(nextPick);
    };
    if (withTranscriptView) {
      actions.playerPageHost = [this] {
        ++pageHostAsked;
        return playertest::pageHost();
      };
    }
    auto window = make(actions);
    if (withGroup) window->setSelectedGroup(harness->group);
    if (show) window->show();
    return window;
  }

  // Drops a file on the ready screen's drop zone; the settings sheet opens for it.
  static TranscriptionSettingsSheet* dropOnTheDropZone(MainWindow& window, const QUrl& file) {
    QMimeData data;
    data.setUrls({file});
    EXPECT_TRUE(window.processingScreens()->dropZone()->acceptDrop(&data));
    return window.transcriptionSettingsSheet();
  }

  QUrl wav(const QString& name, double seconds = 3.0) {
    const QString path = harness->path(name);
    pipelinetest::writeFloatWav(path.toStdString(), pipelinetest::twoVoices(seconds));
    return QUrl::fromLocalFile(path);
  }

  bool waitForScreen(MainWindow& window, Screen screen, int timeoutMs = 30000) {
    return testsupport::waitUntil([&] { return window.processingScreens()->screen() == screen; }, timeoutMs);
  }

  // Imports one file and waits until its transcript is on screen and the run has settled.
  bool transcribe(MainWindow& window, const QString& name) {
    window.importFiles({wav(name)});
    return testsupport::waitUntil(
               [&] {
                 const Transcription* version = harness->vm->currentTranscription();
                 return version && version->audioSource()->filename() == name && !harness->vm->isBusy();
               },
               60000) &&
           waitForScreen(window, Screen::workspace) && harness->settle();
  }

  // Waits until the import queue is empty and its last run has finished.
  bool waitForTheQueueToEmpty(MainWindow& window) {
    return testsupport::waitUntil(
               [&] {
                 return window.importQueue()->pendingCount() == 0 && harness->settle(100) && !harness->vm->isBusy();
               },
               60000) &&
           harness->settle();
  }

  // A stored translation of `version` whose every segment reads `text`.
  Transcription* addTranslation(Transcription* version, const QString& language, const QString& text) {
    Transcription* translation = pipelinetest::storeTranslation(*harness->context, version, language, text);
    QApplication::processEvents();
    return translation;
  }

  // The rows of the results list, and those of the version's own result.
  static QStringList shownTexts(MainWindow& window) {
    QStringList texts;
    const SegmentListModel* rows = window.resultsView()->listModel();
    for (int i = 0; i < rows->rowCount(); ++i) texts << rows->segmentAt(i)->text;
    return texts;
  }
  QStringList originalTexts() const {
    QStringList texts;
    if (const TranscriptionResult* result = harness->vm->state().result())
      for (const auto& segment : result->segments) texts << segment.text;
    return texts;
  }

  QStringList storedFileNames() const {
    QStringList names;
    for (auto* source : harness->context->fetch<AudioSource>()) names << source->filename();
    names.sort();
    return names;
  }
};

}  // namespace mainwindowtest
