#include "Views/Player/YouTubePlayerView.h"

#include "PlayerPageStandIn.h"
#include "Services/LocalHTTPServer.h"
#include "Views/Player/YouTubePlayerCoordinator.h"
#include "support/ChildTestRun.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <unistd.h>

using parlowvista::LocalHTTPServer;
using parlowvista::YouTubePlayerView;
using playertest::calls;
using playertest::evaluate;
using playertest::waitForStandIn;
using testsupport::waitUntil;

namespace {

class YouTubePlayerViewTest : public ::testing::Test {
 protected:
  playertest::PlayerPageStandIn standIn;
};

TEST_F(YouTubePlayerViewTest, PageIsServedOnLoopbackAndKnowsItsVideoAndOrigin) {
  YouTubePlayerView view("abc123", false, playertest::pageHost());
  // The loopback page is asked for at once, never after a wait that could fall back.
  EXPECT_EQ(view.webView()->page()->requestedUrl().host(), "127.0.0.1");
  view.resize(480, 270);
  view.show();
  ASSERT_TRUE(waitForStandIn(view.webView()));
  const std::optional<QUrl> base = playertest::pageHost().server.baseURL();
  ASSERT_TRUE(base.has_value());
  EXPECT_EQ(view.webView()->url().toString(), base->toString() + "/youtube?v=abc123");
  EXPECT_EQ(evaluate(view.webView(), "window.__standin.videoId").toString(), "abc123");
  EXPECT_EQ(evaluate(view.webView(), "window.__standin.origin").toString(), base->toString());
  // Before its player is ready the page answers -1 and ignores commands.
  EXPECT_EQ(evaluate(view.webView(), "getPlayerState()").toInt(), -1);
  evaluate(view.webView(), "seekTo(5); playVideo(); setMuted(true)");
  EXPECT_TRUE(calls(view.webView()).isEmpty());
  EXPECT_TRUE(standIn.blocked().isEmpty()) << standIn.blocked().join(' ').toStdString();
}

TEST_F(YouTubePlayerViewTest, ReadyFlushesTheLastQueuedSeekThenMuteStateThenPlayState) {
  YouTubePlayerView view("abc123", false, playertest::pageHost());
  view.show();
  QSignalSpy ready(&view, &YouTubePlayerView::videoReadyChanged);
  QSignalSpy available(&view, &YouTubePlayerView::videoAvailableChanged);
  QSignalSpy duration(&view, &YouTubePlayerView::videoDurationChanged);
  ASSERT_TRUE(waitForStandIn(view.webView()));

  view.requestSeek(5.0);
  view.requestSeek(30.0);
  view.setPlaying(true);
  EXPECT_EQ(view.coordinator()->pendingSeekTime(), 30.0);
  QTest::qWait(100);
  EXPECT_TRUE(calls(view.webView()).isEmpty());

  evaluate(view.webView(), "window.__standin.fireReady()");
  ASSERT_TRUE(waitUntil([&] { return !ready.isEmpty(); }));
  EXPECT_TRUE(ready.first().at(0).toBool());
  ASSERT_FALSE(available.isEmpty());
  EXPECT_TRUE(available.first().at(0).toBool());
  ASSERT_EQ(duration.size(), 1);
  EXPECT_EQ(duration.first().at(0).toDouble(), 120.0);
  ASSERT_TRUE(waitUntil([&] { return calls(view.webView()).size() >= 3; }));
  EXPECT_EQ(calls(view.webView()), (QStringList{"seekTo:30:true", "unMute", "playVideo"}));

  // Same state again sends nothing; each change sends exactly one script.
  view.setPlaying(true);
  view.setPlaying(false);
  view.setPlaying(false);
  view.requestSeek(12.5);
  ASSERT_TRUE(waitUntil([&] { return calls(view.webView()).size() >= 5; }));
  QTest::qWait(100);
  EXPECT_EQ(calls(view.webView()).mid(3), (QStringList{"pauseVideo", "seekTo:12.5:true"}));
}

TEST_F(YouTubePlayerViewTest, ThePageReportsItsClockAndStateAndErrors) {
  YouTubePlayerView view("abc123", false, playertest::pageHost());
  view.show();
  QSignalSpy times(&view, &YouTubePlayerView::timeUpdated);
  QSignalSpy available(&view, &YouTubePlayerView::videoAvailableChanged);
  ASSERT_TRUE(waitForStandIn(view.webView()));
  evaluate(view.webView(), "window.__standin.fireReady()");

  // The first tick reports the position even at 0; once playing, the clock runs.
  ASSERT_TRUE(waitUntil([&] { return !times.isEmpty(); }, 10000));
  EXPECT_EQ(times.first().at(0).toDouble(), 0.0);
  view.setPlaying(true);
  ASSERT_TRUE(waitUntil([&] { return times.size() >= 4; }, 10000));
  EXPECT_GT(times.last().at(0).toDouble(), times.first().at(0).toDouble());

  // Once the pause has reached the page, the ticks stop: a quiet spell of several tick periods
  // comes, which a running clock (a tick every 100 ms) never leaves, however late its ticks are
  // delivered on a loaded machine.
  const qsizetype pausesBefore = calls(view.webView()).count("pauseVideo");
  view.setPlaying(false);
  ASSERT_TRUE(waitUntil([&] { return calls(view.webView()).count("pauseVideo") > pausesBefore; }, 10000));
  qsizetype paused = times.size();
  QElapsedTimer quiet;
  quiet.start();
  ASSERT_TRUE(waitUntil(
      [&] {
        if (times.size() != paused) {
          paused = times.size();
          quiet.restart();
        }
        return quiet.elapsed() >= 600;
      },
      20000));

  // A seek while paused is reported at the next tick.
  view.requestSeek(50.0);
  ASSERT_TRUE(waitUntil([&] { return times.size() > paused; }, 10000));
  EXPECT_NEAR(times.last().at(0).toDouble(), 50.0, 0.01);

  available.clear();
  evaluate(view.webView(), "window.__standin.fireError(150)");
  ASSERT_TRUE(waitUntil([&] { return !available.isEmpty(); }));
  EXPECT_FALSE(available.last().at(0).toBool());
  EXPECT_TRUE(view.coordinator()->isPlayerReady());
}

TEST_F(YouTubePlayerViewTest, AnIdentifierOutsideTheTokenAlphabetIsNeverLoaded) {
  YouTubePlayerView view("abc'); alert('x", false, playertest::pageHost());
  QSignalSpy available(&view, &YouTubePlayerView::videoAvailableChanged);
  ASSERT_TRUE(waitUntil([&] { return !available.isEmpty(); }));
  EXPECT_FALSE(available.first().at(0).toBool());
  EXPECT_TRUE(view.webView()->url().isEmpty());
}

TEST_F(YouTubePlayerViewTest, APageThatCannotBeLoadedMakesTheVideoUnavailable) {
  YouTubePlayerView view("abc123", false, playertest::pageHost());
  QSignalSpy available(&view, &YouTubePlayerView::videoAvailableChanged);
  // A port nobody listens on.
  view.webView()->load(QUrl("http://127.0.0.1:1/youtube?v=abc123"));
  ASSERT_TRUE(waitUntil([&] { return !available.isEmpty(); }, 20000));
  EXPECT_FALSE(available.last().at(0).toBool());
}

TEST(YouTubePlayerViewOfflineTest, APlayerScriptThatCannotLoadMakesTheVideoUnavailable) {
  // The provider's script is sent to a port nobody listens on, as when the machine is offline.
  playertest::StandInInterceptor unreachable(QUrl("http://127.0.0.1:1/iframe_api"));
  playertest::pageHost().profile.setUrlRequestInterceptor(&unreachable);
  {
    YouTubePlayerView view("abc123", false, playertest::pageHost());
    QSignalSpy available(&view, &YouTubePlayerView::videoAvailableChanged);
    QSignalSpy ready(&view, &YouTubePlayerView::videoReadyChanged);
    view.show();
    EXPECT_TRUE(waitUntil([&] { return !available.isEmpty(); }, 20000));
    ASSERT_FALSE(available.isEmpty());
    EXPECT_FALSE(available.last().at(0).toBool());
    EXPECT_TRUE(ready.isEmpty());
  }
  playertest::pageHost().profile.setUrlRequestInterceptor(nullptr);
}

TEST(YouTubePlayerViewEmbedTest, DirectEmbedAddressUsesThePrivacyHost) {
  EXPECT_EQ(YouTubePlayerView::directEmbedURL("abc123").toString(),
            "https://www.youtube-nocookie.com/embed/abc123?playsinline=1&rel=0&modestbranding=1");
}

// Run as a child process by ThePlayerPageOpensWhenStartedAsRootWithoutTheSandboxSwitch; skipped
// otherwise.
class PlayerPageChildProcess : public YouTubePlayerViewTest {};
TEST_F(PlayerPageChildProcess, OpensThePage) {
  if (qEnvironmentVariableIsEmpty("PV_PLAYER_PAGE_CHILD")) GTEST_SKIP() << "only run as a child process";
  YouTubePlayerView view("abc123", false, playertest::pageHost());
  view.show();
  ASSERT_TRUE(waitForStandIn(view.webView()));
}

TEST(YouTubePlayerViewStartTest, ThePlayerPageOpensWhenStartedAsRootWithoutTheSandboxSwitch) {
  // A process started as the application starts, with nothing in its environment that turns
  // the web engine's sandbox off (the tests' own environment has it).
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.remove("QTWEBENGINE_DISABLE_SANDBOX");
  environment.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
  environment.insert("PV_PLAYER_PAGE_CHILD", "1");
  const auto child = testsupport::runTestsInChild(environment, "PlayerPageChildProcess.OpensThePage", 120000);
  ASSERT_TRUE(child.finished);
  const QString& output = child.output;
  EXPECT_EQ(child.exitStatus, QProcess::NormalExit) << output.toStdString();
  EXPECT_EQ(child.exitCode, 0) << output.toStdString();
  EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
  EXPECT_EQ(output.contains("[Parlowvista] Running as root: the web engine's sandbox is turned off"), ::geteuid() == 0)
      << output.toStdString();
}

}  // namespace
