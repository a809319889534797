#include "Views/Player/VideoPlayerBar.h"

#include "PlayerPageStandIn.h"
#include "Services/AudioPlayerService.h"
#include "Views/Player/YouTubePlayerCoordinator.h"
#include "Views/Player/YouTubePlayerView.h"
#include "support/QtWindowAudit.h"

#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <memory>

using parlowvista::AudioPlayerService;
using parlowvista::MediaSource;
using parlowvista::VideoPlayerBar;
using testsupport::waitUntil;

namespace {

class VideoPlayerBarTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { clips = new testsupport::TempDir("video-bar"); }
  static void TearDownTestSuite() {
    delete clips;
    clips = nullptr;
  }

  void SetUp() override { QSettings().remove(VideoPlayerBar::videoHeightKey); }
  void TearDown() override { QSettings().remove(VideoPlayerBar::videoHeightKey); }

  static QUrl clip(double seconds) {
    const QString path = QString::fromStdString((*clips / ("tone-" + std::to_string(int(seconds)) + ".wav")).string());
    if (!QFile::exists(path)) {
      EXPECT_EQ(QProcess::execute(
                    "ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i",
                               QStringLiteral("sine=frequency=440:sample_rate=8000:duration=%1").arg(seconds), path}),
                0);
    }
    return QUrl::fromLocalFile(path);
  }

  static MediaSource video(const QString& id) {
    return MediaSource{MediaSource::SourceType::youtubeVideo(id, "https://youtu.be/" + id), clip(100), "Talk"};
  }

  // A shown bar whose scripts to the page are recorded instead of run.
  std::unique_ptr<VideoPlayerBar> makeBar(const QString& id = "abc123") {
    auto bar = std::make_unique<VideoPlayerBar>(video(id), &audio, playertest::pageHost());
    bar->resize(800, 400);
    bar->show();
    if (bar->playerView()) {
      bar->playerView()->coordinator()->attach(&scriptTarget, [this](const QString& script) {
        scripts.append(script);
        return true;
      });
    }
    return bar;
  }

  // Loads into the bars' audio player and waits until the file is in place. (A load that ends
  // after the wait gave up, while the test goes on, must not write into this call's stack.)
  void loadAudio(const QUrl& file) {
    auto done = std::make_shared<bool>(false);
    audio.load(file, [done](const QString& error) {
      EXPECT_EQ(error, "");
      *done = true;
    });
    ASSERT_TRUE(testsupport::waitUntil([&] { return *done; }, 30000));
  }

  void pageSays(VideoPlayerBar& bar, const QVariantMap& message) {
    bar.playerView()->coordinator()->receiveMessage(message);
    QCoreApplication::processEvents();
  }
  void ready(VideoPlayerBar& bar, double duration = 120) {
    pageSays(bar, {{"event", "ready"}, {"duration", duration}});
  }
  void videoAt(VideoPlayerBar& bar, double time) { pageSays(bar, {{"event", "timeUpdate"}, {"time", time}}); }

  QStringList seekScripts() const { return scripts.filter("seekTo("); }
  // Scripts as text, one a line, for comparisons whose failures show what was sent.
  static std::string lines(const QStringList& list) { return list.join('\n').toStdString(); }

  // The bar follows the pointer's screen position, which the test gives from a fixed origin:
  // where the window stands on screen (the platform may still move it) plays no part.
  static constexpr QPoint screenOrigin{400, 300};
  static void drag(QWidget* handle, QPoint from, QPoint to) {
    const QPoint globalFrom = screenOrigin + from;
    QMouseEvent press(QEvent::MouseButtonPress, from, globalFrom, Qt::LeftButton, Qt::LeftButton, {});
    QCoreApplication::sendEvent(handle, &press);
    const QPoint globalTo = screenOrigin + to;
    QMouseEvent move(QEvent::MouseMove, to, globalTo, Qt::NoButton, Qt::LeftButton, {});
    QCoreApplication::sendEvent(handle, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, to, globalTo, Qt::LeftButton, Qt::NoButton, {});
    QCoreApplication::sendEvent(handle, &release);
  }

  static inline testsupport::TempDir* clips = nullptr;
  playertest::PlayerPageStandIn standIn;
  AudioPlayerService audio;
  QObject scriptTarget;
  QStringList scripts;
};

