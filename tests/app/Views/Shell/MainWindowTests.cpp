// The main window from its start: its screens, the models' start-up, its menus, the activity log,
// the keyboard's way through it and the audit of each screen.

#include "app/Views/Shell/MainWindowFixture.h"

namespace {

using namespace mainwindowtest;

TEST(ProcessingScreensTable, EachStateHasItsScreenAndColour) {
  const struct {
    ProcessingState state;
    bool groupSelected;
    Screen screen;
    QColor colour;
  } rows[] = {
      {ProcessingState::idle(), true, Screen::loading, QColor(0x8E, 0x8E, 0x93)},
      {ProcessingState::loadingModels(0.4), true, Screen::loading, QColor(0xFF, 0x95, 0x00)},
      {ProcessingState::modelsReady(), true, Screen::ready, QColor(0x34, 0xC7, 0x59)},
      {ProcessingState::modelsReady(), false, Screen::noGroupSelected, QColor(0x34, 0xC7, 0x59)},
      {ProcessingState::processing(ProcessingStage::transcribing), true, Screen::processing, QColor(0x00, 0x7A, 0xFF)},
      {ProcessingState::completed({}), false, Screen::workspace, QColor(0x34, 0xC7, 0x59)},
      {ProcessingState::failed({QStringLiteral("x"), std::nullopt}), true, Screen::error, QColor(0xFF, 0x3B, 0x30)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.state.kind()));
    EXPECT_EQ(ProcessingScreens::screenFor(row.state, row.groupSelected), row.screen);
    EXPECT_EQ(ProcessingScreens::statusColor(row.state), row.colour);
  }
}

TEST(ProcessingScreensTable, TheDownloadPercentDropsTheFraction) {
  const std::pair<double, const char*> rows[] = {{0.0, "0%"},    {0.29, "29%"}, {0.5, "50%"},
                                                 {0.999, "99%"}, {0.57, "57%"}, {1.0, "100%"}};
  for (const auto& [fraction, text] : rows)
    EXPECT_EQ(ProcessingScreens::downloadPercentText(fraction), text) << fraction;
}

TEST_F(MainWindowTest, ShowsTheLoadingScreenUntilShownThenStartsTheModels) {
  auto window = open(true, false);
  EXPECT_EQ(window->size(), QSize(1200, 700));
  EXPECT_EQ(window->processingScreens()->screen(), Screen::loading);
  EXPECT_EQ(harness->vm->state().kind(), ProcessingState::Kind::idle);
  // Idle: the spinner and the texts, no bar yet; the spinner turns only while it is on screen.
  QWidget* loadingPage = window->processingScreens()->widget(0);
  auto* spinner = loadingPage->findChild<BusySpinner*>();
  ASSERT_NE(spinner, nullptr);
  EXPECT_FALSE(loadingPage->findChild<QProgressBar*>()->isVisibleTo(loadingPage));
  EXPECT_FALSE(spinner->isTurning());
  window->show();
  EXPECT_TRUE(spinner->isTurning() || window->processingScreens()->screen() != Screen::loading);
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  EXPECT_FALSE(spinner->isTurning());
  EXPECT_EQ(labelNamed(*window, "statusMessage")->text(), "Models ready. Drop an audio file to begin.");
  window->setSelectedGroup(nullptr);
  EXPECT_EQ(window->processingScreens()->screen(), Screen::noGroupSelected);
}

