#pragma once

#include <voxtrellis/SoundPlaces.h>

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
  // cannot be opened, holds no audio, has a header the loader refuses (voxtrellis::AudioHeader:
  // "not an audio file, or damaged"), has no decoder or no conversion to `format` (Int16, Int32
  // or Float PCM). `places`: where the loader found the file's sound (see seek()); taken only when
  // it is of this file as it is now (voxtrellis::SoundPlaces::fits), and let go at the first place
  // a seek would go by that is not found where it puts it (a file edited in place at the same
  // size): seeks go as without them since.
  PlaybackDecoder(const QString& path, const QAudioFormat& format,
                  std::shared_ptr<const voxtrellis::SoundPlaces> places = nullptr);
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

  // What decode() gives next starts at `seconds` into the file (clamped at 0), in the seconds the
  // engine's loader counts (voxtrellis::FrameTimeline): decoded from a little before it (the
  // frames a decoder gives first after a seek are silent or half there), and what lies before
  // it dropped. Where the loader's places were given, it goes to one of them (by position in raw
  // MP3, ADTS AAC and FLAC, else by the container's stamp of its packet) and lays that packet's
  // sound where the loader laid it: damage, and a header stating another rate or packet length,
  // make any other reckoning differ from it. Without them, raw MP3 and ADTS AAC go to a packet of
  // their index (RawStreamIndex, whose pass reads the stamps of all their packets once, from a
  // container of its own), PCM by its rate and block size, others by FFmpeg's own search.
  // Throws PlaybackError when a container that cannot seek cannot be read again.
  void seek(double seconds);

  // Appends at least `wanted` bytes of converted sound to `out` when the file has them (a
  // step may give a little more: one slice of converted input, bounded whatever the rates).
  // Damage after sound is skipped as the loader skips it (silence standing for what it cost
  // where the container says how long that lasted, a new decoder after it); damage that nothing
  // decodable follows (a file cut inside a sample frame or a packet's header) is the file's end.
  // A read that fails (a failing disk, a network share gone away) stops decoding on an error,
  // where the loader's sound ends. Returns false once the file has no more (what was appended
  // still counts).
  bool decode(QByteArray& out, qsizetype wanted);
  // Decoding stopped on an error rather than at the file's end: damage before any sound, a file
  // that cannot be read on, sound in a format nothing converts. A seek starts afresh.
  bool stoppedOnError() const;
  // Seeks go by the loader's places of the file's sound (given, and of this file).
  bool seeksByLoadersPlaces() const;
  // Why, for the user: "Cannot play talk.wav: its audio cannot be decoded", "The rest of talk.wav
  // cannot be read (Input/output error): playback stops here"; empty unless stoppedOnError().
  QString stopReason() const;

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

}  // namespace parlowvista
