#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QAudioOutput;
class QMediaPlayer;
class QTimer;

namespace parlowvista {

// Plays the audio file behind the open transcript and is the transcript's clock: while playing,
// a 0.1 s timer copies the player's position into `currentTime`, which the transcript and the
// video bar follow. Main thread only.
//
// Loading never holds up the main thread: the file is probed (and a CAF, which the platform
// player cannot play, decoded into a WAV copy) on a worker thread, and the platform player is
// made ready off it before its first use. One platform player serves every file the service
// loads; the previous file is torn down before the next is set.
//
// The clock keeps working where the machine has no sound device: the platform player still
// advances its position and seeks. Every assignment to one of the four published values emits
// its signal, also when the value is unchanged (the position is assigned at every tick).
class AudioPlayerService : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
  Q_PROPERTY(double currentTime READ currentTime NOTIFY currentTimeChanged)
  Q_PROPERTY(double duration READ duration NOTIFY durationChanged)
  Q_PROPERTY(bool isLoaded READ isLoaded NOTIFY isLoadedChanged)

 public:
  // How a load ended: an empty text when the file is in place, else the user-facing reason
  // ("Cannot open audio file: talk.wav", ...).
  using LoadFinished = std::function<void(const QString& error)>;

  explicit AudioPlayerService(QObject* parent = nullptr);
  ~AudioPlayerService() override;

  bool isPlaying() const { return m_isPlaying; }
  double currentTime() const { return m_currentTime; }  // seconds
  double duration() const { return m_duration; }        // seconds; 0 when nothing is loaded
  bool isLoaded() const { return m_isLoaded; }
  bool isMuted() const { return m_isMuted; }
  double progress() const { return m_duration > 0 ? m_currentTime / m_duration : 0.0; }
  // A load has started and has not finished yet.
  bool isLoading() const { return m_loading; }

  // Stops whatever plays (the service is empty from now until the file is in place) and
  // starts loading `url`; returns at once. When the file is ready it is loaded paused at 0
  // with its duration known, then `finished` runs with an empty text; a file that cannot be
  // opened or holds no audio leaves the service empty and `finished` gets the reason. A later
  // load(), stop() or unload() supersedes a load still under way: its outcome is dropped and
  // its `finished` never runs.
  //
  // A CAF is played from a WAV copy, kept while that file is the one loaded so loading it
  // again (after a stop too) reuses it; loading another file or unload() deletes it.
  //
  // While the load is under way, seek() and play() are kept for the file: the position is
  // published at once and set (clamped to the file) when the file is in place, and playback
  // then starts; pause() takes the wish to play back.
  //
  // `decodedDuration` is the length of the audio the caller has decoded from the file; it is
  // then the duration, whatever the file's header announces (a cut-off MP3 still claims its
  // whole length). Without it the header's length is taken.
  void load(const QUrl& url, LoadFinished finished = {}, std::optional<double> decodedDuration = std::nullopt);
  void play();
  void pause();
  void togglePlayPause();
  // Releases the file: published values back to their initial ones.
  void stop();
  // stop(), and the decoded copy of a CAF goes too: nothing of the file is kept.
  void unload();
  void seek(double time);                // seconds, clamped to 0 ... duration (also while playing)
  void seekToProgress(double fraction);  // fraction of the duration, clamped to 0 ... 1
  void setMuted(bool muted);             // kept across loads and stops

  // For tests and diagnostics: the platform player's own view of things.
  double playerPosition() const;  // seconds
  double playerVolume() const;    // 0 or 1 once loaded
  bool hasPositionTimer() const { return m_timer != nullptr; }
  // The file the platform player reads (the decoded copy of a CAF); empty when none.
  QString playablePath() const;

 signals:
  void isPlayingChanged(bool isPlaying);
  void currentTimeChanged(double currentTime);
  void durationChanged(double duration);
  void isLoadedChanged(bool isLoaded);

 private:
  struct DecodedCopy;
  struct PreparedFile;

  void supersedeLoad();
  void attach(const PreparedFile& prepared);
  void createPlayer();
  void tearDownSource();
  void startTimer();
  void stopTimer();
  void updateTime();
  void setIsPlaying(bool value);
  void setCurrentTime(double value);
  void setDuration(double value);
  void setIsLoaded(bool value);

  bool m_isPlaying = false;
  double m_currentTime = 0;
  double m_duration = 0;
  bool m_isLoaded = false;
  bool m_isMuted = false;

  QMediaPlayer* m_player = nullptr;
  QAudioOutput* m_output = nullptr;
  QTimer* m_timer = nullptr;
  std::optional<qint64> m_pendingPosition;  // milliseconds

  bool m_loading = false;
  std::optional<double> m_seekOnLoad;  // seconds
  bool m_playOnLoad = false;
  quint64 m_loadGeneration = 0;  // every load and stop counts it up; older outcomes are dropped
  std::shared_ptr<std::atomic_bool> m_loadCancelled;
  std::shared_ptr<DecodedCopy> m_decodedCopy;
};

}  // namespace parlowvista
