#include "Views/Player/YouTubePlayerCoordinator.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <memory>

using parlowvista::YouTubePlayerCoordinator;

namespace {

// The coordinator with a recorder in place of the web view.
class YouTubePlayerCoordinatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    coordinator = std::make_unique<YouTubePlayerCoordinator>("abc", false, [this] { return wantsPlay; });
    webView = std::make_unique<QObject>();
    coordinator->attach(webView.get(), [this](const QString& script) {
      scripts.append(script);
      return true;
    });
  }

  void deliver(const QVariant& body) {
    coordinator->receiveMessage(body);
    QCoreApplication::processEvents();
  }

  bool wantsPlay = false;
  QStringList scripts;
  std::unique_ptr<QObject> webView;
  std::unique_ptr<YouTubePlayerCoordinator> coordinator;
};

TEST_F(YouTubePlayerCoordinatorTest, SeekScriptsUseTheShortestExactNumber) {
  const struct {
    double time;
    const char* script;
  } cases[] = {{12.5, "seekTo(12.5)"},
               {10.0, "seekTo(10.0)"},
               {0.1, "seekTo(0.1)"},
               {0, "seekTo(0.0)"},
               {1.0 / 3.0, "seekTo(0.3333333333333333)"}};
  for (const auto& c : cases) {
    EXPECT_EQ(YouTubePlayerCoordinator::seekScript(c.time), c.script);
  }
}

TEST_F(YouTubePlayerCoordinatorTest, BeforeReadyOnlyTheLastSeekIsKeptAndPlayStateIsReadAtReady) {
  coordinator->seekTo(5.0);
  coordinator->seekTo(30.0);
  coordinator->syncState(false, true);
  EXPECT_TRUE(scripts.isEmpty());
  wantsPlay = false;  // changed its mind before the page was ready
  deliver(QVariantMap{{"event", "ready"}});
  EXPECT_EQ(scripts, (QStringList{"seekTo(30.0)", "setMuted(false)", "pauseVideo()"}));
  EXPECT_FALSE(coordinator->pendingSeekTime().has_value());
}

TEST_F(YouTubePlayerCoordinatorTest, MessagesOfTheWrongShapeChangeNothing) {
  QSignalSpy available(coordinator.get(), &YouTubePlayerCoordinator::videoAvailableChanged);
  QSignalSpy ready(coordinator.get(), &YouTubePlayerCoordinator::videoReadyChanged);
  QSignalSpy duration(coordinator.get(), &YouTubePlayerCoordinator::videoDurationChanged);
  QSignalSpy times(coordinator.get(), &YouTubePlayerCoordinator::timeUpdated);

  deliver(QString("ready"));
  deliver(QVariantMap{{"event", 3}});
  deliver(QVariantMap{{"event", "Ready"}});
  deliver(QVariantMap{{"event", "timeUpdate"}, {"time", "12"}});
  deliver(QVariantMap{{"event", "stateChange"}, {"state", 1}});
  EXPECT_TRUE(available.isEmpty());
  EXPECT_TRUE(ready.isEmpty());
  EXPECT_TRUE(times.isEmpty());
  EXPECT_FALSE(coordinator->isPlayerReady());

  deliver(QVariantMap{{"event", "ready"}, {"duration", "long"}});
  EXPECT_TRUE(coordinator->isPlayerReady());
  EXPECT_EQ(ready.size(), 1);
  EXPECT_TRUE(duration.isEmpty());

  deliver(QVariantMap{{"event", "timeUpdate"}, {"time", qlonglong(7)}});
  ASSERT_EQ(times.size(), 1);
  EXPECT_EQ(times.first().at(0).toDouble(), 7.0);

  deliver(QVariantMap{{"event", "error"}});
  ASSERT_EQ(available.size(), 2);
  EXPECT_FALSE(available.last().at(0).toBool());
  EXPECT_TRUE(coordinator->isPlayerReady());
}

QStringList gLogLines;

void recordLog(QtMsgType, const QMessageLogContext&, const QString& message) {
  gLogLines.append(message);
}

TEST_F(YouTubePlayerCoordinatorTest, ErrorEventsLogTheirCodeAndMessageOrStandIns) {
  const struct {
    QVariantMap body;
    const char* line;
  } cases[] = {
      {{{"event", "error"}, {"code", 150}, {"message", "Embedding not allowed"}},
       "[YouTubePlayer] ERROR 150: Embedding not allowed"},
      {{{"event", "error"}, {"code", 101.0}, {"message", "Embedding not allowed"}},
       "[YouTubePlayer] ERROR 101: Embedding not allowed"},
      {{{"event", "error"}}, "[YouTubePlayer] ERROR -1: Unknown"},
      {{{"event", "error"}, {"code", "150"}, {"message", 7}}, "[YouTubePlayer] ERROR -1: Unknown"},
      {{{"event", "error"}, {"code", 2.5}}, "[YouTubePlayer] ERROR -1: Unknown"},
      // Numbers no int can hold are not codes.
      {{{"event", "error"}, {"code", 1e20}}, "[YouTubePlayer] ERROR -1: Unknown"},
      {{{"event", "error"}, {"code", -1e300}}, "[YouTubePlayer] ERROR -1: Unknown"},
  };
  for (const auto& c : cases) {
    gLogLines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(recordLog);
    deliver(c.body);
    qInstallMessageHandler(previous);
    EXPECT_TRUE(gLogLines.contains(QString::fromUtf8(c.line)))
        << c.line << " in " << gLogLines.join(" | ").toStdString();
  }
}

TEST_F(YouTubePlayerCoordinatorTest, WithTheWebViewGoneNothingIsSentAndSeeksWait) {
  deliver(QVariantMap{{"event", "ready"}, {"duration", 60.0}});
  scripts.clear();
  webView.reset();
  coordinator->syncState(true, true);
  coordinator->seekTo(9.0);
  EXPECT_TRUE(scripts.isEmpty());
  EXPECT_EQ(coordinator->pendingSeekTime(), 9.0);
}

TEST_F(YouTubePlayerCoordinatorTest, ASecondReadyResendsOnlyWhatChanged) {
  wantsPlay = true;
  deliver(QVariantMap{{"event", "ready"}});
  EXPECT_EQ(scripts, (QStringList{"setMuted(false)", "playVideo()"}));
  deliver(QVariantMap{{"event", "ready"}});
  EXPECT_EQ(scripts.size(), 2);
}

}  // namespace
