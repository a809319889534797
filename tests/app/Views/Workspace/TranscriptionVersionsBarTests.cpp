// The versions bar over a real store, the reprocess dialog, and the window's version
// actions (duplicate, new version by re-processing).

#include "Models/TranscriptGroup.h"
#include "Views/Workspace/ReprocessDialog.h"
#include "Views/Workspace/TranscriptionVersionsBar.h"
#include "Views/Workspace/VersionActions.h"
#include "Views/Workspace/VersionTab.h"
#include "app/Views/Workspace/WorkspaceTestSupport.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace workspacetest;

namespace {

class VersionsBarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    v1 = w.addVersion("Version 1", Workspace::threeSegments(), 30);
    v2 = w.addVersion("Version 2", Workspace::threeSegments(), 20);
    v3 = w.addVersion("Version 3", Workspace::threeSegments(), 10);
    bar = std::make_unique<TranscriptionVersionsBar>(w.h.context.get());
    bar->setConfirmationPresenter(
        [this](QWidget*, const ConfirmationRequest& request, std::function<void(bool)> answer) {
          asked << request.title + "|" + request.message;
          answer(confirm);
        });
    bar->setAudioSource(w.source);
    bar->resize(700, 44);
    bar->show();
    // The window's part: a selection loads the version.
    QObject::connect(bar.get(), &TranscriptionVersionsBar::selectedTranscriptionChanged, bar.get(),
                     [this](Transcription* t) {
                       if (t)
                         w.h.vm->loadTranscription(t);
                       else
                         w.h.vm->clearResult();
                     });
  }

  QStringList names() const {
    QStringList out;
    for (VersionTab* tab : bar->tabsInOrder()) out << tab->nameLabel()->text();
    return out;
  }
  void select(Transcription* t) {
    bar->setSelectedTranscription(t);
    w.h.vm->loadTranscription(t);
  }
  qint64 storedCount() {
    return w.h.context->fetch<Transcription>([](const Transcription*) { return true; }).size();
  }

  Workspace w;
  Transcription *v1 = nullptr, *v2 = nullptr, *v3 = nullptr;
  std::unique_ptr<TranscriptionVersionsBar> bar;
  QStringList asked;
  bool confirm = true;
};

TEST_F(VersionsBarTest, ShowsTheVersionsOldestFirstAndSelectsOnClick) {
  EXPECT_EQ(names(), QStringList({"Version 1", "Version 2", "Version 3"}));
  // A change of the library that is not this source's lays nothing out again.
  QTest::qWait(20);
  struct LayoutRequests : QObject {
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      count += event->type() == QEvent::LayoutRequest;
      return false;
    }
  } layouts;
  bar->tabFor(v1->id())->parentWidget()->installEventFilter(&layouts);
  w.h.context->insert(new TranscriptGroup("Elsewhere", 5));
  w.h.context->save();
  QTest::qWait(20);  // the change notice, then what it would have posted
  EXPECT_EQ(layouts.count, 0);
  QSignalSpy changed(bar.get(), &TranscriptionVersionsBar::selectedTranscriptionChanged);
  QTest::mouseClick(bar->tabFor(v2->id()), Qt::LeftButton);
  ASSERT_EQ(changed.size(), 1);
  EXPECT_EQ(bar->selectedTranscription(), v2);
  EXPECT_TRUE(bar->tabFor(v2->id())->isSelected());
  EXPECT_EQ(w.h.vm->currentTranscription(), v2);
}

// Shift+Tab from the menu button enters the strip at its last tab: with more versions than fit,
// that tab must scroll into view rather than take the focus out of sight.
TEST_F(VersionsBarTest, KeyboardFocusEnteringTheStripBringsTheTabIntoView) {
  for (int i = 4; i <= 12; ++i) w.addVersion(QString("Version %1").arg(i), Workspace::threeSegments(), 10 - i);
  bar->refresh();
  bar->resize(360, 44);
  bar->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(bar.get()));
  QTest::qWait(20);
  VersionTab* last = bar->tabsInOrder().last();
  ASSERT_TRUE(last->visibleRegion().isEmpty());  // out of view to begin with
  bar->versionMenu()->parentWidget()->setFocus();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  ASSERT_EQ(QApplication::focusWidget(), last);
  QTest::qWait(20);
  EXPECT_FALSE(last->visibleRegion().isEmpty());
}

