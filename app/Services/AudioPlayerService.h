#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>
#include <stdexcept>

class QAudioOutput;
class QMediaPlayer;
class QTemporaryDir;
class QTimer;

namespace parlowvista {

// Raised by AudioPlayerService::load when a file cannot be played. `what()` is the
// user-facing description.
class AudioPlayerError : public std::runtime_error {
 public:
  enum class Kind { cannotOpen, noAudioStream, decodeFailed };

  AudioPlayerError(Kind kind, const QString& description)
      : std::runtime_error(description.toStdString()), m_kind(kind) {}
  Kind kind() const { return m_kind; }

 private:
  Kind m_kind;
};

// Plays the audio file behind the open transcript and is the transcript's clock: while playing,
// a 0.1 s timer copies the player's position into `currentTime`, which the transcript and the
// video bar follow. Main thread only.
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
  explicit AudioPlayerService(QObject* parent = nullptr);
  ~AudioPlayerService() override;

  bool isPlaying() const { return m_isPlaying; }
  double currentTime() const { return m_currentTime; }  // seconds
  double duration() const { return m_duration; }        // seconds; 0 when nothing is loaded
  bool isLoaded() const { return m_isLoaded; }
  bool isMuted() const { return m_isMuted; }
  double progress() const { return m_duration > 0 ? m_currentTime / m_duration : 0.0; }

  // Stops whatever plays, then loads `url` paused at 0 with its duration known on return.
  // Throws AudioPlayerError when the file cannot be opened or holds no audio; the service is
  // then empty. Formats the platform player cannot play (CAF) are decoded to a temporary WAV
  // first, which blocks for the length of that decode.
  void load(const QUrl& url);
  void play();
  void pause();
  void togglePlayPause();
  void stop();
  void seek(double time);                // seconds, clamped to 0 ... duration
  void seekToProgress(double fraction);  // fraction of the duration, clamped to 0 ... 1
  void setMuted(bool muted);             // kept across loads and stops

  // For tests and diagnostics: the platform player's own view of things.
  double playerPosition() const;  // seconds
  double playerVolume() const;    // 0 or 1 once loaded
  bool hasPositionTimer() const { return m_timer != nullptr; }

 signals:
  void isPlayingChanged(bool isPlaying);
  void currentTimeChanged(double currentTime);
  void durationChanged(double duration);
  void isLoadedChanged(bool isLoaded);

 private:
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
  // The WAV a CAF file was decoded into; removed with the player.
  std::unique_ptr<QTemporaryDir> m_decodedCopy;
};

}  // namespace parlowvista
