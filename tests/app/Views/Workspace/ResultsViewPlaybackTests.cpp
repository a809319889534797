// Playback from the results view: play from a row, the row the clock highlights, the debounced
// scroll that follows playback, and the position slider above the list.

#include "Services/AudioPlayerService.h"
#include "Views/Workspace/AudioBar.h"
#include "Views/Workspace/SegmentListModel.h"
#include "app/Views/Workspace/ResultsViewFixture.h"

#include <QLabel>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace workspacetest;

namespace {

TEST_F(ResultsViewTest, PlayFromHereSeeksToAnotherRowAndTogglesTheCurrentOne) {
  AudioPlayerService& player = w.h.vm->audioPlayer();
  ASSERT_TRUE(testsupport::waitUntil([&] { return player.isLoaded(); }, 10000));
  click(2, Part::play);
  EXPECT_DOUBLE_EQ(player.currentTime(), 2.0);
  EXPECT_TRUE(player.isPlaying());
  ASSERT_TRUE(testsupport::waitUntil([&] { return w.h.vm->currentSegmentIndex() == 2; }, 5000));
  click(2, Part::play);
  EXPECT_FALSE(player.isPlaying());
  const double pausedAt = player.currentTime();
  click(2, Part::play);  // resumes where it stopped
  EXPECT_TRUE(player.isPlaying());
  EXPECT_GE(player.currentTime(), pausedAt);

  // Played to the end, the last row stays highlighted: its Play plays that row again, where
  // it used to play the file from the beginning.
  player.seek(19.6);
  ASSERT_TRUE(testsupport::waitUntil([&] { return !player.isPlaying(); }, 20000));
  ASSERT_EQ(w.h.vm->currentSegmentIndex(), 2);
  click(2, Part::play);
  EXPECT_DOUBLE_EQ(player.currentTime(), 2.0);
  EXPECT_TRUE(player.isPlaying());
  player.pause();
}

// The last row shown only in part at the bottom of the list: its Play plays it. The press used
// to scroll the row into view, and the release, no longer over the button, did nothing.
TEST_F(ResultsViewTest, PlayOnARowShownInPartAtTheBottomPlaysThatRow) {
  QList<TranscribedSegment> many;
  for (int i = 0; i < 40; ++i) many << TranscribedSegment(i % 2, i * 0.5, i * 0.5 + 0.5, QString("segment %1").arg(i));
  w.h.vm->loadTranscription(w.addVersion("many", many));
  AudioPlayerService& player = w.h.vm->audioPlayer();
  ASSERT_TRUE(testsupport::waitUntil([&] { return player.isLoaded(); }, 10000));
  const QModelIndex last = view->listModel()->index(39);
  ASSERT_TRUE(testsupport::waitUntil([&] { return list()->visualRect(last).isValid(); }, 10000));
  // Its button a few pixels above the bottom edge, the rest of the row below it.
  QScrollBar* bar = list()->verticalScrollBar();
  const int bottom = list()->viewport()->height();
  bar->setValue(bar->value() + list()->partRect(w.idAt(39), Part::play).bottom() - (bottom - 6));
  const QRect play = list()->partRect(w.idAt(39), Part::play);
  ASSERT_LE(play.bottom(), bottom - 1);
  ASSERT_GT(list()->visualRect(last).bottom(), bottom + 10);
  ASSERT_NE(list()->currentIndex(), last);

  QTest::mousePress(list()->viewport(), Qt::LeftButton, {}, play.center());
  QTest::mouseRelease(list()->viewport(), Qt::LeftButton, {}, play.center());
  EXPECT_DOUBLE_EQ(player.currentTime(), 19.5);
  EXPECT_TRUE(player.isPlaying());
  EXPECT_EQ(list()->currentIndex(), last);
  player.pause();
}

// The highlight and "play from here" follow the rows on screen: a time on a boundary belongs to
// the segment that starts there, and a translation's rows (here one fewer than the version's)
// carry their own times.
TEST_F(ResultsViewTest, TheClockHighlightsTheRowOnScreenAlsoOnABoundaryAndInATranslation) {
  AudioPlayerService& player = w.h.vm->audioPlayer();
  ASSERT_TRUE(testsupport::waitUntil([&] { return player.isLoaded(); }, 10000));
  auto playingRow = [&]() -> int {
    for (int row = 0; row < view->listModel()->rowCount(); ++row)
      if (view->listModel()->index(row).data(SegmentListModel::IsPlayingRole).toBool()) return row;
    return -1;
  };
  const std::pair<double, int> times[] = {{0.0, 0}, {1.0, 1}, {1.999, 1}, {2.0, 2}, {3.0, 2}, {0.5, 0}};
  for (const auto& [time, row] : times) {
    player.seek(time);
    EXPECT_EQ(playingRow(), row) << time;
  }

  auto* french =
      w.addVersion("French", {TranscribedSegment(1, 1.0, 2.0, "trois"), TranscribedSegment(0, 2.0, 3.0, "quatre")});
  french->setIsTranslation(true);
  french->setSourceTranscription(version);
  w.h.context->save();
  w.h.vm->setActiveTab(ContentTab::translation(french));
  ASSERT_EQ(view->listModel()->rowCount(), 2);
  player.seek(2.5);
  EXPECT_EQ(playingRow(), 1);
  const QPoint play = list()->partRect(view->listModel()->segmentAt(0)->id, Part::play).center();
  QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, play);
  EXPECT_DOUBLE_EQ(player.currentTime(), 1.0);
  EXPECT_EQ(playingRow(), 0);
  player.pause();
}