TEST_F(VersionsBarTest, RenameTrimsKeepsOldNameForBlanksAndEscapeCancels) {
  const QDateTime before = v2->updatedAt();
  bar->startRename(v2);
  QLineEdit* field = bar->tabFor(v2->id())->nameField();
  EXPECT_EQ(field->text(), "Version 2");
  field->setText("  Interview \n");
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(v2->name(), "Interview");
  EXPECT_GE(v2->updatedAt(), before);
  EXPECT_EQ(bar->editingTranscription(), nullptr);
  EXPECT_EQ(names()[1], "Interview");

  bar->startRename(v2);
  field->setText(" \n ");
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(v2->name(), "Interview");

  bar->startRename(v3);
  bar->tabFor(v3->id())->nameField()->setText("abandoned");
  QTest::keyClick(bar->tabFor(v3->id())->nameField(), Qt::Key_Escape);
  EXPECT_EQ(v3->name(), "Version 3");
  bar->startRename(v3);
  EXPECT_EQ(bar->tabFor(v3->id())->nameField()->text(), "Version 3");
}

TEST_F(VersionsBarTest, DeleteAsksFirstAndMovesTheSelectionToTheOldestRemaining) {
  select(v1);
  confirm = false;
  bar->requestDelete(v1);
  EXPECT_EQ(asked, QStringList({"Delete Version?|Delete \"Version 1\"? This cannot be undone."}));
  EXPECT_EQ(storedCount(), 3);

  confirm = true;
  bar->requestDelete(v1);
  EXPECT_EQ(storedCount(), 2);
  EXPECT_EQ(bar->selectedTranscription(), v2);
  EXPECT_EQ(w.h.vm->currentTranscription(), v2);
  EXPECT_EQ(names(), QStringList({"Version 2", "Version 3"}));

  bar->requestDelete(v3);  // not selected: the selection stays
  EXPECT_EQ(bar->selectedTranscription(), v2);
  bar->requestDelete(v2);
  EXPECT_EQ(bar->selectedTranscription(), nullptr);
  EXPECT_TRUE(names().isEmpty());
}

TEST_F(VersionsBarTest, TheDeleteQuestionIsWideEnoughForItsTitleAndItsMessageOnOneLine) {
  bar->setConfirmationPresenter(messageBoxConfirmation());
  bar->requestDelete(v1);
  auto* box = bar->findChild<QMessageBox*>();
  ASSERT_NE(box, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(box));
  const QFontMetrics metrics(box->font());
  QLabel* message = nullptr;
  for (auto* label : box->findChildren<QLabel*>())
    if (label->text() == "Delete \"Version 1\"? This cannot be undone.") message = label;
  ASSERT_NE(message, nullptr);
  EXPECT_LT(message->height(), 2 * metrics.lineSpacing());
  // The frame draws the title between its icon and its buttons.
  EXPECT_GE(box->width(), metrics.horizontalAdvance(box->windowTitle()) + 6 * metrics.height());
  box->reject();
  EXPECT_EQ(storedCount(), 3);
}

TEST_F(VersionsBarTest, DeletingAnotherVersionFirstSavesUnsavedEdits) {
  select(v3);
  bar->setBeforeStoreWrite([this] { w.h.vm->saveIfNeeded(); });
  w.h.vm->updateSegmentText(0, "edited just now");
  bar->requestDelete(v1);
  EXPECT_FALSE(w.h.vm->hasUnsavedChanges());
  EXPECT_EQ(v3->toResult().segments[0].text, "edited just now");
}

