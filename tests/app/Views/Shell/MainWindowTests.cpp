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

TEST_F(MainWindowTest, SeveralPickedFilesRunOneAfterAnother) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  nextPick = {wav("one.wav"), wav("two.wav"), wav("three.wav")};
  window->addAudioAction()->trigger();
  EXPECT_EQ(picks, 1);
  ASSERT_TRUE(waitForTheQueueToEmpty(*window));
  EXPECT_FALSE(harness->logged("Cannot process file - system busy or not ready"));
  EXPECT_EQ(storedFileNames(), QStringList({"one.wav", "three.wav", "two.wav"}));
  EXPECT_EQ(window->processingScreens()->screen(), Screen::workspace);
  EXPECT_EQ(window->windowTitle(), harness->vm->currentTranscription()->name() + " — Parlowvista");
}

TEST_F(MainWindowTest, QueuedFilesGoIntoTheGroupTheyWereAddedToWhateverIsSelectedLater) {
  engine->recognizeGate = std::make_shared<pipelinetest::Gate>();
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  auto* other = library->addGroup(QStringLiteral("Other"));
  nextPick = {wav("one.wav"), wav("two.wav")};
  window->addAudioAction()->trigger();
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->recognizeGate->hasWaiter(); }));
  window->setSelectedGroup(other);
  engine->recognizeGate->open();
  ASSERT_TRUE(waitForTheQueueToEmpty(*window));
  EXPECT_EQ(harness->group->audioSources().size(), 2);
  EXPECT_TRUE(other->audioSources().isEmpty());
}

TEST_F(MainWindowTest, TheSourceAndGroupOfARunCannotBeDeletedUntilItHasStoredItsTranscript) {
  engine->diarizeGate = std::make_shared<pipelinetest::Gate>();
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  window->importFiles({wav("busy.wav")});
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->diarizeGate->hasWaiter(); }));
  AudioSource* source = harness->vm->currentAudioSource();
  ASSERT_NE(source, nullptr);
  EXPECT_FALSE(library->deleteAudioSource(source));
  EXPECT_FALSE(library->deleteGroup(harness->group));

  // Where the user would delete them, the entries are disabled and say why; a deletion asked
  // for all the same (the run took the file after the menu opened) asks nothing and is logged.
  ASSERT_TRUE(testsupport::waitUntil([&] { return !window->audioSourcesList()->rows().isEmpty(); }));
  AudioSourceRow* row = window->audioSourcesList()->rows().first();
  ASSERT_EQ(row->audioSource(), source);
  const auto rowEntry = librarytest::entryInMenu(
      [row] {
        QContextMenuEvent event(QContextMenuEvent::Mouse, row->rect().center(), row->mapToGlobal(row->rect().center()));
        QApplication::sendEvent(row, &event);
      },
      "Delete");
  EXPECT_FALSE(rowEntry.enabled);
  EXPECT_EQ(rowEntry.toolTip, "“busy.wav” is being processed: it can be deleted once processing has finished.");
  QListView* groups = window->groupsSidebar()->listView();
  const auto groupEntry = librarytest::entryInMenu(
      [&] {
        const int at = window->groupsSidebar()->model()->rowOf(harness->group);
        emit groups->customContextMenuRequested(
            groups->visualRect(window->groupsSidebar()->model()->index(at)).center());
      },
      "Delete");
  EXPECT_FALSE(groupEntry.enabled);
  EXPECT_TRUE(groupEntry.toolTip.contains("holds a file that is being processed")) << groupEntry.toolTip.toStdString();
  AudioSource* selected = window->selection().audioSource();
  row->triggerMenuEntry("Delete");
  window->groupsSidebar()->requestDelete(harness->group);
  EXPECT_TRUE(confirmations.isEmpty());
  EXPECT_TRUE(
      harness->logged("Cannot delete: “busy.wav” is being processed: it can be deleted once "
                      "processing has finished."));
  EXPECT_EQ(window->selection().audioSource(), selected);
  EXPECT_EQ(window->selectedGroup(), harness->group);
  engine->diarizeGate->open();
  ASSERT_TRUE(harness->settle());
  ASSERT_NE(harness->vm->currentTranscription(), nullptr);
  EXPECT_EQ(harness->vm->currentTranscription()->audioSource(), source);
  EXPECT_EQ(source->group(), harness->group);
  // Once the run is over they go as usual.
  EXPECT_TRUE(library->deleteGroup(harness->group));
}

// The question was answered "Delete" after a run had taken the file (the queue went on while it
// was open): the refusal is said where the user asked, not only in the log.
TEST_F(MainWindowTest, ADeletionConfirmedAfterARunTookTheFileSaysWhyWhereItWasAsked) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  AudioSource* source = harness->vm->currentAudioSource();
  engine->diarizeGate = std::make_shared<pipelinetest::Gate>();
  whileAsking = [&] {
    window->importFiles({QUrl::fromLocalFile(harness->path("talk.wav"))});
    EXPECT_TRUE(testsupport::waitUntil([&] { return engine->diarizeGate->hasWaiter(); }));
  };
  window->audioSourcesList()->requestDelete(source);
  EXPECT_EQ(confirmations, QStringList{"Delete Audio?"});
  EXPECT_FALSE(source->isDeleted());
  const QString reason = "“talk.wav” is being processed: it can be deleted once processing has finished.";
  EXPECT_TRUE(harness->logged("Cannot delete: " + reason));
  auto* box = window->findChild<QMessageBox*>();
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->isVisible());
  EXPECT_EQ(box->windowTitle(), "Cannot Delete");
  EXPECT_EQ(box->text(), reason);
  EXPECT_EQ(box->textFormat(), Qt::PlainText);
  // The group's deletion refused as well: the same box says that instead.
  window->groupsSidebar()->requestDelete(harness->group);
  EXPECT_EQ(window->findChildren<QMessageBox*>().size(), 1);
  EXPECT_TRUE(box->text().contains("holds a file that is being processed")) << box->text().toStdString();
  box->accept();
  engine->diarizeGate->open();
  ASSERT_TRUE(harness->settle());
}

// Files of a batch that fail while the next one starts at once are named, with their reason,
// in a band that stays until dismissed; the log keeps its lines.
TEST_F(MainWindowTest, AFileOfABatchThatFailsIsNamedWithItsReasonUntilDismissed) {
  engine->recognize = [heard = engine->recognize](std::span<const float> samples) {
    if (samples.size() < 16000)
      throw std::runtime_error("Invalid audio data provided. Must be at least 1 second of 16kHz audio.");
    return heard(samples);
  };
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  SkippedFilesNotice* notice = window->skippedFilesNotice();
  EXPECT_FALSE(notice->isVisible());
  const QString notes = harness->path("notes.wav");
  testsupport::writeFile(notes.toStdString(), "Meeting notes, not audio at all\n");
  nextPick = {wav("short.wav", 0.5), QUrl::fromLocalFile(notes), wav("good.wav")};
  window->addAudioAction()->trigger();
  ASSERT_TRUE(waitForTheQueueToEmpty(*window));
  EXPECT_EQ(harness->vm->currentTranscription()->audioSource()->filename(), "good.wav");
  ASSERT_TRUE(notice->isVisible());
  ASSERT_EQ(notice->lines().size(), 2);
  EXPECT_EQ(notice->lines()[0],
            "short.wav was not transcribed: Invalid audio data provided. Must be at least 1 second of 16kHz audio.");
  const QString prefix = "notes.wav was not transcribed: ";
  ASSERT_TRUE(notice->lines()[1].startsWith(prefix)) << notice->lines()[1].toStdString();
  EXPECT_TRUE(harness->logged("Error: " + notice->lines()[1].mid(prefix.size())));
  EXPECT_TRUE(harness->logged("Error: Invalid audio data provided. Must be at least 1 second of 16kHz audio."));
  EXPECT_EQ(notice->textLabel()->text(), notice->lines().join("\n"));
  EXPECT_EQ(notice->textLabel()->textFormat(), Qt::PlainText);

  // It stays while other files run, and goes when the user dismisses it.
  ASSERT_TRUE(transcribe(*window, "more.wav"));
  EXPECT_TRUE(notice->isVisible());
  notice->dismissButton()->click();
  EXPECT_FALSE(notice->isVisible());
  EXPECT_TRUE(notice->lines().isEmpty());
  // A single file that fails keeps its error screen: nothing to add there.
  window->importFiles({wav("alone.wav", 0.5)});
  ASSERT_TRUE(waitForScreen(*window, Screen::error));
  ASSERT_TRUE(harness->settle());
  EXPECT_FALSE(notice->isVisible());
}

TEST_F(MainWindowTest, WithoutAGroupNothingIsImported) {
  auto window = open(false);
  ASSERT_TRUE(waitForScreen(*window, Screen::noGroupSelected));
  nextPick = {wav("one.wav")};
  window->addAudioAction()->trigger();
  QTest::qWait(50);
  EXPECT_EQ(window->importQueue()->pendingCount(), 0);
  EXPECT_EQ(harness->vm->state().kind(), ProcessingState::Kind::modelsReady);
}

