#pragma once

#include <optional>

namespace voxtrellis {

// One consistent pair of speaker-count bounds for the embeddings at hand.
struct SpeakerCountConstraints {
  std::optional<int> numSpeakers;  // set when the bounds coincide
  int minSpeakers = 1;
  int maxSpeakers = 1;

  // Bounds from the optional requests, clamped to 1 ... numEmbeddings; an
  // exact count overrides the other two. Never throws.
  static SpeakerCountConstraints resolve(int numEmbeddings, std::optional<int> numSpeakers,
                                         std::optional<int> minSpeakers, std::optional<int> maxSpeakers);
};

}  // namespace voxtrellis
