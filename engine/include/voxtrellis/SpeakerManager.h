#pragma once

#include <voxtrellis/Speaker.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace voxtrellis {

// The in-memory speaker database of the chunked diarizer: speaker id to
// Speaker. Each voice embedding is matched to its closest speaker (refining
// it) or becomes a new speaker "1", "2", ...; ids are unique, a new speaker
// never replaces one in the table. Nothing is persisted and nothing throws:
// rejected input gives an absent result, false or an unchanged table, with a
// log line (category "SpeakerManager").
//
// Thread safety: any thread may call. Every change holds the table's lock
// exclusively, every query shares it. Speakers handed out are the live,
// shared records: changing one outside this class is unprotected (use
// SendableSpeaker to hand a snapshot across threads). The four settings are
// plain values; set them before sharing the database.
class SpeakerManager {
 public:
  static constexpr std::size_t embeddingSize = 256;

  struct Match {
    std::string id;
    float distance = 0;
  };
  struct MergeablePair {
    std::string speakerToMerge;
    std::string destination;
  };
  struct GlobalStats {
    int totalSpeakers = 0;
    float totalDuration = 0;
    float averageConfidence = 0;  // mean update count / 10, at most 1
    int speakersWithHistory = 0;
  };
  struct FoundSpeaker {
    std::optional<std::string> id;  // absent when no speaker lies within the threshold
    float distance = 0;             // +infinity when absent
  };

  // Cosine distances (below speakerThreshold a match, below embeddingThreshold
  // a match that also refines the speaker) and seconds of speech.
  explicit SpeakerManager(float speakerThreshold = 0.65f, float embeddingThreshold = 0.45f,
                          float minSpeechDuration = 1.0f, float minEmbeddingUpdateDuration = 2.0f);
  ~SpeakerManager();
  SpeakerManager(const SpeakerManager&) = delete;
  SpeakerManager& operator=(const SpeakerManager&) = delete;

  float speakerThreshold;
  float embeddingThreshold;
  float minSpeechDuration;
  float minEmbeddingUpdateDuration;  // kept with the settings; no rule reads it

  // --- changes ---

  // The matched or newly created speaker for a 256-value embedding with the
  // given seconds of speech; absent for another size, a non-finite value, or
  // too little speech for a new speaker. `confidence` takes no part.
  SpeakerPtr assignSpeaker(const std::vector<float>& embedding, float speechDuration, float confidence = 1.0f,
                           std::optional<float> speakerThreshold = std::nullopt,
                           const std::optional<std::string>& newName = std::nullopt);
  // Seeds known speakers (the objects themselves are stored). Afterwards new
  // ids continue after the largest numeric id given and never reuse one in use.
  void initializeKnownSpeakers(const std::vector<SpeakerPtr>& speakers,
                               SpeakerInitializationMode mode = SpeakerInitializationMode::skip,
                               bool preserveIfPermanent = true);
  // Updates the speaker with that id from the given fields (name and
  // creation date kept; a permanent speaker stays permanent) or inserts it.
  void upsertSpeaker(const Speaker& speaker);
  void upsertSpeaker(const std::string& id, const std::vector<float>& currentEmbedding, float duration,
                     const std::vector<RawEmbedding>& rawEmbeddings = {}, int64_t updateCount = 1,
                     std::optional<WallTime> createdAt = std::nullopt, std::optional<WallTime> updatedAt = std::nullopt,
                     bool isPermanent = false);
  // The destination absorbs the source, which leaves the table. Nothing
  // happens for equal or unknown ids, or a permanent source with stopIfPermanent.
  void mergeSpeaker(const std::string& sourceId, const std::string& destinationId,
                    const std::optional<std::string>& mergedName = std::nullopt, bool stopIfPermanent = true);
  void makeSpeakerPermanent(const std::string& id);
  void revokePermanence(const std::string& id);
  void resetPermanentFlags();
  void removeSpeaker(const std::string& id, bool keepIfPermanent = true);
  // Removes speakers last updated strictly before the cutoff.
  void removeSpeakersInactive(WallTime since, bool keepIfPermanent = true);
  void removeSpeakersInactive(std::chrono::duration<double> duration, bool keepIfPermanent = true);
  void removeSpeakers(const std::function<bool(const Speaker&)>& predicate, bool keepIfPermanent = true);
  // Empties the table (or keeps the permanent speakers) and restarts the ids.
  void reset(bool keepIfPermanent = false);
  // Moves one history entry between speakers (main embeddings unchanged).
  bool reassignSegment(const std::string& segmentId, const std::string& fromId, const std::string& toId);

  // --- queries ---

  // The closest speaker within the threshold (at most it), else absent and +infinity.
  FoundSpeaker findSpeaker(const std::vector<float>& embedding,
                           std::optional<float> speakerThreshold = std::nullopt) const;
  // Every speaker within the threshold, closest first (stable).
  std::vector<Match> findMatchingSpeakers(const std::vector<float>& embedding,
                                          std::optional<float> speakerThreshold = std::nullopt) const;
  std::vector<std::string> findSpeakers(const std::function<bool(const Speaker&)>& predicate) const;
  // Pairs closer than the threshold; a permanent speaker is never the one to merge.
  std::vector<MergeablePair> findMergeablePairs(std::optional<float> speakerThreshold = std::nullopt,
                                                bool excludeIfBothPermanent = true) const;
  bool hasSpeaker(const std::string& id) const;
  int speakerCount() const;
  std::vector<std::string> speakerIds() const;  // sorted as text
  std::vector<std::string> permanentSpeakerIds() const;
  SpeakerPtr getSpeaker(const std::string& id) const;
  std::vector<SpeakerPtr> getSpeakerList() const;  // table order
  std::map<std::string, SpeakerPtr> getAllSpeakers() const;
  // Every speaker's id and main embedding, copied under the lock: safe to
  // read while other threads assign.
  std::map<std::string, std::vector<float>> currentEmbeddings() const;
  std::vector<std::string> getCurrentSpeakerNames() const;  // all ids, sorted
  GlobalStats getGlobalSpeakerStats() const;

  // The id the next created speaker is offered (it moves past ids in use).
  int64_t nextSpeakerId() const;
  int64_t highestSpeakerId() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace voxtrellis
