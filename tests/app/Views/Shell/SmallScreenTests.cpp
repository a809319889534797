// Every window and sheet fits the screen it opens on when that screen is small: a 1400 by 900
// screen at twice the scale gives 700 by 450. The checks run in a child process whose offscreen
// screen is that one (Qt reads the scale once, at start); the parent starts it and reads its
// verdict.

#include "App/Application.h"

#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Services/FileAccessManager.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Library/AudioFileImportQueue.h"
#include "Views/Library/FileDropZone.h"
#include "Views/Library/GroupsSidebar.h"
#include "Views/Library/RelocateFileDialog.h"
#include "Views/Shell/ContentTabBar.h"
#include "Views/Shell/MainWindow.h"
#include "Views/Shell/OnboardingSheet.h"
#include "Views/Shell/ProcessingScreens.h"
#include "Views/Shell/SettingsWindow.h"
#include "Views/Shell/SkippedFilesNotice.h"
#include "Views/Translation/CreateTranslationSheet.h"
#include "Views/Translation/TranslationSettingsView.h"
#include "Views/Workspace/ReprocessDialog.h"
#include "Views/Workspace/ResultsView.h"
#include "Views/Workspace/SegmentListModel.h"
#include "Views/Workspace/SegmentListView.h"
#include "Views/Workspace/SpeakerEditPopover.h"
#include "Views/Workspace/TranscriptionSettingsSheet.h"
#include "Views/Workspace/TranscriptionVersionsBar.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/ChildTestRun.h"
#include "support/QtWindowAudit.h"
#include "support/ScopedSettingsFolder.h"

#include <QListView>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSplitter>
#include <QToolButton>

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace parlowvista;
using Screen = ProcessingScreens::Screen;

constexpr const char* kChildSwitch = "PV_SMALL_SCREEN_CHILD";

std::string shown(const QRect& r) {
  return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()).toStdString();
}

// `window` lies inside the free area of its screen and could be made no larger than it; each of
// `controls` is wholly inside the window, where a person can reach it.
void expectFits(QWidget* window, const QList<QWidget*>& controls = {}) {
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(window->isVisible()) << window->windowTitle().toStdString();
  QApplication::processEvents();
  const QRect room = window->screen()->availableGeometry();
  SCOPED_TRACE(window->windowTitle().toStdString() + " on " + shown(room));
  EXPECT_TRUE(room.contains(window->frameGeometry())) << shown(window->frameGeometry());
  EXPECT_LE(window->minimumWidth(), room.width());
  EXPECT_LE(window->minimumHeight(), room.height());
  // And it has the room its texts need, at this scale too.
  const QStringList clipped = testsupport::QtWindowAudit::checkClippedText(window);
  EXPECT_TRUE(clipped.isEmpty()) << clipped.join('\n').toStdString();
  for (QWidget* control : controls) {
    ASSERT_NE(control, nullptr);
    const QRect inWindow(control->mapTo(window, QPoint(0, 0)), control->size());
    EXPECT_TRUE(control->isVisible() && window->rect().contains(inWindow))
        << control->accessibleName().toStdString() << " at " << shown(inWindow);
  }
}

QPushButton* buttonWithText(QWidget* root, const QString& text) {
  for (auto* button : root->findChildren<QPushButton*>()) {
    if (button->text() == text) return button;
  }
  return nullptr;
}

// The application over temporary folders, with a speech engine that answers at once.
class SmallScreenChildProcess : public testsupport::TempDirTest {
 protected:
  // Settings of the test's own, in its folder, until it ends.
  testsupport::ScopedSettingsFolder settingsFolder{path("config")};

  void SetUp() override {
    if (qEnvironmentVariableIsEmpty(kChildSwitch)) GTEST_SKIP() << "only run as a child process";
    ASSERT_EQ(QApplication::primaryScreen()->availableGeometry().size(), QSize(700, 450));
    QSettings().clear();
    application = std::make_unique<Application>(
        Application::Environment{path("share"), QStringLiteral("com.lanternhollow.tests.smallscreen"),
                                 std::make_shared<pipelinetest::FakeEngine>(), path("cache")});
  }
  QString path(const std::string& name) const { return QString::fromStdString((tempDir / name).string()); }