TEST_F(MainWindowTest, AFailedStartSaysSoPlainlyAndKeepsAddedFilesUntilTryAgainBringsTheModels) {
  engine->failDiarizer = true;
  engine->prepareGate = std::make_shared<pipelinetest::Gate>();
  auto window = open();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  engine->prepareGate->open();
  ASSERT_TRUE(waitForScreen(*window, Screen::error));
  // The screen's one action has the keyboard.
  QPushButton* tryAgain = button(*window->processingScreens()->currentWidget(), "Try Again");
  EXPECT_EQ(QApplication::focusWidget(), tryAgain);
  // A plain headline and where to read on; the engine's own text once, as the details.
  EXPECT_EQ(labelNamed(*window, "errorMessage")->text(), "The speech models could not be loaded");
  EXPECT_TRUE(labelNamed(*window, "errorNextStep")->isVisible());
  EXPECT_TRUE(labelNamed(*window, "errorNextStep")->text().contains("\"Getting the speech models\" in the README"));
  EXPECT_EQ(labelNamed(*window, "errorDetails")->text(), "diarizer models missing");
  // A file added now waits for the models, and the window says so where the user looks.
  nextPick = {wav("late.wav")};
  window->addAudioAction()->trigger();
  QTest::qWait(50);
  EXPECT_EQ(window->importQueue()->pendingCount(), 1);
  EXPECT_FALSE(harness->logged("Models not initialized"));
  auto* waiting = window->processingScreens()->currentWidget()->findChild<QLabel*>("waitingFiles");
  ASSERT_NE(waiting, nullptr);
  EXPECT_TRUE(waiting->isVisible());
  EXPECT_EQ(waiting->text(), "late.wav will be transcribed once the speech models are loaded.");
  EXPECT_TRUE(window->addAudioAction()->toolTip().contains("not loaded"));
  EXPECT_TRUE(window->audioSourcesList()->addFileButton()->toolTip().contains("not loaded"));

  engine->failDiarizer = false;
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  ASSERT_TRUE(waitForTheQueueToEmpty(*window));
  EXPECT_EQ(storedFileNames(), QStringList{"late.wav"});
  EXPECT_FALSE(window->addAudioAction()->toolTip().contains("not loaded"));
}

TEST_F(MainWindowTest, TheErrorScreensDetailsStopAfterThreeLines) {
  engine->failDiarizer = true;
  engine->diarizerFailure = "models missing\nin the first folder\nin the second folder\nin the third folder";
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::error));
  EXPECT_EQ(labelNamed(*window, "errorDetails")->text(), "models missing\nin the first folder\nin the second folder");
  EXPECT_TRUE(labelNamed(*window, "errorDetails")->isVisible());
}

TEST_F(MainWindowTest, TheFileMenuHasTheImportCommandAndBothSettingsWindows) {
  int settings = 0;
  int translation = 0;
  harness = std::make_unique<Harness>(engine);
  MainWindow::Actions actions;
  actions.openSettings = [&] { ++settings; };
  actions.openTranslationSettings = [&] { ++translation; };
  auto window = make(actions);
  EXPECT_EQ(window->addAudioAction()->text(), "Add Audio File...");
  EXPECT_EQ(window->addAudioAction()->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
  window->settingsAction()->trigger();
  window->translationSettingsAction()->trigger();
  EXPECT_EQ(settings, 1);
  EXPECT_EQ(translation, 1);
  EXPECT_EQ(window->translationSettingsAction()->text(), "Translation Settings...");
}

TEST_F(MainWindowTest, TheLaunchBringsTheWindowForwardUntilItIsActive) {
  auto window = open(true, false);
  EXPECT_FALSE(window->isActivationRetryRunning());
  window->show();
  // A window not yet active when shown keeps being brought forward: ten tries 0.3 s apart at
  // most, ending sooner once it is active.
  EXPECT_TRUE(window->isActiveWindow() || window->isActivationRetryRunning());
  EXPECT_TRUE(testsupport::waitUntil([&] { return !window->isActivationRetryRunning(); }, 5000));
  EXPECT_TRUE(window->isActiveWindow());
  ASSERT_TRUE(harness->settle());
}

TEST_F(MainWindowTest, TheProcessingScreenShowsFileStageAndProgress) {
  engine->recognizeGate = std::make_shared<pipelinetest::Gate>();
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  window->importFiles({wav("slow.wav")});
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->recognizeGate->hasWaiter(); }, 30000));
  EXPECT_EQ(window->processingScreens()->screen(), Screen::processing);
  EXPECT_EQ(labelNamed(*window, "processingFile")->text(), "Processing: slow.wav");
  EXPECT_EQ(labelNamed(*window, "processingStage")->text(), "Transcribing speech...");
  EXPECT_TRUE(window->processingScreens()->currentWidget()->findChild<BusySpinner*>()->isTurning());
  EXPECT_FALSE(labelNamed(*window, "downloadSymbol")->isVisible());
  auto* bars = window->processingScreens()->currentWidget()->findChild<QProgressBar*>();
  EXPECT_EQ(bars->value(), 615);
  engine->recognizeGate->open();
  ASSERT_TRUE(waitForScreen(*window, Screen::workspace));
}

