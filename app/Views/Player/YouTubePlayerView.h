#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>

class QWebChannel;
class QWebEngineProfile;
class QWebEngineView;

namespace parlowvista {

class LocalHTTPServer;
class YouTubePlayerCoordinator;
class YouTubeScriptBridge;

// What a player page needs from the application: the loopback server that serves it and the
// profile it runs in (made by YouTubePlayerView::createPlayerProfile()). Both outlive the views.
struct PlayerPageHost {
  LocalHTTPServer& server;
  QWebEngineProfile& profile;
};

// Shows one online video: a web view on the player page that the loopback server serves,
// bridged both ways (page events in, play/pause/mute/seek scripts out). It holds no clock of its
// own; the video bar decides everything and owns the state the signals write. The page is
// loaded once; another video needs another view.
class YouTubePlayerView : public QWidget {
  Q_OBJECT

 public:
  YouTubePlayerView(const QString& videoId, bool isMuted, PlayerPageHost host, QWidget* parent = nullptr);
  ~YouTubePlayerView() override;

  // The wanted play state; sent to the page once its player is ready.
  void setPlaying(bool playing);
  bool isPlaying() const { return m_isPlaying; }
  // A one-shot seek; queued until the page's player is ready (only the last one survives).
  void requestSeek(double time);

  YouTubePlayerCoordinator* coordinator() const { return m_coordinator; }
  QWebEngineView* webView() const { return m_webView; }

  // A profile for player pages: off the record (nothing written to disk), with the user agent
  // the provider's player accepts. The application makes one; tests put a request interceptor
  // on theirs.
  static QWebEngineProfile* createPlayerProfile(QObject* parent = nullptr);
  // The provider's own embed page, used when the loopback server cannot listen.
  static QUrl directEmbedURL(const QString& videoId);

 signals:
  void videoAvailableChanged(bool available);
  void videoUnavailableReason(const QString& reason);
  void videoReadyChanged(bool ready);
  void videoDurationChanged(double duration);
  void timeUpdated(double time);

 private:
  void loadPlayer();
  void installBridge();

  QString m_videoId;
  bool m_isMuted;
  PlayerPageHost m_host;
  bool m_isPlaying = false;
  QWebEngineView* m_webView = nullptr;
  QWebChannel* m_channel = nullptr;
  YouTubeScriptBridge* m_bridge = nullptr;
  YouTubePlayerCoordinator* m_coordinator = nullptr;
};

}  // namespace parlowvista
