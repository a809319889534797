// Editing a transcript in the main window: what an open row editor holds, speakers renamed,
// segments recognised again, and the edits saved, or asked about, when the window closes.

#include "app/Views/Shell/MainWindowFixture.h"

namespace {

using namespace mainwindowtest;

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
