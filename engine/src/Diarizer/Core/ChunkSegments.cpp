#include "Diarizer/Core/ChunkSegments.h"

#include <algorithm>
#include <cmath>

namespace voxtrellis {

namespace {

float frameThreshold(const std::vector<float>& frame, std::size_t slot) {
  for (std::size_t other = 0; other < frame.size(); ++other) {
    if (other != slot && frame[other] > 0.3f) return 0.15f;
  }
  return 0.3f;
}

float norm(const std::vector<float>& v) {
  double sum = 0;
  for (float x : v) sum += static_cast<double>(x) * x;
  return static_cast<float>(std::sqrt(sum));
}

}  // namespace

std::vector<TimedSpeakerSegment> createTimedSegments(const ChunkSlots& slots, double offsetSeconds,
                                                     const DiarizerConfig& config) {
  std::vector<TimedSpeakerSegment> segments;
  const std::size_t frameCount = slots.frames.size();
  auto offer = [&](std::size_t slot, std::size_t startFrame, std::size_t endFrame) {
    if (slot >= slots.labels.size() || slots.labels[slot].empty() || slot >= slots.embeddings.size()) return;
    const auto start = static_cast<float>(static_cast<double>(startFrame) * kFrameStepSeconds + offsetSeconds);
    const auto end = static_cast<float>(static_cast<double>(endFrame) * kFrameStepSeconds + offsetSeconds);
    if (end - start < config.minSpeechDuration) return;
    const auto& embedding = slots.embeddings[slot];
    // The activity counts the whole chunk, so the raw ratio can pass 1.
    const float density = slots.activities[slot] / static_cast<float>(endFrame - startFrame);
    const float quality = std::clamp(density * std::min(norm(embedding) / 10.0f, 1.0f), 0.0f, 1.0f);
    segments.emplace_back(slots.labels[slot], embedding, start, end, quality);
  };

  for (std::size_t slot = 0; slot < slots.activities.size(); ++slot) {
    if (slots.activities[slot] < config.minActiveFramesCount) continue;
    bool open = false;
    std::size_t startFrame = 0;
    for (std::size_t f = 0; f < frameCount; ++f) {
      const auto& frame = slots.frames[f];
      const float value = slot < frame.size() ? frame[slot] : 0.0f;
      const float threshold = frameThreshold(frame, slot);
      if (!open && value > threshold) {
        open = true;
        startFrame = f;
      } else if (open && value <= threshold) {
        open = false;
        offer(slot, startFrame, f);
      }
    }
    if (open) offer(slot, startFrame, frameCount);
  }
  std::stable_sort(segments.begin(), segments.end(), [](const TimedSpeakerSegment& a, const TimedSpeakerSegment& b) {
    return a.startTimeSeconds < b.startTimeSeconds;
  });
  return segments;
}

}  // namespace voxtrellis