TEST_F(VideoPlayerBarTest, TimesShowMinutesAndSecondsWithoutHours) {
  const std::map<double, QString> cases{{75.9, "1:15"}, {0, "0:00"}, {59.99, "0:59"}, {3599, "59:59"}, {3600, "60:00"}};
  for (const auto& [seconds, text] : cases) {
    EXPECT_EQ(VideoPlayerBar::formatTime(seconds), text) << seconds;
  }
  EXPECT_EQ(VideoPlayerBar::formatTime(std::numeric_limits<double>::quiet_NaN()), "0:00");
  EXPECT_EQ(VideoPlayerBar::formatTime(std::numeric_limits<double>::infinity()), "0:00");
  EXPECT_EQ(VideoPlayerBar::formatTime(1e300), "0:00");
  EXPECT_EQ(VideoPlayerBar::formatTime(-1e300), "0:00");
  EXPECT_EQ(VideoPlayerBar::formatTime(std::numeric_limits<double>::max()), "0:00");
}

TEST_F(VideoPlayerBarTest, TheAudioIsSilentExactlyWhileTheVideoSectionIsShown) {
  loadAudio(clip(100));
  auto bar = makeBar();
  EXPECT_TRUE(audio.isMuted());
  EXPECT_EQ(audio.playerVolume(), 0.0);
  bar->hide();
  EXPECT_FALSE(audio.isMuted());
  bar->show();
  EXPECT_TRUE(audio.isMuted());
  bar.reset();
  EXPECT_FALSE(audio.isMuted());
  EXPECT_EQ(audio.playerVolume(), 1.0);
}

TEST_F(VideoPlayerBarTest, ANewBarShownBeforeTheOldOneGoesKeepsTheAudioSilent) {
  loadAudio(clip(100));
  auto first = makeBar("first1");
  auto second = makeBar("second2");  // the next video's bar, built before the old one is deleted
  ASSERT_TRUE(audio.isMuted());
  first.reset();
  EXPECT_TRUE(audio.isMuted());
  EXPECT_EQ(audio.playerVolume(), 0.0);
  second.reset();
  EXPECT_FALSE(audio.isMuted());
  EXPECT_EQ(audio.playerVolume(), 1.0);

  // Every hold was given back: one bar alone makes the audio heard again when it hides.
  auto third = makeBar("third3");
  third->hide();
  EXPECT_FALSE(audio.isMuted());
}

TEST_F(VideoPlayerBarTest, PlayStatesFollowEachOtherWithoutALoop) {
  loadAudio(clip(100));
  auto bar = makeBar();
  EXPECT_FALSE(bar->playButton()->isEnabled());
  EXPECT_FALSE(bar->slider()->isEnabled());

  // Audio started elsewhere before the page is ready: the page gets it at ready.
  audio.play();
  EXPECT_TRUE(bar->isVideoPlaying());
  EXPECT_TRUE(scripts.isEmpty());
  ready(*bar);
  EXPECT_EQ(lines(scripts), lines({"setMuted(false)", "playVideo()"}));
  EXPECT_TRUE(bar->playButton()->isEnabled());
  EXPECT_EQ(bar->durationLabel()->text(), "2:00");

  scripts.clear();
  audio.pause();
  EXPECT_FALSE(bar->isVideoPlaying());
  EXPECT_EQ(lines(scripts), lines({"pauseVideo()"}));

  bar->playButton()->click();
  EXPECT_TRUE(bar->isVideoPlaying());
  EXPECT_TRUE(audio.isPlaying());
  bar->playButton()->click();
  EXPECT_FALSE(audio.isPlaying());
  EXPECT_EQ(lines(scripts), lines({"pauseVideo()", "playVideo()", "pauseVideo()"}));
}

TEST_F(VideoPlayerBarTest, OnlyAChangeOfTheAudioPlayStateMovesTheVideo) {
  // The audio player announces every assignment, also of the state it already has; a repeated
  // announcement must not override a video state that differs from it.
  {
    SCOPED_TRACE("paused announced again while the video plays");
    auto bar = makeBar("first1");  // no audio loaded: play() leaves the audio paused
    ready(*bar);
    bar->playButton()->click();
    ASSERT_TRUE(bar->isVideoPlaying());
    ASSERT_FALSE(audio.isPlaying());
    scripts.clear();
    emit audio.isPlayingChanged(false);
    EXPECT_TRUE(bar->isVideoPlaying());
    EXPECT_TRUE(scripts.isEmpty()) << scripts.join(", ").toStdString();
  }
  {
    SCOPED_TRACE("playing announced again to a bar built while it played");
    loadAudio(clip(100));
    audio.play();
    auto bar = makeBar("second2");
    ready(*bar);
    ASSERT_FALSE(bar->isVideoPlaying());
    scripts.clear();
    audio.play();
    emit audio.isPlayingChanged(true);
    EXPECT_FALSE(bar->isVideoPlaying());
    EXPECT_TRUE(scripts.isEmpty()) << scripts.join(", ").toStdString();
    // A real change still moves the video.
    audio.pause();
    audio.play();
    EXPECT_TRUE(bar->isVideoPlaying());
    EXPECT_EQ(lines(scripts), lines({"playVideo()"}));
  }
}

