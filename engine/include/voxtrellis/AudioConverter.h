#pragma once

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/AudioFileError.h>
#include <voxtrellis/AudioFormat.h>
#include <voxtrellis/AudioFrameConverter.h>
#include <voxtrellis/SoundPlaces.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

namespace voxtrellis {

class AudioFileDecoder;

class AudioConverterError : public std::runtime_error {
 public:
  enum class Code {
    conversionFailed,
    sampleBufferCopyFailed,
    failedToCreateConverter,
    failedToCreateBuffer,
    sampleBufferFormatMissing,
    failedToCreateSourceFormat,
  };

  // "Audio conversion failed: " + the underlying description, or "Unknown error".
  static AudioConverterError conversionFailed(std::optional<std::string> underlying);
  static AudioConverterError sampleBufferCopyFailed(int32_t status);
  static AudioConverterError failedToCreateConverter() { return AudioConverterError(Code::failedToCreateConverter); }
  static AudioConverterError failedToCreateBuffer() { return AudioConverterError(Code::failedToCreateBuffer); }
  static AudioConverterError sampleBufferFormatMissing() {
    return AudioConverterError(Code::sampleBufferFormatMissing);
  }
  static AudioConverterError failedToCreateSourceFormat() {
    return AudioConverterError(Code::failedToCreateSourceFormat);
  }

  Code code() const { return m_code; }
  std::string errorDescription() const { return what(); }

 private:
  explicit AudioConverterError(Code code, const std::string& detail = {}, int32_t status = 0);
  Code m_code;
};

// Turns audio files and PCM buffers into 32-bit float samples in the target
// format (by default the engine's 16 kHz mono), through AudioFrameConverter.
// One or two channels go through FFmpeg's resampler (stereo becomes the mean
// of both channels); three or more channels are first mixed down to their mean
// (in channel order, in single precision), then the mix goes through the same
// resampler. A file whose audio changes its layout, rate or sample format
// midway is converted part by part, each in its own format, without a gap.
//
// Decodes WAV, MP3, M4A, AAC, FLAC, AIFF, CAF and anything else FFmpeg reads.
// Thread safety: immutable; one instance may serve several threads at once.
class AudioConverter {
 public:
  explicit AudioConverter(std::optional<AudioFormat> targetFormat = std::nullopt, bool debug = false);

  const AudioFormat& targetFormat() const { return m_targetFormat; }

  // The whole file as mono samples at the target rate. The length a file
  // announces only bounds what is reserved ahead. Throws AudioFileError
  // (cannot open or decode) or AudioConverterError (also when the decoded
  // audio does not fit in memory).
  std::vector<float> resampleAudioFile(const std::filesystem::path& path) const;
  // The same, telling `onProgress` (on this thread) the share of the file's
  // bytes read so far: increasing, in 0...1, at most once per thousandth.
  // A stop asked for through `stop` is seen at the next decoded frame and
  // ends the call with WorkStopped ("Audio conversion was stopped").
  // `skipped` (when given) is told the damage skipped in the file, in the
  // order met: silence stands for it in the samples where the file says how
  // long it lasted. `places` (when given) is told where the file's sound
  // lies in it (see SoundPlaces; empty where the container tells no packet's
  // position).
  std::vector<float> resampleAudioFile(const std::filesystem::path& path, const std::function<void(double)>& onProgress,
                                       std::stop_token stop = {}, std::vector<SkippedDamage>* skipped = nullptr,
                                       SoundPlaces* places = nullptr) const;

  // Channel 0 of the buffer when it is already in the target format,
  // otherwise the converted samples. Throws AudioConverterError.
  std::vector<float> resampleBuffer(const AudioPCMBuffer& buffer) const;

  // Whether a format equals the target in rate, channels, sample type and interleaving.
  bool isTargetFormat(const AudioFormat& format) const { return format == m_targetFormat; }

 private:
  AudioFrameConverter::Target frameTarget() const;
  std::vector<float> convertBuffer(const AudioPCMBuffer& buffer) const;
  std::vector<float> resampleFile(AudioFileDecoder& decoder, const std::stop_token& stop) const;
  void logConversion(uint64_t inputFrames, std::size_t outputCount) const;
  void logManualResampling(uint32_t channels, double inputRate) const;

  AppLogger m_logger;
  AudioFormat m_targetFormat;
  bool m_debug;
};

}  // namespace voxtrellis
