#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>

class QWebChannel;
class QWebEngineProfile;
class QWebEngineView;

namespace parlowvista {

class YouTubePlayerCoordinator;
class YouTubeScriptBridge;

// Shows one online video: a web view on the player page that the loopback server serves,
// bridged both ways (page events in, play/pause/mute/seek scripts out). It holds no clock of its
// own; the video bar decides everything and owns the state the signals write. The page is
// loaded once; another video needs another view.
class YouTubePlayerView : public QWidget {
  Q_OBJECT

 public:
  YouTubePlayerView(const QString& videoId, bool isMuted, QWidget* parent = nullptr);
  ~YouTubePlayerView() override;

  // The wanted play state; sent to the page once its player is ready.
  void setPlaying(bool playing);
  bool isPlaying() const { return m_isPlaying; }
  // A one-shot seek; queued until the page's player is ready (only the last one survives).
  void requestSeek(double time);

  YouTubePlayerCoordinator* coordinator() const { return m_coordinator; }
  QWebEngineView* webView() const { return m_webView; }

  // The profile every player page runs in (its own user agent; no file access). Tests put a
  // request interceptor on it.
  static QWebEngineProfile* playerProfile();
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
  bool m_isPlaying = false;
  QWebEngineView* m_webView = nullptr;
  QWebChannel* m_channel = nullptr;
  YouTubeScriptBridge* m_bridge = nullptr;
  YouTubePlayerCoordinator* m_coordinator = nullptr;
};

}  // namespace parlowvista
