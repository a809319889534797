#pragma once

#include "Services/SoundOutput.h"

#include <voxtrellis/SoundPlaces.h>

#include <QAudioFormat>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

class QTimer;

namespace parlowvista {

// Plays the audio file behind the open transcript and is the transcript's clock: while playing,
// a 0.1 s timer copies the position into `currentTime`, which the transcript and the video bar
// follow. Main thread only.
//
// Nothing here waits on a decoder, a file or the audio system. Loading looks into the file on a
// thread of its own that nothing waits for (a file on a hung mount may never open): it opens
// the decoder and decodes the first sound, so a file that cannot be played is refused then,
// with the reason. The sound is decoded from the file as it plays (any format FFmpeg reads, a
// CAF too, nothing copied or held whole) and played on a thread of its own (SoundOutput). The
// position is what the audio output has played; where the machine has no audio output (a
// build machine, a headless session) or the output fails, the player's own clock runs in its
// place, so playing, seeking and the end of the file behave alike with and without sound.
//
// Why the file cannot be played, or why nothing is heard, is published as `problem` for the
// playback controls to show: a refused load, a file whose sound stops decoding (playback
// stops), an audio output that cannot start, goes away or stops taking sound, also one held up
// in the audio system (the clock plays on without sound).
//
// Every assignment to one of the four published values emits its signal, also when the value
// is unchanged (the position is assigned at every tick).
class AudioPlayerService : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
  Q_PROPERTY(double currentTime READ currentTime NOTIFY currentTimeChanged)
  Q_PROPERTY(double duration READ duration NOTIFY durationChanged)
  Q_PROPERTY(bool isLoaded READ isLoaded NOTIFY isLoadedChanged)

 public:
  struct PreparedFile;

  // How a load ended: an empty text when the file is in place, else the user-facing reason
  // ("Cannot open audio file: talk.wav", ...).
  using LoadFinished = std::function<void(const QString& error)>;

  explicit AudioPlayerService(QObject* parent = nullptr);
  // The PCM a file is looked into as it loads (48 kHz stereo float): what the player takes is
  // what a decoder to this format opens and gives some sound of.
  static QAudioFormat probeFormat();
  ~AudioPlayerService() override;

  bool isPlaying() const { return m_isPlaying; }
  double currentTime() const { return m_currentTime; }  // seconds
  double duration() const { return m_duration; }        // seconds; 0 when nothing is loaded
  bool isLoaded() const { return m_isLoaded; }
  bool isMuted() const { return m_isMuted; }
  double progress() const { return m_duration > 0 ? m_currentTime / m_duration : 0.0; }
  // A load has started and has not finished yet.
  bool isLoading() const { return m_loading; }
  // Paused at the end of the file (played to it, or moved there): play() starts from the
  // beginning. Any seek away from the end ends it.
  bool isPlayedOut() const { return m_isLoaded && !m_isPlaying && playbackPosition().second; }
  // Why the file cannot be played or is not heard, for the user; empty when nothing is wrong.
  // What the audio output said goes once sound is heard again; what was said of the file (a
  // refused load, sound that stops decoding, a file that changed since it was opened) stays
  // until another file is loaded, or stop().
  const QString& problem() const { return m_problem; }

  // Stops whatever plays (the service is empty from now until the file is in place) and
  // starts loading `url`; returns at once. When the file is ready it is loaded paused at 0
  // with its duration known, then `finished` runs with an empty text; a file that cannot be
  // opened or holds no audio leaves the service empty and `finished` gets the reason. A later
  // load(), stop() or unload() supersedes a load still under way: its outcome is dropped and
  // its `finished` never runs.
  //
  // While the load is under way, seek() and play() are kept for the file: the position is
  // published at once and set (clamped to the file) when the file is in place, and playback
  // then starts; pause() takes the wish to play back.
  //
  // `decodedDuration` is the length of the audio the caller has decoded from the file; it is
  // then the duration, whatever the file's header announces (a cut-off MP3 still claims its
  // whole length). Without it the header's length is taken.
  //
  // `places` gives where the loader found the file's sound as it decoded it (the record that came
  // with those samples): seeks then go where the loader has their time, past any damage and
  // whatever the file's header says of its time, and in a raw MP3 or ADTS file at once, without
  // an index of its packets to wait for (see PlaybackDecoder). It is called on the load's own
  // thread (it may read the record from disk); a record of another file, or of this one before it
  // changed, is not taken.
  using PlacesSource = std::function<std::shared_ptr<const voxtrellis::SoundPlaces>()>;
  void load(const QUrl& url, LoadFinished finished = {}, std::optional<double> decodedDuration = std::nullopt,
            PlacesSource places = {});
  // Plays from the position; from the start (published at once) when the file was played to
  // its end.
  void play();
  void pause();
  void togglePlayPause();
  // Releases the file: published values back to their initial ones.
  void stop();
  // stop(): nothing of the file is kept.
  void unload();
  void seek(double time);                // seconds, clamped to 0 ... duration (also while playing)
  void seekToProgress(double fraction);  // fraction of the duration, clamped to 0 ... 1
  void setMuted(bool muted);             // kept across loads and stops

