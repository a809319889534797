// The speakers panel: rows kept by id, renaming in place, adding a speaker.

#include "Views/Workspace/AppLogo.h"
#include "Views/Workspace/SpeakerRowView.h"
#include "Views/Workspace/SpeakersPanel.h"
#include "app/Views/Workspace/WorkspaceTestSupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace workspacetest;

namespace {

class SpeakersPanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    version = w.showThree();
    panel = std::make_unique<SpeakersPanel>(*w.h.vm);
    panel->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(panel.get()));
  }
  QStringList labels() const {
    QStringList out;
    for (auto* row : panel->rowsInOrder()) out << row->nameLabel()->text() + " / " + row->statsLabel()->text();
    return out;
  }
  Workspace w;
  Transcription* version = nullptr;
  std::unique_ptr<SpeakersPanel> panel;
};

TEST_F(SpeakersPanelTest, ListsSpeakersWithTheirStatistics) {
  EXPECT_EQ(labels(), QStringList({"Speaker 1 / 2 segments, 0:02", "Speaker 2 / 1 segments, 0:01"}));
  EXPECT_FALSE(panel->emptyLabel()->isVisible());
  EXPECT_TRUE(panel->addButton()->isEnabled());
}

TEST_F(SpeakersPanelTest, RenameTrimsOnReturnKeepsOnEmptyAndEscapeChangesNothing) {
  SpeakerRowView* row = panel->rowFor(1);
  panel->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(panel.get()));
  // What is typed after the pencil goes into its field, over the old name.
  QTest::mouseClick(row->pencil(), Qt::LeftButton);
  EXPECT_EQ(row->nameField()->text(), "Speaker 2");
  ASSERT_EQ(QApplication::focusWidget(), row->nameField());
  QTest::keyClicks(QApplication::focusWidget(), "  Bo  ");
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_EQ(w.h.vm->speakers()[1].customName, "Bo");
  EXPECT_EQ(row->nameLabel()->text(), "Bo");
  EXPECT_EQ(row->nameLabel()->font().weight(), QFont::Medium);

  panel->startEditing(1);
  row->nameField()->clear();
  QTest::keyClick(row->nameField(), Qt::Key_Return);
  EXPECT_EQ(w.h.vm->speakers()[1].customName, "Bo");

  panel->startEditing(1);
  row->nameField()->setText("Zed");
  QTest::keyClick(row->nameField(), Qt::Key_Escape);
  EXPECT_EQ(w.h.vm->speakers()[1].customName, "Bo");
  EXPECT_FALSE(panel->editingSpeakerId().has_value());

  // Only blanks remove the custom name.
  panel->startEditing(1);
  row->nameField()->setText("   ");
  QTest::keyClick(row->nameField(), Qt::Key_Return);
  EXPECT_EQ(w.h.vm->speakers()[1].customName, std::nullopt);
  EXPECT_EQ(row->nameLabel()->text(), "Speaker 2");
}

TEST_F(SpeakersPanelTest, OpeningAnotherRowDropsTheFirstRowsText) {
  panel->startEditing(0);
  panel->rowFor(0)->nameField()->setText("typed");
  panel->startEditing(1);
  EXPECT_FALSE(panel->rowFor(0)->isEditing());
  EXPECT_EQ(w.h.vm->speakers()[0].customName, std::nullopt);
}

// Rebuilding the panel on every playback tick killed an open rename field.
TEST_F(SpeakersPanelTest, PlaybackAndEditsKeepRowsAndAnOpenField) {
  SpeakerRowView* row = panel->rowFor(0);
  panel->startEditing(0);
  row->nameField()->setText("half typ");
  w.h.vm->seekToSegment(2);
  w.h.vm->updateSegmentText(1, "changed elsewhere");
  QApplication::processEvents();
  EXPECT_EQ(panel->rowFor(0), row);
  EXPECT_TRUE(row->isEditing());
  EXPECT_EQ(row->nameField()->text(), "half typ");
}

TEST_F(SpeakersPanelTest, AddSpeakerTakesTheNextIdAndIsDisabledOutsideCompleted) {
  panel->addButton()->click();
  EXPECT_EQ(labels().last(), "Speaker 3 / 0 segments, 0:00");
  EXPECT_FALSE(panel->rowFor(2)->isEditing());

  // A translation's tab is read-only: it added "Speaker 4 / 0 segments" there.
  auto* translation = w.addVersion("French", Workspace::threeSegments());
  translation->setIsTranslation(true);
  translation->setSourceTranscription(version);
  w.h.context->save();
  w.h.vm->setActiveTab(ContentTab::translation(translation));
  const QStringList shown = labels();
  EXPECT_FALSE(panel->addButton()->isEnabled());
  panel->addButton()->click();
  EXPECT_EQ(labels(), shown);
  w.h.vm->setActiveTab(ContentTab::original());
  EXPECT_TRUE(panel->addButton()->isEnabled());

  w.h.vm->clearResult();
  EXPECT_FALSE(panel->addButton()->isEnabled());
}

TEST(SpeakerRowViewTest, DurationsHaveNoHourField) {
  const std::vector<std::pair<double, const char*>> cases = {
      {0, "0:00"}, {59.9, "0:59"}, {65.9, "1:05"}, {3725, "62:05"}};
  for (auto [seconds, text] : cases) EXPECT_EQ(SpeakerRowView::formatDuration(seconds), text) << seconds;
  EXPECT_EQ(SpeakerRowView::statsText(1, 7.2), "1 segments, 0:07");
}

TEST(AppLogoTest, FallsBackToTheSymbolWhenTheLogoCannotBeRead) {
  testsupport::TempDir dir{"pv-logo"};
  const QString broken = QString::fromStdString((dir.path() / "broken.svg").string());
  QFile f(broken);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("not an image");
  f.close();
  EXPECT_TRUE(AppLogo(100).showsLogo());
  EXPECT_FALSE(AppLogo(100, broken).showsLogo());
  EXPECT_FALSE(AppLogo(100, "/nonexistent/parlowvista_logo.svg").showsLogo());
  EXPECT_EQ(AppLogo(80).size(), QSize(80, 80));
}

}  // namespace