TEST_F(MainWindowTest, TheLibraryColumnsStandBesideTheCentreAndFollowTheGroupSelection) {
  auto window = open(true, false);
  auto* second = library->addGroup(QStringLiteral("Second"));
  ASSERT_NE(second, nullptr);
  harness->settings->setLastUsedGroupId(harness->group->id());
  window->setSelectedGroup(nullptr);
  window->show();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  // Groups, their sources, the centre, the side panel.
  QSplitter* columns = window->columns();
  ASSERT_NE(columns, nullptr);
  EXPECT_EQ(columns->widget(0), window->groupsSidebar());
  EXPECT_TRUE(columns->widget(1)->isAncestorOf(window->audioSourcesList()));
  EXPECT_TRUE(columns->widget(1)->isAncestorOf(window->skippedFilesNotice()));
  EXPECT_EQ(columns->widget(2), window->processingScreens());
  // The sidebar picks the last used group on its first showing.
  EXPECT_EQ(window->selectedGroup(), harness->group);
  EXPECT_EQ(window->windowTitle(), "Inbox — Parlowvista");
  EXPECT_EQ(window->audioSourcesList()->titleLabel()->text(), "Inbox");

  QListView* list = window->groupsSidebar()->listView();
  list->setCurrentIndex(list->model()->index(1, 0));
  EXPECT_EQ(window->selectedGroup(), second);
  EXPECT_EQ(harness->settings->lastUsedGroupId(), second->id());
  EXPECT_EQ(window->windowTitle(), "Second — Parlowvista");
  EXPECT_EQ(window->audioSourcesList()->titleLabel()->text(), "Second");
  second->setName(QStringLiteral("Renamed"));
  QApplication::processEvents();
  EXPECT_EQ(window->windowTitle(), "Renamed — Parlowvista");

  window->setSelectedGroup(nullptr);
  EXPECT_EQ(window->processingScreens()->screen(), Screen::noGroupSelected);
  EXPECT_EQ(window->windowTitle(), "Parlowvista");
}

TEST_F(MainWindowTest, AFileGoesIntoTheGroupOnScreenWhateverWasUsedLast) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  auto* other = library->addGroup(QStringLiteral("Other"));  // now the last used one
  ASSERT_EQ(harness->settings->lastUsedGroupId(), other->id());
  auto* sheet = dropOnTheDropZone(*window, wav("here.wav"));
  ASSERT_NE(sheet, nullptr);
  sheet->startButton()->click();
  ASSERT_TRUE(waitForScreen(*window, Screen::workspace, 60000));
  ASSERT_NE(harness->vm->currentAudioSource(), nullptr);
  EXPECT_EQ(harness->vm->currentAudioSource()->group(), harness->group);
  // The same for a file from "Add Audio File..." or the source list, which the queue brings.
  harness->settings->setLastUsedGroupId(other->id());
  ASSERT_TRUE(transcribe(*window, "queued.wav"));
  EXPECT_EQ(harness->vm->currentAudioSource()->group(), harness->group);
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

TEST_F(MainWindowTest, SelectingAVersionLoadsItAndSelectingNoneClearsIt) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  // The finished run is what the library shows.
  Transcription* first = harness->vm->currentTranscription();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(window->selection().audioSource(), harness->vm->currentAudioSource());
  EXPECT_EQ(window->selection().transcription(), first);
  EXPECT_EQ(window->windowTitle(), "Version 1 — Parlowvista");

  harness->vm->duplicateCurrentTranscription();
  Transcription* copy = harness->vm->currentTranscription();
  ASSERT_NE(copy, first);
  EXPECT_EQ(window->selection().transcription(), copy);
  EXPECT_EQ(window->windowTitle(), "Version 2 — Parlowvista");

  window->selection().setTranscription(first);
  EXPECT_EQ(harness->vm->currentTranscription(), first);
  EXPECT_EQ(window->windowTitle(), "Version 1 — Parlowvista");

  window->selection().setTranscription(nullptr);
  EXPECT_EQ(harness->vm->currentTranscription(), nullptr);
  EXPECT_EQ(window->processingScreens()->screen(), Screen::ready);
  EXPECT_EQ(window->windowTitle(), "talk.wav — Parlowvista");
}

TEST_F(MainWindowTest, ANewVersionIsAskedForAndTheDialogGoesWithTheAnswer) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  Transcription* first = harness->vm->currentTranscription();
  auto ask = [&] {
    emit window->versionsBar()->createNewRequested();
    auto* dialog = window->findChild<ReprocessDialog*>();
    EXPECT_TRUE(dialog && dialog->isVisible());
    return dialog;
  };
  auto gone = [&] {
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return window->findChild<ReprocessDialog*>() == nullptr;
  };
  ReprocessDialog* dialog = ask();
  ASSERT_NE(dialog, nullptr);
  dialog->cancelButton()->click();
  EXPECT_TRUE(gone());
  EXPECT_EQ(harness->vm->currentTranscription(), first);

  dialog = ask();
  ASSERT_NE(dialog, nullptr);
  dialog->newVersionButton()->click();
  EXPECT_TRUE(gone());
  ASSERT_TRUE(harness->settle());
  // A copy named like the version it came from, processed again and selected.
  Transcription* copy = harness->vm->currentTranscription();
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, first);
  EXPECT_EQ(copy->name(), first->name());
  EXPECT_EQ(first->audioSource()->transcriptions().size(), 2);
  EXPECT_EQ(window->selection().transcription(), copy);
  EXPECT_EQ(window->processingScreens()->screen(), Screen::workspace);
}

TEST_F(MainWindowTest, TheDropZoneAsksForTheSettingsAndCancelStartsNothing) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  const QUrl file = wav("dropped.wav");
  TranscriptionSettingsSheet* sheet = dropOnTheDropZone(*window, file);
  ASSERT_NE(sheet, nullptr);
  EXPECT_TRUE(sheet->isVisible());
  // Framed by its own thin edge where no window manager frames it.
  const QImage shot = sheet->grab().toImage();
  const QColor edge = Theme::color(ThemeColor::controlEdge, sheet->palette());
  EXPECT_EQ(shot.pixelColor(shot.width() / 2, 0).rgb(), edge.rgb());
  EXPECT_EQ(shot.pixelColor(shot.width() - 1, shot.height() / 2).rgb(), edge.rgb());
  EXPECT_EQ(window->pendingSourceDescription(), "dropped.wav");
  EXPECT_TRUE(sheet->sourceLabel()->text().contains("dropped.wav"));
  EXPECT_EQ(harness->vm->state().kind(), ProcessingState::Kind::modelsReady);
  sheet->cancelButton()->click();
  EXPECT_EQ(window->transcriptionSettingsSheet(), nullptr);
  EXPECT_EQ(window->pendingSourceDescription(), "Unknown source");
  QTest::qWait(50);
  EXPECT_EQ(harness->vm->state().kind(), ProcessingState::Kind::modelsReady);
  EXPECT_TRUE(harness->context->fetch<AudioSource>().isEmpty());

  sheet = dropOnTheDropZone(*window, file);
  ASSERT_NE(sheet, nullptr);
  sheet->startButton()->click();
  EXPECT_EQ(window->transcriptionSettingsSheet(), nullptr);
  ASSERT_TRUE(waitForScreen(*window, Screen::workspace, 60000));
  ASSERT_NE(harness->vm->currentAudioSource(), nullptr);
  EXPECT_EQ(harness->vm->currentAudioSource()->filename(), "dropped.wav");
  EXPECT_EQ(window->selection().audioSource(), harness->vm->currentAudioSource());
}

// What the window offers is what the loader takes, no more and no less: the file dialog's
// filter, the drop zone's words and what a drop on the zone or the file list accepts. A dropped
// file that is not taken is named in the band with why, never passed over in silence.
TEST_F(MainWindowTest, OnlyTheFormatsTheLoaderTakesAreOfferedAndEachIsTaken) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  FileDropZone* zone = window->processingScreens()->dropZone();
  EXPECT_EQ(zone->formatsLabel()->text(), "Supported formats: WAV, MP3, M4A, AAC, FLAC, AIFF, CAF");
  MainWindow::pickAudioFilesWithDialog(window.get(), [](const QList<QUrl>&) {});
  auto* dialog = window->findChild<QFileDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->nameFilters(), QStringList{"Audio Files (*.wav *.mp3 *.m4a *.aac *.flac *.aiff *.caf)"});
  dialog->reject();

  // Real files that the system calls audio: Ogg and Opus are refused at the door, and so is an
  // AIFF file named ".aif" (only ".aiff" is taken). Each is named where the user looks.
  SkippedFilesNotice* band = window->skippedFilesNotice();
  const QString wavFile = wav("talk.wav").toLocalFile();
  const QString supported = "Supported formats: WAV, MP3, M4A, AAC, FLAC, AIFF, CAF.";
  QStringList named;
  for (const char* name : {"talk.ogg", "talk.opus", "talk.aif"}) {
    // FFmpeg picks the container by the name; ".aif" is AIFF to it.
    ASSERT_TRUE(pipelinetest::ffmpeg({"-i", wavFile, harness->path(name)})) << name;
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(harness->path(name))});
    EXPECT_FALSE(zone->acceptDrop(&data)) << name;
    EXPECT_EQ(window->transcriptionSettingsSheet(), nullptr) << name;
    EXPECT_FALSE(window->audioSourcesList()->acceptDrop(&data)) << name;
    EXPECT_EQ(window->importQueue()->pendingCount(), 0) << name;
    const QString line = QString("%1 was not transcribed: Unsupported audio format: %2. %3")
                             .arg(name, QFileInfo(name).suffix(), supported);
    named << line << line;  // once for the zone, once for the list
    // Each drop brings its lines into view, below those of earlier ones.
    QApplication::processEvents();
    QWidget* view = band->textArea()->viewport();
    EXPECT_LE(band->textLabel()->mapTo(view, QPoint(0, band->textLabel()->height())).y(), view->height()) << name;
  }
  EXPECT_GT(band->textArea()->verticalScrollBar()->maximum(), 0);
  EXPECT_TRUE(band->isVisible());
  EXPECT_EQ(band->lines(), named);
  band->dismissButton()->click();

  // The same AIFF audio named ".aiff" is taken.
  QFile::rename(harness->path("talk.aif"), harness->path("talk.aiff"));
  TranscriptionSettingsSheet* sheet = dropOnTheDropZone(*window, QUrl::fromLocalFile(harness->path("talk.aiff")));
  ASSERT_NE(sheet, nullptr);
  EXPECT_FALSE(band->isVisible());
  sheet->startButton()->click();
  ASSERT_TRUE(waitForScreen(*window, Screen::workspace, 60000));
  ASSERT_TRUE(harness->settle());
  ASSERT_NE(harness->vm->currentAudioSource(), nullptr);
  EXPECT_EQ(harness->vm->currentAudioSource()->filename(), "talk.aiff");
  EXPECT_NEAR(harness->vm->currentAudioSource()->duration(), 3.0, 0.05);
  EXPECT_EQ(harness->vm->state().kind(), ProcessingState::Kind::completed)
      << harness->vm->statusMessage().toStdString();
}

