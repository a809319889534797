#pragma once

#include <QAudioFormat>
#include <QByteArray>
#include <QString>

#include <memory>
#include <stdexcept>

namespace parlowvista {

// Why a file cannot be played; `what()` is the user-facing text ("Cannot play talk.wav: no
// decoder for its audio").
class PlaybackError : public std::runtime_error {
 public:
  explicit PlaybackError(const QString& text) : std::runtime_error(text.toStdString()) {}
  QString text() const { return QString::fromStdString(what()); }
};

// The audio of a media file decoded with FFmpeg into PCM of a chosen format: the file's first
// audio stream, any channel count mixed down to the format's channels, its rate converted.
// Only regular files are opened (a FIFO or a device would block or never end); the file is
// read through a descriptor of its own, so a file deleted or replaced while it plays plays on,
// a seek that has to read it again from the start too.
//
// Every call may read the file. Not thread-safe: used by one thread at a time, and the owner
// hands it on (or lets it go) through something that orders memory, such as a queued call.
class PlaybackDecoder {
 public:
  // Opens the file and its decoder and prepares the conversion. Throws PlaybackError: the file
  // cannot be opened, holds no audio, has no decoder or no conversion to `format` (Int16,
  // Int32 or Float PCM).
  PlaybackDecoder(const QString& path, const QAudioFormat& format);
  ~PlaybackDecoder();
  PlaybackDecoder(const PlaybackDecoder&) = delete;
  PlaybackDecoder& operator=(const PlaybackDecoder&) = delete;

  const QAudioFormat& format() const;
  // The length the container announces, in seconds; 0 when it does not tell.
  double announcedDuration() const;
  // That length is what the file holds: the container states it (in its header, or from the
  // times of its packets) rather than guessing it from the bit rate, or its samples are of a
  // fixed size (PCM), so that the length follows from the file's size.
  bool announcesExactly() const;

  // What decode() gives next starts at `seconds` into the file (clamped at 0): at that sample
  // where the container tells the time of its packets, else where the file's own seek lands;
  // also where the rate changes midway, in the seconds the loader counts. The first seek in raw
  // ADTS AAC reads the whole file's packets once, for where each rate's stretch lies (its
  // reader stamps all at the first rate). Stamps that decode to no sound (the header frame of
  // a joined MP3's later part) are known once decoded: a seek past such a joint not decoded yet
  // lands that much early, a frame or two.
  // Throws PlaybackError when a container that cannot seek cannot be read again.
  void seek(double seconds);

  // Appends at least `wanted` bytes of converted sound to `out` when the file has them (a
  // step may give a little more: one slice of converted input, bounded whatever the rates).
  // Returns false once the file has no more (what was appended still counts).
  bool decode(QByteArray& out, qsizetype wanted);
  // Decoding stopped on a damaged or undecodable stream rather than at the file's end. Damage
  // after sound that nothing of the stream follows (a file cut inside a sample frame) is the
  // file's end, as the loader takes it.
  bool stoppedOnError() const;

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

}  // namespace parlowvista
