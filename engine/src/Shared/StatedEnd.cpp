#include "Shared/StatedEnd.h"

#include "Shared/AudioFileDecoder.h"

#include <voxtrellis/AudioFileError.h>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace voxtrellis {

StatedEnd::StatedEnd(double seconds, std::string path) : m_seconds(seconds), m_path(std::move(path)) {}

StatedEnd::~StatedEnd() {
  for (auto& entry : m_held) av_frame_free(&entry.first);
  av_frame_free(&m_released);
}

void StatedEnd::fail(int status) const {
  throw AudioFileError(AudioFileError::Kind::readFailed, m_path, ffmpegErrorText(status));
}

void StatedEnd::hold(const AVFrame& frame, int from) {
  AVFrame* copy = av_frame_clone(&frame);
  if (!copy) fail(AVERROR(ENOMEM));
  m_held.emplace_back(copy, from);
}

const AVFrame* StatedEnd::deliver(AVFrame& frame, double start) {
  if (m_seconds >= 0) {
    const int rate = std::max(frame.sample_rate, 1);
    const int64_t before = std::llround((m_seconds - start) * rate);
    if (before <= 0) {
      // Sound past the stated end: the statement was no end, and what was held is sound too.
      m_seconds = -1;
      if (!m_held.empty()) {
        hold(frame, 0);
        return release();
      }
    } else if (before < frame.nb_samples) {
      hold(frame, static_cast<int>(before));
      frame.nb_samples = static_cast<int>(before);
    }
  }
  return &frame;
}

const AVFrame* StatedEnd::next() {
  return m_seconds < 0 && !m_held.empty() ? release() : nullptr;
}

// The oldest held frame without its samples already delivered, sharing its buffers.
const AVFrame* StatedEnd::release() {
  auto [source, skip] = m_held.front();
  m_held.pop_front();
  if (!m_released) m_released = av_frame_alloc();
  if (m_released) av_frame_unref(m_released);
  const int status = m_released ? av_frame_ref(m_released, source) : AVERROR(ENOMEM);
  av_frame_free(&source);
  if (status < 0) fail(status);
  if (skip > 0) {
    const auto sampleFormat = static_cast<AVSampleFormat>(m_released->format);
    const int bytes = av_get_bytes_per_sample(sampleFormat);
    const int channels = m_released->ch_layout.nb_channels;
    if (av_sample_fmt_is_planar(sampleFormat)) {
      for (int c = 0; c < channels; ++c) m_released->extended_data[c] += static_cast<std::ptrdiff_t>(skip) * bytes;
    } else {
      m_released->extended_data[0] += static_cast<std::ptrdiff_t>(skip) * bytes * channels;
    }
    m_released->nb_samples -= skip;
  }
  return m_released;
}

}  // namespace voxtrellis