TEST_F(MainWindowTest, AnAddressGoesThroughTheSheetToTheDownloadRoad) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  FileDropZone* zone = window->processingScreens()->dropZone();
  zone->toggleURLInput();
  for (const char* refused : {"ftp://example.com/a", "file:///etc/passwd", "not an address"}) {
    zone->urlField()->setText(QString::fromLatin1(refused));
    zone->submitURL();
    EXPECT_EQ(window->transcriptionSettingsSheet(), nullptr) << refused;
  }
  if (!harness->downloader->isAvailable()) GTEST_SKIP() << "yt-dlp is not installed";
  // A video page that is just an audio file on a loopback server: the real tool downloads it.
  pipelinetest::writeFloatWav(harness->path("clip.wav").toStdString(), pipelinetest::twoVoices(3.0));
  const std::string clip = testsupport::readFile(harness->path("clip.wav").toStdString());
  testsupport::LoopbackServer server;
  server.server().Get("/media/lecture.wav",
                      [&](const httplib::Request&, httplib::Response& res) { res.set_content(clip, "audio/wav"); });
  server.start();
  const QString address = QString::fromStdString(server.baseUrl()) + "/media/lecture.wav?v=abcdefghijk";
  if (!zone->isURLInputShown()) zone->toggleURLInput();
  zone->urlField()->setText(address);
  zone->submitURL();
  TranscriptionSettingsSheet* sheet = window->transcriptionSettingsSheet();
  ASSERT_NE(sheet, nullptr);
  EXPECT_EQ(window->pendingSourceDescription(), address);
  // What the processing screen shows while the download goes.
  QStringList headings;
  QObject::connect(harness->vm.get(), &TranscriptionViewModel::downloadStatusChanged, window.get(), [&] {
    if (window->processingScreens()->screen() == Screen::processing)
      headings << labelNamed(*window, "processingFile")->text() + " | " +
                      labelNamed(*window, "downloadStatus")->text() +
                      (labelNamed(*window, "downloadSymbol")->isVisible() ? " | symbol" : "") +
                      (labelNamed(*window, "processingStage")->isVisible() ? " | stage" : "");
  });
  sheet->startButton()->click();
  EXPECT_EQ(harness->vm->state().stage(), ProcessingStage::downloadingFromURL);
  EXPECT_EQ(window->processingScreens()->screen(), Screen::processing);
  ASSERT_TRUE(harness->settle(120000));
  ASSERT_EQ(harness->vm->state().kind(), ProcessingState::Kind::completed)
      << harness->vm->statusMessage().toStdString();
  ASSERT_FALSE(headings.isEmpty());
  EXPECT_EQ(headings.first(), "Downloading from URL... | Starting download... | symbol");
  // Stored in the group on screen and shown in its list.
  ASSERT_NE(harness->vm->currentAudioSource(), nullptr);
  EXPECT_EQ(harness->vm->currentAudioSource()->group(), harness->group);
  EXPECT_EQ(window->selection().audioSource(), harness->vm->currentAudioSource());
  EXPECT_EQ(window->audioSourcesList()->rows().size(), 1);
}

TEST_F(MainWindowTest, QueuedFilesWaitForTheSheetsAnswerAndTheRunBefore) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  TranscriptionSettingsSheet* sheet = dropOnTheDropZone(*window, wav("first.wav"));
  ASSERT_NE(sheet, nullptr);
  nextPick = {wav("second.wav"), wav("third.wav")};
  window->addAudioAction()->trigger();
  QTest::qWait(100);
  // Nothing starts behind the open sheet.
  EXPECT_EQ(harness->vm->state().kind(), ProcessingState::Kind::modelsReady);
  EXPECT_EQ(window->importQueue()->pendingCount(), 2);
  sheet->startButton()->click();
  ASSERT_TRUE(waitForTheQueueToEmpty(*window));
  EXPECT_FALSE(harness->logged("Cannot process file - system busy or not ready"));
  EXPECT_EQ(storedFileNames(), QStringList({"first.wav", "second.wav", "third.wav"}));
}

TEST_F(MainWindowTest, DeleteTranscriptionsOnTheRelocateSheetDropsTheSourceEverywhere) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  AudioSource* source = harness->vm->currentAudioSource();
  ASSERT_NE(source, nullptr);
  ASSERT_TRUE(testsupport::waitUntil([&] { return source->cachedSamplesPath().has_value(); }));
  const QString cached = *source->cachedSamplesPath();
  ASSERT_TRUE(QFileInfo::exists(cached));

  harness->fileAccess.setPendingRelocate(source);
  harness->fileAccess.setShowRelocateDialog(true);
  RelocateFileDialog* dialog = window->relocatePresenter()->dialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  dialog->deleteButton()->click();
  EXPECT_EQ(confirmations, QStringList{"Delete Audio?"});
  // Gone from the view model, the selection, the store and the app's cache; the user's file stays.
  EXPECT_EQ(harness->vm->currentAudioSource(), nullptr);
  EXPECT_EQ(harness->vm->currentTranscription(), nullptr);
  EXPECT_EQ(window->selection().audioSource(), nullptr);
  EXPECT_EQ(window->processingScreens()->screen(), Screen::ready);
  EXPECT_TRUE(harness->context->fetch<AudioSource>().isEmpty());
  EXPECT_TRUE(harness->context->fetch<Transcription>().isEmpty());
  EXPECT_FALSE(harness->context->hasChanges());
  EXPECT_FALSE(QFileInfo::exists(cached));
  EXPECT_TRUE(QFileInfo::exists(harness->path("talk.wav")));
  EXPECT_FALSE(harness->fileAccess.showRelocateDialog());
  EXPECT_EQ(window->windowTitle(), "Inbox — Parlowvista");
}

TEST_F(MainWindowTest, AVersionWhoseFileIsMissingPlaysNothingUntilTheFileIsLocated) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "gone.wav"));
  Transcription* missing = harness->vm->currentTranscription();
  window->importFiles({wav("here.wav")});
  AudioPlayerService& player = harness->vm->audioPlayer();
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return player.playablePath() == harness->path("here.wav") && !harness->vm->isBusy(); }, 60000));
  const QString moved = harness->path("Elsewhere/gone.wav");
  ASSERT_TRUE(QDir().mkpath(harness->path("Elsewhere")));
  ASSERT_TRUE(QFile::rename(harness->path("gone.wav"), moved));

  // Its transcript shows with no audio behind it (not the file open before), and the sheet asks.
  window->selection().setAudioSource(missing->audioSource());
  window->selection().setTranscription(missing);
  ASSERT_TRUE(waitForScreen(*window, Screen::workspace));
  QTest::qWait(100);
  EXPECT_FALSE(player.isLoaded());
  EXPECT_TRUE(harness->vm->currentFile().isEmpty());
  EXPECT_FALSE(harness->vm->mediaSource());
  EXPECT_EQ(harness->vm->exportFileName(ExportFormat::txt), "transcript.txt");
  EXPECT_TRUE(harness->logged("Audio file not found: gone.wav"));
  AudioSourceRow* row = nullptr;
  for (AudioSourceRow* each : window->audioSourcesList()->rows()) {
    if (each->audioSource() == missing->audioSource()) row = each;
  }
  ASSERT_NE(row, nullptr);
  EXPECT_TRUE(testsupport::waitUntil([&] { return !row->isFileAvailable(); }));
  RelocateFileDialog* dialog = window->relocatePresenter()->dialog();
  ASSERT_NE(dialog, nullptr);

  // Located: the row, the open transcript and the player take the file at its new place.
  locatePick = {QUrl::fromLocalFile(moved)};
  dialog->locateButton()->click();
  EXPECT_TRUE(testsupport::waitUntil([&] { return row->isFileAvailable(); }));
  ASSERT_TRUE(testsupport::waitUntil([&] { return player.isLoaded(); }));
  EXPECT_EQ(player.playablePath(), moved);
  EXPECT_EQ(harness->vm->currentFile(), QUrl::fromLocalFile(moved));
  ASSERT_TRUE(harness->vm->mediaSource());
  EXPECT_EQ(harness->vm->mediaSource()->audioURL, QUrl::fromLocalFile(moved));
  EXPECT_EQ(harness->vm->currentTranscription(), missing);
}

