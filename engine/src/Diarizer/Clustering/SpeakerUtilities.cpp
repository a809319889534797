#include <voxtrellis/SpeakerUtilities.h>

#include "Diarizer/Clustering/CosineDistance.h"
#include "Diarizer/Clustering/EmbeddingMath.h"
#include "Diarizer/Clustering/SpeakerIdText.h"
#include "Diarizer/Offline/Utils/VDSPOperations.h"
#include "Shared/AppLogger.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace voxtrellis {

namespace {

const AppLogger& logger() {
  static const AppLogger instance("SpeakerUtilities");
  return instance;
}

constexpr float kInfinity = std::numeric_limits<float>::infinity();

}  // namespace

float cosineDistanceWithSquares(const std::vector<float>& a, float sa, const std::vector<float>& b) {
  if (a.empty() || b.empty() || a.size() != b.size()) {
    logger().error("Invalid embeddings: a.count=" + std::to_string(a.size()) + ", b.count=" + std::to_string(b.size()));
    return kInfinity;
  }
  const auto sums = embedding::dotAndSquaresOfSecond(a.data(), b.data(), a.size());
  const float dot = sums.dot;
  const float sb = sums.bb;
  if (!(sa > 0) || !(sb > 0)) {
    logger().warning("Zero magnitude embedding detected");
    return kInfinity;
  }
  float similarity;
  if (std::fabs(sa - 1.0f) <= 0.001f && std::fabs(sb - 1.0f) <= 0.001f) {
    similarity = dot;
  } else {
    const float na = std::sqrt(sa);
    const float nb = std::sqrt(sb);
    if (!(na > 0) || !(nb > 0)) {
      logger().warning("Zero magnitude after normalization guard");
      return kInfinity;
    }
    similarity = dot / (na * nb);
  }
  return similarity > -1.0f ? 1.0f - std::min(similarity, 1.0f) : 2.0f;
}

SpeakerUtilities::SpeakerCreationParams::SpeakerCreationParams(std::string id, std::optional<std::string> name,
                                                               float duration, std::vector<float> embedding,
                                                               WallTime createdAt, WallTime updatedAt)
    : id(std::move(id)),
      duration(duration),
      embedding(std::move(embedding)),
      createdAt(createdAt),
      updatedAt(updatedAt) {
  this->name = name ? std::move(*name) : "Speaker " + this->id;
}

float SpeakerUtilities::cosineDistance(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.empty() || b.empty() || a.size() != b.size()) return cosineDistanceWithSquares(a, 0, b);
  return cosineDistanceWithSquares(a, embedding::sumOfSquares(a), b);
}

bool SpeakerUtilities::validateEmbedding(const std::vector<float>& values, float minMagnitude) {
  if (values.empty()) {
    logger().error("Empty embedding");
    return false;
  }
  const float magnitude = std::sqrt(embedding::sumOfSquares(values));
  if (!(magnitude > minMagnitude)) {
    logger().warning("Low magnitude embedding: " + floatText(magnitude));
    return false;
  }
  if (!embedding::allFinite(values)) {
    logger().error("Embedding contains NaN or Inf");
    return false;
  }
  return true;
}

SpeakerUtilities::AssignmentDecision SpeakerUtilities::shouldAssignSpeaker(float distance, float duration,
                                                                           const AssignmentConfig& config) {
  const float confidence = 1.0f - distance;
  if (distance < 0.2f) {
    return {true, duration >= config.minSpeakerDuration, confidence, "Very high confidence match"};
  }
  if (distance < config.maxDistanceForAssignment && duration >= config.minSegmentDuration) {
    const bool update = duration >= config.minSpeakerDuration && distance <= config.maxDistanceForUpdate;
    return {true, update, confidence, "Sufficient confidence and duration"};
  }
  return {false, false, confidence,
          distance < config.maxDistanceForAssignment ? "Duration too short" : "Distance too far"};
}

SpeakerUtilities::ClosestSpeaker SpeakerUtilities::findClosestSpeaker(const std::vector<float>& values,
                                                                      const std::vector<SpeakerPtr>& candidates) {
  ClosestSpeaker best{nullptr, kInfinity};
  for (const auto& candidate : candidates) {
    const float distance = cosineDistance(values, candidate->currentEmbedding);
    if (distance < best.distance) best = {candidate, distance};
  }
  return best;
}

SpeakerUtilities::SpeakerCreationResult SpeakerUtilities::validateSpeakerCreation(
    const std::string& id, const std::optional<std::string>& name, float duration, const std::vector<float>& values,
    const AssignmentConfig& config) {
  if (duration < config.minSpeakerDuration) {
    return SpeakerCreationResult::failure("Duration " + floatText(duration) + " < minimum " +
                                          floatText(config.minSpeakerDuration));
  }
  if (!validateEmbedding(values, 0.1f))
    return SpeakerCreationResult::failure("Invalid embedding: failed quality checks");
  const WallTime now = std::chrono::system_clock::now();
  return SpeakerCreationResult::success(
      SpeakerCreationParams(id, name, duration, VDSPOperations::l2Normalize(values), now, now));
}

