// Files and addresses brought into the main window: picked, dropped or queued, the formats taken,
// the group they go into, and the files of a batch that fail.

#include "app/Views/Shell/MainWindowFixture.h"

namespace {

using namespace mainwindowtest;

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

TEST_F(MainWindowTest, WithoutAGroupNothingIsImported) {
  auto window = open(false);
  ASSERT_TRUE(waitForScreen(*window, Screen::noGroupSelected));
  nextPick = {wav("one.wav")};
  window->addAudioAction()->trigger();
  QTest::qWait(50);
  EXPECT_EQ(window->importQueue()->pendingCount(), 0);
  EXPECT_EQ(harness->vm->state().kind(), ProcessingState::Kind::modelsReady);
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

}  // namespace
