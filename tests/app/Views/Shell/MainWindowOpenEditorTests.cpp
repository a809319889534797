// A row's editor open and typed into while the user acts on the window: what was typed stays,
// and the action then does what it does with no editor open.

#include "app/Views/Shell/MainWindowFixture.h"

namespace {

using namespace mainwindowtest;
using Part = SegmentRowDelegate::Part;

class MainWindowOpenEditorTest : public MainWindowTest {
 protected:
  // The window, active, with the results list showing the transcript of `name`.
  std::unique_ptr<MainWindow> openWithTranscriptOf(const QString& name) {
    withTranscriptView = true;
    auto window = open();
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window.get()) || !waitForScreen(*window, Screen::ready) ||
        !transcribe(*window, name))
      return nullptr;
    return window;
  }
  // The pencil of a row clicked, and `text` typed at the end of what the row holds; the editor
  // stays open and focused.
  InlineTextEditor* typeIntoRow(MainWindow& window, int row, const QString& text) {
    SegmentListView* list = window.resultsView()->listView();
    const QUuid id = harness->vm->state().result()->segments[row].id;
    list->scrollTo(list->model()->index(row, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->partRect(id, Part::edit).center());
    if (!list->activeEditor() || list->activeEditor()->segmentId() != id) return nullptr;
    InlineTextEditor* field = list->activeEditor()->editor();
    QTest::keyClicks(field, text);
    return field->hasFocus() ? field : nullptr;
  }
  std::string firstStored(const Transcription* version) const {
    return harness->storedTexts(version->id()).value(0).toStdString();
  }
  std::string selectedRows(MainWindow& window) const {
    QStringList names;
    for (AudioSourceRow* row : window.audioSourcesList()->rows())
      if (row->isSelected()) names << row->audioSource()->filename();
    return names.join(", ").toStdString();
  }
  static AudioSourceRow* rowOf(MainWindow& window, const AudioSource* source) {
    for (AudioSourceRow* row : window.audioSourcesList()->rows())
      if (row->audioSource() == source) return row;
    return nullptr;
  }
};

// Backspace at the very start of the first row has nothing to merge into. The typed text was
// thrown away: the editor closed on the row's old text and nothing reached the store.
TEST_F(MainWindowOpenEditorTest, BackspaceAtTheStartOfTheFirstRowKeepsTheTypedTextThroughARestart) {
  auto window = openWithTranscriptOf("talk.wav");
  ASSERT_NE(window, nullptr);
  Transcription* version = harness->vm->currentTranscription();
  const QString before = harness->vm->state().result()->segments[0].text;
  InlineTextEditor* field = typeIntoRow(*window, 0, " and so on");
  ASSERT_NE(field, nullptr);
  QTest::keyClick(field, Qt::Key_Home, Qt::ControlModifier);
  QTest::keyClick(field, Qt::Key_Backspace);
  EXPECT_TRUE(harness->logged("Merge failed: cannot merge first segment"));
  EXPECT_EQ(window->resultsView()->listView()->activeEditor(), nullptr);
  const std::string typed = (before + " and so on").toStdString();
  EXPECT_EQ(shownTexts(*window).value(0).toStdString(), typed);
  EXPECT_EQ(shownTexts(*window).size(), originalTexts().size());
  // Quitting writes it; the store, read as the next start reads it, holds it.
  EXPECT_TRUE(window->close());
  EXPECT_EQ(firstStored(version), typed);
}