SpeakerPtr SpeakerUtilities::createSpeaker(const std::string& id, const std::optional<std::string>& name,
                                           float duration, const std::vector<float>& values,
                                           const AssignmentConfig& config) {
  const auto result = validateSpeakerCreation(id, name, duration, values, config);
  if (!result.isSuccess()) {
    logger().error("Failed to create speaker: " + result.failureReason);
    return nullptr;
  }
  const auto& p = *result.params;
  return std::make_shared<Speaker>(p.id, p.name, p.embedding, p.duration, p.createdAt, p.updatedAt, false);
}

std::optional<std::vector<float>> SpeakerUtilities::updateEmbedding(const std::vector<float>& current,
                                                                    const std::vector<float>& newEmbedding,
                                                                    float alpha) {
  if (current.empty() || current.size() != newEmbedding.size() || !validateEmbedding(newEmbedding, 0.1f)) {
    logger().error("Invalid embeddings for update");
    return std::nullopt;
  }
  const auto a = VDSPOperations::l2Normalize(current);
  const auto b = VDSPOperations::l2Normalize(newEmbedding);
  std::vector<float> blended(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) blended[i] = a[i] * alpha + b[i] * (1.0f - alpha);
  return VDSPOperations::l2Normalize(blended);
}

std::optional<SpeakerUtilities::RawEmbeddingAppend> SpeakerUtilities::addRawEmbedding(
    const std::vector<RawEmbedding>& to, const std::string& segmentId, const std::vector<float>& values,
    WallTime timestamp, std::size_t maxCapacity) {
  if (!validateEmbedding(values, 0.1f)) {
    logger().warning("Invalid embedding for segment " + segmentId);
    return std::nullopt;
  }
  RawEmbeddingAppend result{to, false};
  if (!result.updated.empty() && result.updated.size() >= maxCapacity) result.updated.erase(result.updated.begin());
  result.shouldRecalculate = result.updated.size() > 1;
  result.updated.emplace_back(segmentId, VDSPOperations::l2Normalize(values), timestamp);
  return result;
}

SpeakerUtilities::RawEmbeddingRemoval SpeakerUtilities::removeRawEmbedding(const std::vector<RawEmbedding>& from,
                                                                           const std::string& segmentId) {
  RawEmbeddingRemoval result{from, std::nullopt, false};
  const auto it = std::find_if(result.updated.begin(), result.updated.end(),
                               [&](const RawEmbedding& r) { return r.segmentId == segmentId; });
  if (it != result.updated.end()) {
    result.removed = *it;
    result.updated.erase(it);
    result.shouldRecalculate = true;
  }
  return result;
}

std::optional<SpeakerUtilities::SpeakerUpdateResult> SpeakerUtilities::updateSpeakerWithSegment(
    const std::vector<float>& currentMainEmbedding, const std::vector<RawEmbedding>& currentRawEmbeddings,
    float currentDuration, const std::vector<float>& segmentEmbedding, float segmentDuration,
    const std::string& segmentId, float alpha, float minSegmentDuration) {
  if (segmentDuration < minSegmentDuration || !validateEmbedding(segmentEmbedding, 0.1f)) return std::nullopt;
  const auto normalized = VDSPOperations::l2Normalize(segmentEmbedding);
  auto appended = addRawEmbedding(currentRawEmbeddings, segmentId, normalized, std::chrono::system_clock::now(),
                                  Speaker::maxRawEmbeddings);
  if (!appended) return std::nullopt;
  SpeakerUpdateResult result;
  result.updatedMainEmbedding = updateEmbedding(currentMainEmbedding, normalized, alpha);
  result.updatedRawEmbeddings = std::move(appended->updated);
  result.updatedDuration = currentDuration + segmentDuration;
  result.shouldRecalculate = appended->shouldRecalculate;
  return result;
}

SpeakerUtilities::MergedSpeakers SpeakerUtilities::mergeSpeakers(const std::vector<RawEmbedding>& speaker1Raw,
                                                                 float speaker1Duration,
                                                                 const std::vector<RawEmbedding>& speaker2Raw,
                                                                 float speaker2Duration, std::size_t maxCapacity) {
  MergedSpeakers result;
  result.mergedRaw = speaker1Raw;
  result.mergedRaw.insert(result.mergedRaw.end(), speaker2Raw.begin(), speaker2Raw.end());
  if (result.mergedRaw.size() > maxCapacity) {
    std::stable_sort(result.mergedRaw.begin(), result.mergedRaw.end(),
                     [](const RawEmbedding& a, const RawEmbedding& b) { return a.timestamp > b.timestamp; });
    result.mergedRaw.resize(maxCapacity);
  }
  std::vector<std::vector<float>> kept;
  kept.reserve(result.mergedRaw.size());
  for (const auto& raw : result.mergedRaw) kept.push_back(raw.embedding);
  result.newMainEmbedding = averageEmbeddings(kept);
  result.mergedDuration = speaker1Duration + speaker2Duration;
  return result;
}

std::optional<std::vector<float>> SpeakerUtilities::averageEmbeddings(const std::vector<std::vector<float>>& list) {
  if (list.empty() || list.front().empty()) return std::nullopt;
  const std::size_t length = list.front().size();
  std::vector<float> sum(length, 0.0f);
  int counted = 0;
  for (const auto& v : list) {
    if (v.size() != length) continue;
    for (std::size_t i = 0; i < length; ++i) sum[i] += v[i];
    ++counted;
  }
  for (auto& v : sum) v /= static_cast<float>(counted);
  return VDSPOperations::l2Normalize(sum);
}

}  // namespace voxtrellis