TEST_F(MainWindowTest, ClosingSavesTheLatestEditsAndAsksBeforeLosingEditsThatCannotBeSaved) {
  withTranscriptView = true;
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  const QUuid version = harness->vm->currentTranscription()->id();
  // Typed into the segment's editor, still open when the window closes.
  SegmentListView* list = window->resultsView()->listView();
  list->startEditing(harness->vm->state().result()->segments[0].id);
  ASSERT_NE(list->activeEditor(), nullptr);
  list->activeEditor()->editor()->selectAll();
  QTest::keyClicks(list->activeEditor()->editor(), "said just before closing");
  EXPECT_TRUE(window->close());
  EXPECT_EQ(harness->storedTexts(version).first(), "said just before closing");
  EXPECT_TRUE(confirmations.isEmpty());
  EXPECT_FALSE(harness->vm->hasUnsavedChanges());

  window->show();
  harness->vm->updateSegmentText(0, "cannot be written");
  harness->context->database().execute(
      "CREATE TRIGGER fail BEFORE UPDATE ON StoredSegment BEGIN SELECT RAISE(ABORT, 'disk full'); END");
  confirmAnswer = false;
  EXPECT_FALSE(window->close());
  EXPECT_EQ(confirmations, QStringList{"Quit Without Saving?"});
  EXPECT_EQ(confirmMessages,
            QStringList{"The latest changes could not be saved (The library could not be saved). Quitting now "
                        "deletes them."});
  EXPECT_EQ(confirmLabels, QStringList{"Quit Without Saving"});
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(harness->vm->hasUnsavedChanges());
  confirmAnswer = true;
  EXPECT_TRUE(window->close());
  EXPECT_FALSE(window->isVisible());

  // A run whose version cannot be stored is kept unsaved: quitting asks about it as well, and
  // once the store takes it again, quitting stores it.
  harness->context->database().execute("DROP TRIGGER fail");
  window->show();
  harness->context->database().execute(
      "CREATE TRIGGER fail_version BEFORE INSERT ON Transcription BEGIN SELECT RAISE(ABORT, 'disk full'); END");
  window->importFiles({wav("kept.wav")});
  ASSERT_TRUE(waitForTheQueueToEmpty(*window));
  Transcription* kept = harness->vm->currentTranscription();
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->audioSource()->filename(), "kept.wav");
  const QStringList keptTexts = originalTexts();
  QLabel* status = labelNamed(*window, "statusMessage");
  EXPECT_TRUE(status->text().contains("not saved yet")) << status->text().toStdString();
  confirmations.clear();
  confirmAnswer = false;
  EXPECT_FALSE(window->close());
  EXPECT_EQ(confirmations, QStringList{"Quit Without Saving?"});
  // The autosave keeps trying. Over the file shown, saved or not, the status line, its mark and
  // the save status tell that file's own state, tick after tick.
  QLabel* saveText = labelNamed(*window, "saveText");
  int failedTicks = 0;
  QObject::connect(harness->vm.get(), &TranscriptionViewModel::logsChanged, window.get(), [&] {
    failedTicks += harness->vm->logs().constLast().message.startsWith("Failed to save: ") ? 1 : 0;
  });
  const auto expectAcrossTicks = [&](bool unsaved) {
    for (const int until = failedTicks + 3; failedTicks < until;) {
      const int ticks = failedTicks;
      ASSERT_TRUE(testsupport::waitUntil([&] { return failedTicks > ticks; }));
      EXPECT_EQ(status->text().contains("not saved yet: The library could not be saved"), unsaved)
          << status->text().toStdString();
      EXPECT_EQ(harness->vm->hasStatusWarning(), unsaved);
      EXPECT_EQ(saveText->text(), unsaved ? "Unsaved changes" : "Saved");
    }
  };
  harness->settings->setAutoSaveInterval(0.05);
  window->selection().setTranscription(harness->context->find<Transcription>(version));
  ASSERT_EQ(harness->vm->currentTranscription()->id(), version);
  expectAcrossTicks(false);
  // An edit there is that file's own work: a save that cannot write it says so over it.
  harness->vm->updateSegmentText(0, "edited while another file waits");
  expectAcrossTicks(true);
  window->selection().setTranscription(kept);
  expectAcrossTicks(true);
  // With no version selected at all, quitting still asks.
  window->selection().setTranscription(nullptr);
  ASSERT_EQ(harness->vm->currentTranscription(), nullptr);
  EXPECT_FALSE(window->close());
  EXPECT_EQ(confirmations, QStringList({"Quit Without Saving?", "Quit Without Saving?"}));
  // Once the store takes it again, the autosave writes it: no mark anywhere, and quitting asks
  // nothing.
  window->selection().setTranscription(harness->context->find<Transcription>(version));
  harness->context->database().execute("DROP TRIGGER fail_version");
  ASSERT_TRUE(testsupport::waitUntil([&] { return !harness->vm->hasUnsavedChanges(); }));
  EXPECT_EQ(harness->storedTexts(kept->id()), keptTexts);
  EXPECT_EQ(harness->storedTexts(version).first(), "edited while another file waits");
  for (Transcription* shown : {kept, harness->context->find<Transcription>(version)}) {
    window->selection().setTranscription(shown);
    EXPECT_FALSE(harness->vm->hasStatusWarning());
    EXPECT_EQ(saveText->text(), "Saved");
  }
  EXPECT_TRUE(window->close());
  EXPECT_EQ(confirmations.size(), 2);
}

TEST(StandardPrompts, ADestructiveQuestionNamesItsOwnButtonAndCancelIsTheDefault) {
  QWidget parent;
  QStringList buttons;
  QString byDefault;
  QTimer answer;
  answer.setInterval(10);
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    answer.stop();
    for (QAbstractButton* each : box->buttons()) buttons << each->text();
    byDefault = box->defaultButton()->text();
    box->defaultButton()->click();
  });
  answer.start();
  EXPECT_FALSE(LibraryPrompts::standard().confirmDestructive(&parent, "Quit Without Saving?", "Edits are lost.",
                                                             "Quit Without Saving"));
  buttons.sort();
  EXPECT_EQ(buttons, (QStringList{"Cancel", "Quit Without Saving"}));
  EXPECT_EQ(byDefault, "Cancel");
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

TEST_F(MainWindowTest, TheTabBarShowsTheTranslationsOldestFirstAndSwitchesTheTab) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  Transcription* version = harness->vm->currentTranscription();
  ASSERT_NE(version, nullptr);
  const QDateTime base = QDateTime::currentDateTimeUtc();
  auto translation = [&](std::optional<QString> language, int secondsLater) {
    auto* t = new Transcription(QStringLiteral("t"), 0, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 10);
    t->setIsTranslation(true);
    t->setTargetLanguage(language);
    t->setCreatedAt(base.addSecs(secondsLater));
    harness->context->insert(t);
    t->setSourceTranscription(version);
    return t;
  };
  Transcription* german = translation(QStringLiteral("de"), 20);
  translation(std::nullopt, 30);
  translation(QStringLiteral("xx"), 10);
  harness->context->save();
  QApplication::processEvents();
  auto titles = [&] {
    QStringList out;
    for (auto* tab : window->contentTabBar()->tabButtons()) out << tab->text();
    return out;
  };
  EXPECT_EQ(titles(), (QStringList{"Original", "XX", "German", "Translation"}));
  EXPECT_TRUE(window->contentTabBar()->tabButtons()[0]->isChecked());
  // A change elsewhere in the library leaves the tabs as they are: no buttons made again.
  const QList<QPushButton*> tabs = window->contentTabBar()->tabButtons();
  version->setName(QStringLiteral("Renamed"));
  harness->context->save();
  QApplication::processEvents();
  EXPECT_EQ(window->contentTabBar()->tabButtons(), tabs);
  // Chosen from the keyboard: the bar is made again, and the keyboard stays on the tab shown.
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  ASSERT_TRUE(testsupport::waitUntil([&] { return window->contentTabBar()->tabButtons()[2]->isVisible(); }, 5000));
  window->contentTabBar()->tabButtons()[2]->setFocus(Qt::TabFocusReason);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
  EXPECT_TRUE(harness->vm->activeTab() == ContentTab::translation(german));
  QApplication::processEvents();
  EXPECT_TRUE(window->contentTabBar()->tabButtons()[2]->isChecked());
  EXPECT_FALSE(window->contentTabBar()->tabButtons()[0]->isChecked());
  EXPECT_EQ(QApplication::focusWidget(), window->contentTabBar()->tabButtons()[2]);
  // A save that changes no tab (a rename; the sample cache's file recorded after a run) keeps
  // the buttons: none goes from under the focus.
  const QPointer<QPushButton> focusedTab = window->contentTabBar()->tabButtons()[2];
  version->setName(QStringLiteral("Renamed"));
  harness->context->save();
  QApplication::processEvents();
  EXPECT_EQ(window->contentTabBar()->tabButtons()[2], focusedTab.data());
  EXPECT_EQ(QApplication::focusWidget(), focusedTab.data());
  // "Delete Translation" from the tab's context menu.
  QPushButton* germanTab = window->contentTabBar()->tabButtons()[2];
  EXPECT_FALSE(germanTab->icon().isNull());  // the globe of a tab with a target language
  EXPECT_TRUE(window->contentTabBar()->tabButtons()[0]->icon().isNull());
  emit germanTab->customContextMenuRequested(QPoint(4, 4));
  auto* menu = germanTab->findChild<QMenu*>();
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(menu->actions().size(), 1);
  EXPECT_EQ(menu->actions()[0]->text(), "Delete Translation");
  EXPECT_FALSE(menu->actions()[0]->icon().isNull());
  menu->actions()[0]->trigger();
  menu->close();
  QApplication::processEvents();
  QApplication::processEvents();
  EXPECT_EQ(titles(), (QStringList{"Original", "XX", "Translation"}));
  EXPECT_TRUE(harness->vm->activeTab().isOriginal());
  // "+" asks for a new translation of the version on screen.
  window->contentTabBar()->createButton()->click();
  auto* sheet = window->findChild<CreateTranslationSheet*>();
  ASSERT_NE(sheet, nullptr);
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_EQ(sheet->transcription(), version);
  // German may be asked for again: its translation is gone.
  bool offersGerman = false;
  for (const auto& language : sheet->availableLanguages()) offersGerman |= language.code == "de";
  EXPECT_TRUE(offersGerman);
  sheet->close();
}

