#pragma once

#include <voxtrellis/AppLogger.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace voxtrellis {

// Failure of building a sample source. what() is "Processing failed: " + message.
class StreamingAudioError : public std::runtime_error {
 public:
  static StreamingAudioError processingFailed(std::string message) { return StreamingAudioError(std::move(message)); }
  const std::string& message() const { return m_message; }
  std::string errorDescription() const { return what(); }

 private:
  explicit StreamingAudioError(std::string message)
      : std::runtime_error("Processing failed: " + message), m_message(std::move(message)) {}
  std::string m_message;
};

// Read-only mono 32-bit float samples, from memory or from a file on disk.
// copySamples copies min(sampleCount - start, count) samples starting at
// max(offset, 0) into the first slots of `destination` and leaves the rest of
// it untouched; nothing when count < 1 or the start is at or past the end.
//
// Thread safety: sources are immutable; several threads may read one at once.
class StreamingAudioSampleSource {
 public:
  virtual ~StreamingAudioSampleSource() = default;
  virtual int64_t sampleCount() const = 0;
  virtual void copySamples(float* destination, int64_t offset, int64_t count) const = 0;
};

class ArrayAudioSampleSource final : public StreamingAudioSampleSource {
 public:
  explicit ArrayAudioSampleSource(std::vector<float> samples) : m_samples(std::move(samples)) {}

  const std::vector<float>& samples() const { return m_samples; }
  int64_t sampleCount() const override { return static_cast<int64_t>(m_samples.size()); }
  void copySamples(float* destination, int64_t offset, int64_t count) const override;

 private:
  std::vector<float> m_samples;
};

// Samples in a memory-mapped temporary file of raw native-endian floats.
// Copies share the mapping and the file; call cleanup() once when done.
class DiskBackedAudioSampleSource final : public StreamingAudioSampleSource {
 public:
  // Maps the whole file read-only. Throws StreamingAudioError.
  static DiskBackedAudioSampleSource map(const std::filesystem::path& file);

  int64_t sampleCount() const override { return m_sampleCount; }
  void copySamples(float* destination, int64_t offset, int64_t count) const override;

  const std::filesystem::path& fileURL() const { return m_fileURL; }
  static constexpr int floatStride = 4;

  // Removes the temporary file; a removal error is ignored. The mapping stays
  // readable until the last copy of the source is gone.
  void cleanup() const;

 private:
  struct Mapping;
  DiskBackedAudioSampleSource(std::shared_ptr<const Mapping> mapping, std::filesystem::path file, int64_t count);

  std::shared_ptr<const Mapping> m_mappedData;
  std::filesystem::path m_fileURL;
  int64_t m_sampleCount = 0;
};

// Decodes audio files into disk-backed sources in bounded blocks, so a long
// recording never sits in memory as one array.
class StreamingAudioSourceFactory {
 public:
  struct Result {
    DiskBackedAudioSampleSource source;
    double loadDuration;  // seconds spent decoding
  };

  StreamingAudioSourceFactory();

  // Mono samples at `targetSampleRate` Hz in a temporary file
  // "voxtrellis-streaming-<UUID>.raw" in the temporary folder. Throws
  // StreamingAudioError; on failure no temporary file is left behind.
  Result makeDiskBackedSource(const std::filesystem::path& file, int targetSampleRate) const;

  // The temporary folder used for the files (see voxtrellis::temporaryDirectory()).
  static std::filesystem::path temporaryDirectory();

 private:
  AppLogger m_logger;
};

}  // namespace voxtrellis