TEST_F(ResultsViewTest, FollowPlaybackScrollsOnceToTheLastOfABurst) {
  QList<TranscribedSegment> many;
  for (int i = 0; i < 2000; ++i)
    many << TranscribedSegment(i % 2, i * 0.1, i * 0.1 + 0.1, QString("segment %1").arg(i));
  w.h.vm->loadTranscription(w.addVersion("long", many));
  AudioPlayerService& player = w.h.vm->audioPlayer();
  ASSERT_TRUE(testsupport::waitUntil([&] { return player.isLoaded(); }, 10000));
  // A long list is laid out a batch of rows at a time, the last row placed at the end. Playback
  // moving on a row only paints the two rows again: nothing is laid out again from the top.
  const QModelIndex lastRow = view->listModel()->index(1999);
  ASSERT_TRUE(testsupport::waitUntil([&] { return list()->visualRect(lastRow).isValid(); }, 10000));
  QSignalSpy scrolled(list(), &SegmentListView::followScrolled);
  for (double t : {15.05, 15.15, 15.25}) player.seek(t);
  EXPECT_EQ(w.h.vm->currentSegmentIndex(), 152);
  player.play();
  player.pause();
  EXPECT_TRUE(list()->visualRect(lastRow).isValid());
  ASSERT_TRUE(scrolled.wait(2000));
  QTest::qWait(100);
  ASSERT_EQ(scrolled.size(), 1);
  EXPECT_EQ(scrolled[0][0].toUuid(), w.idAt(152));
  const QRect row = list()->visualRect(view->listModel()->index(152));
  EXPECT_NEAR(row.top(), list()->viewport()->height() / 10, 12);

  // No index, or one past the end, cancels a pending scroll and starts none.
  list()->followCurrentIndex(3);
  list()->followCurrentIndex(std::nullopt);
  EXPECT_FALSE(list()->hasPendingFollowScroll());
  list()->followCurrentIndex(2000);
  EXPECT_FALSE(list()->hasPendingFollowScroll());

  // Another version opened plays from its start, and its list shows its start, also where no
  // row is current there (its first words come a second in): not the place the last one was at.
  QList<TranscribedSegment> later;
  for (int i = 0; i < 2000; ++i)
    later << TranscribedSegment(i % 2, 1.0 + i * 0.1, 1.1 + i * 0.1, QString("later %1").arg(i));
  w.h.vm->loadTranscription(w.addVersion("later", later));
  ASSERT_TRUE(testsupport::waitUntil([&] { return player.isLoaded(); }, 10000));
  QTest::qWait(200);
  EXPECT_EQ(w.h.vm->currentSegmentIndex(), std::nullopt);
  EXPECT_EQ(list()->verticalScrollBar()->value(), 0);
  EXPECT_EQ(list()->indexAt(QPoint(10, 10)).row(), 0);
}

TEST_F(ResultsViewTest, PlaybackSliderFollowsTheClockAndAClickSeeksToThePointClicked) {
  AudioPlayerService& player = w.h.vm->audioPlayer();
  ASSERT_TRUE(testsupport::waitUntil([&] { return player.isLoaded(); }, 10000));
  AudioBar* bar = view->audioBar();
  ASSERT_NE(bar, nullptr);
  player.seek(5.0);
  EXPECT_EQ(bar->slider()->value(), 5000);
  EXPECT_EQ(bar->elapsedLabel()->text(), "0:05");
  EXPECT_EQ(bar->totalLabel()->text(), "0:20");
  // A click on the track seeks to the point clicked, not one page towards it.
  QSlider* slider = bar->slider();
  QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(slider->width() * 3 / 4, slider->height() / 2));
  EXPECT_NEAR(player.currentTime(), 15.0, 0.5);
  EXPECT_FALSE(slider->isSliderDown());
  // The knob stays where it was put: the position the player kept once read back a hair short of
  // the step (64 of the 1001 steps the slider had on this 20-s file) and drew it one short.
  for (int step = 0; step <= slider->maximum(); ++step) {
    slider->setValue(step);
    ASSERT_EQ(slider->value(), step);
  }
  QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(slider->width() * 3 / 4, slider->height() / 2));
  // The keys step from there, by seconds: on this 20-s file 2 s for an arrow, 5 s for a page.
  const double clicked = player.currentTime();
  slider->setFocus();
  QTest::keyClick(slider, Qt::Key_PageDown);
  EXPECT_NEAR(player.currentTime(), clicked - 5.0, 1e-6);
  QTest::keyClick(slider, Qt::Key_Right);
  EXPECT_NEAR(player.currentTime(), clicked - 3.0, 1e-6);
  QTest::keyClick(slider, Qt::Key_End);
  EXPECT_DOUBLE_EQ(player.currentTime(), 20.0);
  player.stop();
  EXPECT_FALSE(bar->playButton()->isEnabled());
  EXPECT_EQ(bar->totalLabel()->text(), "0:00");
}

}  // namespace
