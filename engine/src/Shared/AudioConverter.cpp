#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/WorkStopped.h>

#include "Shared/AudioFileDecoder.h"
#include "Shared/NumberText.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
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

// A frame that lends its planes to a PCM buffer, for the frame converter.
class BufferFrame {
 public:
  explicit BufferFrame(const AudioPCMBuffer& buffer) : m_frame(av_frame_alloc()) {
    if (!m_frame) throw AudioConverterError::failedToCreateBuffer();
    const AudioFormat& format = buffer.format();
    m_frame->format = sampleFormatOf(format);
    m_frame->sample_rate = static_cast<int>(format.sampleRate);
    m_frame->nb_samples = static_cast<int>(buffer.frameLength());
    av_channel_layout_default(&m_frame->ch_layout, static_cast<int>(format.channelCount));
    for (std::size_t i = 0; i < buffer.bufferCount(); ++i) {
      m_planes.push_back(static_cast<uint8_t*>(const_cast<void*>(buffer.rawData(i))));
    }
    m_frame->extended_data = m_planes.data();
  }
  ~BufferFrame() {
    m_frame->extended_data = m_frame->data;  // ours, not the frame's to free
    av_frame_free(&m_frame);
  }
  BufferFrame(const BufferFrame&) = delete;
  BufferFrame& operator=(const BufferFrame&) = delete;
  const AVFrame& frame() const { return *m_frame; }

 private:
  AVFrame* m_frame;
  std::vector<uint8_t*> m_planes;
};

// Channel 0 of converted interleaved float output, appended to `result`.
void appendFirstChannel(const AudioFrameConverter::Output& output, int channels, std::vector<float>& result) {
  const auto* samples = reinterpret_cast<const float*>(output.data);
  if (channels == 1) {
    result.insert(result.end(), samples, samples + output.frames);
    return;
  }
  for (int i = 0; i < output.frames; ++i) result.push_back(samples[static_cast<std::size_t>(i) * channels]);
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

AudioFrameConverter::Target AudioConverter::frameTarget() const {
  AudioFrameConverter::Target target;
  target.sampleRate = validRate(m_targetFormat.sampleRate) ? static_cast<int>(m_targetFormat.sampleRate) : 0;
  target.channelCount = static_cast<int>(m_targetFormat.channelCount);
  // Three channels and more take the own road: their mean, then the rate.
  target.mixAbove = 2;
  target.maxUpsampling = AudioFileDecoder::kMaxUpsampling;
  return target;
}

std::vector<float> AudioConverter::convertBuffer(const AudioPCMBuffer& buffer) const {
  const AudioFormat& format = buffer.format();
  if (!validRate(format.sampleRate)) throw AudioConverterError::failedToCreateConverter();
  if (format.channelCount >= 3 && !buffer.floatChannelData()) throw AudioConverterError::failedToCreateBuffer();
  AudioFrameConverter converter(frameTarget());
  const int channels = converter.target().channelCount;
  std::vector<float> result;
  reserveFor(result, std::ceil(m_targetFormat.sampleRate / format.sampleRate * buffer.frameLength()) + 4096);
  if (m_targetFormat.sampleRate > format.sampleRate * AudioFileDecoder::kMaxUpsampling) {
    throw AudioConverterError::failedToCreateConverter();
  }
  if (buffer.frameLength() > 0) {
    const BufferFrame frame(buffer);
    appendFirstChannel(converter.convert(frame.frame(), 0, static_cast<int>(buffer.frameLength())), channels, result);
    appendFirstChannel(converter.drain(), channels, result);
  }
  if (format.channelCount >= 3) {
    if (format.sampleRate != m_targetFormat.sampleRate) logManualResampling(format.channelCount, format.sampleRate);
  } else {
    logConversion(buffer.frameLength(), result.size());
  }
  return result;
}

std::vector<float> AudioConverter::resampleAudioFile(const std::filesystem::path& path) const {
  return resampleAudioFile(path, {});
}

std::vector<float> AudioConverter::resampleAudioFile(const std::filesystem::path& path,
                                                     const std::function<void(double)>& onProgress,
                                                     std::stop_token stop, std::vector<SkippedDamage>* skipped,
                                                     SoundPlaces* places) const {
  AudioFileDecoder decoder(path.string());
  decoder.setProgressHandler(onProgress);
  // What a file announces is never trusted for memory: reservations are
  // bounded and the result grows with what is decoded. Running out of memory
  // on a truly huge file is reported, not left to escape as std::bad_alloc.
  try {
    std::vector<float> samples = resampleFile(decoder, stop);
    if (skipped) *skipped = decoder.skipped();
    if (places) *places = decoder.places();
    return samples;
  } catch (const std::bad_alloc&) {
    throw outOfMemory();
  } catch (const std::length_error&) {
    throw outOfMemory();
  }
}

std::vector<float> AudioConverter::resampleFile(AudioFileDecoder& decoder, const std::stop_token& stop) const {
  if (!validRate(m_targetFormat.sampleRate)) throw AudioConverterError::failedToCreateConverter();
  decoder.checkResampling(static_cast<int>(m_targetFormat.sampleRate));
  // Each frame is converted as it comes, in its own format: a stream may change its layout or
  // rate midway (files joined end to end).
  AudioFrameConverter converter(frameTarget());
  const int channels = converter.target().channelCount;
  std::vector<float> result;
  reserveFor(result,
             static_cast<double>(decoder.estimatedFrames()) * m_targetFormat.sampleRate / decoder.sampleRate() + 8192);
  uint64_t inputFrames = 0;
  while (const AVFrame* frame = decoder.nextFrame()) {
    if (stop.stop_requested()) throw WorkStopped("Audio conversion");
    inputFrames += static_cast<uint64_t>(frame->nb_samples);
    appendFirstChannel(converter.convert(*frame, 0, frame->nb_samples), channels, result);
  }
  appendFirstChannel(converter.drain(), channels, result);
  if (decoder.channelCount() >= 3) {
    if (decoder.sampleRate() != m_targetFormat.sampleRate) {
      logManualResampling(static_cast<uint32_t>(decoder.channelCount()), decoder.sampleRate());
    }
  } else {
    logConversion(inputFrames, result.size());
  }
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