// A run's progress bars move with every stage. Their paint is left to the event loop: one made
// inside the view model's change drew every waiting region of the window there and then, for
// each stage of every run.
TEST_F(MainWindowTest, ProgressBarsArePaintedFromTheEventLoopNotInsideARunsChange) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  struct PaintCount : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  const QList<QProgressBar*> bars = window->findChildren<QProgressBar*>();
  ASSERT_FALSE(bars.isEmpty());
  for (QProgressBar* bar : bars) bar->installEventFilter(&counter);

  // The finished run left the bars full; a new one starts them from empty.
  harness->vm->processFile(wav("next.wav"));
  const auto shown = [&] {
    return std::count_if(bars.begin(), bars.end(), [](QProgressBar* bar) { return bar->isVisible(); });
  };
  ASSERT_GT(shown(), 0);
  EXPECT_EQ(counter.paints, 0);
  EXPECT_TRUE(testsupport::waitUntil([&] { return counter.paints > 0; }, 10000));
  ASSERT_TRUE(harness->settle(60000));
}

TEST_F(MainWindowTest, TheActivityLogKeepsFollowingOnceFull) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  engine->recognizeGate = std::make_shared<pipelinetest::Gate>();
  window->importFiles({wav("busy.wav")});
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->recognizeGate->hasWaiter(); }, 30000));
  ActivityLogView* log = window->activityLog();
  QListWidget* list = log->list();
  // Counts the rows the list lays out, leaving the measuring to the log's own delegate.
  struct CountingDelegate : QStyledItemDelegate {
    CountingDelegate(QAbstractItemDelegate* real, QObject* parent) : QStyledItemDelegate(parent), real(real) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
      ++laidOut;
      return real->sizeHint(option, index);
    }
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
      real->paint(painter, option, index);
    }
    QAbstractItemDelegate* real;
    mutable int laidOut = 0;
  };
  auto* delegate = new CountingDelegate(list->itemDelegate(), list);
  list->setItemDelegate(delegate);
  // Each refused file adds one line; the log holds 100 and keeps dropping the oldest.
  for (int i = 0; i < 130; ++i) {
    harness->vm->processFile(QUrl::fromLocalFile(QStringLiteral("/nowhere/%1.wav").arg(i)));
    if (i == 60 || i == 129) {
      QApplication::processEvents();
      EXPECT_EQ(list->count(), harness->vm->logs().size());
      const QRect last = list->visualItemRect(list->item(list->count() - 1));
      EXPECT_TRUE(list->viewport()->rect().contains(last.bottomLeft())) << i;
    }
  }
  EXPECT_EQ(list->count(), 100);
  // Two bursts of lines, each laid out and followed once, not once per line.
  EXPECT_LT(delegate->laidOut, 1000);
  list->scrollToTop();
  // A new line drops the oldest row and appends one: the rows in between stay as they are, and
  // the list lays them all out again without measuring their text again.
  list->item(50)->setData(Qt::UserRole + 1, "kept");
  const int laidOut = delegate->laidOut;
  const int measured = log->measuredLines();
  const QUuid newestBefore = harness->vm->logs().last().id;
  harness->vm->processFile(QUrl::fromLocalFile(QStringLiteral("/nowhere/last.wav")));
  EXPECT_EQ(list->count(), 100);
  EXPECT_EQ(list->item(49)->data(Qt::UserRole + 1).toString(), "kept");
  EXPECT_TRUE(list->item(0)->text().endsWith(harness->vm->logs().first().message));
  EXPECT_TRUE(list->item(99)->text().endsWith(harness->vm->logs().last().message));
  QApplication::processEvents();
  const QRect last = list->visualItemRect(list->item(list->count() - 1));
  EXPECT_TRUE(list->viewport()->rect().contains(last.bottomLeft()));
  EXPECT_GE(delegate->laidOut - laidOut, 100);
  // (The run under way may log a line of its own meanwhile.)
  const auto& logs = harness->vm->logs();
  qsizetype newLines = 0;
  while (newLines < logs.size() && logs[logs.size() - 1 - newLines].id != newestBefore) ++newLines;
  EXPECT_LE(newLines, 2);
  EXPECT_EQ(log->measuredLines() - measured, newLines);
  engine->recognizeGate->open();
  ASSERT_TRUE(harness->settle());
}

// The first player page starts the web engine, a tenth of a second and more on the UI thread: a
// local file's transcript opens without it, and an online video's brings its player.
TEST_F(MainWindowTest, OnlyAnOnlineVideoStartsTheWebEngine) {
  withTranscriptView = true;
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  ASSERT_NE(window->resultsView(), nullptr);
  EXPECT_NE(window->resultsView()->audioBar(), nullptr);
  EXPECT_EQ(pageHostAsked, 0);

  Transcription* version = harness->vm->currentTranscription();
  version->audioSource()->setYoutubeVideoId(QStringLiteral("abc123"));
  version->audioSource()->setYoutubeOriginalURL(QStringLiteral("https://youtu.be/abc123"));
  harness->context->save();
  window->selection().setTranscription(nullptr);
  window->selection().setAudioSource(version->audioSource());
  window->selection().setTranscription(version);
  EXPECT_NE(window->resultsView()->videoBar(), nullptr);
  EXPECT_EQ(pageHostAsked, 1);
}