  MainWindow& readyWindow() {
    application->appSettings().setHasCompletedOnboarding(true);
    application->showMainWindow();
    MainWindow& window = *application->mainWindow();
    EXPECT_TRUE(testsupport::waitUntil([&] { return window.processingScreens()->screen() == Screen::ready; }, 30000));
    return window;
  }

  // A transcript on screen, made from a file added as a user adds one.
  MainWindow& windowWithTranscript() {
    MainWindow& window = readyWindow();
    const std::string wav = (tempDir / "talk.wav").string();
    pipelinetest::writeFloatWav(wav, pipelinetest::twoVoices(3.0));
    window.importFiles({QUrl::fromLocalFile(QString::fromStdString(wav))});
    TranscriptionViewModel& vm = application->viewModel();
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return window.processingScreens()->screen() == Screen::workspace && !vm.isBusy(); }, 60000));
    return window;
  }

  std::unique_ptr<Application> application;
};

TEST_F(SmallScreenChildProcess, TheMainWindowAndTheWelcomeSheet) {
  application->showMainWindow();
  MainWindow& window = *application->mainWindow();
  auto* welcome = window.findChild<OnboardingSheet*>();
  ASSERT_NE(welcome, nullptr);
  expectFits(welcome, {buttonWithText(welcome, QStringLiteral("Get Started"))});
  expectFits(&window);
  // The groups list keeps room for its names rather than scrolling them sideways.
  QListView* groups = window.groupsSidebar()->listView();
  EXPECT_FALSE(groups->horizontalScrollBar()->isVisible());
  EXPECT_GE(groups->width(), 140);
}

TEST_F(SmallScreenChildProcess, TheSettingsWindows) {
  application->showSettings();
  expectFits(application->settingsWindow());
  application->showTranslationSettings();
  expectFits(application->translationSettingsWindow());
}

TEST_F(SmallScreenChildProcess, TheTranscriptionSettingsSheet) {
  MainWindow& window = readyWindow();
  const std::string wav = (tempDir / "talk.wav").string();
  pipelinetest::writeFloatWav(wav, pipelinetest::twoVoices(3.0));
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(wav))});
  ASSERT_TRUE(window.processingScreens()->dropZone()->acceptDrop(&data));
  TranscriptionSettingsSheet* sheet = window.transcriptionSettingsSheet();
  ASSERT_NE(sheet, nullptr);
  expectFits(sheet, {sheet->startButton(), buttonWithText(sheet, QStringLiteral("Cancel"))});
}

TEST_F(SmallScreenChildProcess, TheSheetsAndThePopoverOverATranscript) {
  MainWindow& window = windowWithTranscript();
  ASSERT_NE(window.resultsView(), nullptr);

  window.contentTabBar()->createButton()->click();
  auto* translation = window.findChild<CreateTranslationSheet*>();
  expectFits(translation);
  translation->close();

  emit window.versionsBar()->createNewRequested();
  auto* reprocess = window.findChild<ReprocessDialog*>();
  expectFits(reprocess);
  reprocess->reject();

  // The popover opens below the badge of the lowest row on screen.
  SegmentListView* list = window.resultsView()->listView();
  const int last = list->segmentModel()->rowCount() - 1;
  list->scrollToBottom();
  list->openSpeakerPopover(list->segmentModel()->segmentAt(last)->id);
  expectFits(list->speakerPopover());
  list->speakerPopover()->close();

  AudioSource* source = application->viewModel().currentAudioSource();
  application->fileAccessManager().setPendingRelocate(source);
  application->fileAccessManager().setShowRelocateDialog(true);
  QApplication::processEvents();
  expectFits(window.findChild<RelocateFileDialog*>());
}

