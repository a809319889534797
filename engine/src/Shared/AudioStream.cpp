#include <voxtrellis/AudioStream.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

namespace voxtrellis {

namespace {

const char* describe(AudioStreamError::Code code) {
  switch (code) {
    case AudioStreamError::Code::bufferTooSmall: return "bufferTooSmall";
    case AudioStreamError::Code::invalidChunkSkip: return "invalidChunkSkip";
    case AudioStreamError::Code::invalidChunkDuration: return "invalidChunkDuration";
  }
  return "bufferTooSmall";
}

// Rounds halves away from zero; none when the value is not finite or beyond 64 bits.
std::optional<int64_t> roundedSamples(double value) {
  if (!std::isfinite(value) || std::fabs(value) >= 9.2e18) return std::nullopt;
  return std::llround(value);
}

int64_t chunkSamples(double duration, double rate) {
  const auto size = roundedSamples(duration * rate);
  if (!std::isfinite(rate) || rate <= 0 || !size || *size < 1) {
    throw AudioStreamError(AudioStreamError::Code::invalidChunkDuration);
  }
  return *size;
}

int64_t skipSamples(double skip, double rate, int64_t chunkSize) {
  const auto size = roundedSamples(skip * rate);
  if (!size || *size < 1 || *size > chunkSize) throw AudioStreamError(AudioStreamError::Code::invalidChunkSkip);
  return *size;
}

std::size_t capacitySamples(double seconds, double rate, int64_t chunkSize) {
  const auto size = roundedSamples(seconds * rate);
  // Anything beyond a 2^36-sample buffer (over a day at 16 kHz) is refused rather than allocated.
  if (!size || *size < chunkSize || *size > (int64_t(1) << 36)) {
    throw AudioStreamError(AudioStreamError::Code::bufferTooSmall);
  }
  return static_cast<std::size_t>(*size);
}

AudioFormat streamFormat(double rate) {
  return AudioFormat{std::isfinite(rate) && rate > 0 ? rate : 16000.0, 1, AudioCommonFormat::pcmFloat32, false};
}

}  // namespace

AudioStreamError::AudioStreamError(Code code) : std::runtime_error(describe(code)), m_code(code) {}

AudioStream::AudioStream(double chunkDuration, std::optional<double> chunkSkip, double streamStartTime,
                         AudioStreamChunkingStrategy chunkingStrategy, AudioStreamStartupStrategy startupStrategy,
                         double sampleRate, std::optional<double> bufferCapacitySeconds)
    : m_sampleRate(sampleRate),
      m_chunkDuration(chunkDuration),
      m_chunkSkip(chunkSkip.value_or(chunkDuration)),
      m_chunkSize(chunkSamples(chunkDuration, sampleRate)),
      m_skipSize(skipSamples(m_chunkSkip, sampleRate, m_chunkSize)),
      m_chunkingStrategy(chunkingStrategy),
      m_converter(streamFormat(sampleRate)) {
  m_buffer.assign(
      capacitySamples(bufferCapacitySeconds.value_or(m_chunkSkip + m_chunkDuration), sampleRate, m_chunkSize), 0.0f);
  const double start = std::isfinite(streamStartTime) ? streamStartTime : 0.0;
  switch (startupStrategy) {
    case AudioStreamStartupStrategy::startSilent:
      m_writeIndex = m_chunkSize - m_skipSize;
      m_temporaryChunkSize = m_chunkSize;
      m_bufferStartTime = start - (m_chunkDuration - m_chunkSkip);
      break;
    case AudioStreamStartupStrategy::rampUpChunkSize:
      m_writeIndex = 0;
      m_temporaryChunkSize = m_skipSize;
      m_bufferStartTime = start;
      break;
    case AudioStreamStartupStrategy::waitForFullChunk:
      m_writeIndex = 0;
      m_temporaryChunkSize = m_chunkSize;
      m_bufferStartTime = start;
      break;
  }
}

bool AudioStream::hasNewChunk() const {
  std::shared_lock lock(m_queue);
  return m_writeIndex >= m_temporaryChunkSize;
}

double AudioStream::bufferStartTime() const {
  std::shared_lock lock(m_queue);
  return m_bufferStartTime;
}

void AudioStream::bind(Callback callback) {
  auto consumer = std::make_shared<const Consumer>(Consumer{std::move(callback), false});
  std::unique_lock lock(m_queue);
  m_consumer = std::move(consumer);
}

void AudioStream::bindAsync(Callback callback) {
  auto consumer = std::make_shared<const Consumer>(Consumer{std::move(callback), true});
  std::unique_lock lock(m_queue);
  m_consumer = std::move(consumer);
}

void AudioStream::unbind() {
  std::unique_lock lock(m_queue);
  m_consumer.reset();
}

std::shared_ptr<const AudioStream::Consumer> AudioStream::consumer() const {
  std::shared_lock lock(m_queue);
  return m_consumer;
}

void AudioStream::forget(int64_t n) {
  if (m_writeIndex > n) {
    std::memmove(m_buffer.data(), m_buffer.data() + n, static_cast<std::size_t>(m_writeIndex - n) * sizeof(float));
  }
  m_writeIndex -= n;
  m_bufferStartTime += static_cast<double>(n) / m_sampleRate;
}

int64_t AudioStream::makeRoom(int64_t k, int64_t cap, int64_t shiftTo) {
  int64_t end = m_writeIndex + k;
  if (end > cap) {
    forget(end - shiftTo);
    end = shiftTo;
  }
  if (end < 1) {
    m_writeIndex = end;
    return 0;
  }
  if (m_writeIndex < 0) {
    k += m_writeIndex;
    m_writeIndex = 0;
  }
  return k;
}

void AudioStream::appendBlock(std::span<const float> block) {
  const int64_t k = static_cast<int64_t>(block.size());
  const int64_t cap = capacity();
  const int64_t shiftTo = m_chunkingStrategy == AudioStreamChunkingStrategy::useFixedSkip ? cap : m_temporaryChunkSize;
  const int64_t add = makeRoom(k, cap, shiftTo);
  if (add <= 0) return;
  std::memcpy(m_buffer.data() + m_writeIndex, block.data() + (k - add), static_cast<std::size_t>(add) * sizeof(float));
  m_writeIndex += add;
}

void AudioStream::appendZeros(int64_t gap, int64_t k) {
  const int64_t cap = capacity();
  const int64_t base = m_chunkingStrategy == AudioStreamChunkingStrategy::useFixedSkip ? cap : m_temporaryChunkSize;
  const int64_t add = makeRoom(gap, cap - k, base - k);
  if (add <= 0) return;
  std::fill_n(m_buffer.begin() + m_writeIndex, add, 0.0f);
  m_writeIndex += add;
}

void AudioStream::write(std::span<const float> samples, std::optional<double> atTime) {
  if (samples.empty()) return;
  const int64_t k = static_cast<int64_t>(samples.size());
  {
    std::unique_lock lock(m_queue);
    const auto stamped = atTime ? roundedSamples(*atTime * m_sampleRate) : std::nullopt;
    const auto origin = roundedSamples(m_bufferStartTime * m_sampleRate);
    if (stamped && origin) {
      const int64_t gap = *stamped - (*origin + m_writeIndex + k);
      if (gap >= 1) {
        appendZeros(gap, k);
      } else if (gap < 0) {
        m_writeIndex += gap;
        if (m_writeIndex < 0) {
          m_bufferStartTime += static_cast<double>(m_writeIndex) / m_sampleRate;
          m_writeIndex = 0;
        }
      }
    }
    appendBlock(samples);
  }
  auto current = consumer();
  while (current) {
    if (!hasNewChunk()) break;
    std::optional<Chunk> chunk = readChunkIfAvailable();
    if (!chunk) break;
    if (current->async) {
      std::thread([current, chunk = std::move(*chunk)] {
        try {
          current->callback(chunk.chunk, chunk.chunkStartTime);
        } catch (...) {
        }
      }).detach();
    } else {
      current->callback(chunk->chunk, chunk->chunkStartTime);
    }
    current = consumer();
  }
}

void AudioStream::write(const AudioPCMBuffer& buffer, std::optional<double> atTime) {
  const std::vector<float> samples = m_converter.resampleBuffer(buffer);
  write(std::span<const float>(samples), atTime);
}

std::optional<AudioStream::Chunk> AudioStream::readChunkIfAvailable() {
  std::unique_lock lock(m_queue);
  return readChunkLocked();
}

std::optional<AudioStream::Chunk> AudioStream::readChunkLocked() {
  if (m_writeIndex < m_temporaryChunkSize) return std::nullopt;
  Chunk chunk;
  if (m_chunkingStrategy == AudioStreamChunkingStrategy::useFixedSkip) {
    chunk.chunk.assign(m_buffer.begin(), m_buffer.begin() + m_temporaryChunkSize);
    chunk.chunkStartTime = m_bufferStartTime;
    if (m_temporaryChunkSize == m_chunkSize) {
      forget(m_skipSize);
    } else {
      m_temporaryChunkSize = std::min(m_chunkSize, m_temporaryChunkSize + m_skipSize);
    }
  } else {
    const int64_t start = m_writeIndex - m_temporaryChunkSize;
    chunk.chunk.assign(m_buffer.begin() + start, m_buffer.begin() + m_writeIndex);
    chunk.chunkStartTime = m_bufferStartTime + static_cast<double>(start) / m_sampleRate;
    if (m_temporaryChunkSize == m_chunkSize) {
      forget(m_writeIndex - overlapSize());
    } else {
      m_temporaryChunkSize = std::min(m_chunkSize, m_temporaryChunkSize + m_skipSize);
    }
  }
  return chunk;
}

}  // namespace voxtrellis
