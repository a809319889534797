// The whole application as a user starts it: the models come from a model hub on 127.0.0.1
// named by REGISTRY_URL, a file dropped on the main window becomes a stored, playable and
// editable transcript.

#include "App/Application.h"

#include "Models/AppSettings.h"
#include "Models/AudioSource.h"
#include "Models/StoredSegment.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Services/AudioPlayerService.h"
#include "Services/LibraryActions.h"
#include "Services/SpeechEngine.h"
#include "Services/Translation/TranslationSettings.h"
#include "Store/ModelContext.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Library/AddGroupSheet.h"
#include "Views/Library/AudioSourceRow.h"
#include "Views/Library/AudioSourcesList.h"
#include "Views/Library/FileDropZone.h"
#include "Views/Library/GroupsSidebar.h"
#include "Views/Library/LibrarySelection.h"
#include "Views/Shell/ContentTabBar.h"
#include "Views/Shell/MainWindow.h"
#include "Views/Shell/OnboardingSheet.h"
#include "Views/Shell/ProcessingScreens.h"
#include "Views/Shell/SettingsWindow.h"
#include "Views/Translation/CreateTranslationSheet.h"
#include "Views/Translation/TranslationSettingsView.h"
#include "Views/Workspace/ResultsView.h"
#include "Views/Workspace/SegmentListModel.h"
#include "Views/Workspace/SegmentListView.h"
#include "Views/Workspace/SegmentRowEditor.h"
#include "Views/Workspace/TranscriptionSettingsSheet.h"
#include "app/Services/Translation/TranslationTestSupport.h"
#include "app/ViewModels/ModelHubTestSupport.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/QtModalWatchdog.h"
#include "support/QtWindowAudit.h"
#include "support/ScopedSettingsFolder.h"
#include "support/TimeLeft.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

namespace {

using namespace parlowvista;
using Screen = ProcessingScreens::Screen;

using modelhubtest::GeneratedModelHub;

class ApplicationShellTest : public testsupport::TempDirTest {
 protected:
  // Every wait of the test shares the time ctest gives it, less a margin for the rest: the models
  // downloaded and loaded, then a file transcribed by them, are minutes each on a crowded machine.
  const testsupport::TimeLeft timeLeft{PV_TEST_TIMEOUT_SECONDS, 30};
  const testsupport::WaitsWithin waitsWithin{timeLeft};

  // Settings of the test's own, in its folder, until it ends.
  testsupport::ScopedSettingsFolder settingsFolder{path("config")};

  void SetUp() override { QSettings().clear(); }
  QString path(const std::string& name) const { return QString::fromStdString((tempDir / name).string()); }
  Application::Environment environment() const {
    VoxtrellisSpeechEngine::ModelFolders folders;
    folders.recognizer = tempDir / "models" / "parakeet-tdt-0.6b-v3-onnx";
    folders.diarizer = tempDir / "models";
    return {path("share"), QStringLiteral("com.lanternhollow.tests.shell"),
            std::make_shared<VoxtrellisSpeechEngine>(folders)};
  }
  // With a speech engine that answers at once.
  Application::Environment withAnsweringEngine() const {
    Application::Environment local = environment();
    local.engine = std::make_shared<pipelinetest::FakeEngine>();
    return local;
  }
  // The file transcribeTalk() transcribes: two voices, three seconds.
  QString talkPath() const { return path("talk.wav"); }
  // Shows the main window past onboarding and, once the models are ready, transcribes
  // talk.wav into it; returns with its transcript on screen and the view model idle.
  void transcribeTalk(Application& application) const {
    const QString wav = talkPath();
    application.appSettings().setHasCompletedOnboarding(true);
    application.showMainWindow();
    MainWindow& window = *application.mainWindow();
    TranscriptionViewModel& vm = application.viewModel();
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.processingScreens()->screen() == Screen::ready; }));
    pipelinetest::writeFloatWav(wav.toStdString(), pipelinetest::twoVoices(3.0));
    window.importFiles({QUrl::fromLocalFile(wav)});
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return window.processingScreens()->screen() == Screen::workspace && !vm.isBusy(); }, 60000));
  }

  // These windows ask the user nothing: a question (the quit one, when the last edits could
  // not be saved) fails the test at once rather than waiting for its answer.
  testsupport::ModalWatchdog unexpectedQuestions;
};

