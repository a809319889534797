#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/AudioFrameConverter.h>

#include "Shared/AudioFileDecoder.h"
#include "Shared/ChannelMix.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstring>
#include <vector>

namespace voxtrellis {

namespace {

AVSampleFormat outputFormatOf(AudioFrameConverter::SampleType type) {
  switch (type) {
    case AudioFrameConverter::SampleType::int16: return AV_SAMPLE_FMT_S16;
    case AudioFrameConverter::SampleType::int32: return AV_SAMPLE_FMT_S32;
    case AudioFrameConverter::SampleType::float32: return AV_SAMPLE_FMT_FLT;
  }
  return AV_SAMPLE_FMT_FLT;
}

// The frame's layout, with one of unknown order taken as the usual layout of its channel count.
void layoutOf(const AVFrame& frame, AVChannelLayout& layout) {
  if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&layout, frame.ch_layout.nb_channels);
  } else if (av_channel_layout_copy(&layout, &frame.ch_layout) < 0) {
    throw AudioConverterError::conversionFailed("Not enough memory");
  }
}

template <typename Sample>
void copyAsFloat(const uint8_t* base, int stride, int from, int count, double scale, double offset, float* out) {
  for (int i = 0; i < count; ++i) {
    Sample value;
    std::memcpy(&value, base + static_cast<std::size_t>(from + i) * stride, sizeof value);
    out[i] = static_cast<float>((static_cast<double>(value) - offset) * scale);
  }
}

}  // namespace

struct AudioFrameConverter::Impl {
  Target target;
  AVSampleFormat outFormat = AV_SAMPLE_FMT_FLT;
  std::size_t outFrameBytes = 0;

  // The input format the converter is set up for.
  bool ready = false;
  AVChannelLayout layout{};
  int rate = 0;
  int format = -1;
  bool mixHere = false;
  SwrContext* swr = nullptr;  // none: the input is in the target format already

  std::vector<unsigned char> out;
  std::vector<std::vector<float>> planes;  // one step's input as float, when mixed here
  std::vector<const float*> planePointers;
  std::vector<float> mix;

  ~Impl() { release(); }

  void release() {
    swr_free(&swr);
    av_channel_layout_uninit(&layout);
    ready = false;
  }

  bool sameFormat(const AVFrame& frame, const AVChannelLayout& frameLayout) const {
    return ready && frame.sample_rate == rate && frame.format == format &&
           av_channel_layout_compare(&frameLayout, &layout) == 0;
  }

  void setUp(const AVFrame& frame, AVChannelLayout& frameLayout) {
    release();
    const int channels = frameLayout.nb_channels;
    if (frame.sample_rate <= 0 || channels <= 0 || frame.format < 0) {
      throw AudioConverterError::failedToCreateConverter();
    }
    if (target.maxUpsampling > 0 &&
        static_cast<int64_t>(target.sampleRate) > static_cast<int64_t>(frame.sample_rate) * target.maxUpsampling) {
      throw AudioConverterError::failedToCreateConverter();
    }
    mixHere = channels > target.mixAbove;
    AVChannelLayout inLayout{};
    AVSampleFormat inFormat = AV_SAMPLE_FMT_FLT;
    if (mixHere) {
      av_channel_layout_default(&inLayout, 1);
    } else {
      layoutOf(frame, inLayout);
      inFormat = static_cast<AVSampleFormat>(frame.format);
    }
    const int inChannels = inLayout.nb_channels;
    const bool passThrough = inChannels == target.channelCount && frame.sample_rate == target.sampleRate &&
                             av_get_packed_sample_fmt(inFormat) == outFormat &&
                             (inChannels == 1 || !av_sample_fmt_is_planar(inFormat));
    if (!passThrough) {
      AVChannelLayout outLayout{};
      av_channel_layout_default(&outLayout, target.channelCount);
      int status = swr_alloc_set_opts2(&swr, &outLayout, outFormat, target.sampleRate, &inLayout, inFormat,
                                       frame.sample_rate, 0, nullptr);
      if (status >= 0 && swr && inChannels == 1 && target.channelCount > 1) {
        const std::vector<double> everyChannel(static_cast<std::size_t>(target.channelCount), 1.0);
        status = swr_set_matrix(swr, everyChannel.data(), 1);
      } else if (status >= 0 && swr && inChannels > 1 && target.channelCount == 1) {
        const std::vector<double> mean(static_cast<std::size_t>(inChannels), 1.0 / inChannels);
        status = swr_set_matrix(swr, mean.data(), inChannels);
      }
      if (status >= 0 && swr) status = swr_init(swr);
      av_channel_layout_uninit(&outLayout);
      if (status < 0 || !swr) {
        av_channel_layout_uninit(&inLayout);
        swr_free(&swr);
        throw AudioConverterError::failedToCreateConverter();
      }
    }
    av_channel_layout_uninit(&inLayout);
    std::swap(layout, frameLayout);
    rate = frame.sample_rate;
    format = frame.format;
    ready = true;
  }

