#pragma once

#include <voxtrellis/ASRResult.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <stop_token>
#include <utility>
#include <vector>

namespace voxtrellis {

class AsrManagerImpl;

// Transcribes audio longer than one model window: cuts it into overlapping
// chunks of 239 360 samples, decodes each from a fresh decoder state and
// merges neighbouring chunks' tokens, using the overlap to drop tokens both
// chunks recognised.
class ChunkProcessor {
 public:
  struct Token {
    int64_t token = 0;
    int64_t timestamp = 0;  // encoder frame from the start of the whole input
    float confidence = 0;
    friend bool operator==(const Token&, const Token&) = default;
  };

  static constexpr int64_t chunkSamples = 239360;
  static constexpr int64_t windowSamples = 240000;
  static constexpr int64_t frameSamples = 1280;
  static constexpr int64_t overlapCap = 119680;

  ChunkProcessor(std::span<const float> audioSamples, int64_t sampleRate, double overlapSeconds);

  int64_t overlapSamples() const;
  int64_t strideSamples() const;

  // Runs every chunk through `manager` and merges them; progress after every
  // chunk but the last. Throws the inference's errors,
  // ASRError::processingFailed for misaligned token lists, and WorkStopped
  // when `stop` is asked for before a chunk.
  ASRResult process(AsrManagerImpl& manager, std::chrono::steady_clock::time_point startTime,
                    const std::function<void(double)>& progressHandler, const std::stop_token& stop = {}) const;

  // Merging of two neighbouring chunks' tokens (both in time order).
  std::vector<Token> mergeChunks(const std::vector<Token>& left, const std::vector<Token>& right) const;

  struct IndexedToken {
    size_t index = 0;  // position in its own chunk's list
    Token token;
    double start = 0;
    double end = 0;
  };
  using Pairs = std::vector<std::pair<size_t, size_t>>;

  std::vector<Token> mergeByMidpoint(const std::vector<Token>& left, const std::vector<Token>& right) const;
  static Pairs findBestContiguousPairs(const std::vector<IndexedToken>& overlapLeft,
                                       const std::vector<IndexedToken>& overlapRight, double tolerance);
  static Pairs findLongestCommonSubsequencePairs(const std::vector<IndexedToken>& overlapLeft,
                                                 const std::vector<IndexedToken>& overlapRight, double tolerance);
  static std::vector<Token> mergeUsingMatches(const Pairs& matches, const std::vector<IndexedToken>& overlapLeft,
                                              const std::vector<IndexedToken>& overlapRight,
                                              const std::vector<Token>& left, const std::vector<Token>& right);

 private:
  double frameDuration() const { return static_cast<double>(frameSamples) / static_cast<double>(m_sampleRate); }

  std::span<const float> m_audioSamples;
  int64_t m_sampleRate;
  double m_overlapSeconds;
};

}  // namespace voxtrellis