// A file that cannot be read, started with an editor open and typed into: the run's error and
// "Try Again" leave no file open, as without the editor (the commit's change of state was taken
// for the run's end, and the file shown before stayed marked and named in the title). So too when
// the disk is full and saving the typed text before the run fails, which also changes the state.
TEST_F(MainWindowOpenEditorTest, AFailingFileStartedWithAnOpenEditorLeavesNoFileOpenAfterTryAgain) {
  auto window = openWithTranscriptOf("one.wav");
  ASSERT_NE(window, nullptr);
  Transcription* one = harness->vm->currentTranscription();
  const QString notAudio = harness->path("notaudio.wav");
  testsupport::writeFile(notAudio.toStdString(), "Meeting notes, not audio at all\n");
  const auto title = [&] { return window->windowTitle().toStdString(); };

  const struct {
    const char* road;
    bool typing;
    bool diskFull;
  } cases[] = {{"drop on the file list", false, false},
               {"drop on the file list", true, false},
               {"Ctrl+O", false, false},
               {"Ctrl+O", true, false},
               {"drop on the file list", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.road) + (c.typing ? ", editor open" : ", no editor") +
                 (c.diskFull ? ", disk full" : ""));
    if (!window->resultsView() || !window->resultsView()->isVisible()) {
      QTest::mouseClick(rowOf(*window, one->audioSource()), Qt::LeftButton);
      ASSERT_TRUE(waitForScreen(*window, Screen::workspace));
    }
    std::string typed = "typed before the " + std::string(c.road);
    QWidget* focus = window->resultsView()->listView();
    if (c.typing) {
      InlineTextEditor* field = typeIntoRow(*window, 0, QString::fromStdString(" " + typed));
      ASSERT_NE(field, nullptr);
      if (c.diskFull) {
        // More than the room left in the store's pages, pasted.
        ASSERT_TRUE(pipelinetest::fillTheDisk(harness->context->database()));
        const QString pasted = " " + QString(64 * 1024, 'p');
        field->insertPlainText(pasted);
        typed += pasted.toStdString();
      }
      focus = field;
    }
    if (std::string(c.road) == "Ctrl+O") {
      nextPick = {QUrl::fromLocalFile(notAudio)};
      QTest::keyClick(focus, Qt::Key_O, Qt::ControlModifier);
    } else {
      QMimeData dropped;
      dropped.setUrls({QUrl::fromLocalFile(notAudio)});
      ASSERT_TRUE(window->audioSourcesList()->acceptDrop(&dropped));
    }
    ASSERT_TRUE(waitForTheQueueToEmpty(*window));
    ASSERT_TRUE(waitForScreen(*window, Screen::error));
    EXPECT_EQ(title(), "notaudio.wav \u2014 Parlowvista");
    EXPECT_EQ(selectedRows(*window), "");
    if (c.typing) {
      EXPECT_NE(QString::fromStdString(firstStored(one)).endsWith(QString::fromStdString(typed)), c.diskFull);
    }
    if (c.diskFull) {
      EXPECT_TRUE(harness->loggedStart("Failed to save: "));
    }

    button(*window->processingScreens()->currentWidget(), "Try Again")->click();
    ASSERT_TRUE(waitForScreen(*window, Screen::ready));
    QApplication::processEvents();
    EXPECT_EQ(title(), "Inbox \u2014 Parlowvista");
    EXPECT_EQ(selectedRows(*window), "");
    EXPECT_EQ(window->selection().audioSource(), nullptr);
    EXPECT_EQ(window->selection().transcription(), nullptr);
    EXPECT_EQ(harness->vm->currentAudioSource(), nullptr);
    EXPECT_EQ(harness->vm->currentTranscription(), nullptr);
    if (c.diskFull) {
      // With room again, the next save writes what was typed.
      pipelinetest::makeRoomOnTheDisk(harness->context->database());
      harness->vm->saveIfNeeded();
      EXPECT_TRUE(QString::fromStdString(firstStored(one)).endsWith(QString::fromStdString(typed)));
    }
  }
  EXPECT_EQ(harness->vm->hasUnsavedChanges(), false);
}