TEST_F(MainWindowTest, TheKeyboardReachesEveryControlBesideATranscript) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  QApplication::processEvents();
  // The side panel is taller than the window now: Tab scrolls each of its controls into view.
  QListWidget* log = window->activityLog()->list();
  log->setFocus(Qt::TabFocusReason);
  const QRect shown = window->sidePanel()->viewport()->rect();
  EXPECT_TRUE(shown.contains(QRect(log->mapTo(window->sidePanel()->viewport(), QPoint()), log->size())));
  const QStringList findings = testsupport::QtWindowAudit::checkTabOrder(window.get()) +
                               testsupport::QtWindowAudit::checkAccessibleNames(window.get());
  EXPECT_TRUE(findings.isEmpty()) << findings.join('\n').toStdString();
}

TEST_F(MainWindowTest, TabGoesThroughTheColumnsLeftToRightWhenEverTheirControlsWereMade) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  QSplitter* columns = window->columns();
  // The column of each control a full round of Tab (or Shift+Tab) stops on, from the first,
  // and where in its column it stands.
  QList<QRect> places;
  // The first stop is the groups' "+", at the top of the first column.
  QWidget* first = window->groupsSidebar()->addButton();
  auto round = [&](Qt::Key key) {
    first->setFocus(Qt::OtherFocusReason);
    QList<int> visited;
    QStringList names;
    places.clear();
    for (int step = 0; step < 200; ++step) {
      QWidget* focused = QApplication::focusWidget();
      int column = 0;
      while (column < columns->count() && !columns->widget(column)->isAncestorOf(focused)) ++column;
      if (step > 0 && focused == first) break;
      const QWidget* area = column < columns->count() ? columns->widget(column) : window.get();
      places << QRect(focused->mapTo(area, QPoint(0, 0)), focused->size());
      visited << column;
      auto* button = qobject_cast<QAbstractButton*>(focused);
      names << (button ? button->text() : focused->accessibleName());
      QTest::keyClick(focused, key);
    }
    return std::make_pair(visited, names);
  };
  // The drop zone's buttons come right after the two library columns ("+" and its list, and
  // the empty group's "Add Audio File"), though the zone is made again after the side panel.
  auto [forward, names] = round(Qt::Key_Tab);
  EXPECT_EQ(names.indexOf("Choose File..."), 3) << names.join(", ").toStdString();
  EXPECT_TRUE(std::is_sorted(forward.begin(), forward.end())) << names.join(", ").toStdString();
  auto [backward, backNames] = round(Qt::Key_Backtab);
  EXPECT_TRUE(std::is_sorted(backward.begin() + 1, backward.end(), std::greater<int>()))
      << backNames.join(", ").toStdString();
  // The workspace, made when the first transcript is shown, stands in the centre too. In each
  // column Tab goes down the screen: a newer file's row (on top) before an older one's, the band
  // under the list after both, the speakers' rows before the activity log under them.
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  ASSERT_TRUE(transcribe(*window, "more talk.wav"));
  window->skippedFilesNotice()->add("notes.wav", "Not an audio file, or damaged");
  QApplication::processEvents();
  auto [withTranscript, transcriptNames] = round(Qt::Key_Tab);
  EXPECT_TRUE(std::is_sorted(withTranscript.begin(), withTranscript.end())) << transcriptNames.join(", ").toStdString();
  EXPECT_TRUE(withTranscript.contains(2));
  for (qsizetype i = 0; i < places.size(); ++i)
    for (qsizetype j = i + 1; j < places.size() && withTranscript[j] == withTranscript[i]; ++j)
      EXPECT_FALSE(places[j].bottom() < places[i].top()) << transcriptNames[j].toStdString() << " is above "
                                                         << transcriptNames[i].toStdString() << " but comes after it";
  EXPECT_LT(transcriptNames.indexOf("Version 1"), transcriptNames.indexOf("Dismiss"));
  // A control squeezed to no height at the foot of a column (a column short of room, a widget
  // being hidden) still takes its turn, and the round goes on past it.
  QWidget* lastColumn = columns->widget(columns->count() - 1);
  auto* squeezed = new QPushButton("Squeezed", lastColumn);
  squeezed->setFixedHeight(0);
  squeezed->move(0, lastColumn->height() - 1);
  squeezed->show();
  auto [withSqueezed, squeezedNames] = round(Qt::Key_Tab);
  EXPECT_TRUE(squeezedNames.contains("Squeezed")) << squeezedNames.join(", ").toStdString();
  EXPECT_EQ(squeezedNames.first(), transcriptNames.first());
}

