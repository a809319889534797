#include "ASR/AsrManagerImpl.h"

#include <algorithm>

namespace voxtrellis {

namespace {

bool isBoundaryToken(int token) {
  return token == 7883 || token == 7952 || token == 7948;
}

std::string tokenList(std::vector<int>::const_iterator begin, std::vector<int>::const_iterator end) {
  std::string s = "[";
  for (auto it = begin; it != end; ++it) {
    if (it != begin) s += ", ";
    s += std::to_string(*it);
  }
  return s + "]";
}

constexpr int kStreamingMaxOverlap = 12;
constexpr int kSearchWindow = 15;

}  // namespace

AsrManagerImpl::StreamingChunkResult AsrManagerImpl::transcribeStreamingChunk(std::span<const float> chunk,
                                                                              AudioSource source,
                                                                              const std::vector<int>& previousTokens,
                                                                              bool isLastChunk) {
  // Work on a copy: the stored state is replaced only when the window
  // succeeds, so a failed window leaves it exactly as it was.
  TdtDecoderState working = decoderState(source);

  const int count = static_cast<int>(chunk.size());
  const int length = previousTokens.empty() ? asr::frameAlignedLength(count) : count;
  std::vector<float> window(chunk.begin(), chunk.end());
  if (static_cast<int>(window.size()) < length) {
    window.resize(static_cast<size_t>(length), 0.0f);
  }
  if (window.size() < static_cast<size_t>(asr::windowSamples)) {
    window.resize(asr::windowSamples, 0.0f);
  }
  InferenceResult inference = executeMLInferenceWithTimings(window, length, std::nullopt, working, 0, isLastChunk, 0);
  decoderState(source) = std::move(working);

  StreamingChunkResult out;
  out.tokens = inference.hypothesis.tokenIds;
  out.timestamps = inference.hypothesis.timestamps;
  out.confidences = inference.hypothesis.confidences;
  out.encoderSequenceLength = inference.encoderSequenceLength;
  if (!previousTokens.empty() && !out.tokens.empty()) {
    DeduplicationResult d = removeDuplicateTokenSequence(previousTokens, out.tokens, kStreamingMaxOverlap);
    out.tokens = std::move(d.deduped);
    if (d.removedCount >= 1) {
      const auto drop = [&](auto& list) {
        const size_t n = std::min(list.size(), static_cast<size_t>(d.removedCount));
        list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(n));
      };
      drop(out.timestamps);
      drop(out.confidences);
    }
  }
  return out;
}

AsrManagerImpl::DeduplicationResult AsrManagerImpl::removeDuplicateTokenSequence(const std::vector<int>& previous,
                                                                                 const std::vector<int>& current,
                                                                                 int maxOverlap) const {
  DeduplicationResult result;
  result.deduped = current;
  const int searchWindow = std::min(static_cast<int>(previous.size()), kSearchWindow);

  if (!previous.empty() && !result.deduped.empty() && previous.back() == result.deduped.front() &&
      isBoundaryToken(previous.back())) {
    result.deduped.erase(result.deduped.begin());
    result.removedCount = 1;
  }
  std::vector<int>& cur = result.deduped;
  const int curCount = static_cast<int>(cur.size());
  const int prevCount = static_cast<int>(previous.size());
  const int M = std::min({curCount, maxOverlap, searchWindow});
  if (searchWindow < 2 || std::min(curCount, maxOverlap) < 2) {
    return result;
  }

  for (int L = M; L >= 2; --L) {
    if (std::equal(previous.end() - L, previous.end(), cur.begin())) {
      logger.debug("Found exact suffix-prefix overlap of length " + std::to_string(L) + ": " +
                   tokenList(cur.begin(), cur.begin() + L));
      cur.erase(cur.begin(), cur.begin() + L);
      result.removedCount += L;
      return result;
    }
  }

  const int boundarySearchFrames = std::max(0, config.tdtConfig.boundarySearchFrames);
  for (int L = M; L >= 2; --L) {
    for (int p = prevCount - searchWindow; p <= prevCount - L; ++p) {
      const int cEnd = std::min(boundarySearchFrames, curCount - L + 1);
      for (int c = 0; c < cEnd; ++c) {
        if (std::equal(cur.begin() + c, cur.begin() + c + L, previous.begin() + p)) {
          logger.debug("Found duplicate sequence length=" + std::to_string(L) + " at currStart=" + std::to_string(c) +
                       ": " + tokenList(cur.begin() + c, cur.begin() + c + L) +
                       " (boundarySearch=" + std::to_string(boundarySearchFrames) + ")");
          cur.erase(cur.begin(), cur.begin() + c + L);
          result.removedCount += c + L;
          return result;
        }
      }
    }
  }
  return result;
}

}  // namespace voxtrellis
