#include "ASR/AsrManagerImpl.h"

#include <algorithm>
#include <numeric>

namespace voxtrellis {

namespace {

const std::string kWordStart = "\xE2\x96\x81";  // "▁"

std::string withSpaces(std::string piece) {
  size_t pos = 0;
  while ((pos = piece.find(kWordStart, pos)) != std::string::npos) {
    piece.replace(pos, kWordStart.size(), " ");
    pos += 1;
  }
  return piece;
}

std::string trimSpacesAndTabs(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const size_t last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

bool isBlankText(const std::string& s) {
  return s.find_first_not_of(" \t\r\n\v\f") == std::string::npos;
}

}  // namespace

ASRResult AsrManagerImpl::processTranscriptionResult(
    const std::vector<int>& tokenIds, const std::vector<int>& timestamps, const std::vector<float>& confidences,
    const std::vector<int>& tokenDurations, int /*encoderSequenceLength*/, std::span<const float> audioSamples,
    double processingTime, const std::vector<TokenTiming>& tokenTimings) const {
  auto [text, carried] = convertTokensWithExistingTimings(tokenIds, tokenTimings);
  std::vector<TokenTiming> made = createTokenTimings(tokenIds, timestamps, confidences, tokenDurations);
  ASRResult result;
  result.duration = static_cast<double>(audioSamples.size()) / static_cast<double>(config.sampleRate);
  result.confidence =
      calculateConfidence(result.duration, static_cast<int>(tokenIds.size()), isBlankText(text), confidences);
  result.text = std::move(text);
  result.processingTime = processingTime;
  result.tokenTimings = tokenTimings.empty() ? std::move(made) : std::move(carried);
  return result;
}

std::pair<std::string, std::vector<TokenTiming>> AsrManagerImpl::convertTokensWithExistingTimings(
    const std::vector<int>& tokenIds, const std::vector<TokenTiming>& timings) const {
  if (tokenIds.empty()) {
    return {};
  }
  std::string joined;
  std::vector<TokenTiming> out;
  for (size_t i = 0; i < tokenIds.size(); ++i) {
    auto it = vocabulary.find(tokenIds[i]);
    if (it == vocabulary.end() || it->second.empty()) {
      continue;
    }
    joined += it->second;
    if (i < timings.size()) {
      TokenTiming t = timings[i];
      t.token = withSpaces(it->second);
      t.tokenId = tokenIds[i];
      out.push_back(std::move(t));
    }
  }
  return {trimSpacesAndTabs(withSpaces(joined)), std::move(out)};
}

std::vector<TokenTiming> AsrManagerImpl::createTokenTimings(const std::vector<int>& tokenIds,
                                                            const std::vector<int>& timestamps,
                                                            const std::vector<float>& confidences,
                                                            const std::vector<int>& tokenDurations) const {
  if (tokenIds.empty() || timestamps.size() != tokenIds.size() || confidences.size() != tokenIds.size()) {
    return {};
  }
  const bool hasDurations = !tokenDurations.empty();
  const std::vector<int> durations = hasDurations ? tokenDurations : std::vector<int>(tokenIds.size(), 0);
  const size_t count = std::min({tokenIds.size(), timestamps.size(), confidences.size(), durations.size()});

  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return timestamps[a] < timestamps[b]; });

  constexpr double frame = asr::frameSeconds;
  std::vector<TokenTiming> out;
  out.reserve(count);
  for (size_t k = 0; k < count; ++k) {
    const size_t i = order[k];
    TokenTiming t;
    t.startTime = timestamps[i] * frame;
    if (hasDurations && durations[i] >= 1) {
      t.endTime = t.startTime + std::max(frame, durations[i] * frame);
    } else if (k + 1 < count) {
      t.endTime = std::max(t.startTime + frame, timestamps[order[k + 1]] * frame);
    } else {
      t.endTime = t.startTime + frame;
    }
    t.endTime = std::max(t.endTime, t.startTime + 0.001);
    auto it = vocabulary.find(tokenIds[i]);
    t.token = withSpaces(it != vocabulary.end() ? it->second : "token_" + std::to_string(tokenIds[i]));
    t.tokenId = tokenIds[i];
    t.confidence = confidences[i];
    out.push_back(std::move(t));
  }
  return out;
}

float AsrManagerImpl::calculateConfidence(double /*duration*/, int tokenCount, bool isEmpty,
                                          const std::vector<float>& tokenConfidences) const {
  if (isEmpty) {
    return 0.1f;
  }
  if (tokenConfidences.empty() || static_cast<int>(tokenConfidences.size()) != tokenCount) {
    logger.warning("Expected token confidences but got none - this should not happen");
    return 0.5f;
  }
  float sum = 0.0f;
  for (float c : tokenConfidences) {
    sum += c;
  }
  const float mean = sum / static_cast<float>(tokenCount);
  return std::max(0.1f, std::min(1.0f, mean));
}

}  // namespace voxtrellis
