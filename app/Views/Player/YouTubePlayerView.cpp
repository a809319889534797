#include "Views/Player/YouTubePlayerView.h"

#include "Services/LocalHTTPServer.h"
#include "Views/Player/YouTubePlayerCoordinator.h"
#include "Views/Player/YouTubeScriptBridge.h"

#include <QApplication>
#include <QDebug>
#include <QFile>
#include <QNetworkRequest>
#include <QPointer>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>

namespace parlowvista {

namespace {

const QString kUserAgent = QStringLiteral(
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.0 "
    "Safari/605.1.15");

// Gives the page the message handler it posts to, backed by the web channel. Messages posted
// before the channel is connected wait in order.
const char* kHandlerShim = R"JS(
(function () {
    var waiting = [];
    var handler = null;
    window.webkit = window.webkit || {};
    window.webkit.messageHandlers = window.webkit.messageHandlers || {};
    window.webkit.messageHandlers.youtube = {
        postMessage: function (body) {
            if (handler) { handler.postMessage(body); } else { waiting.push(body); }
        }
    };
    function connect() {
        if (typeof qt === "undefined" || !qt.webChannelTransport) { setTimeout(connect, 10); return; }
        new QWebChannel(qt.webChannelTransport, function (channel) {
            handler = channel.objects.youtube;
            waiting.forEach(function (body) { handler.postMessage(body); });
            waiting = [];
        });
    }
    connect();
})();
)JS";

// Logs navigations the way the rest of the player does.
class PlayerPage : public QWebEnginePage {
 public:
  using QWebEnginePage::QWebEnginePage;

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType, bool) override {
    const QString host = url.host().isEmpty() ? QStringLiteral("unknown") : url.host();
    qInfo().noquote() << QStringLiteral("[YouTubePlayer] Navigating to: %1").arg(host);
    return true;
  }

  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString& message, int line,
                                const QString& source) override {
    qDebug().noquote() << QStringLiteral("[YouTubePlayer] console: %1 (%2:%3)").arg(message, source).arg(line);
  }
};

}  // namespace

QWebEngineProfile* YouTubePlayerView::createPlayerProfile(QObject* parent) {
  auto* profile = new QWebEngineProfile(parent);  // off the record: nothing written to disk
  profile->setHttpUserAgent(kUserAgent);
  return profile;
}

QUrl YouTubePlayerView::directEmbedURL(const QString& videoId) {
  return QUrl(
      QStringLiteral("https://www.youtube-nocookie.com/embed/%1?playsinline=1&rel=0&modestbranding=1").arg(videoId));
}

YouTubePlayerView::YouTubePlayerView(const QString& videoId, bool isMuted, PlayerPageHost host, QWidget* parent)
    : QWidget(parent), m_videoId(videoId), m_isMuted(isMuted), m_host(host) {
  m_coordinator = new YouTubePlayerCoordinator(
      videoId, isMuted, [this] { return m_isPlaying; }, this);
  connect(m_coordinator, &YouTubePlayerCoordinator::videoAvailableChanged, this,
          &YouTubePlayerView::videoAvailableChanged);
  connect(m_coordinator, &YouTubePlayerCoordinator::videoUnavailableReason, this,
          &YouTubePlayerView::videoUnavailableReason);
  connect(m_coordinator, &YouTubePlayerCoordinator::videoReadyChanged, this, &YouTubePlayerView::videoReadyChanged);
  connect(m_coordinator, &YouTubePlayerCoordinator::videoDurationChanged, this,
          &YouTubePlayerView::videoDurationChanged);
  connect(m_coordinator, &YouTubePlayerCoordinator::timeUpdated, this, &YouTubePlayerView::timeUpdated);

  m_webView = new QWebEngineView(this);
  auto* page = new PlayerPage(&m_host.profile, m_webView);
  QWebEngineSettings* settings = page->settings();
  settings->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture, false);
  settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
  settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
  m_webView->setPage(page);
  m_webView->setContextMenuPolicy(Qt::NoContextMenu);
  m_webView->setAccessibleName(QStringLiteral("Video"));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(m_webView);

  QPointer<QWebEngineView> view = m_webView;
  m_coordinator->attach(m_webView, [view](const QString& script) {
    if (!view) {
      return false;
    }
    view->page()->runJavaScript(script);
    return true;
  });

  connect(page, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo& info) {
    switch (info.status()) {
      case QWebEngineLoadingInfo::LoadStartedStatus: qInfo() << "[YouTubePlayer] Navigation started"; break;
      case QWebEngineLoadingInfo::LoadSucceededStatus:
        qInfo() << "[YouTubePlayer] Navigation finished successfully";
        break;
      case QWebEngineLoadingInfo::LoadFailedStatus: m_coordinator->navigationFailed(info.errorString()); break;
      case QWebEngineLoadingInfo::LoadStoppedStatus: break;
    }
  });
  connect(page, &QWebEnginePage::urlChanged, this, [] { qInfo() << "[YouTubePlayer] Navigation committed"; });

  installBridge();
  loadPlayer();
}