TEST_F(MainWindowTest, TheTranslationSheetRunsTheViewModelsTranslationCancelsItAndShowsItsFailure) {
  translationtest::SettingsSandbox sandbox;
  translationtest::ToolSandbox tools;
  TranslationSettings settings(sandbox.keychain);
  settings.setSelectedProvider(TranslationProviderType::claude);
  settings.setConnectionMode(TranslationConnectionMode::cli);
  TranslationService service(settings, sandbox.endpoints);
  harness = std::make_unique<Harness>(engine, true, nullptr, &service);
  bool configured = true;
  int settingsOpened = 0;
  MainWindow::Actions actions;
  actions.isTranslationConfigured = [&] { return configured; };
  actions.openTranslationSettings = [&] { ++settingsOpened; };
  auto window = make(actions);
  window->setSelectedGroup(harness->group);
  window->show();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  Transcription* version = harness->vm->currentTranscription();
  const auto openSheet = [&] {
    window->openCreateTranslation();
    // The newest: a sheet that has just closed goes only at the next turn of the event loop.
    const auto sheets = window->findChildren<CreateTranslationSheet*>();
    return sheets.isEmpty() ? nullptr : sheets.last();
  };

  // Cancel during a run stops the provider: nothing is stored and the tab stays.
  const QString pidFile = QString::fromStdString((tools.dir.path() / "pid").string());
  tools.addToolOnPath("claude", "#!/bin/sh\necho $$ > " + pidFile.toStdString() + "\nexec sleep 30\n");
  QPointer<CreateTranslationSheet> sheet = openSheet();
  ASSERT_NE(sheet, nullptr);
  sheet->startTranslation();
  ASSERT_TRUE(testsupport::waitUntil([&] { return QFileInfo(pidFile).size() > 0; }, 10000));
  std::string pid = testsupport::readFile(pidFile.toStdString());
  pid.erase(pid.find_last_not_of("\n") + 1);
  button(*sheet, "Cancel")->click();
  EXPECT_FALSE(harness->vm->isTranslating());
  EXPECT_TRUE(testsupport::waitUntil([&] { return !translationtest::processAlive(pid); }, 5000));
  EXPECT_TRUE(testsupport::waitUntil([&] { return sheet.isNull(); }));
  QTest::qWait(100);
  EXPECT_TRUE(version->translations().isEmpty());
  EXPECT_TRUE(harness->vm->activeTab().isOriginal());
  EXPECT_TRUE(harness->logged("Translation cancelled"));

  // A failure is shown in the sheet, which stays open, and logged once.
  tools.addToolOnPath("claude", "#!/bin/sh\necho 'quota used up' >&2\nexit 3\n");
  sheet = openSheet();
  sheet->startTranslation();
  auto* error = sheet->findChild<QLabel*>(QStringLiteral("errorLabel"));
  ASSERT_TRUE(testsupport::waitUntil([&] { return error->isVisible(); }, 10000));
  EXPECT_TRUE(error->text().startsWith("Translation failed: ")) << error->text().toStdString();
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_FALSE(sheet->isTranslating());
  EXPECT_FALSE(harness->loggedStart("Translation failed: Translation failed"));
  EXPECT_TRUE(harness->loggedStart("Translation failed: "));
  sheet->close();

  // Without a provider the sheet names where one is set up and opens that window.
  configured = false;
  sheet = openSheet();
  bool namesThePlace = false;
  for (QLabel* label : sheet->findChildren<QLabel*>())
    namesThePlace |= label->text().contains("Translation Settings...");
  EXPECT_TRUE(namesThePlace);
  button(*sheet, "Open Translation Settings...")->click();
  EXPECT_EQ(settingsOpened, 1);
  EXPECT_TRUE(testsupport::waitUntil([&] { return sheet.isNull(); }));
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

// A translation's tab belongs to its version: another version, a new run or the deletion of the
// translation shows an original again, never the old translation under another file.
TEST_F(MainWindowTest, ATranslationTabGivesWayToTheOriginalOfWhatIsShownNext) {
  withTranscriptView = true;
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "first.wav"));
  Transcription* first = harness->vm->currentTranscription();
  Transcription* german = addTranslation(first, "de", "hallo welt");
  auto showGerman = [&] {
    ASSERT_EQ(window->contentTabBar()->tabButtons().size(), 2);
    window->contentTabBar()->tabButtons()[1]->click();
    ASSERT_EQ(shownTexts(*window).join(" | "), "hallo welt | hallo welt");
  };
  auto expectTheOriginal = [&](Transcription* version) {
    QApplication::processEvents();
    EXPECT_EQ(harness->vm->currentTranscription(), version);
    EXPECT_TRUE(harness->vm->activeTab().isOriginal());
    EXPECT_TRUE(window->contentTabBar()->tabButtons()[0]->isChecked());
    EXPECT_EQ(shownTexts(*window).join(" | "), originalTexts().join(" | "));
    EXPECT_FALSE(shownTexts(*window).contains("hallo welt"));
  };

  showGerman();
  ASSERT_TRUE(transcribe(*window, "second.wav"));
  Transcription* second = harness->vm->currentTranscription();
  ASSERT_NE(second, first);
  expectTheOriginal(second);

  window->selection().setAudioSource(first->audioSource());
  window->selection().setTranscription(first);
  showGerman();
  window->selection().setAudioSource(second->audioSource());
  window->selection().setTranscription(second);
  expectTheOriginal(second);

  window->selection().setAudioSource(first->audioSource());
  window->selection().setTranscription(first);
  showGerman();
  window->versionsBar()->deleteTranscription(german);
  expectTheOriginal(first);
}

// A translation is listed as one and opens read-only in its version's tab: it never becomes the
// working version, and copies made meanwhile hold the version's own text.
TEST_F(MainWindowTest, ATranslationOpensAsATranslationOfItsVersion) {
  withTranscriptView = true;
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  Transcription* version = harness->vm->currentTranscription();
  const QString original = originalTexts().join(" | ");
  Transcription* german = addTranslation(version, "de", "hallo welt");
  auto expectTheTranslationShown = [&](const char* how) {
    SCOPED_TRACE(how);
    QApplication::processEvents();
    EXPECT_EQ(harness->vm->currentTranscription(), version);
    EXPECT_TRUE(harness->vm->activeTab() == ContentTab::translation(german));
    EXPECT_TRUE(window->resultsView()->listView()->isReadOnly());
    EXPECT_EQ(shownTexts(*window).join(" | "), "hallo welt | hallo welt");
    EXPECT_EQ(originalTexts().join(" | "), original);
    EXPECT_EQ(window->selection().transcription(), german);
    EXPECT_TRUE(window->versionsBar()->tabFor(german->id())->isSelected());
    // Its speakers are the version's: no pencil offers a rename the tab would refuse.
    for (SpeakerRowView* row : window->sidePanel()->findChild<SpeakersPanel*>()->rowsInOrder())
      EXPECT_FALSE(row->pencil()->isEnabled()) << row->nameLabel()->text().toStdString();
  };

  // Marked wherever versions are listed.
  VersionTab* tab = window->versionsBar()->tabFor(german->id());
  ASSERT_NE(tab, nullptr);
  EXPECT_EQ(tab->accessibleName(), "Translation de");
  EXPECT_EQ(window->versionsBar()->tabFor(version->id())->accessibleName(), version->name());
  ASSERT_EQ(window->audioSourcesList()->rows().size(), 1);
  QStringList chips;
  for (auto* chip : window->audioSourcesList()->rows()[0]->chips()) chips << chip->accessibleName();
  EXPECT_EQ(chips, QStringList({"Translation de", "Version " + version->name()}));

  tab->click();
  expectTheTranslationShown("its tab in the versions bar");
  auto* panel = window->sidePanel()->findChild<SpeakersPanel*>();
  panel->startEditing(0);  // a field left open when the tab changes closes with it
  window->versionsBar()->tabFor(version->id())->click();
  EXPECT_TRUE(harness->vm->activeTab().isOriginal());
  ASSERT_FALSE(panel->rowsInOrder().isEmpty());
  EXPECT_TRUE(panel->rowsInOrder()[0]->pencil()->isEnabled());
  panel->startEditing(0);
  window->audioSourcesList()->rows()[0]->chips()[0]->click();
  expectTheTranslationShown("its chip in the library");
  EXPECT_FALSE(panel->rowFor(0)->isEditing());
  EXPECT_FALSE(panel->editingSpeakerId());

  window->versionsBar()->duplicateAction()->trigger();
  Transcription* copy = harness->vm->currentTranscription();
  ASSERT_NE(copy, version);
  EXPECT_FALSE(copy->isTranslation());
  QStringList copied;
  for (const auto& segment : copy->toResult().segments) copied << segment.text;
  EXPECT_EQ(copied.join(" | "), original);
  EXPECT_TRUE(harness->vm->activeTab().isOriginal());

  // Processing again, into a new version or over the current one, while the translation shows.
  for (bool overwrite : {false, true}) {
    SCOPED_TRACE(overwrite ? "overwrite" : "new version");
    window->selection().setTranscription(version);
    window->versionsBar()->tabFor(german->id())->click();
    ASSERT_TRUE(harness->vm->activeTab() == ContentTab::translation(german));
    ASSERT_TRUE(testsupport::waitUntil([&] { return harness->vm->hasCachedSamples(); }));
    emit window->versionsBar()->createNewRequested();
    auto* dialog = window->findChild<ReprocessDialog*>();
    ASSERT_NE(dialog, nullptr);
    (overwrite ? dialog->overwriteButton() : dialog->newVersionButton())->click();
    ASSERT_TRUE(harness->settle());
    QApplication::processEvents();
    Transcription* processed = harness->vm->currentTranscription();
    EXPECT_FALSE(processed->isTranslation());
    EXPECT_EQ(processed->name(), version->name());
    EXPECT_EQ(processed == version, overwrite);
    EXPECT_TRUE(harness->vm->activeTab().isOriginal());
    EXPECT_FALSE(shownTexts(*window).contains("hallo welt"));
    EXPECT_EQ(window->selection().transcription(), processed);
  }
}