TEST_F(VideoPlayerBarTest, AudioJumpsSeekTheVideoButPlaybackTicksDoNot) {
  loadAudio(clip(100));
  auto bar = makeBar();
  ready(*bar);
  const struct {
    double audioTime;
    const char* expectedSeek;  // nullptr: no seek
  } steps[] = {{10, "seekTo(10.0)"}, {10.1, nullptr},        {10.2, nullptr}, {11.2, nullptr},
               {9.7, "seekTo(9.7)"}, {11.2, "seekTo(11.2)"}, {11.2, nullptr}};
  for (const auto& step : steps) {
    scripts.clear();
    audio.seek(step.audioTime);
    if (step.expectedSeek) {
      EXPECT_EQ(lines(seekScripts()), step.expectedSeek) << step.audioTime;
    } else {
      EXPECT_TRUE(seekScripts().isEmpty()) << step.audioTime;
    }
  }
}

TEST_F(VideoPlayerBarTest, AVideoPositionThatDriftsPullsTheAudioAlong) {
  loadAudio(clip(100));
  auto bar = makeBar();
  ready(*bar);
  audio.seek(20);
  const struct {
    double videoTime;
    double audioAfter;
  } steps[] = {{20.4, 20}, {20.6, 20.6}, {150, 100}, {-5, 0}, {75.9, 75.9}};
  // The video's clock moves the slider and pulls the audio along: neither seeks the video.
  scripts.clear();
  for (const auto& step : steps) {
    videoAt(*bar, step.videoTime);
    EXPECT_DOUBLE_EQ(bar->videoTime(), step.videoTime);
    EXPECT_NEAR(audio.currentTime(), step.audioAfter, 1e-9) << step.videoTime;
  }
  EXPECT_TRUE(seekScripts().isEmpty()) << scripts.join(' ').toStdString();
  EXPECT_EQ(bar->positionLabel()->text(), "1:15");
  EXPECT_EQ(bar->slider()->value(), std::lround(75.9 / 120 * bar->slider()->maximum()));
}

TEST_F(VideoPlayerBarTest, TheSliderMovesTheVideoOnly) {
  loadAudio(clip(100));
  auto bar = makeBar();
  ready(*bar, 200);
  scripts.clear();
  bar->slider()->triggerAction(QAbstractSlider::SliderPageStepAdd);
  const double expected = 200.0 * bar->slider()->pageStep() / bar->slider()->maximum();
  EXPECT_EQ(lines(seekScripts()), parlowvista::YouTubePlayerCoordinator::seekScript(expected).toStdString());
  EXPECT_EQ(audio.currentTime(), 0.0);
  // The keys step by seconds of the video, not by a thousandth of it: an arrow 5 s.
  scripts.clear();
  const int before = bar->slider()->value();
  QTest::keyClick(bar->slider(), Qt::Key_Right);
  EXPECT_DOUBLE_EQ(200.0 * (bar->slider()->value() - before) / bar->slider()->maximum(), 5.0);
  EXPECT_EQ(lines(seekScripts()), parlowvista::YouTubePlayerCoordinator::seekScript(expected + 5.0).toStdString());

  // A click on the track jumps to the point clicked, once.
  scripts.clear();
  QSlider* slider = bar->slider();
  QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(slider->width() * 3 / 4, slider->height() / 2));
  EXPECT_NEAR(slider->value(), slider->maximum() * 0.75, slider->maximum() * 0.03);
  EXPECT_EQ(
      lines(seekScripts()),
      parlowvista::YouTubePlayerCoordinator::seekScript(200.0 * slider->value() / slider->maximum()).toStdString());
  EXPECT_EQ(audio.currentTime(), 0.0);
}

