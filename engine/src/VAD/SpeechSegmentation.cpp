#include "VAD/SpeechSegmentation.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace voxtrellis::vad {

namespace {

constexpr int64_t kChunk = 4096;
constexpr double kRate = 16000.0;

// Saturates where a duration is too long for a sample count.
int64_t samplesOf(double seconds) {
  const double samples = seconds * kRate;
  return samples >= 1.0e15 ? int64_t{1'000'000'000'000'000} : static_cast<int64_t>(samples);
}

struct Counts {
  int64_t minSpeech = 0;
  int64_t minSilence = 0;
  int64_t padding = 0;
  int64_t minSilenceAtMaxSpeech = 0;
  std::optional<int64_t> maxSpeech;  // none: no limit
};

Counts countsFor(const VadSegmentationConfig& config) {
  Counts c;
  c.minSpeech = samplesOf(config.minSpeechDuration);
  c.minSilence = samplesOf(config.minSilenceDuration);
  c.padding = samplesOf(config.speechPadding);
  c.minSilenceAtMaxSpeech = samplesOf(config.minSilenceAtMaxSpeech);
  // Durations too long for a sample count are as good as no limit.
  if (std::isfinite(config.maxSpeechDuration)) {
    c.maxSpeech = std::max<int64_t>(samplesOf(config.maxSpeechDuration) - kChunk - 2 * c.padding, 0);
  }
  return c;
}

struct Candidate {
  int64_t silenceStart = 0;
  int64_t length = 0;
  float lowest = 0;
};

// The split point for over-long speech: the longest qualifying silence (the
// earliest on ties), else the longest or the last of all.
std::optional<Candidate> chooseCandidate(const std::vector<Candidate>& candidates,
                                         const VadSegmentationConfig& config) {
  if (candidates.empty()) return std::nullopt;
  const auto longest = [&](bool qualifyingOnly) -> std::optional<Candidate> {
    std::optional<Candidate> best;
    for (const Candidate& c : candidates) {
      if (qualifyingOnly && c.lowest > config.silenceThresholdForSplit) continue;
      if (!best || c.length > best->length) best = c;
    }
    return best;
  };
  if (auto q = longest(true)) return q;
  return config.useMaxPossibleSilenceAtMaxSpeech ? longest(false) : std::optional<Candidate>(candidates.back());
}

void pad(std::vector<SampleRange>& ranges, int64_t padding, int64_t audioLength) {
  if (ranges.empty()) return;
  ranges.front().first = std::max<int64_t>(ranges.front().first - padding, 0);
  for (std::size_t i = 0; i + 1 < ranges.size(); ++i) {
    const int64_t gap = ranges[i + 1].first - ranges[i].second;
    const int64_t move = gap >= 2 * padding ? padding : gap / 2;
    ranges[i].second = std::min(ranges[i].second + move, audioLength);
    ranges[i + 1].first = std::max<int64_t>(ranges[i + 1].first - move, 0);
  }
  ranges.back().second = std::min(ranges.back().second + padding, audioLength);
}

}  // namespace

Thresholds thresholdsFor(float detectorThreshold, const VadSegmentationConfig& config) {
  Thresholds t;
  t.speech = config.negativeThreshold ? std::min(*config.negativeThreshold + config.negativeThresholdOffset, 1.0f)
                                      : detectorThreshold;
  t.negative =
      config.negativeThreshold ? *config.negativeThreshold : std::max(t.speech - config.negativeThresholdOffset, 0.01f);
  return t;
}

std::vector<SampleRange> detectSpeechSampleRanges(const std::vector<float>& probabilities, int64_t audioLength,
                                                  const VadSegmentationConfig& config, const Thresholds& thr) {
  const Counts counts = countsFor(config);
  std::vector<SampleRange> ranges;
  std::vector<Candidate> candidates;
  bool triggered = false;
  int64_t speechStart = 0;
  constexpr int64_t kNone = -1;  // no silence under way
  int64_t silenceStart = kNone;
  float lowest = 1.0f;

  const auto emit = [&](int64_t start, int64_t end) { ranges.emplace_back(start, std::min(end, audioLength)); };

  const std::size_t n = probabilities.size();
  for (std::size_t i = 0; i < n; ++i) {
    const float p = probabilities[i];
    const int64_t cur = kChunk * static_cast<int64_t>(i);
    const bool last = i + 1 == n;
    // Speech still open on the last chunk ends with the audio.
    const auto finishIfLast = [&] {
      if (last && triggered && audioLength - speechStart >= counts.minSpeech) emit(speechStart, audioLength);
    };

    if (p >= thr.speech) {
      if (silenceStart != kNone) {
        const int64_t length = cur - silenceStart;
        if (length > counts.minSilenceAtMaxSpeech) candidates.push_back({silenceStart, length, lowest});
        silenceStart = kNone;
      }
      if (!triggered) {
        triggered = true;
        speechStart = cur;
        finishIfLast();
        continue;
      }
    } else if (!triggered) {
      continue;
    }

    bool silenceFromSplit = false;
    if (counts.maxSpeech && cur - speechStart > *counts.maxSpeech) {
      const std::optional<Candidate> chosen = chooseCandidate(candidates, config);
      const int64_t cut = chosen ? chosen->silenceStart : cur;
      if (speechStart < cut && cut - speechStart >= counts.minSpeech) emit(speechStart, cut);
      candidates.clear();
      if (chosen && chosen->silenceStart + chosen->length < cur) {
        speechStart = chosen->silenceStart + chosen->length;
        if (p >= thr.negative) {
          finishIfLast();
          continue;
        }
        silenceStart = cur;
        lowest = p;
        silenceFromSplit = true;
      } else {
        triggered = false;
        silenceStart = kNone;
        continue;
      }
    }

    if (!silenceFromSplit && p >= thr.negative) {
      finishIfLast();
      continue;
    }
    if (silenceStart == kNone) {
      silenceStart = cur;
      lowest = p;
    } else {
      lowest = std::min(lowest, p);
    }
    if (cur - silenceStart >= counts.minSilence) {
      if (speechStart < silenceStart && silenceStart - speechStart >= counts.minSpeech) emit(speechStart, silenceStart);
      triggered = false;
      silenceStart = kNone;
      candidates.clear();
      continue;
    }
    finishIfLast();
  }

  pad(ranges, counts.padding, audioLength);
  std::vector<SampleRange> out;
  for (auto [start, end] : ranges) {
    start = std::clamp<int64_t>(start, 0, audioLength);
    end = std::clamp<int64_t>(end, start, audioLength);
    if (end > start) out.emplace_back(start, end);
  }
  return out;
}

VadStreamResult streamingStateMachine(const VadStreamState& state, float p, int64_t chunkLength, VadState modelState,
                                      const VadSegmentationConfig& config, const Thresholds& thr, bool returnSeconds,
                                      int timeResolution) {
  const Counts counts = countsFor(config);
  VadStreamResult result;
  result.probability = p;
  VadStreamState& next = result.state;
  next.modelState = std::move(modelState);
  next.triggered = state.triggered;
  next.tempEndSample = state.tempEndSample;
  next.processedSamples = state.processedSamples + chunkLength;
  const int64_t processed = next.processedSamples;

  const auto event = [&](VadStreamEvent::Kind kind, int64_t sample) {
    VadStreamEvent e;
    e.kind = kind;
    e.sampleIndex = sample;
    if (returnSeconds) {
      const double scale = std::pow(10.0, std::clamp(timeResolution, 0, 15));
      e.time = std::round(static_cast<double>(sample) / kRate * scale) / scale;
    }
    result.event = e;
  };

  if (p >= thr.speech) {
    next.tempEndSample.reset();
    if (!state.triggered) {
      next.triggered = true;
      event(VadStreamEvent::Kind::speechStart, std::max<int64_t>(processed - counts.padding - chunkLength, 0));
    }
  } else if (p < thr.negative && state.triggered) {
    const int64_t silenceStart = state.tempEndSample.value_or(processed);
    if (processed - silenceStart < counts.minSilence) {
      next.tempEndSample = silenceStart;
    } else {
      next.triggered = false;
      next.tempEndSample.reset();
      event(VadStreamEvent::Kind::speechEnd, std::max<int64_t>(silenceStart + counts.padding - chunkLength, 0));
    }
  }
  return result;
}

}  // namespace voxtrellis::vad
