#include "Views/Library/AddGroupSheet.h"
#include "Views/Library/GroupListModel.h"
#include "Views/Library/GroupsSidebar.h"
#include "Views/Library/LibrarySelection.h"
#include "app/Services/LibraryTestSupport.h"
#include "app/Views/Library/LibraryViewTestSupport.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QLineEdit>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

using namespace parlowvista;

namespace {

class GroupsSidebarTest : public testsupport::LibraryFixture {
 protected:
  void SetUp() override {
    LibraryFixture::SetUp();
    general = group("General", 0);
    talks = group("Talks", 1);
    selection = std::make_unique<LibrarySelection>(*context);
  }

  std::unique_ptr<GroupsSidebar> makeSidebar() {
    LibraryPrompts prompts;
    prompts.confirmDelete = [this](QWidget*, const QString& title, const QString& message) {
      asked << title + "|" + message;
      return answer;
    };
    auto sidebar = std::make_unique<GroupsSidebar>(*context, *actions, *settings, *selection, prompts);
    sidebar->resize(240, 400);
    sidebar->show();
    return sidebar;
  }

  // The store tells its views of changes on the next event-loop turn, and an editor commits
  // on the turn after its key.
  static void settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // a closed field is gone
  }

  QStringList rows(GroupsSidebar& sidebar) {
    QStringList result;
    for (int row = 0; row < sidebar.model()->rowCount(); ++row) result << sidebar.model()->index(row).data().toString();
    return result;
  }

  TranscriptGroup* general = nullptr;
  TranscriptGroup* talks = nullptr;
  std::unique_ptr<LibrarySelection> selection;
  QStringList asked;
  bool answer = true;
};

}  // namespace

TEST_F(GroupsSidebarTest, InitialSelectionPrefersTheLastUsedGroupAndWritesNoSetting) {
  settings->setLastUsedGroupId(talks->id());
  auto sidebar = makeSidebar();
  EXPECT_EQ(selection->group(), talks);

  auto stale = std::make_unique<LibrarySelection>(*context);
  selection = std::move(stale);
  settings->setLastUsedGroupId(QUuid::createUuid());  // names no group
  auto fresh = makeSidebar();
  EXPECT_EQ(selection->group(), general);
  EXPECT_NE(settings->lastUsedGroupId(), general->id());
}

TEST_F(GroupsSidebarTest, ChoosingAGroupWithTheKeyboardRecordsItAsLastUsed) {
  auto sidebar = makeSidebar();
  ASSERT_EQ(selection->group(), general);
  sidebar->listView()->setFocus();
  QTest::keyClick(sidebar->listView(), Qt::Key_Down);
  EXPECT_EQ(selection->group(), talks);
  EXPECT_EQ(settings->lastUsedGroupId(), talks->id());
  QTest::keyClick(sidebar->listView(), Qt::Key_Up);
  EXPECT_EQ(settings->lastUsedGroupId(), general->id());
}

TEST_F(GroupsSidebarTest, TheNewGroupSheetAddsSelectsAndStaysOpenForBlankNames) {
  auto sidebar = makeSidebar();
  QTest::mouseClick(sidebar->addButton(), Qt::LeftButton);
  AddGroupSheet* sheet = sidebar->addGroupSheet();
  ASSERT_TRUE(sheet && sheet->isVisible());
  EXPECT_FALSE(sheet->addButton()->isEnabled());
  sheet->nameField()->setText(" \t ");
  EXPECT_FALSE(sheet->addButton()->isEnabled());
  sheet->nameField()->setText("\n");  // passes the sheet, refused by the store road
  sheet->addButton()->click();
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_EQ(rows(*sidebar).size(), 2);

  sheet->nameField()->setText("  Lectures ");
  QTest::keyClick(sheet->nameField(), Qt::Key_Return);
  settle();
  EXPECT_FALSE(sheet->isVisible());
  EXPECT_EQ(rows(*sidebar), (QStringList{"General", "Talks", "Lectures"}));
  ASSERT_TRUE(selection->group());
  EXPECT_EQ(selection->group()->name(), "Lectures");
  EXPECT_EQ(settings->lastUsedGroupId(), selection->group()->id());
  EXPECT_EQ(sidebar->listView()->currentIndex().row(), 2);

  sidebar->showAddGroupSheet();  // opens empty again
  EXPECT_TRUE(sheet->nameField()->text().isEmpty());
  QTest::keyClick(sheet, Qt::Key_Escape);
  EXPECT_FALSE(sheet->isVisible());
}