  // For tests and diagnostics.
  double playerPosition() const;  // where playback is now, seconds (published or not)
  double playerVolume() const;    // the output's volume: 0 or 1 once a file was loaded
  // The position comes from what the audio output has played, not the player's own clock.
  bool isHeard() const { return heardPosition().has_value(); }
  // What the audio output said it had played (seconds) at the reading the published position was
  // last taken from, without the player's guess since; nothing while paused, nor in a playback
  // before its first such reading or once the player's own clock stands in for the output.
  std::optional<double> heardPosition() const;
  bool hasPositionTimer() const { return m_timer != nullptr; }
  // The file played; empty when none.
  QString playablePath() const { return m_isLoaded ? m_path : QString(); }
  // Seeks in the loaded file go by the loader's places given with it (see load()).
  bool seeksByLoadersPlaces() const { return m_isLoaded && m_seeksByPlaces; }

 signals:
  void isPlayingChanged(bool isPlaying);
  void currentTimeChanged(double currentTime);
  void durationChanged(double duration);
  void isLoadedChanged(bool isLoaded);
  void problemChanged(const QString& problem);

 private:
  struct LoadRelay;

  void supersedeLoad();
  void finishLoad(quint64 generation, const PreparedFile& prepared);
  void attach(const PreparedFile& prepared);
  void releaseOutput();
  bool isLetGo(const QObject* sender) const;
  void onFileFailed(quint64 command, const QString& reason);
  void onOutputFailed(quint64 command, const QString& reason);
  // Playback goes on by the player's own clock from where the output got to.
  void playOnWithoutOutput();
  void sayOfFile(const QString& problem);
  void sayOfOutput(const QString& problem);
  void showProblem(const QString& problem);
  // Starts the output and the clock at `seconds` as a new command.
  void startPlayback(double seconds);
  // Where playback is, and whether it has reached the end of the file: by the output's reading
  // `played` of the current command, or by the player's own clock without one.
  std::pair<double, bool> playbackPosition() const;
  std::pair<double, bool> playbackPosition(const std::optional<SoundOutput::Played>& played) const;
  void startTimer();
  void stopTimer();
  void updateTime();
  void endEarly(double end);
  void setIsPlaying(bool value);
  void setCurrentTime(double value);
  void setDuration(double value);
  void setIsLoaded(bool value);

  bool m_isPlaying = false;
  double m_currentTime = 0;
  double m_duration = 0;
  bool m_isLoaded = false;
  bool m_isMuted = false;

  QString m_path;
  bool m_seeksByPlaces = false;
  QString m_problem;  // shown: the latest of the two below
  QString m_fileProblem;
  QString m_outputProblem;
  SoundOutput* m_output = nullptr;  // the loaded file's; lives on the sound thread
  double m_volume = 0;
  quint64 m_command = 0;  // counts every start, seek, pause and stop of the output
  QTimer* m_timer = nullptr;
  // The clock: playback is at m_clockBase, plus the time since m_clockStart while playing when
  // the output has not said where it is.
  double m_clockBase = 0;
  QElapsedTimer m_clockStart;
  double m_playedFrom = 0;        // seconds: where the output's current playback started
  std::optional<double> m_heard;  // the output's reading behind the published position
  // The position published last in this playback: it never steps back within one (the
  // output's first reading may lie a little behind the clock that stood in for it).
  double m_playbackFloor = 0;

  bool m_loading = false;
  std::optional<double> m_seekOnLoad;  // seconds
  bool m_playOnLoad = false;
  quint64 m_loadGeneration = 0;  // every load and stop counts it up; older outcomes are dropped
  std::shared_ptr<std::atomic_bool> m_loadCancelled;
  LoadFinished m_loadFinished;
  QString m_loadPath;
  // Carries a load's outcome back from its thread while the service exists.
  std::shared_ptr<LoadRelay> m_relay;
};

}  // namespace parlowvista
