// The main window's library: its columns, what selecting a group, a file or a version opens, the
// title that follows it, deletions refused while a run holds a file, and files gone missing.

#include "app/Views/Shell/MainWindowFixture.h"

namespace {

using namespace mainwindowtest;

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

}  // namespace