// A batch whose first files failed names them in the band above the columns, while the last
// one's transcript is shown: the band fits beside the work, which keeps its buttons in view and
// its transcript readable, without scrolling the window.
TEST_F(SmallScreenChildProcess, TheBandOfFilesNotTranscribedBesideATranscript) {
  MainWindow& window = readyWindow();
  QList<QUrl> batch;
  for (const char* name : {"meeting notes from the second quarter.wav", "shopping list.wav"}) {
    testsupport::writeFile(tempDir / name, "not audio at all\n");
    batch << QUrl::fromLocalFile(path(name));
  }
  const std::string wav = (tempDir / "talk.wav").string();
  pipelinetest::writeFloatWav(wav, pipelinetest::twoVoices(3.0));
  batch << QUrl::fromLocalFile(QString::fromStdString(wav));
  window.importFiles(batch);
  TranscriptionViewModel& vm = application->viewModel();
  ASSERT_TRUE(testsupport::waitUntil(
      [&] {
        return window.processingScreens()->screen() == Screen::workspace && !vm.isBusy() &&
               window.importQueue()->pendingCount() == 0;
      },
      60000));
  QApplication::processEvents();
  ASSERT_EQ(window.skippedFilesNotice()->lines().size(), 2);
  ASSERT_TRUE(window.skippedFilesNotice()->isVisible());
  // Its text has room for a few lines, not one and a half.
  QWidget* text = window.skippedFilesNotice()->textArea()->viewport();
  EXPECT_GE(text->height(), SkippedFilesNotice::kLeastLines * text->fontMetrics().lineSpacing());
  if (const QByteArray shot = qgetenv("PV_SMALL_SCREEN_SHOT"); !shot.isEmpty()) window.grab().save(shot);
  ResultsView* results = window.resultsView();
  ASSERT_NE(results, nullptr);
  expectFits(&window, {window.skippedFilesNotice()->dismissButton(), results->newFileButton()});
  // Nothing of the window scrolls up and down: the columns keep the whole height beside the
  // band, and the buttons under the transcript are in view (the columns scroll sideways, so
  // "Export", at the far right of the centre, may need that).
  auto* frame = qobject_cast<QScrollArea*>(window.columns()->parentWidget()->parentWidget());
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->verticalScrollBar()->maximum(), 0);
  for (QWidget* control : QList<QWidget*>{results->newFileButton(), results->exportButton()}) {
    const QRect inView(control->mapTo(frame->viewport(), QPoint(0, 0)), control->size());
    EXPECT_TRUE(inView.top() >= 0 && inView.bottom() < frame->viewport()->height()) << shown(inView);
  }
  // The transcript shows its first row whole and nearly all of its second (a pixel or two of
  // the second may go with the fonts a machine has).
  SegmentListView* list = results->listView();
  const int rows = list->segmentModel()->rowCount();
  ASSERT_EQ(rows, 2);
  const QRect last = list->visualRect(list->model()->index(rows - 1, 0));
  EXPECT_GE(list->viewport()->height(), last.top() + last.height() * 9 / 10)
      << "the transcript is " << list->viewport()->height() << " high; its second row is " << shown(last);
}

// Runs `filter` of this program's tests in a child whose one screen is 1400 by 900 at `scale`.
testsupport::ChildTestRun runOnALaptopScreen(const QString& filter, const char* scale) {
  testsupport::TempDir folder;
  const std::filesystem::path config = folder.path() / "screen.json";
  std::ofstream(config) << R"({"screens":[{"name":"laptop","x":0,"y":0,"width":1400,"height":900,)"
                        << R"("logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]})";
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen:configfile=" + QString::fromStdString(config.string()));
  environment.insert("QT_SCALE_FACTOR", scale);
  environment.insert(kChildSwitch, "1");
  return testsupport::runTestsInChild(environment, filter, 240000);
}

TEST(SmallScreen, EveryWindowFitsAScreenOf1400By900AtTwiceTheScale) {
  const auto child = runOnALaptopScreen("SmallScreenChildProcess.*", "2");
  ASSERT_TRUE(child.finished);
  const QString& output = child.output;
  EXPECT_EQ(child.exitCode, 0) << output.toStdString();
  EXPECT_TRUE(output.contains("[  PASSED  ] 5 tests")) << output.toStdString();
}

// The same screen at its own scale has room for the main window at its usual size, whose
// columns then keep their usual widths: the centre's must still give its texts the room their
// font needs (the dark pass's desktop font is a third larger than the light one's).
TEST(SmallScreen, TheMainWindowAtItsUsualSizePassesTheAuditOnAScreenOf1400By900) {
  const auto child = runOnALaptopScreen("MainWindowTest.PassesTheAuditOnEveryScreen", "1");
  ASSERT_TRUE(child.finished);
  EXPECT_EQ(child.exitCode, 0) << child.output.toStdString();
  EXPECT_TRUE(child.output.contains("[  PASSED  ] 1 test")) << child.output.toStdString();
}

}  // namespace