TEST_F(ApplicationShellTest, AFileDroppedOnTheWindowBecomesAStoredPlayableEditableTranscript) {
  GeneratedModelHub hub;
  qputenv("REGISTRY_URL", QByteArray::fromStdString(hub.baseUrl()));
  const auto unset = qScopeGuard([] { qunsetenv("REGISTRY_URL"); });
  QString store;
  {
    Application application(environment());
    application.appSettings().setHasCompletedOnboarding(true);
    application.showMainWindow();
    MainWindow& window = *application.mainWindow();
    TranscriptionViewModel& vm = application.viewModel();
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.processingScreens()->screen() != Screen::loading; }, 60000));
    ASSERT_EQ(window.processingScreens()->screen(), Screen::ready) << vm.statusMessage().toStdString();
    EXPECT_GT(hub.requests.load(), 0);
    EXPECT_EQ(window.windowTitle(), "General — Parlowvista");

    // Dropped on the drop zone in the middle of the window, as a user does; the settings sheet
    // asks first, and its start runs the file.
    const std::string wav = (tempDir / "interview.wav").string();
    pipelinetest::writeFloatWav(wav, pipelinetest::twoVoices());
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(wav))});
    FileDropZone* zone = window.processingScreens()->dropZone();
    const QPoint middle = zone->rect().center();
    QDragEnterEvent enter(middle, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zone, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(middle, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zone, &drop);
    TranscriptionSettingsSheet* sheet = window.transcriptionSettingsSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(vm.state().kind(), ProcessingState::Kind::modelsReady);
    sheet->startButton()->click();
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return window.processingScreens()->screen() == Screen::workspace && !vm.isBusy(); }, 120000))
        << vm.statusMessage().toStdString();

    Transcription* version = vm.currentTranscription();
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->name(), "Version 1");
    EXPECT_EQ(window.windowTitle(), "Version 1 — Parlowvista");
    EXPECT_EQ(window.selection().transcription(), version);
    ASSERT_EQ(version->segments().size(), 2);
    EXPECT_EQ(version->segments()[0]->text(), "hello");
    // The workspace shows it, with the version in the versions bar.
    ASSERT_NE(window.resultsView(), nullptr);
    EXPECT_TRUE(window.resultsView()->isVisible());
    EXPECT_EQ(window.resultsView()->statValue(QStringLiteral("Segments")), "2");
    ASSERT_TRUE(testsupport::waitUntil([&] { return vm.audioPlayer().isLoaded(); }, 30000));
    EXPECT_NEAR(vm.audioPlayer().duration(), 14.0, 0.2);
    // Its samples are cached in the application's own folders, never in the user's.
    AudioSource* source = version->audioSource();
    ASSERT_TRUE(testsupport::waitUntil([&] { return source->cachedSamplesPath().has_value(); }, 30000));
    EXPECT_TRUE(source->cachedSamplesPath()->startsWith(path("share") + "/"))
        << source->cachedSamplesPath()->toStdString();

    vm.updateSegmentText(0, QStringLiteral("hello there"));
    vm.saveCurrentTranscription();
    EXPECT_FALSE(vm.hasUnsavedChanges());
    store = ModelContext::storePath(application.appSettings().libraryLocation());

    // "New File" goes back to the drop zone: the version is no longer selected or loaded.
    QPushButton* newFile = nullptr;
    for (auto* candidate : window.resultsView()->findChildren<QPushButton*>()) {
      if (candidate->text() == "New File") newFile = candidate;
    }
    ASSERT_NE(newFile, nullptr);
    newFile->click();
    EXPECT_EQ(window.selection().transcription(), nullptr);
    EXPECT_EQ(vm.currentTranscription(), nullptr);
    EXPECT_EQ(window.processingScreens()->screen(), Screen::ready);
    EXPECT_EQ(window.windowTitle(), "interview.wav — Parlowvista");
  }
  // What reached the file, read back by a fresh context.
  ModelContext reopened(store);
  const auto versions = reopened.fetch<Transcription>();
  ASSERT_EQ(versions.size(), 1);
  EXPECT_EQ(versions[0]->segments()[0]->text(), "hello there");
  EXPECT_EQ(versions[0]->audioSource()->filename(), "interview.wav");
}

