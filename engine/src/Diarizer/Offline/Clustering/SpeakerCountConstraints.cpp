#include "Diarizer/Offline/Clustering/SpeakerCountConstraints.h"

#include <voxtrellis/AppLogger.h>

#include <algorithm>
#include <string>

namespace voxtrellis {

namespace {
const AppLogger& constraintsLogger() {
  static const AppLogger logger("SpeakerCountConstraints");
  return logger;
}
}  // namespace

SpeakerCountConstraints SpeakerCountConstraints::resolve(int numEmbeddings, std::optional<int> numSpeakers,
                                                         std::optional<int> minSpeakers,
                                                         std::optional<int> maxSpeakers) {
  int lower = minSpeakers.value_or(1);
  int upper = maxSpeakers.value_or(numEmbeddings);
  if (numSpeakers) lower = upper = *numSpeakers;
  lower = std::max(std::min(lower, numEmbeddings), 1);
  upper = std::max(std::min(upper, numEmbeddings), 1);
  if (lower > upper) {
    constraintsLogger().warning("minSpeakers (" + std::to_string(lower) + ") > maxSpeakers (" + std::to_string(upper) +
                                "); clamping minSpeakers to " + std::to_string(upper));
    lower = upper;
  }
  SpeakerCountConstraints result;
  result.minSpeakers = lower;
  result.maxSpeakers = upper;
  if (lower == upper) result.numSpeakers = lower;
  constraintsLogger().debug("Resolved constraints: numSpeakers=" +
                            (result.numSpeakers ? std::to_string(*result.numSpeakers) : std::string("nil")) +
                            ", min=" + std::to_string(lower) + ", max=" + std::to_string(upper));
  return result;
}

}  // namespace voxtrellis