// On a translation's tab the side panel's figures and speakers are that tab's, as its header
// and its export give them. They were the original's: after the original's segments went to a
// new speaker, the translation's header and export said 2 speakers and the side panel 1, its
// rows listed the original's speakers with the original's shares, and the speeds differed.
TEST_F(MainWindowTest, OnATranslationsTabTheSidePanelCountsWhatItsHeaderAndExportCount) {
  translationtest::SettingsSandbox sandbox;
  translationtest::ToolSandbox tools;
  tools.addToolOnPath("claude", translationtest::ToolSandbox::answeringTool());
  TranslationSettings settings(sandbox.keychain);
  settings.setSelectedProvider(TranslationProviderType::claude);
  settings.setConnectionMode(TranslationConnectionMode::cli);
  sandbox.endpoints.batchPauseMs = 10;
  TranslationService service(settings, sandbox.endpoints);
  harness = std::make_unique<Harness>(engine, true, nullptr, &service);
  MainWindow::Actions actions;
  actions.isTranslationConfigured = [] { return true; };
  actions.playerPageHost = [] { return playertest::pageHost(); };
  auto window = make(actions);
  window->setSelectedGroup(harness->group);
  window->show();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  ASSERT_NE(window->resultsView(), nullptr);
  SidePanel* side = window->sidePanel();
  auto* panel = side->findChild<SpeakersPanel*>();
  ASSERT_NE(panel, nullptr);
  // A named speaker is stored and goes into the translation; the other comes from its segments.
  harness->vm->renameSpeaker(1, "Bob");
  harness->vm->saveCurrentTranscription();
  window->openCreateTranslation();
  const auto sheets = window->findChildren<CreateTranslationSheet*>();
  ASSERT_FALSE(sheets.isEmpty());
  sheets.last()->startTranslation();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !harness->vm->isTranslating(); }, 30000));
  ASSERT_TRUE(harness->vm->activeTab().isTranslation()) << harness->vm->translationStatus().toStdString();
  QApplication::processEvents();
  ASSERT_EQ(window->contentTabBar()->tabButtons().size(), 2);

  // The original: both of its segments go to a new speaker.
  window->contentTabBar()->tabButtons()[0]->click();
  ASSERT_TRUE(harness->vm->activeTab().isOriginal());
  const std::optional<Speaker> added = harness->vm->addNewSpeaker();
  ASSERT_TRUE(added);
  harness->vm->reassignSegment(0, added->speakerId, false);
  harness->vm->reassignSegment(1, added->speakerId, false);
  ASSERT_EQ(harness->vm->state().result()->speakerCount(), 1);

  const auto joined = [](const QStringList& list) { return list.join(" | ").toStdString(); };
  struct Shown {
    QStringList figures;  // Duration, Speakers, Segments, Speed
    QStringList rows;     // "name / stats"
  };
  const auto sidePanel = [&] {
    Shown shown;
    for (const char* name : {"resultDuration", "resultSpeakers", "resultSegments", "resultSpeed"})
      shown.figures << labelNamed(*side, name)->text();
    for (SpeakerRowView* row : panel->rowsInOrder())
      shown.rows << row->nameLabel()->text() + " / " + row->statsLabel()->text();
    return shown;
  };
  // The header's figures, its speed without the " RT" the side panel leaves out.
  const auto header = [&] {
    QStringList figures;
    for (const char* title : {"Duration", "Speakers", "Segments", "Speed"})
      figures << window->resultsView()->statValue(QString::fromLatin1(title));
    figures.last().remove(QStringLiteral(" RT"));
    return figures;
  };
  const Shown original = sidePanel();
  EXPECT_EQ(joined(original.figures), joined(header()));
  EXPECT_EQ(original.figures[1], "1");
  EXPECT_EQ(joined(original.rows),
            "Speaker 1 / 0 segments, 0:00 | Bob / 0 segments, 0:00 | Speaker 3 / 2 segments, 0:00");

  // The translation's tab: the side panel says what the header says and what its export writes.
  window->contentTabBar()->tabButtons()[1]->click();
  ASSERT_TRUE(harness->vm->activeTab().isTranslation());
  QApplication::processEvents();
  const Shown translated = sidePanel();
  EXPECT_EQ(joined(translated.figures), joined(header()));
  const auto boxes = side->findChildren<QGroupBox*>();
  EXPECT_TRUE(std::any_of(boxes.begin(), boxes.end(),
                          [](QGroupBox* box) { return box->title() == "Result" && box->isVisible(); }));
  harness->dialogs->nextPath = harness->path("translated.json");
  harness->vm->exportTranscript(ExportFormat::json);
  QFile file(harness->path("translated.json"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const auto json = nlohmann::json::parse(file.readAll().toStdString());
  const auto& metadata = json["metadata"];
  const double duration = metadata["audioDuration"].get<double>();
  const double processing = metadata["processingTime"].get<double>();
  EXPECT_EQ(joined(translated.figures),
            joined(QStringList({TranscriptionResult::formatDuration(duration),
                                QString::number(metadata["speakerCount"].get<qint64>()),
                                QString::number(metadata["segmentCount"].get<qint64>()),
                                QString::asprintf("%.0fx", processing > 0 ? duration / processing : 0.0)})));
  EXPECT_EQ(metadata["speakerCount"], 2);
  // Its rows are the speakers the export names, each with its segments there.
  QStringList exported;
  for (const auto& speaker : json["speakers"]) {
    qint64 segments = 0;
    for (const auto& segment : json["segments"]) segments += segment["speakerId"] == speaker["speakerId"];
    exported << QString::fromStdString(speaker["displayName"].get<std::string>()) + " / " + QString::number(segments) +
                    " segments";
  }
  QStringList rows;
  for (const QString& row : translated.rows) rows << row.section(u',', 0, 0);
  EXPECT_EQ(joined(rows), joined(exported));
  EXPECT_EQ(joined(rows), "Speaker 1 / 1 segments | Bob / 1 segments");

  // Back on the original, the side panel shows the original as before.
  window->contentTabBar()->tabButtons()[0]->click();
  QApplication::processEvents();
  const Shown again = sidePanel();
  EXPECT_EQ(joined(again.figures), joined(original.figures));
  EXPECT_EQ(joined(again.rows), joined(original.rows));
  EXPECT_EQ(joined(again.figures), joined(header()));
}

// The editor's own re-transcribe button: what the recogniser reads again is what stays, also
// once the editor is left.
TEST_F(MainWindowTest, ARetranscriptionFromTheOpenEditorIsNotOverwrittenWhenTheEditorIsLeft) {
  withTranscriptView = true;
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  ASSERT_TRUE(testsupport::waitUntil([&] { return harness->vm->canRetranscribeSegment(); }));
  engine->recognize = [](std::span<const float>) {
    voxtrellis::ASRResult again;
    again.text = "read again";
    return again;
  };
  SegmentListView* list = window->resultsView()->listView();
  const QUuid first = harness->vm->state().result()->segments[0].id;
  list->startEditing(first);
  ASSERT_NE(list->activeEditor(), nullptr);
  list->activeEditor()->editor()->setPlainText("typed");
  list->activeEditor()->retranscribeButton()->click();
  ASSERT_TRUE(harness->settle());
  QApplication::processEvents();
  EXPECT_EQ(harness->vm->state().result()->segments[0].text, "read again");
  // Leaving: another row's editor, then the version left for the library's "none".
  list->startEditing(harness->vm->state().result()->segments[1].id);
  list->commitPendingEdit();
  EXPECT_EQ(harness->vm->state().result()->segments[0].text, "read again");
  Transcription* version = harness->vm->currentTranscription();
  window->selection().setTranscription(nullptr);
  EXPECT_EQ(version->toResult().segments[0].text, "read again");
  EXPECT_FALSE(harness->context->hasChanges());
}

// Renaming one speaker stored that one alone; the version opened again had lost every other
// speaker from the panel and from the JSON export.
TEST_F(MainWindowTest, ARenamedSpeakerKeepsTheOthersWhenTheVersionIsOpenedAgain) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  Transcription* version = harness->vm->currentTranscription();
  auto* panel = window->sidePanel()->findChild<SpeakersPanel*>();
  ASSERT_NE(panel, nullptr);
  auto names = [&] {
    QStringList out;
    for (SpeakerRowView* row : panel->rowsInOrder()) out << row->nameLabel()->text();
    return out.join(", ").toStdString();
  };
  ASSERT_EQ(names(), "Speaker 1, Speaker 2");
  SpeakerRowView* row = panel->rowFor(0);
  panel->startEditing(0);
  row->nameField()->setText("Ann");
  QTest::keyClick(row->nameField(), Qt::Key_Return);
  ASSERT_EQ(names(), "Ann, Speaker 2");

  window->selection().setTranscription(nullptr);
  window->selection().setAudioSource(version->audioSource());
  window->selection().setTranscription(version);
  ASSERT_EQ(harness->vm->currentTranscription(), version);
  EXPECT_EQ(names(), "Ann, Speaker 2");
  harness->dialogs->nextPath = harness->path("talk.json");
  harness->vm->exportTranscript(ExportFormat::json);
  QFile file(harness->path("talk.json"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const auto json = nlohmann::json::parse(file.readAll().toStdString());
  ASSERT_EQ(json["speakers"].size(), 2u);
  EXPECT_EQ(json["speakers"][0]["displayName"], "Ann");
  EXPECT_EQ(json["speakers"][1]["displayName"], "Speaker 2");
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

// Ctrl+O with a silent file, a good one and one that is no audio: the last one ends on its error
// screen, then "Try Again". Every row then opens what it holds on a click (the one with a version
// its version, as its chip does; the one kept without a version the drop zone), and the title
// names what is shown throughout.
TEST_F(MainWindowTest, AfterABatchEndingInAFailureEachRowOpensWhatItHoldsAndTheTitleNamesIt) {
  engine->recognize = [heard = engine->recognize](std::span<const float> samples) {
    if (std::all_of(samples.begin(), samples.end(), [](float sample) { return sample == 0; }))
      return voxtrellis::ASRResult{};
    return heard(samples);
  };
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  const QString silence = harness->path("silence.wav"), truncated = harness->path("truncated.mp3");
  const QString notAudio = harness->path("notaudio.wav");
  pipelinetest::writeFloatWav(silence.toStdString(), std::vector<float>(3 * 16000, 0.0f));
  ASSERT_TRUE(pipelinetest::ffmpeg({"-i", wav("talk.wav", 6.0).toLocalFile(), "-b:a", "128k", truncated}));
  std::filesystem::resize_file(truncated.toStdString(), QFileInfo(truncated).size() / 2);
  testsupport::writeFile(notAudio.toStdString(), "Meeting notes, not audio at all\n");
  const auto title = [&] { return window->windowTitle().toStdString(); };
  const auto rowOf = [&](const QString& name) -> AudioSourceRow* {
    for (AudioSourceRow* row : window->audioSourcesList()->rows())
      if (row->audioSource()->filename() == name) return row;
    return nullptr;
  };
  const auto failThenTryAgain = [&] {
    ASSERT_TRUE(waitForTheQueueToEmpty(*window));
    ASSERT_TRUE(waitForScreen(*window, Screen::error));
    EXPECT_EQ(title(), "notaudio.wav \u2014 Parlowvista");
    button(*window->processingScreens()->currentWidget(), "Try Again")->click();
    ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  };

  nextPick = {QUrl::fromLocalFile(silence), QUrl::fromLocalFile(truncated), QUrl::fromLocalFile(notAudio)};
  window->addAudioAction()->trigger();
  failThenTryAgain();
  EXPECT_EQ(window->skippedFilesNotice()->lines(),
            QStringList{"silence.wav was not transcribed: No speech detected in audio"});
  AudioSourceRow* truncatedRow = rowOf("truncated.mp3");
  AudioSourceRow* silenceRow = rowOf("silence.wav");
  ASSERT_TRUE(truncatedRow && silenceRow);
  ASSERT_EQ(truncatedRow->chips().size(), 1);
  EXPECT_TRUE(silenceRow->chips().isEmpty());
  // The drop zone is shown, over no file: neither the file before's row nor its version is
  // marked, and the title names the group.
  EXPECT_FALSE(truncatedRow->isSelected());
  EXPECT_FALSE(truncatedRow->chips().first()->isChecked());
  EXPECT_EQ(title(), "Inbox \u2014 Parlowvista");

  QTest::mouseClick(truncatedRow, Qt::LeftButton, {}, QPoint(5, 5));
  ASSERT_TRUE(waitForScreen(*window, Screen::workspace));
  EXPECT_EQ(harness->vm->currentTranscription()->audioSource()->filename(), "truncated.mp3");
  EXPECT_TRUE(truncatedRow->chips().first()->isChecked());
  EXPECT_EQ(title(), "Version 1 \u2014 Parlowvista");

  window->importFiles({QUrl::fromLocalFile(notAudio)});
  failThenTryAgain();
  QTest::mouseClick(truncatedRow->chips().first(), Qt::LeftButton);
  ASSERT_TRUE(waitForScreen(*window, Screen::workspace));
  EXPECT_EQ(title(), "Version 1 \u2014 Parlowvista");

  // The file kept without a version: the drop zone, under its own name, and nothing else marked.
  QTest::mouseClick(silenceRow, Qt::LeftButton, {}, QPoint(5, 5));
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  EXPECT_EQ(harness->vm->currentTranscription(), nullptr);
  EXPECT_TRUE(silenceRow->isSelected());
  EXPECT_FALSE(truncatedRow->isSelected());
  EXPECT_EQ(title(), "silence.wav \u2014 Parlowvista");
  QApplication::processEvents();
  EXPECT_EQ(window->selection().audioSource(), silenceRow->audioSource());
  EXPECT_EQ(title(), "silence.wav \u2014 Parlowvista");
}

// A file the library cannot take (its disk is full) fails under its own name with no other
// file's row marked as open; "Try Again" goes back to the drop zone over no file at all (no
// other file's title, no row selected), and once there is room the file goes in.
TEST_F(MainWindowTest, AfterAFileTheLibraryCouldNotTakeTryAgainLeavesNoOtherFileOpen) {
  auto window = open();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "one.wav"));
  const auto title = [&] { return window->windowTitle().toStdString(); };
  const auto selectedRows = [&] {
    QStringList names;
    for (AudioSourceRow* row : window->audioSourcesList()->rows())
      if (row->isSelected()) names << row->audioSource()->filename();
    return names.join(", ").toStdString();
  };
  ASSERT_EQ(selectedRows(), "one.wav");

  // A disk that takes nothing more: the store may not grow, and the new file's row needs more
  // than the room left in its pages (its path is long).
  Database& database = harness->context->database();
  ASSERT_TRUE(pipelinetest::fillTheDisk(database));
  const QString deep = harness->path(QStringList(15, QString(200, 'd')).join('/'));
  ASSERT_TRUE(QDir().mkpath(deep));
  const QUrl two = QUrl::fromLocalFile(deep + "/two.wav");
  pipelinetest::writeFloatWav(two.toLocalFile().toStdString(), pipelinetest::twoVoices(3.0));
  window->importFiles({two});
  ASSERT_TRUE(waitForTheQueueToEmpty(*window));
  ASSERT_TRUE(waitForScreen(*window, Screen::error));
  EXPECT_EQ(labelNamed(*window, "errorMessage")->text(), "two.wav could not be added to the library: The disk is full");
  EXPECT_EQ(title(), "two.wav \u2014 Parlowvista");
  EXPECT_EQ(selectedRows(), "");

  // "Try Again", from the keyboard: the drop zone, over the group, with nothing marked as open.
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  EXPECT_EQ(labelNamed(*window, "statusMessage")->text(), "Models ready. Drop an audio file to begin.");
  EXPECT_EQ(title(), "Inbox \u2014 Parlowvista");
  EXPECT_EQ(selectedRows(), "");
  EXPECT_EQ(window->selection().audioSource(), nullptr);
  EXPECT_EQ(window->selection().transcription(), nullptr);
  QApplication::processEvents();
  EXPECT_EQ(title(), "Inbox \u2014 Parlowvista");

  // Room again: the same file goes in and is what is shown.
  pipelinetest::makeRoomOnTheDisk(database);
  window->importFiles({two});
  ASSERT_TRUE(waitForTheQueueToEmpty(*window));
  ASSERT_TRUE(waitForScreen(*window, Screen::workspace));
  EXPECT_EQ(storedFileNames(), (QStringList{"one.wav", "two.wav"}));
  EXPECT_EQ(title(), "Version 1 \u2014 Parlowvista");
  EXPECT_EQ(selectedRows(), "two.wav");
}

// The library's highlight and the title follow the file opened, at once; a version whose loading
// a running file refuses leaves them on what is shown, and a later click opens it.
TEST_F(MainWindowTest, TheLibraryAndTheTitleFollowWhatIsOpenedAndNotARefusedLoad) {
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "lecture.wav"));
  Transcription* lecture = harness->vm->currentTranscription();
  lecture->setName("Lecture notes");
  ASSERT_TRUE(transcribe(*window, "podcast.wav"));
  Transcription* podcast = harness->vm->currentTranscription();
  auto rowOf = [&](Transcription* version) -> AudioSourceRow* {
    for (AudioSourceRow* row : window->audioSourcesList()->rows())
      if (row->audioSource() == version->audioSource()) return row;
    return nullptr;
  };
  auto expectShown = [&](Transcription* version, const char* title) {
    EXPECT_EQ(harness->vm->currentTranscription(), version);
    EXPECT_EQ(window->selection().audioSource(), version->audioSource());
    EXPECT_EQ(window->selection().transcription(), version);
    EXPECT_EQ(window->windowTitle().toStdString(), std::string(title) + " \u2014 Parlowvista");
    EXPECT_TRUE(rowOf(version)->isSelected());
    for (AudioSourceRow* row : window->audioSourcesList()->rows())
      EXPECT_EQ(row->isSelected(), row == rowOf(version)) << row->audioSource()->filename().toStdString();
  };
  expectShown(podcast, "Version 1");
  QTest::mouseClick(rowOf(lecture), Qt::LeftButton);
  expectShown(lecture, "Lecture notes");
  QTest::mouseClick(rowOf(podcast), Qt::LeftButton);
  expectShown(podcast, "Version 1");

  engine->recognizeGate = std::make_shared<pipelinetest::Gate>();
  window->importFiles({wav("interview.wav")});
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->recognizeGate->hasWaiter(); }, 30000));
  // What is shown is the file being processed, of which there is no version yet: so from the
  // moment its run holds it, and after a refused click.
  auto expectTheRun = [&] {
    ASSERT_NE(window->selection().audioSource(), nullptr);
    EXPECT_EQ(window->selection().audioSource()->filename(), "interview.wav");
    EXPECT_EQ(window->selection().transcription(), nullptr);
    EXPECT_TRUE(window->windowTitle().startsWith("interview.wav")) << window->windowTitle().toStdString();
    EXPECT_FALSE(rowOf(podcast)->isSelected());
  };
  expectTheRun();
  QTest::mouseClick(rowOf(lecture), Qt::LeftButton);
  EXPECT_TRUE(harness->logged("Cannot load transcription - system busy"));
  expectTheRun();
  EXPECT_FALSE(rowOf(lecture)->isSelected());
  engine->recognizeGate->open();
  ASSERT_TRUE(harness->settle());
  QTest::mouseClick(rowOf(lecture), Qt::LeftButton);
  expectShown(lecture, "Lecture notes");
}