TEST_F(ApplicationShellTest, EnterPressesTheFocusedButtonAsSpaceDoesAndStillConfirmsDialogs) {
  Application application(withAnsweringEngine());
  application.appSettings().setHasCompletedOnboarding(true);
  application.showMainWindow();
  MainWindow& window = *application.mainWindow();
  ASSERT_TRUE(testsupport::waitUntil([&] { return window.processingScreens()->screen() == Screen::ready; }));
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  FileDropZone* zone = window.processingScreens()->dropZone();
  zone->fromURLButton()->setFocus(Qt::TabFocusReason);
  QTest::keyClick(zone->fromURLButton(), Qt::Key_Return);
  EXPECT_TRUE(zone->isURLInputShown());
  zone->fromURLButton()->setFocus(Qt::BacktabFocusReason);  // the address field took it
  QTest::keyClick(zone->fromURLButton(), Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_FALSE(zone->isURLInputShown());
  // A tool button too; in the sheet it opens, Enter in the text field still goes to the
  // default button.
  window.groupsSidebar()->addButton()->setFocus(Qt::TabFocusReason);
  QTest::keyClick(window.groupsSidebar()->addButton(), Qt::Key_Return);
  AddGroupSheet* sheet = window.groupsSidebar()->addGroupSheet();
  ASSERT_NE(sheet, nullptr);
  QTest::keyClicks(sheet->nameField(), QStringLiteral("Interviews"));
  QTest::keyClick(sheet->nameField(), Qt::Key_Return);
  QStringList groups;
  for (auto* group : application.modelContext().fetch<TranscriptGroup>()) groups << group->name();
  EXPECT_TRUE(groups.contains("Interviews")) << groups.join(", ").toStdString();
}

TEST_F(ApplicationShellTest, TheFirstRunShowsOnboardingAndTheMenuOpensBothSettingsWindows) {
  Application application(withAnsweringEngine());
  application.showMainWindow();
  MainWindow& window = *application.mainWindow();
  auto* onboarding = window.findChild<OnboardingSheet*>();
  ASSERT_NE(onboarding, nullptr);
  EXPECT_TRUE(onboarding->isVisible());
  // Over the middle of the main window, not at its corner over the centre pane's heading.
  EXPECT_LE((onboarding->geometry().center() - window.geometry().center()).manhattanLength(), 4);
  // A window manager places the main window only after it is shown, the sheet already open over
  // it: the sheet goes along.
  window.move(window.pos() + QPoint(150, 90));
  ASSERT_TRUE(testsupport::waitUntil([&] { return window.pos().x() >= 150; }));
  QApplication::processEvents();
  EXPECT_LE((onboarding->geometry().center() - window.geometry().center()).manhattanLength(), 4);
  // The first showing made "General" and selected it.
  ASSERT_NE(window.selectedGroup(), nullptr);
  EXPECT_EQ(window.selectedGroup()->name(), "General");
  window.settingsAction()->trigger();
  ASSERT_NE(application.settingsWindow(), nullptr);
  EXPECT_TRUE(application.settingsWindow()->isVisible());
  window.translationSettingsAction()->trigger();
  ASSERT_NE(application.translationSettingsWindow(), nullptr);
  EXPECT_EQ(application.translationSettingsWindow()->windowTitle(), "Translation Settings");
  // Ctrl+W closes either, as Escape does (see below). (Once the main window has stopped
  // bringing itself forward after its launch, which a loaded machine draws out.)
  ASSERT_TRUE(testsupport::waitUntil([&] { return !window.isActivationRetryRunning(); }, 20000));
  const std::pair<QAction*, QWidget*> windows[] = {
      {window.settingsAction(), application.settingsWindow()},
      {window.translationSettingsAction(), application.translationSettingsWindow()}};
  for (const auto& [opens, shown] : windows) {
    opens->trigger();
    ASSERT_TRUE(QTest::qWaitForWindowActive(shown, 20000));
    QTest::keySequence(shown, QKeySequence(Qt::CTRL | Qt::Key_W));
    EXPECT_FALSE(shown->isVisible()) << opens->text().toStdString();
  }
  // Showing the window again does not stack a second sheet.
  application.showMainWindow();
  EXPECT_EQ(window.findChildren<OnboardingSheet*>().size(), 1);
  // With every group deleted, the next showing makes "General" again and selects it.
  application.libraryActions().deleteGroup(window.selectedGroup());
  EXPECT_EQ(window.selectedGroup(), nullptr);
  application.showMainWindow();
  ASSERT_NE(window.selectedGroup(), nullptr);
  EXPECT_EQ(window.selectedGroup()->name(), "General");
  EXPECT_EQ(application.appSettings().lastUsedGroupId(), window.selectedGroup()->id());
}

// Escape closes only what is open. With a drop-down list open in a window or sheet that Escape
// closes, the key closes the list, and the window stays with what was typed in it; the next
// Escape closes the window. Keys go where a person's go: to the list's own popup while it is
// open, else to the window. In a light and a dark palette.
TEST_F(ApplicationShellTest, EscapeClosesAnOpenListFirstAndOnlyThenTheWindowOrSheet) {
  Application application(withAnsweringEngine());
  ASSERT_NO_FATAL_FAILURE(transcribeTalk(application));
  MainWindow& window = *application.mainWindow();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !window.isActivationRetryRunning(); }, 20000));

  // A provider's tool is found, so the create-translation sheet offers its languages.
  translationtest::ToolSandbox tools;
  tools.addToolOnPath("claude", "#!/bin/sh\n");
  QMimeData dropped;
  dropped.setUrls({QUrl::fromLocalFile(talkPath())});
  struct Case {
    const char* name;
    std::function<QWidget*()> open;
    int lists;  // drop-down lists a person can open in it (at least)
    bool typesAKey = false;
  };
  const Case cases[] = {
      {"Settings", [&]() -> QWidget* { return window.settingsAction()->trigger(), application.settingsWindow(); }, 2},
      {"Translation Settings",
       [&]() -> QWidget* {
         application.translationSettings().setConnectionMode(TranslationConnectionMode::api);  // with its key field
         window.translationSettingsAction()->trigger();
         return application.translationSettingsWindow();
       },
       2, true},
      {"Transcription settings sheet",
       [&]() -> QWidget* {
         window.processingScreens()->dropZone()->acceptDrop(&dropped);
         return window.transcriptionSettingsSheet();
       },
       1},
      {"Create translation sheet",
       [&]() -> QWidget* {
         application.translationSettings().setConnectionMode(TranslationConnectionMode::cli);  // the tool below
         window.openCreateTranslation();
         return window.findChild<CreateTranslationSheet*>();
       },
       1},
  };
  // A list on a tab that is not shown is reached by showing its tab first.
  const auto showTabOf = [](QWidget* control) {
    for (QWidget* page = control; page; page = page->parentWidget()) {
      QWidget* stack = page->parentWidget();
      auto* tabs = stack ? qobject_cast<QTabWidget*>(stack->parentWidget()) : nullptr;
      if (tabs && qobject_cast<QStackedWidget*>(stack)) tabs->setCurrentWidget(page);
    }
  };
  const QString typed = QStringLiteral("sk-typed-not-saved");
  for (const QPalette& palette :
       {testsupport::QtWindowAudit::lightPalette(), testsupport::QtWindowAudit::darkPalette()}) {
    const testsupport::ScopedApplicationPalette scheme(palette);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      QPointer<QWidget> shown = c.open();
      ASSERT_NE(shown, nullptr);
      ASSERT_TRUE(QTest::qWaitForWindowActive(shown, 20000));
      // What was typed and not yet saved: the API key, where there is one.
      QLineEdit* field = nullptr;
      for (QLineEdit* candidate : shown->findChildren<QLineEdit*>())
        if (candidate->echoMode() == QLineEdit::Password && candidate->isVisible()) field = candidate;
      ASSERT_EQ(field != nullptr, c.typesAKey);
      if (field) {
        field->clear();
        QTest::keyClicks(field, typed);
      }
      int opened = 0;
      for (QComboBox* list : shown->findChildren<QComboBox*>()) {
        showTabOf(list);
        if (!list->isVisible() || !list->isEnabled()) continue;
        SCOPED_TRACE((list->accessibleName() + " " + list->objectName()).toStdString());
        list->setFocus(Qt::TabFocusReason);
        QTest::keyClick(list, Qt::Key_Down, Qt::AltModifier);
        QWidget* popup = QApplication::activePopupWidget();
        ASSERT_NE(popup, nullptr);
        ++opened;
        QTest::keyClick(popup->windowHandle(), Qt::Key_Escape);
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
        ASSERT_TRUE(shown && shown->isVisible());
        if (field) {
          EXPECT_EQ(field->text(), typed);
        }
      }
      EXPECT_GE(opened, c.lists);
      QTest::keyClick(shown->windowHandle(), Qt::Key_Escape);
      EXPECT_TRUE(!shown || !shown->isVisible());
      QApplication::processEvents();
    }
  }
}