TEST_F(VideoPlayerBarTest, WhenTheVideoFailsTheOverlayAndAlertAppearAndTheAudioIsHeardAgain) {
  loadAudio(clip(100));
  auto bar = makeBar();
  ready(*bar);
  audio.play();
  ASSERT_TRUE(audio.isMuted());

  // What the page said after the error, handled after it, comes from a video that is gone: its
  // clock moves the audio no more.
  bar->playerView()->coordinator()->receiveMessage(
      QVariantMap{{"event", "error"}, {"code", 150}, {"message", "Embedding not allowed"}});
  pageSays(*bar, {{"event", "timeUpdate"}, {"time", 50}});
  EXPECT_LT(audio.currentTime(), 10);
  EXPECT_FALSE(bar->isVideoAvailable());
  ASSERT_NE(bar->unavailableOverlay(), nullptr);
  EXPECT_TRUE(bar->unavailableOverlay()->isVisible());
  QStringList texts;
  for (const QLabel* label : bar->unavailableOverlay()->findChildren<QLabel*>()) {
    texts << label->text();
  }
  EXPECT_TRUE(texts.contains("Video cannot be embedded"));
  EXPECT_TRUE(texts.contains("Owner disabled embedding"));
  EXPECT_TRUE(texts.contains("Audio playback works normally"));
  ASSERT_NE(bar->unavailableAlert(), nullptr);
  EXPECT_TRUE(bar->unavailableAlert()->isVisible());
  EXPECT_EQ(bar->unavailableAlert()->windowTitle(), "Video Unavailable");
  EXPECT_EQ(bar->unavailableAlert()->text(),
            "The YouTube video is not available. Audio playback will continue normally.");

  EXPECT_TRUE(audio.isPlaying());
  EXPECT_FALSE(audio.isMuted());
  EXPECT_EQ(audio.playerVolume(), 1.0);
  EXPECT_TRUE(waitUntil([&] { return bar->playerView() == nullptr; }, 1000));

  // Dismissing the alert deletes it; the bar does not keep pointing at it.
  bar->unavailableAlert()->button(QMessageBox::Ok)->click();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(bar->unavailableAlert(), nullptr);

  // The strip now drives the audio that the overlay promises.
  EXPECT_TRUE(bar->playButton()->isEnabled());
  bar->playButton()->click();
  EXPECT_FALSE(audio.isPlaying());
}

TEST_F(VideoPlayerBarTest, TheOverlaySaysWhyAndTheHandleSitsInItsCorner) {
  const struct {
    QVariantMap message;
    const char* reason;
  } cases[] = {
      {{{"event", "error"}, {"code", 150}}, "Owner disabled embedding"},
      {{{"event", "error"}, {"code", -1}, {"message", "Unknown error"}}, "The player could not be loaded"},
      {{{"event", "error"}, {"code", 100}}, "Video not found or private"},
  };
  for (const double height : {240.0, 120.0}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.reason);
      QSettings().setValue(VideoPlayerBar::videoHeightKey, height);
      auto bar = makeBar();
      pageSays(*bar, c.message);
      QWidget* overlay = bar->unavailableOverlay();
      ASSERT_NE(overlay, nullptr);
      EXPECT_EQ(overlay->findChild<QLabel*>("unavailableReason")->text(), c.reason);
      QCoreApplication::processEvents();
      EXPECT_EQ(overlay->height(), std::min(180, int(height)));
      // The handle sits 4 px inside the overlay's bottom-right corner, not beside it.
      const QRect handle = bar->resizeHandle()->geometry();
      EXPECT_EQ(overlay->geometry().bottomRight() - handle.bottomRight(), QPoint(4, 4));
      bar->unavailableAlert()->close();
    }
  }
}

TEST_F(VideoPlayerBarTest, MeetsTheWindowStandardInLightAndDarkPalettes) {
  loadAudio(clip(100));
  const struct {
    const char* name;
    QString id;
    bool fails;
  } states[] = {{"audio only", "", false}, {"video unavailable", "abc123", true}, {"video loading", "abc123", false}};
  for (const auto& state : states) {
    SCOPED_TRACE(state.name);
    const QStringList findings = testsupport::QtWindowAudit::checkInBothPalettes(
        [&] {
          auto bar = std::make_unique<VideoPlayerBar>(video(state.id), &audio, playertest::pageHost());
          bar->resize(700, bar->sizeHint().height());
          return bar;
        },
        [&](QWidget& window) {
          auto& bar = static_cast<VideoPlayerBar&>(window);
          if (!state.fails) return;
          pageSays(bar, {{"event", "error"}, {"code", 150}});
          bar.unavailableAlert()->close();
        });
    EXPECT_TRUE(findings.isEmpty()) << findings.join('\n').toStdString();
  }
}

