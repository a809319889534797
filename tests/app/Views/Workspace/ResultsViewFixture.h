#pragma once

// The results view over the three-segment workspace, shown in a window of a desktop's size, and
// the ways its tests act on the rows.

#include "Views/Workspace/InlineTextEditor.h"
#include "Views/Workspace/ResultsView.h"
#include "Views/Workspace/SegmentListView.h"
#include "Views/Workspace/SegmentRowEditor.h"
#include "app/Views/Player/PlayerPageStandIn.h"
#include "app/Views/Workspace/WorkspaceTestSupport.h"

#include <QMenu>
#include <QTest>

#include <gtest/gtest.h>

namespace workspacetest {

using Part = SegmentRowDelegate::Part;

class ResultsViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    version = w.showThree();
    view = std::make_unique<ResultsView>(*w.h.vm, playertest::pageHost);
    view->resize(900, 600);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    list()->setFollowDelay(40);
    list()->setScrollAnimationDuration(0);
  }

  SegmentListView* list() const { return view->listView(); }
  QPoint centre(int row, Part part) const { return list()->partRect(w.idAt(row), part).center(); }
  void click(int row, Part part) { QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, centre(row, part)); }

  InlineTextEditor* edit(int row) {
    list()->startEditing(w.idAt(row));
    SegmentRowEditor* editor = list()->activeEditor();
    return editor ? editor->editor() : nullptr;
  }
  static void caretAt(InlineTextEditor* editor, int position) {
    QTextCursor c = editor->textCursor();
    c.setPosition(position);
    editor->setTextCursor(c);
  }
  QAction* action(QMenu* menu, const QString& text) {
    for (QAction* a : menu->actions()) {
      if (a->text() == text) return a;
      if (a->menu())
        if (QAction* inner = action(a->menu(), text)) return inner;
    }
    return nullptr;
  }

  Workspace w;
  Transcription* version = nullptr;
  std::unique_ptr<ResultsView> view;
};

}  // namespace workspacetest