// The web view and its page go first, while the coordinator their signals reach through this
// view, the bridge and the channel still exist: as children they would go after the coordinator,
// made before them.
YouTubePlayerView::~YouTubePlayerView() {
  delete m_webView;
}

void YouTubePlayerView::installBridge() {
  m_bridge = new YouTubeScriptBridge(this);
  connect(m_bridge, &YouTubeScriptBridge::messageReceived, m_coordinator, &YouTubePlayerCoordinator::receiveMessage);
  m_channel = new QWebChannel(this);
  m_channel->registerObject(QStringLiteral("youtube"), m_bridge);
  m_webView->page()->setWebChannel(m_channel);

  QFile channelScript(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
  if (!channelScript.open(QIODevice::ReadOnly)) {
    qWarning() << "[YouTubePlayer] qwebchannel.js is missing; the page cannot report events";
    return;
  }
  QWebEngineScript script;
  script.setName(QStringLiteral("youtube-message-handler"));
  script.setSourceCode(QString::fromUtf8(channelScript.readAll()) + QString::fromUtf8(kHandlerShim));
  script.setInjectionPoint(QWebEngineScript::DocumentCreation);
  script.setWorldId(QWebEngineScript::MainWorld);
  script.setRunsOnSubFrames(false);
  m_webView->page()->scripts().insert(script);
}

void YouTubePlayerView::loadPlayer() {
  qInfo().noquote() << QStringLiteral("[YouTubePlayer] Loading player for video: %1").arg(m_videoId);
  if (!LocalHTTPServer::isAcceptableVideoId(m_videoId)) {
    qWarning().noquote() << QStringLiteral("[YouTubePlayer] Not a video identifier: %1").arg(m_videoId);
    m_coordinator->navigationFailed(QStringLiteral("Invalid video ID"));
    return;
  }
  // The port is known as soon as listening succeeded, so there is nothing to wait for.
  m_host.server.start();
  if (const std::optional<QUrl> base = m_host.server.baseURL()) {
    const QUrl address(base->toString() + QStringLiteral("/youtube?v=") + m_videoId);
    qInfo().noquote() << QStringLiteral("[YouTubePlayer] Loading via local proxy: %1").arg(address.toString());
    m_webView->load(address);
    return;
  }
  qInfo() << "[YouTubePlayer] Local server not ready, falling back to direct embed";
  const QUrl embed = directEmbedURL(m_videoId);
  qInfo().noquote() << QStringLiteral("[YouTubePlayer] Loading direct embed: %1").arg(embed.toString());
  m_webView->load(embed);
}

void YouTubePlayerView::setPlaying(bool playing) {
  m_isPlaying = playing;
  m_coordinator->syncState(m_isMuted, playing);
}

void YouTubePlayerView::requestSeek(double time) {
  m_coordinator->seekTo(time);
}

}  // namespace parlowvista
