#include "Views/Workspace/AudioBar.h"

#include "Services/AudioPlayerService.h"
#include "app/Services/AudioPlayerTestSupport.h"
#include "support/QtWindowAudit.h"

#include <QAccessible>
#include <QKeySequence>
#include <QLabel>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

using parlowvista::AudioBar;
using parlowvista::AudioPlayerService;

namespace {

class AudioBarTest : public testsupport::AudioPlayerTest {};

// Where the user looks, the bar says that the file cannot be played and why: a file the player
// refused used to show only a greyed Play button and 0:00, the reason in the activity log.
TEST_F(AudioBarTest, SaysWhyTheFileCannotBePlayedUntilOneCanBe) {
  AudioPlayerService player;
  AudioBar bar(player);
  bar.resize(640, bar.sizeHint().height());
  bar.show();
  EXPECT_FALSE(bar.problemLabel()->isVisible());
  const auto spoken = [](QLabel* label) {
    return QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name);
  };

  ASSERT_FALSE(load(player, writtenFile("unknown.wav", wav(0xFFFF, 2, 44100, 8192))).isEmpty());
  EXPECT_TRUE(bar.problemLabel()->isVisible());
  EXPECT_EQ(bar.problemLabel()->text(), "Cannot play unknown.wav: no decoder for its audio");
  // Assistive technology reads the reason too, not only that there is one.
  EXPECT_EQ(spoken(bar.problemLabel()), "Playback problem: Cannot play unknown.wav: no decoder for its audio");
  EXPECT_EQ(bar.problemLabel()->textFormat(), Qt::PlainText);
  EXPECT_FALSE(bar.playButton()->isEnabled());
  EXPECT_GE(testsupport::QtWindowAudit::measuredContrast(&bar, bar.problemLabel()), 4.5);

  ASSERT_EQ(load(player, writtenFile("fine.wav", wav(1, 1, 8000, 32000))), "");
  EXPECT_FALSE(bar.problemLabel()->isVisible());
  EXPECT_TRUE(bar.playButton()->isEnabled());

  // Assistive technology is given the times, not only what they are.
  player.seek(1.5);
  EXPECT_EQ(spoken(bar.elapsedLabel()), "Elapsed time 0:01");
  EXPECT_EQ(spoken(bar.totalLabel()), "Total time 0:02");
}

// The keys of the focused position slider step by seconds one can hear, through the same seek
// as a click, and the time on screen follows. They used to move a thousandth of the file: two
// presses of Right on a 52-s file left "0:00" on screen.
TEST_F(AudioBarTest, TheKeysOfTheFocusedSliderStepBySecondsAndTheShownTimeFollows) {
  AudioPlayerService player;
  AudioBar bar(player);
  bar.resize(640, bar.sizeHint().height());
  bar.show();
  ASSERT_EQ(load(player, writtenFile("minute.wav", wav(1, 1, 8000, 52 * 16000))), "");
  ASSERT_DOUBLE_EQ(player.duration(), 52.0);
  QSlider* slider = bar.slider();
  slider->setFocus();
  const struct {
    Qt::Key key;
    double seconds;
    const char* shown;
  } steps[] = {{Qt::Key_Right, 5, "0:05"},   {Qt::Key_Right, 10, "0:10"},   {Qt::Key_Left, 5, "0:05"},
               {Qt::Key_PageUp, 18, "0:18"}, {Qt::Key_PageDown, 5, "0:05"}, {Qt::Key_End, 52, "0:52"},
               {Qt::Key_Left, 47, "0:47"},   {Qt::Key_Home, 0, "0:00"}};
  for (const auto& step : steps) {
    QTest::keyClick(slider, step.key);
    EXPECT_NEAR(player.currentTime(), step.seconds, 0.01) << QKeySequence(step.key).toString().toStdString();
    EXPECT_EQ(bar.elapsedLabel()->text().toStdString(), step.shown) << QKeySequence(step.key).toString().toStdString();
  }

  // A file of a few seconds: a step stays a share of it.
  ASSERT_EQ(load(player, writtenFile("short.wav", wav(1, 1, 8000, 2 * 16000))), "");
  QTest::keyClick(slider, Qt::Key_Right);
  EXPECT_NEAR(player.currentTime(), 0.2, 0.01);
  QTest::keyClick(slider, Qt::Key_PageUp);
  EXPECT_NEAR(player.currentTime(), 0.7, 0.01);
}

}  // namespace