// What is typed into a row's open editor is an edit before anything leaves, copies, re-runs or
// writes out the transcript, on the roads that leave the editor its focus (a drop, a shortcut, a
// menu) as on those that take it: in the version it was typed into, in the store, and in what
// the action makes or writes.
TEST_F(MainWindowTest, TextTypedInAnOpenEditorIsKeptByEveryActionThatLeavesCopiesRerunsOrWritesTheTranscript) {
  withTranscriptView = true;
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  // The first row's editor, opened and typed into, still open and focused afterwards.
  auto typeIntoTheFirstRow = [&](const QString& text) {
    SegmentListView* list = window->resultsView()->listView();
    list->startEditing(harness->vm->state().result()->segments[0].id);
    SegmentRowEditor* editor = list->activeEditor();
    if (!editor) return false;
    editor->editor()->selectAll();
    QTest::keyClicks(editor->editor(), text);
    return list->activeEditor() == editor && harness->vm->state().result()->segments[0].text != text;
  };
  auto stored = [&](const Transcription* version) {
    const QStringList texts = harness->storedTexts(version->id());
    return texts.isEmpty() ? std::string("(no rows)") : texts.first().toStdString();
  };
  auto fileText = [&](const QString& name) {
    QFile file(harness->path(name));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  };
  Transcription* first = harness->vm->currentTranscription();

  // Export ▾ › each format, and "Export All Formats...": the file says what the row shows.
  QMenu* exportMenu = window->resultsView()->exportButton()->menu();
  ASSERT_NE(exportMenu, nullptr);
  auto menuAction = [&](const QString& text) -> QAction* {
    for (QAction* action : exportMenu->actions()) {
      if (action->text() == text) return action;
    }
    return nullptr;
  };
  for (ExportFormat format : allExportFormats()) {
    const QString name = "export." + fileExtension(format);
    const QString typed = "kept in the " + fileExtension(format) + " export";
    SCOPED_TRACE(name.toStdString());
    ASSERT_TRUE(typeIntoTheFirstRow(typed));
    harness->dialogs->nextPath = harness->path(name);
    ASSERT_NE(menuAction(rawValue(format)), nullptr);
    menuAction(rawValue(format))->trigger();
    EXPECT_TRUE(fileText(name).contains(typed)) << fileText(name).toStdString();
    EXPECT_EQ(harness->vm->state().result()->segments[0].text.toStdString(), typed.toStdString());
  }
  ASSERT_TRUE(typeIntoTheFirstRow("kept in every export"));
  QDir(harness->path(".")).mkpath("all");
  harness->dialogs->nextPath = harness->path("all");
  ASSERT_NE(menuAction("Export All Formats..."), nullptr);
  menuAction("Export All Formats...")->trigger();
  for (ExportFormat format : allExportFormats()) {
    const QString name = "all/talk." + fileExtension(format);
    EXPECT_TRUE(fileText(name).contains("kept in every export")) << name.toStdString();
  }

  // ⊕ › "Duplicate Current": the version typed in and its copy both hold the text.
  ASSERT_TRUE(typeIntoTheFirstRow("kept in the copy"));
  window->versionsBar()->duplicateAction()->trigger();
  Transcription* copy = harness->vm->currentTranscription();
  ASSERT_NE(copy, first);
  EXPECT_EQ(stored(first), "kept in the copy");
  EXPECT_EQ(stored(copy), "kept in the copy");

  // Deleting another version from the versions bar.
  ASSERT_TRUE(testsupport::waitUntil([&] { return window->versionsBar()->tabFor(first->id()) != nullptr; }));
  ASSERT_TRUE(typeIntoTheFirstRow("kept while another version goes"));
  window->versionsBar()->setConfirmationPresenter(
      [](QWidget*, const ConfirmationRequest&, std::function<void(bool)> answer) { answer(true); });
  emit window->versionsBar()->tabFor(first->id())->deleteRequested();
  ASSERT_TRUE(harness->storedTexts(first->id()).isEmpty());
  EXPECT_EQ(stored(copy), "kept while another version goes");

  // ⊕ › "New Version (Reprocess)" › "Create New Version": the version typed in keeps the text
  // before its copy is processed again.
  ASSERT_TRUE(testsupport::waitUntil([&] { return harness->vm->hasCachedSamples(); }));
  ASSERT_TRUE(typeIntoTheFirstRow("kept before processing again"));
  window->versionsBar()->createNewAction()->trigger();
  auto* dialog = window->findChild<ReprocessDialog*>();
  ASSERT_NE(dialog, nullptr);
  dialog->newVersionButton()->click();
  ASSERT_TRUE(harness->settle());
  QApplication::processEvents();
  EXPECT_EQ(stored(copy), "kept before processing again");
  ASSERT_NE(harness->vm->currentTranscription(), copy);

  // A file dropped on the file list runs next.
  ASSERT_TRUE(testsupport::waitUntil([&] { return window->resultsView()->isVisible(); }));
  Transcription* shown = harness->vm->currentTranscription();
  ASSERT_TRUE(typeIntoTheFirstRow("kept before the dropped file"));
  QMimeData dropped;
  dropped.setUrls({wav("dropped.wav")});
  ASSERT_TRUE(window->audioSourcesList()->acceptDrop(&dropped));
  ASSERT_TRUE(waitForTheQueueToEmpty(*window));
  ASSERT_EQ(harness->vm->currentTranscription()->audioSource()->filename(), "dropped.wav");
  EXPECT_EQ(stored(shown), "kept before the dropped file");

  // Ctrl+O, with the editor still holding the focus.
  shown = harness->vm->currentTranscription();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  ASSERT_TRUE(typeIntoTheFirstRow("kept before Ctrl+O"));
  nextPick = {wav("picked.wav")};
  QTest::keyClick(window->resultsView()->listView()->activeEditor()->editor(), Qt::Key_O, Qt::ControlModifier);
  ASSERT_EQ(picks, 1);
  ASSERT_TRUE(waitForTheQueueToEmpty(*window));
  ASSERT_EQ(harness->vm->currentTranscription()->audioSource()->filename(), "picked.wav");
  EXPECT_EQ(stored(shown), "kept before Ctrl+O");
  EXPECT_FALSE(harness->context->hasChanges());
}

