#pragma once

#include "Services/PlaybackDecoder.h"

#include <QAudioFormat>
#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <memory>
#include <mutex>

namespace parlowvista {

// The sound of a media file as PCM in a chosen format: the source an audio sink pulls from. A
// decoder (PlaybackDecoder) fills a buffer of about half a second ahead of what is read, so a
// file of any length plays from a megabyte or so, and nothing is written beside it.
//
// Threads: the decoder belongs to the thread the stream lives on (its owner), and only that
// thread decodes: seek() and fill() are for it alone. Everything a sink may call, from
// whichever thread the audio system calls it (read(), atEnd(), bytesAvailable(), position()),
// answers from the buffer under a lock and never decodes; a read that leaves the buffer low
// asks the owner, by a queued call, to fill it again, and readyRead() tells when it has.
class PlaybackStream : public QIODevice {
 public:
  // Opens the file (see PlaybackDecoder, which takes `places`) for reading from its start; throws
  // PlaybackError.
  PlaybackStream(const QString& path, const QAudioFormat& format,
                 std::shared_ptr<const voxtrellis::SoundPlaces> places = nullptr);
  ~PlaybackStream() override;

  const QAudioFormat& format() const;

  // Owner thread. Drops what is buffered; what is read next starts at `seconds` into the file.
  // Throws PlaybackError when the file cannot be read again.
  void seek(double seconds);
  // Owner thread. Decodes until about half a second is buffered or the file ends, then emits
  // readyRead(). A decoder that throws ends the stream; failure() says why.
  void fill();

  // Any thread. Where in the file (seconds) the next byte read comes from.
  double position() const;
  // Any thread. Every sample of the file has been read.
  bool isExhausted() const;
  // Any thread. Decoding ended on an error: the text says why; empty otherwise.
  QString failure() const;

  bool isSequential() const override { return true; }
  // Never, even once exhausted: Qt 6.4's PulseAudio sink, told its source is at its end, asks
  // the sound server to say when everything was played and is called back then on the server's
  // thread even when it has been deleted meanwhile (a crash now and then as a file ends). Its
  // owner tells the end by isExhausted(); the sink, finding nothing to read, only goes idle.
  bool atEnd() const override { return false; }
  qint64 bytesAvailable() const override;

 protected:
  qint64 readData(char* data, qint64 maxSize) override;
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  std::unique_ptr<PlaybackDecoder> m_decoder;  // owner thread only
  const QAudioFormat m_format;
  const qsizetype m_capacity;  // bytes buffered ahead

  mutable std::mutex m_lock;  // guards what follows
  QByteArray m_buffer;        // decoded bytes not read yet, from m_readOffset on
  qsizetype m_readOffset = 0;
  double m_seekBase = 0;       // seconds: where the first byte read since the last seek lies
  qint64 m_delivered = 0;      // bytes read since the last seek
  bool m_decoderDone = false;  // the decoder has nothing more to give
  bool m_fillAsked = false;    // a fill is queued for the owner
  QString m_failure;
};

}  // namespace parlowvista
