#include "ASR/ChunkProcessor.h"

#include "ASR/AsrManagerImpl.h"
#include "Shared/Elapsed.h"

#include <voxtrellis/ASRError.h>
#include <voxtrellis/WorkStopped.h>

#include <algorithm>
#include <cmath>

namespace voxtrellis {

ChunkProcessor::ChunkProcessor(std::span<const float> audioSamples, int64_t sampleRate, double overlapSeconds)
    : m_audioSamples(audioSamples), m_sampleRate(sampleRate), m_overlapSeconds(overlapSeconds) {}

int64_t ChunkProcessor::overlapSamples() const {
  int64_t overlap = static_cast<int64_t>(m_overlapSeconds * static_cast<double>(m_sampleRate));
  overlap = std::min(overlap, overlapCap);
  overlap = std::max<int64_t>(overlap, 0);
  return (overlap / frameSamples) * frameSamples;
}

int64_t ChunkProcessor::strideSamples() const {
  const int64_t stride = std::max(chunkSamples - overlapSamples(), frameSamples);
  return (stride / frameSamples) * frameSamples;
}

ASRResult ChunkProcessor::process(AsrManagerImpl& manager, std::chrono::steady_clock::time_point startTime,
                                  const std::function<void(double)>& progressHandler,
                                  const std::stop_token& stop) const {
  TdtDecoderState state = TdtDecoderState::make();
  const int64_t total = static_cast<int64_t>(m_audioSamples.size());
  const int64_t stride = strideSamples();

  std::vector<std::vector<Token>> chunks;
  std::vector<float> window;
  for (int64_t start = 0; total > 0;) {
    if (stop.stop_requested()) throw WorkStopped("Recognition");
    const int64_t end = std::min(start + chunkSamples, total);
    const bool isLastChunk = start + chunkSamples >= total;
    const int64_t length = end - start;
    state.reset();

    std::vector<Token> tokens;
    if (length > 0) {
      // One reused window buffer: chunk samples, then zeros up to the model window.
      window.assign(static_cast<size_t>(std::max(windowSamples, length)), 0.0f);
      std::copy(m_audioSamples.begin() + start, m_audioSamples.begin() + end, window.begin());
      const int frames = static_cast<int>((length + frameSamples - 1) / frameSamples);
      AsrManagerImpl::InferenceResult r = manager.executeMLInferenceWithTimings(
          window, static_cast<int>(length), frames, state, 0, isLastChunk, static_cast<int>(start / frameSamples));
      const TdtHypothesis& h = r.hypothesis;
      if (!h.tokenIds.empty() && r.encoderSequenceLength != 0) {
        if (h.tokenIds.size() != h.timestamps.size() || h.tokenIds.size() != h.confidences.size()) {
          throw ASRError::processingFailed("Token, timestamp, and confidence arrays are misaligned");
        }
        tokens.reserve(h.tokenIds.size());
        for (size_t i = 0; i < h.tokenIds.size(); ++i) {
          tokens.push_back({h.tokenIds[i], h.timestamps[i], h.confidences[i]});
        }
      }
    }
    chunks.push_back(std::move(tokens));

    if (isLastChunk) {
      break;
    }
    if (progressHandler) {
      progressHandler(std::clamp(static_cast<double>(start + chunkSamples) / static_cast<double>(total), 0.0, 1.0));
    }
    start += stride;
    if (start >= total) {
      break;
    }
  }

  std::vector<Token> merged;
  if (!chunks.empty()) {
    merged = chunks.front();
    for (size_t i = 1; i < chunks.size(); ++i) {
      merged = mergeChunks(merged, chunks[i]);
    }
  }
  if (merged.size() >= 2) {
    std::stable_sort(merged.begin(), merged.end(),
                     [](const Token& a, const Token& b) { return a.timestamp < b.timestamp; });
  }
  std::vector<int> ids;
  std::vector<int> frames;
  std::vector<float> confidences;
  for (const Token& t : merged) {
    ids.push_back(static_cast<int>(t.token));
    frames.push_back(static_cast<int>(t.timestamp));
    confidences.push_back(t.confidence);
  }
  const double elapsed = secondsSince(startTime);
  return manager.processTranscriptionResult(ids, frames, confidences, {}, 0, m_audioSamples, elapsed);
}

std::vector<ChunkProcessor::Token> ChunkProcessor::mergeChunks(const std::vector<Token>& left,
                                                               const std::vector<Token>& right) const {
  if (left.empty()) return right;
  if (right.empty()) return left;

  const double d = frameDuration();
  const double leftEnd = d * static_cast<double>(left.back().timestamp + 1);
  const double rightStart = d * static_cast<double>(right.front().timestamp);
  if (leftEnd <= rightStart) {
    std::vector<Token> out = left;
    out.insert(out.end(), right.begin(), right.end());
    return out;
  }
  const double tolerance = m_overlapSeconds / 2.0;

  std::vector<IndexedToken> overlapLeft;
  for (size_t i = 0; i < left.size(); ++i) {
    const double start = d * static_cast<double>(left[i].timestamp);
    if (start + d > rightStart - m_overlapSeconds) {
      overlapLeft.push_back({i, left[i], start, start + d});
    }
  }
  std::vector<IndexedToken> overlapRight;
  for (size_t j = 0; j < right.size(); ++j) {
    const double start = d * static_cast<double>(right[j].timestamp);
    if (start < leftEnd + m_overlapSeconds) {
      overlapRight.push_back({j, right[j], start, start + d});
    }
  }
  if (overlapLeft.size() < 2 || overlapRight.size() < 2) {
    return mergeByMidpoint(left, right);
  }
  Pairs matches = findBestContiguousPairs(overlapLeft, overlapRight, tolerance);
  if (matches.size() < overlapLeft.size() / 2) {
    matches = findLongestCommonSubsequencePairs(overlapLeft, overlapRight, tolerance);
    if (matches.empty()) {
      return mergeByMidpoint(left, right);
    }
  }
  return mergeUsingMatches(matches, overlapLeft, overlapRight, left, right);
}

namespace {
bool tokensMatch(const ChunkProcessor::IndexedToken& a, const ChunkProcessor::IndexedToken& b, double tolerance) {
  return a.token.token == b.token.token && std::fabs(a.start - b.start) < tolerance;
}
}  // namespace

ChunkProcessor::Pairs ChunkProcessor::findBestContiguousPairs(const std::vector<IndexedToken>& overlapLeft,
                                                              const std::vector<IndexedToken>& overlapRight,
                                                              double tolerance) {
  Pairs best;
  for (size_t i = 0; i < overlapLeft.size(); ++i) {
    for (size_t j = 0; j < overlapRight.size(); ++j) {
      if (!tokensMatch(overlapLeft[i], overlapRight[j], tolerance)) {
        continue;
      }
      Pairs run;
      size_t a = i;
      size_t b = j;
      while (a < overlapLeft.size() && b < overlapRight.size() &&
             tokensMatch(overlapLeft[a], overlapRight[b], tolerance)) {
        run.emplace_back(a, b);
        ++a;
        ++b;
      }
      if (run.size() > best.size()) {
        best = std::move(run);
      }
    }
  }
  return best;
}

ChunkProcessor::Pairs ChunkProcessor::findLongestCommonSubsequencePairs(const std::vector<IndexedToken>& overlapLeft,
                                                                        const std::vector<IndexedToken>& overlapRight,
                                                                        double tolerance) {
  const size_t n = overlapLeft.size();
  const size_t m = overlapRight.size();
  std::vector<std::vector<int>> table(n + 1, std::vector<int>(m + 1, 0));
  for (size_t i = 1; i <= n; ++i) {
    for (size_t j = 1; j <= m; ++j) {
      if (tokensMatch(overlapLeft[i - 1], overlapRight[j - 1], tolerance)) {
        table[i][j] = table[i - 1][j - 1] + 1;
      } else {
        table[i][j] = std::max(table[i - 1][j], table[i][j - 1]);
      }
    }
  }
  Pairs pairs;
  size_t i = n;
  size_t j = m;
  while (i > 0 && j > 0) {
    if (tokensMatch(overlapLeft[i - 1], overlapRight[j - 1], tolerance)) {
      pairs.emplace_back(i - 1, j - 1);
      --i;
      --j;
    } else if (table[i][j - 1] < table[i - 1][j]) {
      --i;
    } else {
      --j;
    }
  }
  std::reverse(pairs.begin(), pairs.end());
  return pairs;
}

std::vector<ChunkProcessor::Token> ChunkProcessor::mergeUsingMatches(const Pairs& matches,
                                                                     const std::vector<IndexedToken>& overlapLeft,
                                                                     const std::vector<IndexedToken>& overlapRight,
                                                                     const std::vector<Token>& left,
                                                                     const std::vector<Token>& right) {
  std::vector<Token> out;
  if (matches.empty()) {
    return out;
  }
  std::vector<size_t> L;
  std::vector<size_t> R;
  for (const auto& [a, b] : matches) {
    L.push_back(overlapLeft[a].index);
    R.push_back(overlapRight[b].index);
  }
  out.insert(out.end(), left.begin(), left.begin() + static_cast<std::ptrdiff_t>(L[0]));
  for (size_t k = 0; k < matches.size(); ++k) {
    out.push_back(left[L[k]]);
    if (k + 1 < matches.size()) {
      const size_t leftGap = L[k + 1] > L[k] + 1 ? L[k + 1] - L[k] - 1 : 0;
      const size_t rightGap = R[k + 1] > R[k] + 1 ? R[k + 1] - R[k] - 1 : 0;
      if (rightGap > leftGap) {
        out.insert(out.end(), right.begin() + static_cast<std::ptrdiff_t>(R[k] + 1),
                   right.begin() + static_cast<std::ptrdiff_t>(R[k + 1]));
      } else if (leftGap > 0) {
        out.insert(out.end(), left.begin() + static_cast<std::ptrdiff_t>(L[k] + 1),
                   left.begin() + static_cast<std::ptrdiff_t>(L[k + 1]));
      }
    }
  }
  out.insert(out.end(), right.begin() + static_cast<std::ptrdiff_t>(R.back() + 1), right.end());
  return out;
}

std::vector<ChunkProcessor::Token> ChunkProcessor::mergeByMidpoint(const std::vector<Token>& left,
                                                                   const std::vector<Token>& right) const {
  // Compared in whole frames (twice the frame index against the sum of the
  // two edges), so a token exactly at the cut is recognised exactly.
  if (left.empty() || right.empty()) {
    std::vector<Token> out = left;
    out.insert(out.end(), right.begin(), right.end());
    return out;
  }
  const int64_t doubledCut = (left.back().timestamp + 1) + right.front().timestamp;
  std::vector<Token> out;
  // Tokens the left chunk keeps exactly at the cut, each to be matched at most
  // once by an equal token of the right chunk there.
  std::vector<int64_t> leftAtCut;
  for (const Token& t : left) {
    if (2 * t.timestamp <= doubledCut) {
      out.push_back(t);
      if (2 * t.timestamp == doubledCut) {
        leftAtCut.push_back(t.token);
      }
    }
  }
  for (const Token& t : right) {
    if (2 * t.timestamp < doubledCut) {
      continue;
    }
    // A token exactly at the cut was seen by both chunks: keep it once.
    if (2 * t.timestamp == doubledCut) {
      auto seen = std::find(leftAtCut.begin(), leftAtCut.end(), t.token);
      if (seen != leftAtCut.end()) {
        leftAtCut.erase(seen);
        continue;
      }
    }
    out.push_back(t);
  }
  return out;
}

}  // namespace voxtrellis
