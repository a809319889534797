#pragma once

#include <voxtrellis/VadTypes.h>

#include <cstdint>
#include <optional>

namespace voxtrellis {

// How speech probabilities become speech regions. Durations in seconds.
struct VadSegmentationConfig {
  double minSpeechDuration = 0.15;   // shortest region kept
  double minSilenceDuration = 0.75;  // silence that ends a region
  // Longest region before it is split; infinity means no limit.
  double maxSpeechDuration = 14.0;
  double speechPadding = 0.1;  // added around regions
  // A silence whose lowest probability is at or below this is the preferred split point.
  float silenceThresholdForSplit = 0.3f;
  // Explicit threshold below which speech counts as stopped; when absent it is
  // derived from the detector's threshold less negativeThresholdOffset.
  std::optional<float> negativeThreshold;
  float negativeThresholdOffset = 0.15f;
  // A silence longer than this inside speech becomes a split candidate.
  double minSilenceAtMaxSpeech = 0.098;
  // With no qualifying candidate: split at the longest candidate (true) or the last one (false).
  bool useMaxPossibleSilenceAtMaxSpeech = true;

  static VadSegmentationConfig defaultConfig() { return {}; }

  // Throws std::invalid_argument for a negative or NaN duration, a
  // maxSpeechDuration that is not above 0, or a threshold outside 0...1.
  void validate() const;

  // The threshold below which speech stops: negativeThreshold when given,
  // else max(baseThreshold - negativeThresholdOffset, 0.01).
  float effectiveNegativeThreshold(float baseThreshold) const;
};

// One speech region, in seconds from the start of the audio.
struct VadSegment {
  double startTime = 0;
  double endTime = 0;

  double duration() const { return endTime - startTime; }
  int64_t startSample(int sampleRate = 16000) const { return static_cast<int64_t>(startTime * sampleRate); }
  int64_t endSample(int sampleRate = 16000) const { return static_cast<int64_t>(endTime * sampleRate); }
  int64_t sampleCount(int sampleRate = 16000) const { return endSample(sampleRate) - startSample(sampleRate); }

  friend bool operator==(const VadSegment&, const VadSegment&) = default;
};

// A live caller's position in a stream of chunks; passed back with each chunk.
struct VadStreamState {
  VadState modelState = VadState::initial();
  bool triggered = false;                // inside speech
  std::optional<int64_t> tempEndSample;  // where the current silence began
  int64_t processedSamples = 0;          // samples fed so far

  static VadStreamState initial() { return {}; }
};

struct VadStreamEvent {
  enum class Kind { speechStart, speechEnd };

  Kind kind = Kind::speechStart;
  int64_t sampleIndex = 0;
  std::optional<double> time;  // seconds, present only when asked for

  bool isStart() const { return kind == Kind::speechStart; }
  bool isEnd() const { return kind == Kind::speechEnd; }
};

struct VadStreamResult {
  VadStreamState state;  // pass back with the next chunk
  std::optional<VadStreamEvent> event;
  float probability = 0;
};

}  // namespace voxtrellis