TEST_F(ApplicationShellTest, FromATranslationTabAnotherFileOpensWithItsOwnOriginal) {
  GeneratedModelHub hub;
  qputenv("REGISTRY_URL", QByteArray::fromStdString(hub.baseUrl()));
  const auto unset = qScopeGuard([] { qunsetenv("REGISTRY_URL"); });
  Application application(environment());
  application.appSettings().setHasCompletedOnboarding(true);
  application.showMainWindow();
  MainWindow& window = *application.mainWindow();
  TranscriptionViewModel& vm = application.viewModel();
  ASSERT_TRUE(testsupport::waitUntil([&] { return window.processingScreens()->screen() == Screen::ready; }, 60000));
  QList<QUrl> files;
  for (const char* name : {"lecture.wav", "podcast.wav"}) {
    const std::string wav = (tempDir / name).string();
    pipelinetest::writeFloatWav(wav, pipelinetest::twoVoices(4.0));
    files << QUrl::fromLocalFile(QString::fromStdString(wav));
  }
  window.importFiles(files);
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return application.modelContext().fetch<Transcription>().size() == 2 && !vm.isBusy(); }, 120000));
  auto rowOf = [&](const QString& file) -> AudioSourceRow* {
    for (AudioSourceRow* row : window.audioSourcesList()->rows())
      if (row->audioSource()->filename() == file) return row;
    return nullptr;
  };
  auto shownTexts = [&] {
    QStringList texts;
    const SegmentListModel* rows = window.resultsView()->listModel();
    for (int i = 0; i < rows->rowCount(); ++i) texts << rows->segmentAt(i)->text;
    return texts.join(" | ");
  };

  // The lecture in French, as a finished translation leaves it, shown in its tab.
  ASSERT_NE(rowOf("lecture.wav"), nullptr);
  QTest::mouseClick(rowOf("lecture.wav"), Qt::LeftButton);
  Transcription* lecture = vm.currentTranscription();
  ASSERT_NE(lecture, nullptr);
  ASSERT_EQ(lecture->audioSource()->filename(), "lecture.wav");
  auto* french = new Transcription("French", 1.0, lecture->preset(), lecture->customThreshold(), std::nullopt, 150, 12);
  french->setIsTranslation(true);
  french->setTargetLanguage(QStringLiteral("fr"));
  french->setSourceTranscription(lecture);
  french->setAudioSource(lecture->audioSource());
  application.modelContext().insert(french);
  TranscriptionResult translated = lecture->toResult();
  for (auto& segment : translated.segments) segment.text = QStringLiteral("bonjour");
  application.modelContext().updateSegments(french, translated);
  application.modelContext().save();
  QApplication::processEvents();
  ASSERT_EQ(window.contentTabBar()->tabButtons().size(), 2);
  window.contentTabBar()->tabButtons()[1]->click();
  ASSERT_TRUE(shownTexts().startsWith("bonjour"));

  QTest::mouseClick(rowOf("podcast.wav"), Qt::LeftButton);
  QApplication::processEvents();
  Transcription* podcast = vm.currentTranscription();
  ASSERT_NE(podcast, nullptr);
  EXPECT_EQ(podcast->audioSource()->filename(), "podcast.wav");
  EXPECT_EQ(window.windowTitle(), podcast->name() + " \u2014 Parlowvista");
  EXPECT_TRUE(vm.currentFile().toLocalFile().endsWith("podcast.wav"));
  EXPECT_TRUE(vm.activeTab().isOriginal());
  EXPECT_TRUE(window.contentTabBar()->tabButtons()[0]->isChecked());
  QStringList stored;
  for (const auto& segment : podcast->toResult().segments) stored << segment.text;
  EXPECT_EQ(shownTexts(), stored.join(" | "));
  EXPECT_FALSE(shownTexts().contains("bonjour"));
}

