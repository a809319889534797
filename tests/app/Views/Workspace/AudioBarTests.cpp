#include "Views/Workspace/AudioBar.h"

#include "Services/AudioPlayerService.h"
#include "app/Services/AudioPlayerTestSupport.h"
#include "support/QtWindowAudit.h"

#include <QAccessible>
#include <QLabel>
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

}  // namespace
