// The results list driven as a user would: inline editing with its keys, speaker changes
// through the popover and the badge menu, and the figures above the list.

#include "Services/AudioPlayerService.h"
#include "Views/Shell/SidePanel.h"
#include "Views/Workspace/InlineTextEditor.h"
#include "Views/Workspace/ResultsView.h"
#include "Views/Workspace/SegmentListModel.h"
#include "Views/Workspace/SegmentListView.h"
#include "Views/Workspace/SegmentRowEditor.h"
#include "Views/Workspace/SpeakerEditPopover.h"
#include "app/Views/Workspace/ResultsViewFixture.h"

#include <QCheckBox>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace workspacetest;

namespace {

TEST_F(ResultsViewTest, ShowsTheStatisticsAndOneRowPerSegment) {
  EXPECT_EQ(view->listModel()->rowCount(), 3);
  EXPECT_EQ(view->statValue("Duration"), "0:20");
  EXPECT_EQ(view->statValue("Speakers"), "2");
  EXPECT_EQ(view->statValue("Segments"), "3");
  EXPECT_EQ(view->statValue("Speed"), "10x RT");
  EXPECT_EQ(view->processedText(), "Processed in 2.0s");
  EXPECT_EQ(view->listModel()->index(1).data(SegmentListModel::SpeakerNameRole).toString(), "Speaker 2");
  EXPECT_EQ(view->listModel()->index(0).data(SegmentListModel::TimeRangeRole).toString(),
            QString("00:00.000 \u2192 00:01.000"));
}

// The header and the side panel's Result say as many speakers as the rows have now, the figure
// Export All writes, after each edit: they said the number of when the transcript was made.
TEST_F(ResultsViewTest, TheSpeakerFiguresFollowEachEditAsExportAllDoes) {
  SidePanel panel(*w.h.vm);
  panel.show();
  w.h.vm->loadTranscription(w.addVersion(
      "one voice",
      {TranscribedSegment(0, 0, 1, "one"), TranscribedSegment(0, 1, 2, "two"), TranscribedSegment(0, 2, 3, "three")}));
  QDir().mkpath(w.h.path("all"));
  const auto figures = [&] {
    w.h.dialogs->nextPath = w.h.path("all");
    w.h.vm->exportAll();
    const auto json = nlohmann::json::parse(testsupport::readFile(w.h.path("all/talk.json").toStdString()));
    const QString text = QString::fromStdString(testsupport::readFile(w.h.path("all/talk.txt").toStdString()));
    // The header, the side panel, the JSON and the text file.
    return QStringList{view->statValue("Speakers"), panel.findChild<QLabel*>("resultSpeakers")->text(),
                       QString::number(json.at("metadata").at("speakerCount").get<qint64>()),
                       text.section("\nSpeakers: ", 1).section('\n', 0, 0)}
        .join(" ")
        .toStdString();
  };
  const auto everywhere = [](const char* count) { return QStringList(4, count).join(" ").toStdString(); };
  const auto popoverButton = [&](const QString& text) {
    for (QPushButton* b : list()->speakerPopover()->findChildren<QPushButton*>())
      if (b->text() == text) return b;
    ADD_FAILURE() << "no button " << text.toStdString();
    return list()->speakerPopover()->cancelButton();
  };
  ASSERT_EQ(figures(), everywhere("1"));

  click(1, Part::badge);  // this segment only, as the switch starts
  list()->speakerPopover()->addSpeakerButton()->click();
  ASSERT_EQ(w.speakerIds(), QList<qint64>({0, 1, 0}));
  EXPECT_EQ(figures(), everywhere("2"));
  click(1, Part::badge);  // undone: back to the first speaker
  popoverButton("Speaker 1")->click();
  list()->speakerPopover()->reassignButton()->click();
  ASSERT_EQ(w.speakerIds(), QList<qint64>({0, 0, 0}));
  EXPECT_EQ(figures(), everywhere("1"));

  click(1, Part::badge);
  list()->speakerPopover()->addSpeakerButton()->click();
  ASSERT_EQ(w.speakerIds(), QList<qint64>({0, 2, 0}));
  // A merge takes the new speaker's only segment.
  InlineTextEditor* editor = edit(1);
  caretAt(editor, 0);
  QTest::keyClick(editor, Qt::Key_Backspace);
  ASSERT_EQ(w.speakerIds(), QList<qint64>({0, 0}));
  EXPECT_EQ(figures(), everywhere("1"));

  click(1, Part::badge);
  list()->speakerPopover()->addSpeakerButton()->click();
  ASSERT_EQ(w.speakerIds(), QList<qint64>({0, 3}));
  EXPECT_EQ(figures(), everywhere("2"));
  std::unique_ptr<QMenu> menu(list()->buildSpeakerMenu(w.idAt(0), nullptr));
  action(menu->actions()[3]->menu(), "Speaker 4")->trigger();  // "Reassign ALL to"
  ASSERT_EQ(w.speakerIds(), QList<qint64>({3, 3}));
  EXPECT_EQ(figures(), everywhere("1"));
}

TEST_F(ResultsViewTest, ATextWithoutSpacesWrapsInsideItsRowInsteadOfRunningOut) {
  // One token four times as wide as the row, as a long address or identifier can be.
  const QString address = QString(400, QLatin1Char('x')) + "/end";
  w.h.vm->updateSegmentText(1, "see " + address);
  QApplication::processEvents();
  const QRect body = list()->partRect(w.idAt(1), Part::text);
  const QFontMetrics metrics(list()->font());
  const int lines = (metrics.horizontalAdvance(address) + body.width() - 1) / body.width();
  ASSERT_GE(lines, 2);
  EXPECT_GE(body.height(), lines * metrics.height());
  // The last line is drawn inside the row: ink in its band of the text column.
  const QImage shot = list()->viewport()->grab().toImage();
  const QColor fill = shot.pixelColor(body.right() - 1, body.bottom() - 1);
  int ink = 0;
  for (int y = body.bottom() - metrics.height() + 2; y < body.bottom(); ++y)
    for (int x = body.left(); x < body.left() + metrics.horizontalAdvance("x/end"); ++x)
      ink += shot.pixelColor(x, y) != fill;
  EXPECT_GT(ink, 10);
}

// Row heights are kept between layouts, but not across a change of the font: a larger one
// makes every row taller, its text and badge included.
TEST_F(ResultsViewTest, RowsGrowWithALargerFont) {
  const QModelIndex first = view->listModel()->index(0);
  const int before = list()->visualRect(first).height();
  QFont larger = list()->font();
  larger.setPointSizeF(larger.pointSizeF() * 2);
  list()->setFont(larger);
  QApplication::processEvents();
  EXPECT_GE(list()->visualRect(first).height(), before + QFontMetrics(list()->font()).height() / 2);
  EXPECT_GE(list()->partRect(w.idAt(0), Part::text).height(), QFontMetrics(larger).height());
}

// A negative id used to index the palette below its start.
TEST_F(ResultsViewTest, AnUnknownSpeakerIdShowsItsDefaultLabelInThePaletteColour) {
  const struct {
    qint64 id;
    const char* label;
    int colour;
  } cases[] = {{9, "Speaker 10", 1}, {-3, "Speaker -2", 5}};
  for (const auto& c : cases) {
    SegmentListModel model;
    model.setResult(TranscriptionResult({TranscribedSegment(c.id, 0, 1, "x")}, 1, 0));
    EXPECT_EQ(model.index(0).data(SegmentListModel::SpeakerNameRole).toString(), c.label);
    EXPECT_EQ(model.index(0).data(SegmentListModel::SpeakerColorRole).value<QColor>(),
              Speaker::defaultColors()[c.colour])
        << c.id;
  }
}

TEST_F(ResultsViewTest, FocusLossSavesAChangedTextAndNothingWhenUnchanged) {
  InlineTextEditor* editor = edit(1);
  ASSERT_NE(editor, nullptr);
  EXPECT_TRUE(editor->hasFocus());
  EXPECT_EQ(editor->textCursor().position(), 5);  // the caret starts after the text
  editor->setPlainText("three ");                 // a trailing space is a change
  list()->setFocus();
  EXPECT_EQ(w.texts(), QStringList({"one two", "three ", "four"}));
  EXPECT_EQ(list()->activeEditor(), nullptr);
  EXPECT_TRUE(w.h.vm->hasUnsavedChanges());

  w.h.vm->saveCurrentTranscription();
  edit(0);
  list()->setFocus();
  EXPECT_FALSE(w.h.vm->hasUnsavedChanges());
}

TEST_F(ResultsViewTest, ReturnSplitsAtTheCaretCountedInCharacters) {
  // The emoji is one character of two UTF-16 units, "é" spelt e + combining accent one of two
  // code points: the caret after "caés" is 8 units, 7 code points and 6 characters in.
  w.h.vm->updateSegmentText(0, QString::fromUtf8("\U0001F600 cae\u0301sar"));
  InlineTextEditor* editor = edit(0);
  caretAt(editor, 8);
  QTest::keyClick(editor, Qt::Key_Return, Qt::ShiftModifier);
  ASSERT_EQ(w.texts().size(), 4);
  EXPECT_EQ(w.texts()[0], QString::fromUtf8("\U0001F600 cae\u0301s"));
  EXPECT_EQ(w.texts()[1], "ar");
  EXPECT_EQ(list()->activeEditor(), nullptr);
}

// Return at the end (or the start) of the text made an empty, zero-length segment.
TEST_F(ResultsViewTest, ReturnAtTheStartOrTheEndSplitsNothingAndKeepsTheTypedText) {
  for (const char* typed : {"three and more", "three again"}) {
    SCOPED_TRACE(typed);
    InlineTextEditor* editor = edit(1);
    editor->setPlainText(typed);
    caretAt(editor, QString(typed).startsWith("three and") ? int(strlen(typed)) : 0);
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_EQ(w.texts(), QStringList({"one two", typed, "four"}));
    EXPECT_EQ(list()->activeEditor(), nullptr);
    EXPECT_TRUE(w.h.vm->hasUnsavedChanges());
    w.h.vm->saveCurrentTranscription();
  }
}

TEST_F(ResultsViewTest, EscapeCancelsAndSendsNothing) {
  InlineTextEditor* editor = edit(2);
  editor->setPlainText("changed");
  QTest::keyClick(editor, Qt::Key_Escape);
  QApplication::processEvents();
  EXPECT_EQ(w.texts(), QStringList({"one two", "three", "four"}));
  EXPECT_FALSE(w.h.vm->hasUnsavedChanges());
}

TEST_F(ResultsViewTest, BackspaceAtTheStartMergesWithThePreviousSegment) {
  InlineTextEditor* editor = edit(2);
  editor->setPlainText("FOUR");
  caretAt(editor, 0);
  QTest::keyClick(editor, Qt::Key_Backspace);
  ASSERT_EQ(w.texts().size(), 2);
  EXPECT_EQ(w.texts()[1], "three FOUR");

  // With a selection Backspace deletes as usual.
  editor = edit(0);
  QTextCursor c = editor->textCursor();
  c.setPosition(0);
  c.setPosition(4, QTextCursor::KeepAnchor);
  editor->setTextCursor(c);
  QTest::keyClick(editor, Qt::Key_Backspace);
  EXPECT_EQ(editor->toPlainText(), "two");
  EXPECT_EQ(w.texts().size(), 2);
}

// The first row has nothing before it to merge into: the merge is refused, and what was typed
// there stays in the row as an edit. It was thrown away (the row showed its old text again).
TEST_F(ResultsViewTest, BackspaceAtTheStartOfTheFirstRowKeepsWhatWasTyped) {
  InlineTextEditor* editor = edit(0);
  ASSERT_NE(editor, nullptr);
  QTest::keyClicks(editor, " and more");
  QTest::keyClick(editor, Qt::Key_Home);
  QTest::keyClick(editor, Qt::Key_Backspace);
  EXPECT_TRUE(w.h.logged("Merge failed: cannot merge first segment"));
  EXPECT_EQ(list()->activeEditor(), nullptr);
  EXPECT_EQ(w.texts(), QStringList({"one two and more", "three", "four"}));
  EXPECT_EQ(view->listModel()->segmentAt(0)->text, "one two and more");
  EXPECT_TRUE(w.h.vm->hasUnsavedChanges());
  w.h.vm->saveCurrentTranscription();
  EXPECT_EQ(w.h.storedTexts(version->id()), QStringList({"one two and more", "three", "four"}));

  // Backspace held from inside the text: it clears up to the start, then the editor closes
  // on the refused merge, and the keys that follow reach the list, which deletes nothing.
  editor = edit(0);
  caretAt(editor, 4);
  for (int i = 0; i < 8; ++i) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
  EXPECT_EQ(list()->activeEditor(), nullptr);
  EXPECT_EQ(w.texts(), QStringList({"two and more", "three", "four"}));
  w.h.vm->saveCurrentTranscription();
  EXPECT_EQ(w.h.storedTexts(version->id()).value(0), "two and more");

  // Unchanged, the refusal is no edit.
  edit(0);
  caretAt(list()->activeEditor()->editor(), 0);
  QTest::keyClick(list()->activeEditor()->editor(), Qt::Key_Backspace);
  EXPECT_EQ(list()->activeEditor(), nullptr);
  EXPECT_FALSE(w.h.vm->hasUnsavedChanges());
}

// The list going on its own from its window (its owner commits first, normally) with an editor
// open, focused and typed into: the field loses the focus as the widgets go, and what it would
// then send must reach nothing of the list being taken apart (it crashed).
TEST_F(ResultsViewTest, AListThatGoesAloneWithAnOpenEditorSendsNothingIntoItself) {
  SegmentListModel model;
  model.setResult(*w.h.vm->state().result());
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* alone = new SegmentListView(&model, &window);
  layout->addWidget(alone);
  layout->addWidget(new QLineEdit(&window));
  window.resize(600, 400);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  int sent = 0;
  QObject receiver;
  for (auto signal : {&SegmentListView::textChangeRequested, &SegmentListView::mergeRequested})
    QObject::connect(alone, signal, &receiver, [&sent] { ++sent; });
  QObject::connect(alone, &SegmentListView::splitRequested, &receiver, [&sent] { ++sent; });
  alone->startEditing(w.idAt(1));
  ASSERT_NE(alone->activeEditor(), nullptr);
  QPointer<InlineTextEditor> field = alone->activeEditor()->editor();
  ASSERT_TRUE(field->hasFocus());
  QTest::keyClicks(field, " typed");
  delete alone;
  QApplication::processEvents();
  EXPECT_TRUE(field.isNull());
  EXPECT_EQ(sent, 0);
}

// A focus-out commit after Return, Escape or a merge wrote the stale editor text into the
// segment that then sat at the edited row's index.
TEST_F(ResultsViewTest, EachEditingSessionEndsOnceWhateverFocusDoesAfterwards) {
  struct Case {
    const char* name;
    std::function<void(InlineTextEditor*)> end;
    QStringList expected;
  };
  const std::vector<Case> cases = {
      {"split",
       [](InlineTextEditor* e) {
         caretAt(e, 3);
         QTest::keyClick(e, Qt::Key_Return);
       },
       {"one two", "thr", "ee", "four"}},
      {"merge",
       [](InlineTextEditor* e) {
         caretAt(e, 0);
         QTest::keyClick(e, Qt::Key_Backspace);
       },
       {"one two three", "four"}},
      {"cancel",
       [](InlineTextEditor* e) {
         e->setPlainText("stale");
         QTest::keyClick(e, Qt::Key_Escape);
       },
       {"one two", "three", "four"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    view.reset();
    Transcription* fresh = w.addVersion(c.name, Workspace::threeSegments());
    w.h.vm->loadTranscription(fresh);
    view = std::make_unique<ResultsView>(*w.h.vm, playertest::pageHost);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    InlineTextEditor* editor = edit(1);
    ASSERT_NE(editor, nullptr);
    QPointer<InlineTextEditor> guard = editor;
    c.end(editor);
    // Whatever the field still does when it goes away sends nothing more.
    if (guard) {
      QFocusEvent out(QEvent::FocusOut, Qt::MouseFocusReason);
      QApplication::sendEvent(guard, &out);
    }
    QApplication::processEvents();
    EXPECT_EQ(w.texts(), c.expected);
  }
}

TEST_F(ResultsViewTest, SaveAndCancelButtonsEndTheSessionWithoutAFocusCommit) {
  InlineTextEditor* editor = edit(0);
  editor->setPlainText("edited");
  QTest::mouseClick(list()->activeEditor()->cancelButton(), Qt::LeftButton);
  EXPECT_EQ(w.texts()[0], "one two");
  editor = edit(0);
  editor->setPlainText("edited");
  QTest::mouseClick(list()->activeEditor()->saveButton(), Qt::LeftButton);
  EXPECT_EQ(w.texts()[0], "edited");
}

TEST_F(ResultsViewTest, DoubleClickOnTheTextAndTheEditButtonOpenTheEditor) {
  QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, centre(1, Part::text));
  ASSERT_NE(list()->activeEditor(), nullptr);
  EXPECT_EQ(list()->activeEditor()->segmentId(), w.idAt(1));
  list()->commitPendingEdit();
  click(2, Part::edit);
  ASSERT_NE(list()->activeEditor(), nullptr);
  EXPECT_EQ(list()->activeEditor()->segmentId(), w.idAt(2));
}

TEST_F(ResultsViewTest, PopoverRenamesAndReassignsPerTheSharedSwitch) {
  click(0, Part::badge);
  SpeakerEditPopover* popover = list()->speakerPopover();
  ASSERT_NE(popover, nullptr);
  EXPECT_EQ(popover->nameField()->text(), "Speaker 1");
  EXPECT_FALSE(popover->saveButton()->isEnabled());
  ASSERT_EQ(popover->speakerButtons().size(), 1);  // only the other speaker
  EXPECT_FALSE(popover->reassignButton()->isVisible());
  popover->nameField()->setText("  ");
  EXPECT_TRUE(popover->saveButton()->isEnabled());  // blanks can be saved
  popover->nameField()->setText("Ann");
  QTest::keyClick(popover->nameField(), Qt::Key_Return);  // Return saves nothing
  EXPECT_EQ(list()->speakerPopover(), popover);
  popover->saveButton()->click();
  EXPECT_EQ(list()->speakerPopover(), nullptr);
  EXPECT_EQ(view->listModel()->index(2).data(SegmentListModel::SpeakerNameRole).toString(), "Ann");

  // Switch on: this segment only; off: every segment of the speaker.
  click(0, Part::badge);
  popover = list()->speakerPopover();
  popover->speakerButtons()[0]->click();
  EXPECT_EQ(popover->reassignButton()->text(), "Reassign This Segment");
  popover->reassignButton()->click();
  EXPECT_EQ(w.speakerIds(), QList<qint64>({1, 1, 0}));

  click(1, Part::badge);
  popover = list()->speakerPopover();
  popover->applySwitch()->setChecked(false);
  EXPECT_FALSE(w.h.vm->reassignToThisSegmentOnly());
  popover->speakerButtons()[0]->click();
  EXPECT_EQ(popover->reassignButton()->text(), "Reassign All Segments");
  popover->reassignButton()->click();
  EXPECT_EQ(w.speakerIds(), QList<qint64>({0, 0, 0}));
}

TEST_F(ResultsViewTest, PopoverAddNewSpeakerMovesThisSegmentOrAllOfItsSpeaker) {
  click(0, Part::badge);
  list()->speakerPopover()->addSpeakerButton()->click();
  EXPECT_EQ(w.speakerIds(), QList<qint64>({2, 1, 0}));
  w.h.vm->setReassignToThisSegmentOnly(false);
  click(2, Part::badge);
  EXPECT_FALSE(list()->speakerPopover()->applySwitch()->isChecked());
  list()->speakerPopover()->addSpeakerButton()->click();
  EXPECT_EQ(w.speakerIds(), QList<qint64>({2, 1, 3}));
}

TEST_F(ResultsViewTest, BadgeMenusIgnoreTheSwitch) {
  std::unique_ptr<QMenu> menu(list()->buildSpeakerMenu(w.idAt(0), nullptr));
  QStringList top;
  for (QAction* a : menu->actions()) top << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(top, QStringList({"Rename Speaker...", "-", "Reassign to", "Reassign ALL to"}));
  action(menu->actions()[3]->menu(), "Speaker 2")->trigger();  // ALL, though the switch is on
  EXPECT_EQ(w.speakerIds(), QList<qint64>({1, 1, 1}));

  menu.reset(list()->buildSpeakerMenu(w.idAt(1), nullptr));
  QMenu* one = menu->actions()[2]->menu();
  EXPECT_EQ(one->actions().last()->text(), "New Speaker...");
  EXPECT_TRUE(one->actions()[one->actions().size() - 2]->isSeparator());
  action(one, "New Speaker...")->trigger();
  EXPECT_EQ(w.speakerIds(), QList<qint64>({1, 2, 1}));
}

TEST_F(ResultsViewTest, TheKeyboardOpensTheSpeakerPopoverAndTheReassignMenuOnTheCurrentRow) {
  list()->setFocus(Qt::TabFocusReason);
  list()->setCurrentIndex(view->listModel()->index(0));
  QTest::keyClick(list(), Qt::Key_Down);
  // The menu key: the row's menu, then the badge's entries.
  auto openMenu = [&](Qt::Key key, Qt::KeyboardModifiers modifiers) {
    QTest::keyClick(list(), key, modifiers);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    EXPECT_NE(menu, nullptr);
    return menu;
  };
  QMenu* menu = openMenu(Qt::Key_Menu, Qt::NoModifier);
  ASSERT_NE(menu, nullptr);
  QStringList entries;
  for (QAction* a : menu->actions()) entries << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(entries, QStringList({"Play from here", "-", "Re-transcribe Segment", "-", "Edit Text", "-",
                                  "Rename Speaker...", "-", "Reassign to", "Reassign ALL to"}));
  action(menu, "Rename Speaker...")->trigger();
  menu->close();
  ASSERT_NE(list()->speakerPopover(), nullptr);
  EXPECT_EQ(list()->speakerPopover()->nameField()->text(), "Speaker 2");  // the second row's speaker
  list()->speakerPopover()->cancelButton()->click();

  menu = openMenu(Qt::Key_F10, Qt::ShiftModifier);
  ASSERT_NE(menu, nullptr);
  action(menu, "Speaker 1")->trigger();  // "Reassign to"
  menu->close();
  EXPECT_EQ(w.speakerIds(), QList<qint64>({0, 0, 0}));
}

TEST_F(ResultsViewTest, EachPaintedButtonHasItsTooltipAndTheRowSaysWhatItsKeysDo) {
  const struct {
    Part part;
    const char* tip;
  } parts[] = {{Part::play, "Play from here"},
               {Part::badge, "Edit speaker or reassign"},
               {Part::retranscribe, "Re-transcribe this segment"},
               {Part::edit, "Edit text"}};
  for (const auto& p : parts) {
    const QPoint at = centre(1, p.part);
    QHelpEvent help(QEvent::ToolTip, at, list()->viewport()->mapToGlobal(at));
    QApplication::sendEvent(list()->viewport(), &help);
    EXPECT_EQ(QToolTip::text(), p.tip);
  }
  const QString description = view->listModel()->index(1).data(Qt::AccessibleDescriptionRole).toString();
  for (const char* named : {"Play from here: Space", "Edit text: Return", "Re-transcribe this segment",
                            "edit speaker or reassign: the menu key"})
    EXPECT_TRUE(description.contains(named)) << description.toStdString();
  QToolTip::hideText();
}

TEST_F(ResultsViewTest, ATranslationTabIsReadOnly) {
  auto* translation = w.addVersion("French", Workspace::threeSegments());
  translation->setIsTranslation(true);
  translation->setSourceTranscription(version);
  w.h.context->save();
  w.h.vm->setActiveTab(ContentTab::translation(translation));
  EXPECT_TRUE(list()->isReadOnly());
  list()->startEditing(view->listModel()->segmentAt(0)->id);
  EXPECT_EQ(list()->activeEditor(), nullptr);
  click(0, Part::badge);
  EXPECT_EQ(list()->speakerPopover(), nullptr);
  w.h.vm->setActiveTab(ContentTab::original());
  EXPECT_FALSE(list()->isReadOnly());
}

TEST_F(ResultsViewTest, NewFileSavesAnOpenEditAndStopsPlaybackBeforeTheReset) {
  QSignalSpy reset(view.get(), &ResultsView::resetRequested);
  InlineTextEditor* editor = edit(0);
  editor->setPlainText("kept");
  view->newFileButton()->click();
  EXPECT_EQ(reset.size(), 1);
  EXPECT_FALSE(w.h.vm->audioPlayer().isLoaded());
  EXPECT_EQ(version->toResult().segments[0].text, "kept");
}

TEST_F(ResultsViewTest, ExportMenuListsThreeFormatsThenExportAll) {
  QStringList entries;
  for (QAction* a : view->exportButton()->menu()->actions()) entries << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(entries,
            QStringList({"Plain Text (.txt)", "Subtitles (.srt)", "JSON (.json)", "-", "Export All Formats..."}));
}

}  // namespace