TEST_F(ApplicationShellTest, EditsAreAutosavedAtTheChosenIntervalAndQuittingSavesTheLastOnesForTheNextStart) {
  const Application::Environment local = withAnsweringEngine();
  QUuid versionId;
  {
    Application application(local);
    ASSERT_NO_FATAL_FAILURE(transcribeTalk(application));
    MainWindow& window = *application.mainWindow();
    TranscriptionViewModel& vm = application.viewModel();
    ASSERT_NE(vm.currentTranscription(), nullptr);
    versionId = vm.currentTranscription()->id();
    const auto stored = [&] { return pipelinetest::storedTexts(application.modelContext(), versionId); };

    // The settings window's shortest period applies to the running window at once.
    window.settingsAction()->trigger();
    auto* interval = application.settingsWindow()->findChild<QComboBox*>(QStringLiteral("saveInterval"));
    ASSERT_NE(interval, nullptr);
    interval->setCurrentIndex(interval->findData(1.0));
    emit interval->activated(interval->currentIndex());
    window.translationSettingsAction()->trigger();

    // Nobody saves: the autosave does, one period after the one before.
    vm.updateSegmentText(0, "first edit");
    ASSERT_TRUE(testsupport::waitUntil([&] { return stored().value(0) == "first edit"; }, 5000));
    const QDateTime first = vm.lastSaveTime();
    vm.updateSegmentText(0, "second edit");
    ASSERT_TRUE(testsupport::waitUntil([&] { return stored().value(0) == "second edit"; }, 5000));
    EXPECT_GE(first.msecsTo(vm.lastSaveTime()), 500);

    // Quit (Ctrl+Q, pressed in the Settings window in front) within the period: the edit is
    // saved, and every window goes, so the process ends and the next start is not refused as
    // a second copy.
    vm.updateSegmentText(0, "said just before quitting");
    QWidget* front = application.settingsWindow();
    front->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(front));
    QTest::keyClick(front, Qt::Key_Q, Qt::ControlModifier);
    for (QWidget* widget : QApplication::topLevelWidgets())
      EXPECT_FALSE(widget->isVisible()) << widget->windowTitle().toStdString();
  }
  Application again(local);
  auto* version = again.modelContext().find<Transcription>(versionId);
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->sortedSegments().first()->text(), "said just before quitting");

  // Opened again, its segments can be recognised again once its samples are read back.
  again.showMainWindow();
  MainWindow& window = *again.mainWindow();
  ASSERT_TRUE(testsupport::waitUntil([&] { return window.processingScreens()->screen() == Screen::ready; }));
  window.selection().setAudioSource(version->audioSource());
  window.selection().setTranscription(version);
  ASSERT_TRUE(testsupport::waitUntil([&] { return again.viewModel().canRetranscribeSegment(); }));
  SegmentListView* list = window.resultsView()->listView();
  list->startEditing(again.viewModel().state().result()->segments[0].id);
  ASSERT_NE(list->activeEditor(), nullptr);
  EXPECT_TRUE(list->activeEditor()->retranscribeButton()->isEnabled());
  list->commitPendingEdit();
}

}  // namespace