TEST_F(GroupsSidebarTest, RenameInPlaceEndsOnlyWithReturnOrEscape) {
  auto sidebar = makeSidebar();
  QSignalSpy reset(sidebar->model(), &QAbstractItemModel::modelReset);
  QSignalSpy changed(sidebar->model(), &QAbstractItemModel::dataChanged);
  sidebar->startRename(talks);
  auto* editor = sidebar->listView()->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr);
  editor->setText("Podcasts ");
  QTest::keyClick(editor, Qt::Key_Return);
  settle();
  EXPECT_EQ(talks->name(), "Podcasts");
  EXPECT_EQ(changed.count(), 1);  // the name and the time of the change: told once
  for (const auto& args : changed) EXPECT_EQ(args.at(0).toModelIndex().row(), 1);  // one row only
  EXPECT_EQ(reset.count(), 0);

  sidebar->startRename(talks);
  editor = sidebar->listView()->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr);
  editor->setText("Nope");
  QTest::keyClick(editor, Qt::Key_Escape);
  settle();
  EXPECT_EQ(talks->name(), "Podcasts");

  // Leaving the field ends nothing: with the focus on the list, on another row that a click
  // chose, or while the row's count changes, the field stays with what was typed, and Return
  // there renames then.
  sidebar->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(sidebar.get()));
  sidebar->startRename(talks);
  QPointer<QLineEdit> field = sidebar->renameField();
  ASSERT_NE(field, nullptr);
  field->setText("Lectures");
  ASSERT_TRUE(field->hasFocus());
  QListView* list = sidebar->listView();
  list->setFocus();
  settle();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(sidebar->model()->index(0)).center());
  settle();
  EXPECT_EQ(selection->group(), general);  // the click still chooses its row
  source(talks, file("Talks/new.wav"));
  settle();
  ASSERT_NE(field, nullptr);
  EXPECT_TRUE(field->isVisible());
  EXPECT_EQ(field->text(), "Lectures");
  EXPECT_EQ(talks->name(), "Podcasts");
  field->setFocus();
  QTest::keyClick(field, Qt::Key_Return);
  settle();
  EXPECT_EQ(talks->name(), "Lectures");
  EXPECT_EQ(field, nullptr);
  EXPECT_EQ(sidebar->renameField(), nullptr);

  // "Rename" on another row moves the field there and drops what was typed in the first.
  sidebar->startRename(talks);
  sidebar->renameField()->setText("Dropped");
  sidebar->startRename(general);
  settle();
  ASSERT_NE(sidebar->renameField(), nullptr);
  EXPECT_EQ(sidebar->renameField()->text(), "General");
  EXPECT_EQ(list->findChildren<QLineEdit*>().size(), 1);
  QTest::keyClick(sidebar->renameField(), Qt::Key_Escape);
  settle();
  EXPECT_EQ(talks->name(), "Lectures");
  EXPECT_EQ(general->name(), "General");
}

TEST_F(GroupsSidebarTest, DraggingARowRenumbersTheGroupsAndMovesTheRow) {
  auto sidebar = makeSidebar();
  TranscriptGroup* third = group("Third", 2);
  settle();
  QSignalSpy moved(sidebar->model(), &QAbstractItemModel::rowsMoved);
  EXPECT_TRUE(sidebar->model()->moveRow({}, 2, {}, 0));  // what the list view's internal move calls
  settle();
  EXPECT_EQ(rows(*sidebar), (QStringList{"Third", "General", "Talks"}));
  EXPECT_EQ(third->sortOrder(), 0);
  EXPECT_EQ(talks->sortOrder(), 2);
  EXPECT_GE(moved.count(), 1);
  EXPECT_EQ(selection->group(), general);
  EXPECT_EQ(sidebar->listView()->currentIndex().row(), 1);  // the selection follows its row
}

TEST_F(GroupsSidebarTest, DeletingAsksFirstThenMovesTheSelectionAway) {
  auto sidebar = makeSidebar();
  answer = false;
  sidebar->requestDelete(general);
  EXPECT_FALSE(general->isDeleted());
  ASSERT_EQ(asked.size(), 1);
  EXPECT_EQ(asked[0], "Delete Group?|Delete \"General\" and all its transcriptions? This cannot be undone.");

  answer = true;
  sidebar->requestDelete(general);
  settle();
  EXPECT_EQ(rows(*sidebar), (QStringList{"Talks"}));
  EXPECT_EQ(selection->group(), talks);
  EXPECT_EQ(sidebar->listView()->currentIndex().row(), 0);
  sidebar->requestDelete(talks);
  settle();
  EXPECT_EQ(selection->group(), nullptr);
  EXPECT_EQ(sidebar->model()->rowCount(), 0);
}

// Rename and Delete from the row's context menu, as a person picks them.
TEST_F(GroupsSidebarTest, TheContextMenuRenamesAndDeletes) {
  auto sidebar = makeSidebar();
  QListView* list = sidebar->listView();
  const auto pick = [&](int row, const QString& entry) {
    librarytest::pickFromMenu(
        [&] { emit list->customContextMenuRequested(list->visualRect(sidebar->model()->index(row)).center()); }, entry);
  };

  pick(1, "Rename");
  auto* editor = list->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->window()->focusWidget(), editor);  // stays open, ready for typing
  editor->selectAll();
  QTest::keyClicks(editor, "Podcasts");
  QTest::keyClick(editor, Qt::Key_Return);
  settle();
  EXPECT_EQ(talks->name(), "Podcasts");

  // A deleted group is freed once the deletion is saved: the library is asked by id.
  const QUuid generalId = general->id();
  pick(0, "Delete");
  ASSERT_EQ(asked.size(), 1);
  EXPECT_EQ(context->find<TranscriptGroup>(generalId), nullptr);
  EXPECT_EQ(rows(*sidebar), (QStringList{"Podcasts"}));
}

TEST_F(GroupsSidebarTest, AGroupTheHostAlreadyHoldsShowsAsChosen) {
  selection->setGroup(talks);
  auto sidebar = makeSidebar();
  EXPECT_EQ(sidebar->listView()->currentIndex().row(), 1);
  EXPECT_TRUE(sidebar->listView()->selectionModel()->isRowSelected(1));
  EXPECT_FALSE(settings->lastUsedGroupId().has_value());  // showing it is not choosing it
}