// One click on another file's row, or on another version's chip, opens it, with an editor open
// and typed into as without it; the text stays in the version it was typed into. (The commit's
// change of state put the library's selection back, and the click opened nothing.)
TEST_F(MainWindowOpenEditorTest, OneClickOnAnotherFileOrVersionOpensItAndKeepsTheTypedText) {
  auto window = openWithTranscriptOf("lecture.wav");
  ASSERT_NE(window, nullptr);
  Transcription* lecture = harness->vm->currentTranscription();
  ASSERT_TRUE(transcribe(*window, "podcast.wav"));
  Transcription* podcast = harness->vm->currentTranscription();
  window->versionsBar()->duplicateAction()->trigger();
  Transcription* podcastCopy = harness->vm->currentTranscription();
  ASSERT_NE(podcastCopy, podcast);
  QApplication::processEvents();

  auto chipOf = [&](const Transcription* version) -> VersionChip* {
    AudioSourceRow* row = rowOf(*window, version->audioSource());
    if (!row) return nullptr;
    // The chips stand newest first, as the row's versions.
    const qsizetype at = AudioSourceRow::versionsNewestFirst(version->audioSource()).indexOf(version);
    return at < 0 ? nullptr : row->chips().value(at);
  };
  auto expectShown = [&](const Transcription* version) {
    EXPECT_EQ(harness->vm->currentTranscription(), version);
    EXPECT_EQ(window->selection().transcription(), version);
    EXPECT_EQ(window->windowTitle().toStdString(), version->name().toStdString() + " \u2014 Parlowvista");
    EXPECT_EQ(selectedRows(*window), version->audioSource()->filename().toStdString());
    ASSERT_TRUE(window->resultsView() && window->resultsView()->isVisible());
    EXPECT_EQ(shownTexts(*window), originalTexts());
  };
  // From the copy to the lecture's row, back by the copy's chip, to the podcast's first version
  // by its chip, and to the copy again by its tab in the versions bar; each once without an
  // editor and once with one typed into.
  enum class By { row, chip, tab };
  struct Step {
    Transcription* from;
    Transcription* to;
    By by;
  };
  const Step steps[] = {{podcastCopy, lecture, By::row},
                        {lecture, podcastCopy, By::chip},
                        {podcastCopy, podcast, By::chip},
                        {podcast, podcastCopy, By::tab}};
  for (bool typing : {false, true}) {
    for (const Step& step : steps) {
      const char* how = step.by == By::row ? " by its row" : step.by == By::chip ? " by its chip" : " by its tab";
      SCOPED_TRACE(step.to->audioSource()->filename().toStdString() + " " + step.to->name().toStdString() + how +
                   (typing ? ", editor open" : ", no editor"));
      if (harness->vm->currentTranscription() != step.from) {
        window->selection().setTranscription(step.from);
        QApplication::processEvents();
      }
      ASSERT_EQ(harness->vm->currentTranscription(), step.from);
      const QString typed = QStringLiteral(" typed in %1 before a click").arg(step.from->name());
      if (typing) {
        ASSERT_NE(typeIntoRow(*window, 0, typed), nullptr);
      }
      QWidget* target = step.by == By::row    ? static_cast<QWidget*>(rowOf(*window, step.to->audioSource()))
                        : step.by == By::chip ? static_cast<QWidget*>(chipOf(step.to))
                                              : static_cast<QWidget*>(window->versionsBar()->tabFor(step.to->id()));
      ASSERT_NE(target, nullptr);
      QTest::mouseClick(target, Qt::LeftButton);
      expectShown(step.to);
      if (typing) {
        EXPECT_TRUE(QString::fromStdString(firstStored(step.from)).endsWith(typed));
      }
    }
  }
  EXPECT_FALSE(harness->vm->hasUnsavedChanges());
}

// "Overwrite" with an editor open and typed into: the typed text is in the store before the run
// starts (it was only in memory, lost by a run that failed or a quit while it ran), and the run
// that ends replaces the version all the same.
TEST_F(MainWindowOpenEditorTest, OverwriteStoresTheTypedTextBeforeItsRun) {
  auto window = openWithTranscriptOf("talk.wav");
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(testsupport::waitUntil([&] { return harness->vm->hasCachedSamples(); }));
  Transcription* version = harness->vm->currentTranscription();
  const QStringList heard = originalTexts();
  ASSERT_NE(typeIntoRow(*window, 0, " kept while it runs again"), nullptr);

  engine->recognizeGate = std::make_shared<pipelinetest::Gate>();
  window->versionsBar()->createNewAction()->trigger();
  auto* dialog = window->findChild<ReprocessDialog*>();
  ASSERT_NE(dialog, nullptr);
  dialog->overwriteButton()->click();
  ASSERT_TRUE(testsupport::waitUntil([&] { return engine->recognizeGate->hasWaiter(); }, 30000));
  EXPECT_TRUE(harness->vm->isBusy());
  EXPECT_EQ(firstStored(version), (heard.value(0) + " kept while it runs again").toStdString());
  EXPECT_FALSE(harness->vm->hasUnsavedChanges());

  engine->recognizeGate->open();
  ASSERT_TRUE(harness->settle());
  QApplication::processEvents();
  EXPECT_EQ(harness->vm->currentTranscription(), version);
  EXPECT_EQ(harness->storedTexts(version->id()), heard);
}

}  // namespace