TEST_F(VersionsBarTest, DuplicateIsEnabledOnlyWithASelectionAndSelectsTheCopy) {
  EXPECT_FALSE(bar->duplicateAction()->isEnabled());
  EXPECT_TRUE(bar->createNewAction()->isEnabled());
  select(v3);
  EXPECT_TRUE(bar->duplicateAction()->isEnabled());
  VersionActions actions(*w.h.vm, *bar);
  QObject::connect(bar.get(), &TranscriptionVersionsBar::duplicateRequested, &actions, &VersionActions::duplicate);
  bar->duplicateAction()->trigger();
  EXPECT_EQ(names(), QStringList({"Version 1", "Version 2", "Version 3", "Version 4"}));
  EXPECT_EQ(bar->selectedTranscription()->name(), "Version 4");
  EXPECT_EQ(w.h.vm->currentTranscription(), bar->selectedTranscription());
}

// "Create New Version" used to re-process the original when the copy failed.
TEST_F(VersionsBarTest, NewVersionReprocessesOnlyASuccessfulCopy) {
  select(v2);
  VersionActions actions(*w.h.vm, *bar);
  // Without a source the copy is refused ("Cannot duplicate: missing data").
  v2->setAudioSource(nullptr);
  w.h.vm->loadTranscription(v2);
  QSignalSpy finished(&actions, &VersionActions::reprocessFinished);
  actions.reprocessAsNewVersion();
  EXPECT_EQ(finished.size(), 1);
  EXPECT_TRUE(w.h.logged("Cannot duplicate: missing data"));
  EXPECT_FALSE(w.h.loggedStart("Reprocess"));
  EXPECT_EQ(w.h.vm->currentTranscription(), v2);
}

TEST_F(VersionsBarTest, NewVersionByReprocessingMakesACopyAndSelectsIt) {
  // A run of the file road leaves its samples cached for re-processing.
  ASSERT_TRUE(w.h.startModels());
  w.h.vm->processFile(QUrl::fromLocalFile(w.audio));
  ASSERT_TRUE(w.h.settle());
  bar->refresh();
  Transcription* processed = w.h.vm->currentTranscription();
  ASSERT_NE(processed, nullptr);
  bar->setSelectedTranscription(processed);
  ASSERT_TRUE(w.h.vm->hasCachedSamples());
  const qsizetype segmentsBefore = processed->toResult().segments.size();
  VersionActions actions(*w.h.vm, *bar);
  QSignalSpy finished(&actions, &VersionActions::reprocessFinished);
  actions.reprocessAsNewVersion();
  ASSERT_TRUE(finished.size() == 1 || finished.wait(30000));
  const QStringList shown = names();
  ASSERT_EQ(shown.size(), 5);
  EXPECT_EQ(shown.last(), processed->name());  // the copy bears the selected version's name
  Transcription* copy = bar->tabsInOrder().last()->transcription();
  EXPECT_NE(copy, processed);
  EXPECT_EQ(bar->selectedTranscription(), copy);
  EXPECT_EQ(w.h.vm->currentTranscription(), copy);
  EXPECT_EQ(processed->toResult().segments.size(), segmentsBefore);
}

TEST(ReprocessDialogTest, EachButtonReportsItsChoiceOnceAndNothingCloses) {
  ReprocessDialog dialog;
  QSignalSpy created(&dialog, &ReprocessDialog::newVersionRequested);
  QSignalSpy overwritten(&dialog, &ReprocessDialog::overwriteRequested);
  QSignalSpy cancelled(&dialog, &ReprocessDialog::cancelRequested);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  // The empty space right of the texts is part of the option's face.
  QPushButton* option = dialog.newVersionButton();
  QTest::mouseClick(option, Qt::LeftButton, {}, QPoint(option->width() - 6, option->height() / 2));
  dialog.overwriteButton()->click();
  QTest::keyClick(&dialog, Qt::Key_Return);  // no default button
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_EQ(created.size(), 1);
  EXPECT_EQ(overwritten.size(), 1);
  EXPECT_EQ(cancelled.size(), 1);
  EXPECT_TRUE(dialog.isVisible());
}

}  // namespace
