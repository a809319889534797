#include "Services/PlaybackConversion.h"

#include "Services/PlaybackDecoder.h"

#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/FrameTimeline.h>

#include <algorithm>
#include <cmath>
#include <optional>

extern "C" {
#include <libavutil/frame.h>
}

namespace parlowvista {

namespace {

// Past this many channels the decoder's output is mixed to one channel before the resampler,
// which only knows the positions of the common layouts.
constexpr int kMostResampledChannels = 8;

std::optional<voxtrellis::AudioFrameConverter::SampleType> sampleTypeOf(const QAudioFormat& format) {
  using SampleType = voxtrellis::AudioFrameConverter::SampleType;
  switch (format.sampleFormat()) {
    case QAudioFormat::Int16: return SampleType::int16;
    case QAudioFormat::Int32: return SampleType::int32;
    case QAudioFormat::Float: return SampleType::float32;
    default: return std::nullopt;
  }
}

}  // namespace

PlaybackConversion::PlaybackConversion(const QAudioFormat& format, const QString& name)
    : m_format(format), m_name(name) {
  const auto sampleType = sampleTypeOf(format);
  if (!format.isValid() || !sampleType) {
    throw PlaybackError(QStringLiteral("Cannot play %1: unsupported output format").arg(name));
  }
  voxtrellis::AudioFrameConverter::Target target;
  target.sampleRate = format.sampleRate();
  target.channelCount = format.channelCount();
  target.sampleType = *sampleType;
  target.mixAbove = kMostResampledChannels;
  m_converter = std::make_unique<voxtrellis::AudioFrameConverter>(target);
  m_silence = av_frame_alloc();
  if (!m_silence) throw PlaybackError(QStringLiteral("Cannot play %1: out of memory").arg(name));
}

PlaybackConversion::~PlaybackConversion() {
  av_frame_free(&m_silence);
}

void PlaybackConversion::take(AVFrame& frame, double silence, int offset) {
  m_waiting = &frame;
  m_silenceLeft = silence;
  m_waitingOffset = offset;
  m_frameWaiting = true;
  holdNext();
}

bool PlaybackConversion::step(QByteArray& out) {
  if (m_held) return convertStep(out);
  if (m_frameWaiting) holdNext();
  return true;
}

bool PlaybackConversion::drain(QByteArray& out) {
  return convertStep(out);
}

void PlaybackConversion::reset() {
  dropHeld();
  m_converter->reset();
}

void PlaybackConversion::dropHeld() {
  if (m_held) av_frame_unref(m_held);
  if (m_frameWaiting) av_frame_unref(m_waiting);
  m_held = nullptr;
  m_heldOffset = 0;
  m_silenceLeft = 0;
  m_frameWaiting = false;
}

// Converts the held frame's next slice (or, without one, drains the converter) into `out`.
bool PlaybackConversion::convertStep(QByteArray& out) {
  voxtrellis::AudioFrameConverter::Output converted;
  try {
    if (m_held) {
      const int64_t perStep = int64_t(kStepFrames) * m_held->sample_rate / m_format.sampleRate();
      const int inputSamples = int(std::clamp<int64_t>(perStep, 1, m_held->nb_samples - m_heldOffset));
      converted = m_converter->convert(*m_held, m_heldOffset, inputSamples);
      m_heldOffset += inputSamples;
      if (m_heldOffset >= m_held->nb_samples) {
        av_frame_unref(m_held);
        m_held = nullptr;
        m_heldOffset = 0;
      }
    } else {
      converted = m_converter->drain();
    }
  } catch (const voxtrellis::AudioConverterError&) {
    dropHeld();
    return false;
  }
  out.append(reinterpret_cast<const char*>(converted.data),
             qsizetype(converted.frames) * qsizetype(m_converter->bytesPerFrame()));
  return true;
}

// Holds the next second (at most) of the silence before the waiting frame, or the frame.
void PlaybackConversion::holdNext() {
  if (m_silenceLeft <= 0) {
    m_frameWaiting = false;
    m_held = m_waiting;
    m_heldOffset = m_waitingOffset;
    return;
  }
  const int rate = std::max(m_waiting->sample_rate, 1);
  const int64_t wanted = std::max<int64_t>(std::llround(m_silenceLeft * rate), 1);
  const int samples = int(std::min<int64_t>(wanted, rate));
  if (!voxtrellis::FrameTimeline::makeSilence(*m_silence, *m_waiting, samples)) {
    throw PlaybackError(QStringLiteral("Cannot play %1: out of memory").arg(m_name));
  }
  m_silenceLeft = samples >= wanted ? 0 : m_silenceLeft - double(samples) / rate;
  m_held = m_silence;
  m_heldOffset = 0;
}

}  // namespace parlowvista
