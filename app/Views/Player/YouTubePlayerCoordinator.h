#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

#include <functional>
#include <optional>

namespace parlowvista {

// Carries play, pause, mute and seek requests to the player page and turns the page's "youtube"
// messages into state the video bar owns. It remembers what it last sent, queues one seek until
// the page's player is ready, and forgets play-state requests made before then (the wanted
// state is read again at "ready"). Main thread only.
class YouTubePlayerCoordinator : public QObject {
  Q_OBJECT

 public:
  // Evaluates script text in the page; returns false when the web view is gone.
  using ScriptRunner = std::function<bool(const QString& script)>;
  // The parent's wanted play state, read when the page becomes ready.
  using PlayStateSource = std::function<bool()>;

  YouTubePlayerCoordinator(const QString& videoId, bool isMuted, PlayStateSource isPlaying, QObject* parent = nullptr);

  // Scripts go to `webView` through `runner` for as long as `webView` exists.
  void attach(QObject* webView, ScriptRunner runner);

  void syncState(bool isMuted, bool isPlaying);
  void seekTo(double time);  // seconds

  // A message the page posted to the "youtube" handler; handled later on this thread.
  void receiveMessage(const QVariant& body);
  void navigationFailed(const QString& description);

  bool isPlayerReady() const { return m_isPlayerReady; }
  std::optional<double> pendingSeekTime() const { return m_pendingSeekTime; }

  // "seekTo(12.5)", "seekTo(10.0)": the shortest text that reads back as the same double.
  static QString seekScript(double time);

  // Why the video cannot be shown, in a few words for the person watching: the page's error
  // code (the provider's codes; -1 when the player's script could not load).
  static QString unavailableReason(int errorCode);
  static QString loadFailureReason() { return QStringLiteral("The player could not be loaded"); }

 signals:
  // Writes to the parent's state.
  void videoAvailableChanged(bool available);
  // Sent just before the video becomes unavailable, with unavailableReason()'s text.
  void videoUnavailableReason(const QString& reason);
  void videoReadyChanged(bool ready);
  void videoDurationChanged(double duration);
  void timeUpdated(double time);

 private:
  void handleEvent(const QString& event, const QVariantMap& data);
  bool run(const QString& script);

  QString m_videoId;
  bool m_isMuted;
  PlayStateSource m_isPlaying;
  QPointer<QObject> m_webView;
  ScriptRunner m_runScript;
  bool m_isPlayerReady = false;
  std::optional<double> m_pendingSeekTime;
  std::optional<bool> m_lastMutedState;
  std::optional<bool> m_lastPlayingState;
};

}  // namespace parlowvista