  // The frame's samples [from, from + count) mixed to their mean, in `mix`.
  void mixDown(const AVFrame& frame, int from, int count) {
    const auto sampleFormat = static_cast<AVSampleFormat>(frame.format);
    const bool planar = av_sample_fmt_is_planar(sampleFormat);
    const int channels = frame.ch_layout.nb_channels;
    const int bytes = av_get_bytes_per_sample(sampleFormat);
    const int stride = planar ? bytes : bytes * channels;
    planes.resize(static_cast<std::size_t>(channels));
    planePointers.resize(static_cast<std::size_t>(channels));
    for (int c = 0; c < channels; ++c) {
      std::vector<float>& plane = planes[static_cast<std::size_t>(c)];
      plane.assign(static_cast<std::size_t>(count), 0.0f);
      planePointers[static_cast<std::size_t>(c)] = plane.data();
      const uint8_t* base =
          planar ? frame.extended_data[c] : frame.extended_data[0] + static_cast<std::size_t>(c) * bytes;
      switch (av_get_packed_sample_fmt(sampleFormat)) {
        case AV_SAMPLE_FMT_U8: copyAsFloat<uint8_t>(base, stride, from, count, 1.0 / 128, 128, plane.data()); break;
        case AV_SAMPLE_FMT_S16: copyAsFloat<int16_t>(base, stride, from, count, 1.0 / 32768, 0, plane.data()); break;
        case AV_SAMPLE_FMT_S32:
          copyAsFloat<int32_t>(base, stride, from, count, 1.0 / 2147483648.0, 0, plane.data());
          break;
        case AV_SAMPLE_FMT_S64:
          copyAsFloat<int64_t>(base, stride, from, count, 1.0 / 9.2233720368547758e18, 0, plane.data());
          break;
        case AV_SAMPLE_FMT_FLT: copyAsFloat<float>(base, stride, from, count, 1.0, 0, plane.data()); break;
        case AV_SAMPLE_FMT_DBL: copyAsFloat<double>(base, stride, from, count, 1.0, 0, plane.data()); break;
        default: throw AudioConverterError::failedToCreateConverter();
      }
    }
    mix.clear();
    ChannelMix::appendMix(planePointers.data(), channels, count, mix);
  }

  // Appends what the resampler gives for `input` (null: what it still holds).
  int resample(const uint8_t* const* input, int frames) {
    const int capacity = std::max(swr_get_out_samples(swr, frames), input ? 0 : 256);
    uint8_t* target = nullptr;
    const std::size_t start = out.size();
    if (capacity > 0) {
      out.resize(start + static_cast<std::size_t>(capacity) * outFrameBytes);
      target = out.data() + start;
    }
    const int produced =
        swr_convert(swr, capacity > 0 ? &target : nullptr, capacity, const_cast<const uint8_t**>(input), frames);
    out.resize(start + static_cast<std::size_t>(std::max(produced, 0)) * outFrameBytes);
    if (produced < 0) throw AudioConverterError::conversionFailed(ffmpegErrorText(produced));
    return produced;
  }

  void appendHeld() {
    if (!swr) return;
    while (resample(nullptr, 0) > 0) {
    }
  }

  Output output() const { return Output{out.data(), static_cast<int>(out.size() / outFrameBytes)}; }
};

AudioFrameConverter::AudioFrameConverter(Target target) : m_impl(std::make_unique<Impl>()) {
  if (target.channelCount < 1 || target.sampleRate < 1) throw AudioConverterError::failedToCreateConverter();
  m_impl->target = target;
  m_impl->outFormat = outputFormatOf(target.sampleType);
  m_impl->outFrameBytes = static_cast<std::size_t>(av_get_bytes_per_sample(m_impl->outFormat)) *
                          static_cast<std::size_t>(target.channelCount);
}

AudioFrameConverter::~AudioFrameConverter() = default;

const AudioFrameConverter::Target& AudioFrameConverter::target() const {
  return m_impl->target;
}

std::size_t AudioFrameConverter::bytesPerFrame() const {
  return m_impl->outFrameBytes;
}

AudioFrameConverter::Output AudioFrameConverter::convert(const AVFrame& frame, int from, int count) {
  Impl& d = *m_impl;
  d.out.clear();
  if (count <= 0) return d.output();
  AVChannelLayout frameLayout{};
  layoutOf(frame, frameLayout);
  if (!d.sameFormat(frame, frameLayout)) {
    // What the resampler holds belongs to the format before: out first, then the new set-up.
    try {
      d.appendHeld();
      d.setUp(frame, frameLayout);
    } catch (...) {
      av_channel_layout_uninit(&frameLayout);
      d.release();
      throw;
    }
  }
  av_channel_layout_uninit(&frameLayout);

  std::vector<const uint8_t*> input;
  if (d.mixHere) {
    d.mixDown(frame, from, count);
    input.push_back(reinterpret_cast<const uint8_t*>(d.mix.data()));
  } else {
    const auto sampleFormat = static_cast<AVSampleFormat>(frame.format);
    const bool planar = av_sample_fmt_is_planar(sampleFormat);
    const int channels = frame.ch_layout.nb_channels;
    const std::size_t stride = static_cast<std::size_t>(av_get_bytes_per_sample(sampleFormat)) *
                               static_cast<std::size_t>(planar ? 1 : channels);
    for (int p = 0; p < (planar ? channels : 1); ++p) {
      input.push_back(frame.extended_data[p] + static_cast<std::size_t>(from) * stride);
    }
  }
  if (d.swr) {
    d.resample(input.data(), count);
  } else {
    const std::size_t bytes = static_cast<std::size_t>(count) * d.outFrameBytes;
    const std::size_t start = d.out.size();
    d.out.resize(start + bytes);
    std::memcpy(d.out.data() + start, input[0], bytes);
  }
  return d.output();
}

AudioFrameConverter::Output AudioFrameConverter::drain() {
  Impl& d = *m_impl;
  d.out.clear();
  try {
    d.appendHeld();
  } catch (...) {
    d.release();
    throw;
  }
  d.release();
  return d.output();
}

void AudioFrameConverter::reset() {
  m_impl->out.clear();
  m_impl->release();
}

}  // namespace voxtrellis