TEST_F(VideoPlayerBarTest, AnEmptyIdentifierPlaysAsPlainAudio) {
  loadAudio(clip(100));
  auto bar = makeBar("");
  EXPECT_FALSE(bar->hasVideoSection());
  EXPECT_EQ(bar->playerView(), nullptr);
  EXPECT_FALSE(audio.isMuted());
  EXPECT_TRUE(bar->playButton()->isEnabled());
  EXPECT_EQ(bar->durationLabel()->text(), "1:40");

  // The clock moves the slider, which moves no audio: the position stays where the clock put it,
  // not where the slider's steps would round it to.
  audio.seek(37.37);
  EXPECT_EQ(bar->positionLabel()->text(), "0:37");
  EXPECT_NEAR(bar->slider()->value(), 0.3737 * bar->slider()->maximum(), 1);
  EXPECT_DOUBLE_EQ(audio.currentTime(), 37.37);
  bar->playButton()->click();
  EXPECT_TRUE(audio.isPlaying());
  bar->slider()->triggerAction(QAbstractSlider::SliderToMaximum);
  EXPECT_DOUBLE_EQ(audio.currentTime(), 100.0);
  audio.pause();
  EXPECT_FALSE(bar->isVideoPlaying());
}

// The second of sound ends however late a loaded machine plays it: its output may be slow to
// start, be replaced up to three times, or be given up for the player's own clock after 3 s
// without an answer, so the wait only bounds a hang.
TEST_F(VideoPlayerBarTest, WhenTheAudioEndsTheVideoIsPaused) {
  loadAudio(clip(1));
  auto bar = makeBar();
  ready(*bar);
  audio.play();
  ASSERT_TRUE(waitUntil([&] { return !audio.isPlaying(); }, 30000));
  EXPECT_FALSE(bar->isVideoPlaying());
  ASSERT_NE(bar->playerView(), nullptr) << "the video was given up: " << lines(scripts);
  ASSERT_FALSE(scripts.isEmpty());
  EXPECT_EQ(scripts.last().toStdString(), "pauseVideo()") << lines(scripts);
}

TEST_F(VideoPlayerBarTest, ResizingFollowsTheDragFromItsStartAndIsRemembered) {
  auto bar = makeBar();
  QWidget* handle = bar->resizeHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(bar->videoHeight(), 240.0);
  const QPoint centre(12, 12);

  drag(handle, centre, centre + QPoint(0, 5));  // below the drag threshold
  EXPECT_EQ(bar->videoHeight(), 240.0);
  drag(handle, centre, centre + QPoint(0, 80));
  EXPECT_EQ(bar->videoHeight(), 280.0);
  EXPECT_FALSE(bar->isDraggingResize());

  // Several moves in one drag: the total translation counts, from the height at drag start.
  const QPoint global = screenOrigin + centre;
  QMouseEvent press(QEvent::MouseButtonPress, centre, global, Qt::LeftButton, Qt::LeftButton, {});
  QCoreApplication::sendEvent(handle, &press);
  for (int dy : {20, 40, 60}) {
    QMouseEvent move(QEvent::MouseMove, centre + QPoint(0, dy), global + QPoint(0, dy), Qt::NoButton, Qt::LeftButton,
                     {});
    QCoreApplication::sendEvent(handle, &move);
    EXPECT_TRUE(bar->isDraggingResize());
  }
  QMouseEvent release(QEvent::MouseButtonRelease, centre, global + QPoint(0, 60), Qt::LeftButton, Qt::NoButton, {});
  QCoreApplication::sendEvent(handle, &release);
  EXPECT_EQ(bar->videoHeight(), 310.0);

  drag(handle, centre, centre + QPoint(0, 2000));
  EXPECT_EQ(bar->videoHeight(), VideoPlayerBar::maxVideoHeight);
  drag(handle, centre, centre - QPoint(0, 2000));
  EXPECT_EQ(bar->videoHeight(), VideoPlayerBar::minVideoHeight);
  drag(handle, centre, centre + QPoint(0, 100));
  EXPECT_EQ(bar->videoHeight(), 170.0);

  bar.reset();
  auto again = makeBar("other1");
  EXPECT_EQ(again->videoHeight(), 170.0);
}

}  // namespace
