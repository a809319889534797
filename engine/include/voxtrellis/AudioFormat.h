#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace voxtrellis {

enum class AudioCommonFormat { pcmFloat32, pcmFloat64, pcmInt16, pcmInt32 };

// The layout of PCM audio: rate, channel count, sample type and whether the
// channels are interleaved in one buffer or kept in one buffer each.
struct AudioFormat {
  double sampleRate = 16000.0;
  uint32_t channelCount = 1;
  AudioCommonFormat commonFormat = AudioCommonFormat::pcmFloat32;
  bool interleaved = false;

  // 16 kHz, mono, 32-bit float, non-interleaved: the engine's working format.
  static AudioFormat engineDefault() { return {}; }
  std::size_t bytesPerSample() const;
  std::string description() const;
  friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

// PCM audio in memory: `frameLength` valid frames out of `frameCapacity`.
class AudioPCMBuffer {
 public:
  // Throws std::invalid_argument for zero channels or a non-positive, non-finite rate.
  AudioPCMBuffer(AudioFormat format, uint32_t frameCapacity);
  AudioPCMBuffer(const AudioPCMBuffer& other);
  AudioPCMBuffer& operator=(const AudioPCMBuffer& other);
  AudioPCMBuffer(AudioPCMBuffer&&) noexcept = default;
  AudioPCMBuffer& operator=(AudioPCMBuffer&&) noexcept = default;

  // A non-interleaved float buffer holding the given channels (all of the
  // first channel's length; shorter channels are zero-padded).
  static AudioPCMBuffer fromChannels(double sampleRate, const std::vector<std::vector<float>>& channels);

  const AudioFormat& format() const { return m_format; }
  uint32_t frameCapacity() const { return m_frameCapacity; }
  uint32_t frameLength() const { return m_frameLength; }
  // Clamped to the capacity.
  void setFrameLength(uint32_t frames);

  // Per-channel float pointers, only for non-interleaved 32-bit float buffers;
  // null otherwise.
  float* const* floatChannelData();
  const float* const* floatChannelData() const;

  // Raw memory of buffer `index`: one per channel when non-interleaved, a single
  // one (index 0) when interleaved.
  void* rawData(std::size_t index);
  const void* rawData(std::size_t index) const;
  std::size_t bufferCount() const { return m_buffers.size(); }

 private:
  void pointChannels();

  AudioFormat m_format;
  uint32_t m_frameCapacity;
  uint32_t m_frameLength = 0;
  std::vector<std::vector<unsigned char>> m_buffers;
  std::vector<float*> m_floatChannels;
};

}  // namespace voxtrellis
