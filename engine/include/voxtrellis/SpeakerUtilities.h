#pragma once

#include <voxtrellis/Speaker.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace voxtrellis {

// Pure arithmetic on voice embeddings and speaker data, shared by the speaker
// database and the chunked diarizer. Nothing throws: unusable input gives a
// log line (category "SpeakerUtilities") and an absent result, a failure,
// +infinity (distances) or an unchanged list. Safe from any thread.
class SpeakerUtilities {
 public:
  SpeakerUtilities() = delete;

  // Cosine distances below which an embedding is assigned to / refines a
  // speaker, and the seconds of speech needed to refine / to count at all.
  struct AssignmentConfig {
    float maxDistanceForAssignment = 0.65f;
    float maxDistanceForUpdate = 0.45f;
    float minSpeakerDuration = 4.0f;
    float minSegmentDuration = 1.0f;

    static AssignmentConfig macOS() { return {0.65f, 0.45f, 4.0f, 1.0f}; }
    static AssignmentConfig iOS() { return {0.55f, 0.45f, 4.0f, 1.0f}; }
    // The desktop preset.
    static AssignmentConfig current() { return macOS(); }
  };

  struct AssignmentDecision {
    bool shouldAssign = false;
    bool shouldUpdate = false;
    float confidence = 0;  // 1 − distance
    std::string reason;
  };

  struct SpeakerCreationParams {
    std::string id;
    std::string name;
    float duration = 0;
    std::vector<float> embedding;
    WallTime createdAt{};
    WallTime updatedAt{};

    // name: "Speaker " and the id when absent.
    SpeakerCreationParams(std::string id, std::optional<std::string> name, float duration, std::vector<float> embedding,
                          WallTime createdAt, WallTime updatedAt);
  };

  // Either the parameters of a speaker to create or the reason it may not be.
  struct SpeakerCreationResult {
    std::optional<SpeakerCreationParams> params;
    std::string failureReason;

    bool isSuccess() const { return params.has_value(); }
    static SpeakerCreationResult success(SpeakerCreationParams p) { return {std::move(p), {}}; }
    static SpeakerCreationResult failure(std::string reason) { return {std::nullopt, std::move(reason)}; }
  };

  struct SpeakerUpdateResult {
    std::optional<std::vector<float>> updatedMainEmbedding;
    std::vector<RawEmbedding> updatedRawEmbeddings;
    float updatedDuration = 0;
    bool shouldRecalculate = false;
  };

  struct ClosestSpeaker {
    SpeakerPtr speaker;  // null when there were no candidates
    float distance = 0;
  };

  struct RawEmbeddingAppend {
    std::vector<RawEmbedding> updated;
    bool shouldRecalculate = false;
  };

  struct RawEmbeddingRemoval {
    std::vector<RawEmbedding> updated;
    std::optional<RawEmbedding> removed;
    bool shouldRecalculate = false;
  };

  struct MergedSpeakers {
    std::vector<RawEmbedding> mergedRaw;
    float mergedDuration = 0;
    std::optional<std::vector<float>> newMainEmbedding;
  };

  // 1 − cosine similarity, in [0, 2]; +infinity for empty vectors, vectors of
  // different lengths or a zero vector.
  static float cosineDistance(const std::vector<float>& a, const std::vector<float>& b);
  // Non-empty, magnitude above `minMagnitude`, and every value finite.
  static bool validateEmbedding(const std::vector<float>& embedding, float minMagnitude = 0.1f);
  static AssignmentDecision shouldAssignSpeaker(float distance, float duration,
                                                const AssignmentConfig& config = AssignmentConfig::current());
  // The strictly closest candidate (ties keep the earlier); (null, +inf) for none.
  static ClosestSpeaker findClosestSpeaker(const std::vector<float>& embedding,
                                           const std::vector<SpeakerPtr>& candidates);
  static SpeakerCreationResult validateSpeakerCreation(const std::string& id, const std::optional<std::string>& name,
                                                       float duration, const std::vector<float>& embedding,
                                                       const AssignmentConfig& config = AssignmentConfig::current());
  static SpeakerPtr createSpeaker(const std::string& id, const std::optional<std::string>& name, float duration,
                                  const std::vector<float>& embedding,
                                  const AssignmentConfig& config = AssignmentConfig::current());
  // normalise(normalise(current) × alpha + normalise(new) × (1 − alpha)).
  static std::optional<std::vector<float>> updateEmbedding(const std::vector<float>& current,
                                                           const std::vector<float>& newEmbedding, float alpha);
  static std::optional<RawEmbeddingAppend> addRawEmbedding(const std::vector<RawEmbedding>& to,
                                                           const std::string& segmentId,
                                                           const std::vector<float>& embedding, WallTime timestamp,
                                                           std::size_t maxCapacity = Speaker::maxRawEmbeddings);
  static RawEmbeddingRemoval removeRawEmbedding(const std::vector<RawEmbedding>& from, const std::string& segmentId);
  static std::optional<SpeakerUpdateResult> updateSpeakerWithSegment(
      const std::vector<float>& currentMainEmbedding, const std::vector<RawEmbedding>& currentRawEmbeddings,
      float currentDuration, const std::vector<float>& segmentEmbedding, float segmentDuration,
      const std::string& segmentId, float alpha = 0.9f, float minSegmentDuration = 1.0f);
  static MergedSpeakers mergeSpeakers(const std::vector<RawEmbedding>& speaker1Raw, float speaker1Duration,
                                      const std::vector<RawEmbedding>& speaker2Raw, float speaker2Duration,
                                      std::size_t maxCapacity = Speaker::maxRawEmbeddings);
  // Normalised element-wise mean of the vectors of the first one's length.
  static std::optional<std::vector<float>> averageEmbeddings(const std::vector<std::vector<float>>& embeddings);
};

}  // namespace voxtrellis
