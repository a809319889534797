#pragma once

#include <QObject>
#include <QString>

#include <mutex>
#include <optional>

class QAudioSink;
class QTimer;

namespace parlowvista {

class PlaybackStream;

// Plays one file at a time through the machine's default audio output, decoding it as it goes
// (PlaybackStream). Everything that talks to the audio system runs on one thread of its own:
// opening, starting and stopping an output stream wait for the sound server's threads, and the
// UI thread must never wait on those. Where the machine has no audio output (a build machine,
// a headless session) nothing is opened and nothing is reported.
//
// Made and driven on the UI thread: each call returns at once and is carried out on the sound
// thread in the order made. release() replaces the destructor: the object goes on its own
// thread once the calls before it are done.
class SoundOutput : public QObject {
 public:
  SoundOutput();

  // The file to play from now on; nothing plays until play().
  void open(const QString& path);
  // Plays from `seconds`. `command` names this request in what playedPosition() reports.
  void play(quint64 command, double seconds);
  void pause();
  void setVolume(double volume);  // 0 ... 1
  // Stops and lets go of the file.
  void close();
  void release();

  // What the output has played since play(`command`), in the file's seconds, at the moment of
  // asking (interpolated between the sound thread's readings); nothing before its first reading,
  // without an output, or once a later command was given. Any thread.
  struct Played {
    double position = 0;  // seconds
    bool ended = false;   // the file's last sample has been heard
  };
  std::optional<Played> playedPosition(quint64 command) const;

 private:
  ~SoundOutput() override;

  void retire();
  void openHere(const QString& path);
  void playHere(quint64 command, double seconds);
  void stopHere();
  void readPosition();
  void report(quint64 command, double position, bool ended);

  // Sound thread only.
  QAudioSink* m_sink = nullptr;
  PlaybackStream* m_stream = nullptr;  // owned by m_sink
  QTimer* m_poll = nullptr;
  double m_volume = 1.0;
  quint64 m_playing = 0;  // the command being played, 0 when none
  double m_playedFrom = 0;

  mutable std::mutex m_reportLock;
  struct Report {
    quint64 command = 0;
    double position = 0;
    qint64 atNanoseconds = 0;  // steady clock of the reading
    bool ended = false;
  } m_report;
};

}  // namespace parlowvista
