#pragma once

#include <voxtrellis/SoundPlaces.h>

#include <QAudioFormat>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>
#include <mutex>
#include <optional>

class QAudioSink;
class QTimer;

namespace parlowvista {

class PlaybackStream;

// Plays one file through the machine's default audio output, decoding it as it goes
// (PlaybackStream). Everything that talks to the audio system runs on one thread of its own,
// the sound thread, which also owns the decoder: opening, starting and stopping an output
// stream wait for the sound server's threads, and the UI thread must never wait on those.
// Each start gets a sink of its own, of a fixed buffer size (a sink stopped and started again
// shrinks its buffer until it stops pulling). Where the machine has no audio output (a build
// machine, a headless session, a sound server that is down) a Play says so (outputFailed), and
// the next Play looks for one again. A sink that stops taking sound (runs dry, or stands still
// while it says it plays) is started again a few times, then given up (outputFailed); a new
// sink counts as helping only once it has played past what it takes into its own buffer.
//
// Made and driven on the UI thread: each call returns at once and is carried out on the sound
// thread in the order made. release() replaces the destructor: the object goes on its own
// thread once the calls before it are done. The signals come from the sound thread.
//
// At the application's end (QCoreApplication's post routines) every sink and stream is let go
// on the sound thread while the audio system is whole, and the thread ends, before the audio
// system's own teardown.
class SoundOutput : public QObject {
  Q_OBJECT

 public:
  SoundOutput();

  // The file to play (once, first): opened on the sound thread; fileFailed(0, ...) when it
  // cannot be, and at every play() that finds it still cannot. `places`: see PlaybackDecoder.
  void open(const QString& path, std::shared_ptr<const voxtrellis::SoundPlaces> places = nullptr);
  // Plays from `seconds`. `command` names this request in what playedPosition() reports.
  void play(quint64 command, double seconds);
  void pause();
  void setVolume(double volume);  // 0 ... 1
  // Stops, lets go of the file and ends the object; no signal comes after it.
  void release();

  // What the output has played since play(`command`), in the file's seconds, at the moment of
  // asking (interpolated between the sound thread's readings); nothing before its first reading,
  // without an output, or once a later command was given. Any thread.
  struct Played {
    double position = 0;  // seconds
    bool ended = false;   // the file's last sample has been heard
    double reading = 0;   // seconds: the last reading itself, without the guess since
    // No reading has come for seconds while playing: the sound thread is held up in the audio
    // system (a sound server stopped or hung), and nothing is heard.
    bool unanswered = false;
    // The output has played past what a new sink takes into its own buffer: it takes sound.
    bool taking = false;
  };
  std::optional<Played> playedPosition(quint64 command) const;

  // Qt hands queued calls and signals between threads under locks of its own, which a thread
  // sanitizer cannot see when Qt is not built with it. Every call and signal that crosses to or
  // from the sound thread here is handed over under this lock, and the receiving side takes it
  // before it reads what it was given: an order the sanitizer sees, for a lock nobody contends.
  // The receivers of the signals take it first thing.
  static std::mutex& handOffLock();

  // The reason told when the output stopped taking sound, for the user.
  static QString stoppedTakingSound();

 signals:
  // The file's sound cannot be played (by `command`, 0 for the opening); `reason` is for the user.
  void fileFailed(quint64 command, const QString& reason);
  // The audio output could not start, or stopped, while playing `command`: nothing is heard.
  void outputFailed(quint64 command, const QString& reason);

 private:
  ~SoundOutput() override;
  friend void shutDownSoundThread();

  struct Command {
    enum class Kind { open, play, pause, volume } kind = Kind::pause;
    quint64 command = 0;
    double value = 0;  // seconds to play from, or the volume
    QString path;
    std::shared_ptr<const voxtrellis::SoundPlaces> places;
  };
  void send(Command command);
  Q_INVOKABLE void runCommands();
  void tell(bool fileAtFault, quint64 command, const QString& reason);
  void openHere(const QString& path, std::shared_ptr<const voxtrellis::SoundPlaces> places);
  bool openStream(quint64 command);
  void playHere(quint64 command, double seconds);
  void startSink(double seconds);
  void stopHere();
  void retireSink();
  void shutDownHere();
  void readPosition();
  // `taking`: the current sink has played past what it takes into its own buffer.
  void watchForDrySink(double heard, bool taking);
  void report(quint64 command, double position, bool ended, bool taking = false);

  std::mutex m_commandsLock;
  std::deque<Command> m_commands;  // made on the UI thread, carried out on the sound thread in order

  // Sound thread only.
  QString m_path;
  std::shared_ptr<const voxtrellis::SoundPlaces> m_places;
  std::unique_ptr<PlaybackStream> m_stream;
  QAudioFormat m_format;
  QAudioSink* m_sink = nullptr;  // the current start's; a stopped one is deleted later
  QTimer* m_poll = nullptr;
  double m_volume = 1.0;
  quint64 m_playing = 0;  // the command being played, 0 when none
  double m_playedFrom = 0;
  double m_lastHeard = 0;  // the last reading, for noticing a sink that stands still
  int m_dryPolls = 0;
  int m_stillPolls = 0;  // polls while sound is owed (in the stream or the sink) and nothing more was heard
  int m_restarts = 0;

  mutable std::mutex m_reportLock;
  struct Report {
    quint64 command = 0;
    double position = 0;
    qint64 atNanoseconds = 0;  // steady clock of the reading
    bool ended = false;
    bool taking = false;
  } m_report;
};

}  // namespace parlowvista
