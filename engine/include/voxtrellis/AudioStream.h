#pragma once

#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/AudioFormat.h>

#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace voxtrellis {

enum class AudioStreamChunkingStrategy { useFixedSkip, useMostRecent };
enum class AudioStreamStartupStrategy { startSilent, rampUpChunkSize, waitForFullChunk };

class AudioStreamError : public std::runtime_error {
 public:
  enum class Code { bufferTooSmall, invalidChunkSkip, invalidChunkDuration };
  explicit AudioStreamError(Code code);
  Code code() const { return m_code; }
  friend bool operator==(const AudioStreamError& a, const AudioStreamError& b) { return a.m_code == b.m_code; }

 private:
  Code m_code;
};

// A buffer for live audio: blocks of any length go in, optionally stamped with
// the stream time at which they end; fixed-length, overlapping chunks come
// out, on request or pushed to a bound consumer. Times are seconds.
//
// Thread safety: every operation may be called from any thread. The consumer
// runs on the writing thread outside the stream's lock, so it may read from
// or unbind the stream; asynchronous consumers run on detached threads.
class AudioStream {
 public:
  using Callback = std::function<void(const std::vector<float>& chunk, double chunkStartTime)>;
  struct Chunk {
    std::vector<float> chunk;
    double chunkStartTime;
  };

  // Throws AudioStreamError: invalidChunkDuration (chunk shorter than one
  // sample, or a non-finite duration or rate), invalidChunkSkip (skip below one
  // sample, longer than the chunk, or non-finite), bufferTooSmall (capacity
  // below one chunk, or non-finite).
  explicit AudioStream(double chunkDuration, std::optional<double> chunkSkip = std::nullopt,
                       double streamStartTime = 0.0,
                       AudioStreamChunkingStrategy chunkingStrategy = AudioStreamChunkingStrategy::useFixedSkip,
                       AudioStreamStartupStrategy startupStrategy = AudioStreamStartupStrategy::waitForFullChunk,
                       double sampleRate = 16000.0, std::optional<double> bufferCapacitySeconds = std::nullopt);

  double sampleRate() const { return m_sampleRate; }
  double chunkDuration() const { return m_chunkDuration; }
  double chunkSkip() const { return m_chunkSkip; }
  double chunkOverlap() const { return m_chunkDuration - m_chunkSkip; }
  int64_t chunkSize() const { return m_chunkSize; }
  int64_t skipSize() const { return m_skipSize; }
  int64_t overlapSize() const { return m_chunkSize - m_skipSize; }
  int64_t capacity() const { return static_cast<int64_t>(m_buffer.size()); }
  bool hasNewChunk() const;
  double bufferStartTime() const;

  // Binds the consumer, replacing any earlier one. A throwing consumer stops
  // delivery for that write and its error reaches the writer.
  void bind(Callback callback);
  // Each chunk runs the consumer once on a new detached thread; errors are dropped.
  void bindAsync(Callback callback);
  void unbind();

  // An empty block does nothing. A stamp that is not finite is ignored.
  void write(std::span<const float> samples, std::optional<double> atTime = std::nullopt);
  template <class Range>
  requires(!std::is_convertible_v<const Range&, std::span<const float>> &&
           !std::is_same_v<std::remove_cvref_t<Range>, AudioPCMBuffer>) void write(const Range& samples,
                                                                                   std::optional<double> atTime =
                                                                                       std::nullopt) {
    std::vector<float> block;
    for (const auto& s : samples) block.push_back(static_cast<float>(s));
    write(std::span<const float>(block), atTime);
  }
  // Taken as is when already mono float at the stream's rate, else converted.
  // Throws AudioConverterError.
  void write(const AudioPCMBuffer& buffer, std::optional<double> atTime = std::nullopt);

  std::optional<Chunk> readChunkIfAvailable();

  template <class Body>
  auto withChunkIfAvailable(Body&& body) {
    using Result = decltype(body(std::declval<const std::vector<float>&>(), 0.0));
    std::optional<Chunk> chunk = readChunkIfAvailable();
    if constexpr (std::is_void_v<Result>) {
      if (chunk) body(chunk->chunk, chunk->chunkStartTime);
      return chunk.has_value();
    } else {
      if (!chunk) return std::optional<Result>();
      return std::optional<Result>(body(chunk->chunk, chunk->chunkStartTime));
    }
  }

 private:
  struct Consumer {
    Callback callback;
    bool async = false;
  };

  void forget(int64_t n);
  int64_t makeRoom(int64_t k, int64_t cap, int64_t shiftTo);
  void appendBlock(std::span<const float> block);
  void appendZeros(int64_t gap, int64_t k);
  std::optional<Chunk> readChunkLocked();
  std::shared_ptr<const Consumer> consumer() const;

  const double m_sampleRate;
  const double m_chunkDuration;
  const double m_chunkSkip;
  const int64_t m_chunkSize;
  const int64_t m_skipSize;
  const AudioStreamChunkingStrategy m_chunkingStrategy;
  int64_t m_writeIndex = 0;
  std::shared_ptr<const Consumer> m_consumer;
  int64_t m_temporaryChunkSize = 0;
  double m_bufferStartTime = 0;
  std::vector<float> m_buffer;
  mutable std::shared_mutex m_queue;
  AudioConverter m_converter;
};

}  // namespace voxtrellis
