#pragma once

#include <voxtrellis/AudioFrameConverter.h>

#include <QAudioFormat>
#include <QByteArray>
#include <QString>

#include <memory>

struct AVFrame;

namespace parlowvista {

// The player's decoded sound on its way out, converted to the player's format a slice at a time:
// silence standing for frames lost to damage first, then the frame waiting behind it, from one of
// its samples on. Whatever the rates (a header may claim 1 Hz), a slice converts at least one input
// sample and about kStepFrames of output, never a whole packet's.
class PlaybackConversion {
 public:
  // Throws PlaybackError: no conversion to `format` (Int16, Int32 or Float PCM); `name`, the
  // file's, is what it says.
  PlaybackConversion(const QAudioFormat& format, const QString& name);
  ~PlaybackConversion();
  PlaybackConversion(const PlaybackConversion&) = delete;
  PlaybackConversion& operator=(const PlaybackConversion&) = delete;

  // `frame` (the decoder's, referred to until it is converted) waits behind `silence` seconds of
  // silence, to be converted from its sample `offset` on.
  void take(AVFrame& frame, double silence, int offset);
  // Something taken is still to be converted.
  bool pending() const { return m_held || m_frameWaiting; }
  // The next step of what was taken: a slice of it converted into `out`, or the next second (at
  // most) of the silence before the waiting frame, or the frame, made ready to convert. False
  // where nothing converts the sound (a part of the stream in a format nothing converts): what was
  // taken is dropped.
  bool step(QByteArray& out);
  // What the converter still holds, at the end of the sound, into `out`; false as step().
  bool drain(QByteArray& out);
  // Drops what was taken and what the converter holds: what comes next does not follow on (a seek).
  void reset();

  static constexpr int kStepFrames = 4096;

 private:
  bool convertStep(QByteArray& out);
  void holdNext();
  void dropHeld();

  QAudioFormat m_format;
  QString m_name;
  std::unique_ptr<voxtrellis::AudioFrameConverter> m_converter;
  // What is being converted: `m_waiting` or `m_silence`, from `m_heldOffset` on. Silence standing
  // for frames lost to damage goes first, `m_silenceLeft` seconds of it, while the frame waits.
  AVFrame* m_silence = nullptr;
  AVFrame* m_waiting = nullptr;
  AVFrame* m_held = nullptr;
  int m_heldOffset = 0;
  double m_silenceLeft = 0;
  bool m_frameWaiting = false;
  int m_waitingOffset = 0;
};

}  // namespace parlowvista