TEST_F(MainWindowTest, TheWindowFitsTheScreenItOpensOnAndWhatDoesNotFitScrollsIntoView) {
  // The test screen (800 wide) is narrower than the four columns at their usual widths, as a
  // 1400 by 900 screen is at twice the scale.
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  const QRect room = window->screen()->availableGeometry();
  ASSERT_LT(room.width(), 160 + 220 + 400 + 280);
  EXPECT_LE(window->minimumSize().width(), room.width());
  EXPECT_LE(window->minimumSize().height(), room.height());
  EXPECT_LE(window->frameGeometry().width(), room.width());
  EXPECT_LE(window->frameGeometry().height(), room.height());
  // The columns gave up their own minimums first...
  EXPECT_LT(window->processingScreens()->width(), 400);
  // ... and the side panel, beyond the window's edge, comes into view when it takes the focus.
  QWidget* log = window->activityLog()->list();
  log->setFocus(Qt::TabFocusReason);
  QApplication::processEvents();
  const QRect shown(log->mapTo(window.get(), QPoint()), log->size());
  EXPECT_GE(shown.left(), 0);
  EXPECT_LE(shown.right(), window->width());
}

TEST_F(MainWindowTest, PassesTheAuditOnEveryScreen) {
  enum class Extra { none, addressField, transcript };
  const struct {
    const char* name;
    bool withGroup;
    bool fail;
    Extra extra;
  } cases[] = {{"ready", true, false, Extra::none},
               {"ready, address field open", true, false, Extra::addressField},
               {"no group", false, false, Extra::none},
               {"error", true, true, Extra::none},
               {"transcript", true, false, Extra::transcript}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    engine = std::make_shared<FakeEngine>();
    engine->failDiarizer = c.fail;
    library.reset();
    harness = std::make_unique<Harness>(engine, c.withGroup);
    const QStringList findings = testsupport::QtWindowAudit::checkInBothPalettes(
        [&] {
          // Beside a transcript the whole workspace stands, its player included.
          MainWindow::Actions actions;
          if (c.extra == Extra::transcript) actions.playerPageHost = playertest::pageHost;
          auto window = make(actions);
          if (c.withGroup) window->setSelectedGroup(harness->group);
          return window;
        },
        [&](QWidget& window) {
          auto& main = static_cast<MainWindow&>(window);
          ASSERT_TRUE(
              testsupport::waitUntil([&] { return main.processingScreens()->screen() != Screen::loading; }, 30000));
          if (c.extra == Extra::addressField) main.processingScreens()->dropZone()->toggleURLInput();
          if (c.extra == Extra::transcript) {
            // With the band of files not transcribed under the file list.
            main.skippedFilesNotice()->add("notes.wav", "Not an audio file, or damaged: notes.wav");
            // Run after the window is shown, in either palette: the centre must make room for
            // the result's figures when they come.
            const QString name = QStringLiteral("audited %1.wav").arg(harness->context->fetch<AudioSource>().size());
            main.importFiles({wav(name)});
            ASSERT_TRUE(testsupport::waitUntil(
                [&] {
                  const AudioSource* source = harness->vm->currentAudioSource();
                  return main.processingScreens()->screen() == Screen::workspace && !harness->vm->isBusy() && source &&
                         source->filename() == name;
                },
                60000));
            main.selection().setAudioSource(harness->vm->currentAudioSource());
            main.selection().setTranscription(harness->vm->currentTranscription());
            QApplication::processEvents();
            ASSERT_TRUE(main.resultsView() && main.resultsView()->isVisible());
            // The player's controls are enabled once the file has loaded in the background.
            ASSERT_TRUE(testsupport::waitUntil([&] { return harness->vm->audioPlayer().isLoaded(); }, 30000));
          }
        });
    EXPECT_TRUE(findings.isEmpty()) << findings.join('\n').toStdString();
  }
}

}  // namespace
