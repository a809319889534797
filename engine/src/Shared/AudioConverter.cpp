#include <voxtrellis/AudioConverter.h>

#include "Shared/AudioFileDecoder.h"
#include "Shared/LinearResampler.h"
#include "Shared/NumberText.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <cmath>
#include <cstring>
#include <vector>

namespace voxtrellis {

namespace {

std::string describe(AudioConverterError::Code code, const std::string& detail, int32_t status) {
  using Code = AudioConverterError::Code;
  switch (code) {
    case Code::conversionFailed: return "Audio conversion failed: " + detail;
    case Code::sampleBufferCopyFailed:
      return "Failed to copy samples from the audio buffer (status: " + std::to_string(status) + ")";
    case Code::failedToCreateConverter: return "Failed to create audio converter";
    case Code::failedToCreateBuffer: return "Failed to create conversion buffer";
    case Code::sampleBufferFormatMissing: return "The audio buffer is missing a valid audio format description.";
    case Code::failedToCreateSourceFormat:
      return "Failed to create a source audio format description for the audio buffer.";
  }
  return "Audio conversion failed: Unknown error";
}

AVSampleFormat sampleFormatOf(const AudioFormat& format) {
  const bool planar = !format.interleaved;
  switch (format.commonFormat) {
    case AudioCommonFormat::pcmFloat32: return planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
    case AudioCommonFormat::pcmFloat64: return planar ? AV_SAMPLE_FMT_DBLP : AV_SAMPLE_FMT_DBL;
    case AudioCommonFormat::pcmInt16: return planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
    case AudioCommonFormat::pcmInt32: return planar ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S32;
  }
  return AV_SAMPLE_FMT_FLTP;
}

bool validRate(double rate) {
  return std::isfinite(rate) && rate >= 1.0 && rate <= 2147483647.0;
}

// A resampler from `in` to `out` (planar float output); mono output from
// several channels is their mean. Null when FFmpeg refuses the pair.
SwrHandle makeConverter(const AudioFormat& in, const AudioFormat& out) {
  if (!validRate(in.sampleRate) || !validRate(out.sampleRate) || in.channelCount == 0 || out.channelCount == 0) {
    return nullptr;
  }
  AVChannelLayout inLayout, outLayout;
  av_channel_layout_default(&inLayout, static_cast<int>(in.channelCount));
  av_channel_layout_default(&outLayout, static_cast<int>(out.channelCount));
  SwrContext* raw = nullptr;
  const int status = swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_FLTP, static_cast<int>(out.sampleRate),
                                         &inLayout, sampleFormatOf(in), static_cast<int>(in.sampleRate), 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  av_channel_layout_uninit(&outLayout);
  SwrHandle swr(raw);
  if (status < 0 || !swr) return nullptr;
  if (out.channelCount == 1 && in.channelCount > 1) {
    std::vector<double> matrix(in.channelCount, 1.0 / in.channelCount);
    if (swr_set_matrix(swr.get(), matrix.data(), static_cast<int>(in.channelCount)) < 0) return nullptr;
  }
  if (swr_init(swr.get()) < 0) return nullptr;
  return swr;
}

// Runs one conversion step and appends channel 0 of the output to `result`.
// A null input drains the resampler. Returns the frames produced.
int convertInto(SwrContext* swr, int outChannels, const uint8_t* const* input, int inputFrames,
                std::vector<float>& result, std::vector<std::vector<float>>& scratch) {
  // The resampler's own bound: the result grows only by what can be written.
  const int capacity = std::max(swr_get_out_samples(swr, inputFrames), 256);
  scratch.resize(static_cast<std::size_t>(outChannels));
  for (int c = 1; c < outChannels; ++c) scratch[static_cast<std::size_t>(c)].resize(static_cast<std::size_t>(capacity));
  std::vector<uint8_t*> planes(static_cast<std::size_t>(outChannels));
  // Channel 0 is written straight into the result; other channels are scratch.
  const std::size_t start = result.size();
  result.resize(start + static_cast<std::size_t>(capacity));
  planes[0] = reinterpret_cast<uint8_t*>(result.data() + start);
  for (int c = 1; c < outChannels; ++c)
    planes[static_cast<std::size_t>(c)] = reinterpret_cast<uint8_t*>(scratch[static_cast<std::size_t>(c)].data());
  const int produced = swr_convert(swr, planes.data(), capacity, const_cast<const uint8_t**>(input), inputFrames);
  result.resize(start + static_cast<std::size_t>(std::max(produced, 0)));
  if (produced < 0) throw AudioConverterError::conversionFailed(ffmpegErrorText(produced));
  return produced;
}

}  // namespace

AudioConverterError::AudioConverterError(Code code, const std::string& detail, int32_t status)
    : std::runtime_error(describe(code, detail, status)), m_code(code) {}

AudioConverterError AudioConverterError::conversionFailed(std::optional<std::string> underlying) {
  return AudioConverterError(Code::conversionFailed, underlying ? *underlying : "Unknown error");
}

AudioConverterError AudioConverterError::sampleBufferCopyFailed(int32_t status) {
  return AudioConverterError(Code::sampleBufferCopyFailed, {}, status);
}

AudioConverter::AudioConverter(std::optional<AudioFormat> targetFormat, bool debug)
    : m_logger("AudioConverter"),
      m_targetFormat(targetFormat ? *targetFormat : AudioFormat::engineDefault()),
      m_debug(debug) {}

std::vector<float> AudioConverter::resampleBuffer(const AudioPCMBuffer& buffer) const {
  if (isTargetFormat(buffer.format())) {
    const float* const* channels = buffer.floatChannelData();
    if (!channels || buffer.frameLength() == 0) return {};
    return std::vector<float>(channels[0], channels[0] + buffer.frameLength());
  }
  return convertBuffer(buffer);
}

std::vector<float> AudioConverter::convertBuffer(const AudioPCMBuffer& buffer) const {
  if (buffer.format().channelCount >= 3) return linearResample(buffer);

  SwrHandle swr = makeConverter(buffer.format(), m_targetFormat);
  if (!swr) throw AudioConverterError::failedToCreateConverter();
  const int outChannels = static_cast<int>(m_targetFormat.channelCount);
  std::vector<float> result;
  const double estimate = std::ceil(m_targetFormat.sampleRate / buffer.format().sampleRate * buffer.frameLength());
  if (estimate > 0 && estimate < 4294967296.0) result.reserve(static_cast<std::size_t>(estimate) + 4096);

  std::vector<const uint8_t*> input(buffer.bufferCount());
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<const uint8_t*>(buffer.rawData(i));
  std::vector<std::vector<float>> scratch;
  if (buffer.frameLength() > 0) {
    convertInto(swr.get(), outChannels, input.data(), static_cast<int>(buffer.frameLength()), result, scratch);
  }
  // Drain what the resampler still holds.
  while (convertInto(swr.get(), outChannels, nullptr, 0, result, scratch) > 0) {
  }
  logConversion(buffer.frameLength(), result.size());
  return result;
}

std::vector<float> AudioConverter::linearResample(const AudioPCMBuffer& buffer) const {
  const uint32_t channels = buffer.format().channelCount;
  std::vector<float> mix;
  if (const float* const* data = buffer.floatChannelData()) {
    LinearResampler::appendMix(data, static_cast<int>(channels), buffer.frameLength(), mix);
  } else {
    throw AudioConverterError::failedToCreateBuffer();
  }
  if (buffer.format().sampleRate == m_targetFormat.sampleRate) return mix;
  std::vector<float> out =
      LinearResampler::resample(std::move(mix), buffer.format().sampleRate, m_targetFormat.sampleRate);
  logManualResampling(channels, buffer.format().sampleRate);
  return out;
}

std::vector<float> AudioConverter::resampleAudioFile(const std::filesystem::path& path) const {
  AudioFileDecoder decoder(path.string());
  const int channels = decoder.channelCount();
  const double inputRate = decoder.sampleRate();
  uint64_t inputFrames = 0;
  std::vector<std::vector<float>> scratch;

  if (channels >= 3) {
    // Own road: decode to planar float at the file's rate, mix each block down
    // as it arrives (per frame, so identical to mixing the whole file), then
    // resample the mix.
    SwrHandle swr(decoder.makeResampler(decoder.sampleRate(), channels, true));
    std::vector<float> mix;
    mix.reserve(static_cast<std::size_t>(std::max<int64_t>(decoder.estimatedFrames(), 0)));
    std::vector<std::vector<float>> planes(static_cast<std::size_t>(channels));
    std::vector<uint8_t*> planePointers(static_cast<std::size_t>(channels));
    auto convertBlock = [&](const uint8_t* const* data, int frames) {
      const int capacity = std::max(swr_get_out_samples(swr.get(), frames), 1);
      for (int c = 0; c < channels; ++c) {
        planes[static_cast<std::size_t>(c)].resize(static_cast<std::size_t>(capacity));
        planePointers[static_cast<std::size_t>(c)] =
            reinterpret_cast<uint8_t*>(planes[static_cast<std::size_t>(c)].data());
      }
      const int produced =
          swr_convert(swr.get(), planePointers.data(), capacity, const_cast<const uint8_t**>(data), frames);
      if (produced < 0) throw AudioConverterError::conversionFailed(ffmpegErrorText(produced));
      std::vector<const float*> channelPointers(static_cast<std::size_t>(channels));
      for (int c = 0; c < channels; ++c)
        channelPointers[static_cast<std::size_t>(c)] = planes[static_cast<std::size_t>(c)].data();
      LinearResampler::appendMix(channelPointers.data(), channels, produced, mix);
      return produced;
    };
    while (const AVFrame* frame = decoder.nextFrame()) {
      inputFrames += static_cast<uint64_t>(frame->nb_samples);
      convertBlock(frame->extended_data, frame->nb_samples);
    }
    while (convertBlock(nullptr, 0) > 0) {
    }
    if (inputRate == m_targetFormat.sampleRate) return mix;
    std::vector<float> out = LinearResampler::resample(std::move(mix), inputRate, m_targetFormat.sampleRate);
    logManualResampling(static_cast<uint32_t>(channels), inputRate);
    return out;
  }

  if (!validRate(m_targetFormat.sampleRate)) throw AudioConverterError::failedToCreateConverter();
  SwrHandle swr(decoder.makeResampler(static_cast<int>(m_targetFormat.sampleRate),
                                      static_cast<int>(m_targetFormat.channelCount) == 1 ? 1 : channels, true));
  const int outChannels = m_targetFormat.channelCount == 1 ? 1 : channels;
  std::vector<float> result;
  const int64_t estimate = decoder.estimatedFrames();
  if (estimate > 0) {
    result.reserve(static_cast<std::size_t>(static_cast<double>(estimate) * m_targetFormat.sampleRate / inputRate) +
                   8192);
  }
  while (const AVFrame* frame = decoder.nextFrame()) {
    inputFrames += static_cast<uint64_t>(frame->nb_samples);
    convertInto(swr.get(), outChannels, frame->extended_data, frame->nb_samples, result, scratch);
  }
  while (convertInto(swr.get(), outChannels, nullptr, 0, result, scratch) > 0) {
  }
  logConversion(inputFrames, result.size());
  return result;
}

void AudioConverter::logConversion(uint64_t inputFrames, std::size_t outputCount) const {
  if (!m_debug) return;
  const double ratio = static_cast<double>(outputCount) / static_cast<double>(inputFrames);
  m_logger.debug("Audio conversion: " + std::to_string(inputFrames) + " samples → " + std::to_string(outputCount) +
                 " samples, ratio: " + shortestDecimal(ratio));
}

void AudioConverter::logManualResampling(uint32_t channels, double inputRate) const {
  if (!m_debug) return;
  m_logger.debug("Manual resampling: " + std::to_string(channels) + " channels → mono, " + shortestDecimal(inputRate) +
                 "Hz → " + shortestDecimal(m_targetFormat.sampleRate) + "Hz");
}

}  // namespace voxtrellis
