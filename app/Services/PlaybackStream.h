#pragma once

#include <QAudioFormat>
#include <QIODevice>
#include <QString>

#include <memory>

namespace parlowvista {

// The audio of a media file as PCM in a chosen format, decoded with FFmpeg while it is read: the
// source an audio sink pulls from. Only a few decoded frames are held at a time, so a file of
// any length plays from a megabyte or so, and nothing is written beside it.
//
// Reads are sequential; seek() moves to a time. A stream with more than two channels is mixed
// down to the format's channels, and its rate converted to the format's.
//
// Used by one thread at a time (the one whose sink reads it); it may be made on another.
class PlaybackStream : public QIODevice {
 public:
  // Opens the file's first audio stream for reading from its start. Throws std::runtime_error
  // with the reason when it cannot be decoded, or the format is not Int16, Int32 or Float PCM.
  PlaybackStream(const QString& path, const QAudioFormat& format);
  ~PlaybackStream() override;

  const QAudioFormat& format() const;
  // What is read next starts at `seconds` into the file (clamped at 0): at that sample where the
  // container tells the time of its packets, else where the file's own seek lands.
  void seek(double seconds);
  // Where in the file (seconds) the next byte read comes from.
  double position() const;
  // Every sample of the file has been read.
  bool isExhausted() const;

  bool isSequential() const override { return true; }
  bool atEnd() const override { return isExhausted(); }

 protected:
  qint64 readData(char* data, qint64 maxSize) override;
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  struct Decoder;
  std::unique_ptr<Decoder> m_decoder;
};

}  // namespace parlowvista