// A window, or its transcript view alone, that goes with a row's editor open and typed into:
// the text goes into its version while everything it reaches is whole, and nothing reaches into
// a list being taken apart (which crashed).
TEST_F(MainWindowTest, AWindowOrTranscriptViewThatGoesWithAnOpenEditorKeepsItsText) {
  withTranscriptView = true;
  auto window = open();
  ASSERT_TRUE(waitForScreen(*window, Screen::ready));
  ASSERT_TRUE(transcribe(*window, "talk.wav"));
  window->activateWindow();
  auto typeIntoTheFirstRow = [&](const QString& text) {
    SegmentListView* list = window->resultsView()->listView();
    list->startEditing(harness->vm->state().result()->segments[0].id);
    if (!list->activeEditor()) return false;
    list->activeEditor()->editor()->setFocus();
    list->activeEditor()->editor()->selectAll();
    QTest::keyClicks(list->activeEditor()->editor(), text);
    return list->activeEditor() != nullptr;
  };

  // The transcript view alone; the window makes another when a transcript is shown again.
  ASSERT_TRUE(typeIntoTheFirstRow("kept as the view goes"));
  QPointer<ResultsView> view = window->resultsView();
  delete view.data();
  EXPECT_TRUE(window->resultsView() == nullptr);
  EXPECT_EQ(harness->vm->state().result()->segments[0].text.toStdString(), "kept as the view goes");
  Transcription* version = harness->vm->currentTranscription();
  window->selection().setTranscription(nullptr);
  window->selection().setTranscription(version);
  ASSERT_NE(window->resultsView(), nullptr);
  EXPECT_EQ(harness->storedTexts(version->id()).value(0).toStdString(), "kept as the view goes");

  // The whole window.
  ASSERT_TRUE(typeIntoTheFirstRow("kept as the window goes"));
  window.reset();
  EXPECT_EQ(harness->vm->state().result()->segments[0].text.toStdString(), "kept as the window goes");
  EXPECT_TRUE(harness->vm->hasUnsavedChanges());
  harness->vm->saveIfNeeded();
  EXPECT_EQ(harness->storedTexts(version->id()).value(0).toStdString(), "kept as the window goes");
}

}  // namespace
