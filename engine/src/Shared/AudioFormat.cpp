#include <voxtrellis/AudioFormat.h>

#include <algorithm>
#include <cmath>
#include <locale>
#include <sstream>

namespace voxtrellis {

std::size_t AudioFormat::bytesPerSample() const {
  switch (commonFormat) {
    case AudioCommonFormat::pcmFloat32: return 4;
    case AudioCommonFormat::pcmFloat64: return 8;
    case AudioCommonFormat::pcmInt16: return 2;
    case AudioCommonFormat::pcmInt32: return 4;
  }
  return 4;
}

std::string AudioFormat::description() const {
  static const char* names[] = {"Float32", "Float64", "Int16", "Int32"};
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << "<AudioFormat " << channelCount << " ch, " << sampleRate << " Hz, " << names[static_cast<int>(commonFormat)]
      << (interleaved ? ", interleaved" : ", deinterleaved") << ">";
  return out.str();
}

AudioPCMBuffer::AudioPCMBuffer(AudioFormat format, uint32_t frameCapacity)
    : m_format(format), m_frameCapacity(frameCapacity) {
  if (format.channelCount == 0) throw std::invalid_argument("audio format without channels");
  if (!std::isfinite(format.sampleRate) || format.sampleRate <= 0) {
    throw std::invalid_argument("audio format with an invalid sample rate");
  }
  const std::size_t bytes = format.bytesPerSample() * frameCapacity;
  if (format.interleaved) {
    m_buffers.emplace_back(bytes * format.channelCount, 0);
  } else {
    for (uint32_t c = 0; c < format.channelCount; ++c) m_buffers.emplace_back(bytes, 0);
  }
  pointChannels();
}

AudioPCMBuffer::AudioPCMBuffer(const AudioPCMBuffer& other)
    : m_format(other.m_format),
      m_frameCapacity(other.m_frameCapacity),
      m_frameLength(other.m_frameLength),
      m_buffers(other.m_buffers) {
  pointChannels();
}

AudioPCMBuffer& AudioPCMBuffer::operator=(const AudioPCMBuffer& other) {
  if (this != &other) {
    m_format = other.m_format;
    m_frameCapacity = other.m_frameCapacity;
    m_frameLength = other.m_frameLength;
    m_buffers = other.m_buffers;
    pointChannels();
  }
  return *this;
}

void AudioPCMBuffer::pointChannels() {
  m_floatChannels.clear();
  if (m_format.commonFormat == AudioCommonFormat::pcmFloat32 && !m_format.interleaved) {
    for (auto& b : m_buffers) m_floatChannels.push_back(reinterpret_cast<float*>(b.data()));
  }
}

AudioPCMBuffer AudioPCMBuffer::fromChannels(double sampleRate, const std::vector<std::vector<float>>& channels) {
  const std::size_t frames = channels.empty() ? 0 : channels.front().size();
  AudioFormat format{sampleRate, static_cast<uint32_t>(channels.size()), AudioCommonFormat::pcmFloat32, false};
  AudioPCMBuffer buffer(format, static_cast<uint32_t>(frames));
  for (std::size_t c = 0; c < channels.size(); ++c) {
    std::copy_n(channels[c].begin(), std::min(frames, channels[c].size()), buffer.floatChannelData()[c]);
  }
  buffer.setFrameLength(static_cast<uint32_t>(frames));
  return buffer;
}

void AudioPCMBuffer::setFrameLength(uint32_t frames) {
  m_frameLength = std::min(frames, m_frameCapacity);
}

float* const* AudioPCMBuffer::floatChannelData() {
  return m_floatChannels.empty() ? nullptr : m_floatChannels.data();
}

const float* const* AudioPCMBuffer::floatChannelData() const {
  return m_floatChannels.empty() ? nullptr : m_floatChannels.data();
}

void* AudioPCMBuffer::rawData(std::size_t index) {
  return m_buffers.at(index).data();
}
const void* AudioPCMBuffer::rawData(std::size_t index) const {
  return m_buffers.at(index).data();
}

}  // namespace voxtrellis
