#include <voxtrellis/AudioConverter.h>

#include "Shared/AudioFileDecoder.h"
#include "Shared/ChannelMix.h"
#include "Shared/NumberText.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <cmath>
#include <cstring>
#include <new>
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

// The most samples reserved ahead from a length a file or buffer announces
// (about four minutes at 16 kHz); anything longer grows with what is
// actually decoded, so a header claiming billions of frames costs nothing.
constexpr double kMaxReservedSamples = 4194304.0;

void reserveFor(std::vector<float>& samples, double announced) {
  if (announced > 0) samples.reserve(static_cast<std::size_t>(std::min(announced, kMaxReservedSamples)));
}

AudioConverterError outOfMemory() {
  return AudioConverterError::conversionFailed("Not enough memory for the decoded audio");
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
  // Raising the rate by more than the decoder allows would multiply memory
  // for a buffer claiming an absurdly low rate.
  if (out.sampleRate > in.sampleRate * AudioFileDecoder::kMaxUpsampling) return nullptr;
  AVChannelLayout inLayout{}, outLayout{};
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
  if (buffer.format().channelCount >= 3) return mixAndResample(buffer);

  SwrHandle swr = makeConverter(buffer.format(), m_targetFormat);
  if (!swr) throw AudioConverterError::failedToCreateConverter();
  const int outChannels = static_cast<int>(m_targetFormat.channelCount);
  std::vector<float> result;
  reserveFor(result, std::ceil(m_targetFormat.sampleRate / buffer.format().sampleRate * buffer.frameLength()) + 4096);

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

std::vector<float> AudioConverter::mixAndResample(const AudioPCMBuffer& buffer) const {
  const uint32_t channels = buffer.format().channelCount;
  std::vector<float> mix;
  if (const float* const* data = buffer.floatChannelData()) {
    ChannelMix::appendMix(data, static_cast<int>(channels), buffer.frameLength(), mix);
  } else {
    throw AudioConverterError::failedToCreateBuffer();
  }
  if (buffer.format().sampleRate == m_targetFormat.sampleRate) return mix;
  SwrHandle swr = makeMonoResampler(buffer.format().sampleRate);
  std::vector<float> out;
  reserveFor(out, std::ceil(m_targetFormat.sampleRate / buffer.format().sampleRate * mix.size()) + 4096);
  std::vector<std::vector<float>> scratch;
  const uint8_t* input = reinterpret_cast<const uint8_t*>(mix.data());
  if (!mix.empty()) convertInto(swr.get(), 1, &input, static_cast<int>(mix.size()), out, scratch);
  while (convertInto(swr.get(), 1, nullptr, 0, out, scratch) > 0) {
  }
  logManualResampling(channels, buffer.format().sampleRate);
  return out;
}

SwrHandle AudioConverter::makeMonoResampler(double inputRate) const {
  AudioFormat in;
  in.sampleRate = inputRate;
  in.channelCount = 1;
  AudioFormat out = in;
  out.sampleRate = m_targetFormat.sampleRate;
  SwrHandle swr = makeConverter(in, out);
  if (!swr) throw AudioConverterError::failedToCreateConverter();
  return swr;
}

std::vector<float> AudioConverter::resampleAudioFile(const std::filesystem::path& path) const {
  return resampleAudioFile(path, {});
}

std::vector<float> AudioConverter::resampleAudioFile(const std::filesystem::path& path,
                                                     const std::function<void(double)>& onProgress) const {
  AudioFileDecoder decoder(path.string());
  decoder.setProgressHandler(onProgress);
  // What a file announces is never trusted for memory: reservations are
  // bounded and the result grows with what is decoded. Running out of memory
  // on a truly huge file is reported, not left to escape as std::bad_alloc.
  try {
    return decoder.channelCount() >= 3 ? mixFileAndResample(decoder) : resampleFile(decoder);
  } catch (const std::bad_alloc&) {
    throw outOfMemory();
  } catch (const std::length_error&) {
    throw outOfMemory();
  }
}

std::vector<float> AudioConverter::mixFileAndResample(AudioFileDecoder& decoder) const {
  // Own road: decode to planar float at the file's rate, mix each block down
  // as it arrives (per frame, so identical to mixing the whole file), then
  // change the rate of the mix with the same resampler as the other road.
  const int channels = decoder.channelCount();
  const double inputRate = decoder.sampleRate();
  const bool sameRate = inputRate == m_targetFormat.sampleRate;
  SwrHandle toPlanar(decoder.makeResampler(decoder.sampleRate(), channels, true));
  SwrHandle toTarget = sameRate ? nullptr : makeMonoResampler(inputRate);
  std::vector<float> result;
  reserveFor(result, static_cast<double>(decoder.estimatedFrames()) * m_targetFormat.sampleRate / inputRate);
  std::vector<std::vector<float>> planes(static_cast<std::size_t>(channels));
  std::vector<uint8_t*> planePointers(static_cast<std::size_t>(channels));
  std::vector<const float*> channelPointers(static_cast<std::size_t>(channels));
  std::vector<float> mix;
  std::vector<std::vector<float>> scratch;
  auto convertBlock = [&](const uint8_t* const* data, int frames) {
    const int capacity = std::max(swr_get_out_samples(toPlanar.get(), frames), 1);
    for (std::size_t c = 0; c < planes.size(); ++c) {
      planes[c].resize(static_cast<std::size_t>(capacity));
      planePointers[c] = reinterpret_cast<uint8_t*>(planes[c].data());
      channelPointers[c] = planes[c].data();
    }
    const int produced =
        swr_convert(toPlanar.get(), planePointers.data(), capacity, const_cast<const uint8_t**>(data), frames);
    if (produced < 0) throw AudioConverterError::conversionFailed(ffmpegErrorText(produced));
    if (sameRate) {
      ChannelMix::appendMix(channelPointers.data(), channels, produced, result);
    } else if (produced > 0) {
      mix.clear();
      ChannelMix::appendMix(channelPointers.data(), channels, produced, mix);
      const uint8_t* mono = reinterpret_cast<const uint8_t*>(mix.data());
      convertInto(toTarget.get(), 1, &mono, produced, result, scratch);
    }
    return produced;
  };
  while (const AVFrame* frame = decoder.nextFrame()) convertBlock(frame->extended_data, frame->nb_samples);
  while (convertBlock(nullptr, 0) > 0) {
  }
  if (sameRate) return result;
  while (convertInto(toTarget.get(), 1, nullptr, 0, result, scratch) > 0) {
  }
  logManualResampling(static_cast<uint32_t>(channels), inputRate);
  return result;
}

std::vector<float> AudioConverter::resampleFile(AudioFileDecoder& decoder) const {
  if (!validRate(m_targetFormat.sampleRate)) throw AudioConverterError::failedToCreateConverter();
  const int channels = decoder.channelCount();
  const int outChannels = m_targetFormat.channelCount == 1 ? 1 : channels;
  SwrHandle swr(decoder.makeResampler(static_cast<int>(m_targetFormat.sampleRate), outChannels, true));
  std::vector<float> result;
  reserveFor(result,
             static_cast<double>(decoder.estimatedFrames()) * m_targetFormat.sampleRate / decoder.sampleRate() + 8192);
  uint64_t inputFrames = 0;
  std::vector<std::vector<float>> scratch;
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
