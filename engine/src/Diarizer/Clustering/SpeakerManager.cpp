#include <voxtrellis/SpeakerManager.h>
#include <voxtrellis/SpeakerUtilities.h>

#include "Diarizer/Clustering/CosineDistance.h"
#include "Diarizer/Clustering/EmbeddingMath.h"
#include "Diarizer/Clustering/SpeakerIdText.h"
#include "Diarizer/Offline/Utils/VDSPOperations.h"
#include "Shared/AppLogger.h"
#include "Shared/NumberText.h"
#include "Shared/Uuid.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <shared_mutex>

namespace voxtrellis {

namespace {
constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr float kMinEnergy = 0.01f;
constexpr float kUpdateAlpha = 0.9f;
}  // namespace

// Every member below the lock is guarded by it: writers hold it exclusively,
// readers shared. No section takes the lock twice.
struct SpeakerManager::Impl {
  AppLogger logger{"SpeakerManager"};
  mutable std::shared_mutex lock;
  std::map<std::string, SpeakerPtr> speakerDatabase;
  int64_t nextSpeakerId = 1;
  int64_t highestSpeakerId = 0;

  struct Closest {
    SpeakerPtr speaker;
    float distance = kInfinity;
  };

  Closest closest(const std::vector<float>& embedding) const {
    Closest best;
    const float squares = embedding::sumOfSquares(embedding);
    for (auto it = speakerDatabase.begin(); it != speakerDatabase.end();) {
      const SpeakerPtr& speaker = it->second;
      // Start fetching the next speaker's vector while this one is compared.
      if (++it != speakerDatabase.end()) {
        const float* next = it->second->currentEmbedding.data();
        for (std::size_t line = 0; line < 4; ++line) __builtin_prefetch(next + line * 16);
      }
      const float distance = cosineDistanceWithSquares(embedding, squares, speaker->currentEmbedding);
      if (distance < best.distance) best = {speaker, distance};
    }
    return best;
  }

  // The next numeric id no speaker in the table holds; the counter moves past it.
  std::string takeFreshId() {
    std::string id = std::to_string(nextSpeakerId);
    while (speakerDatabase.count(id) != 0) {
      ++nextSpeakerId;
      id = std::to_string(nextSpeakerId);
    }
    highestSpeakerId = std::max(highestSpeakerId, nextSpeakerId);
    ++nextSpeakerId;
    return id;
  }

  void resetLocked(bool keepIfPermanent) {
    if (!keepIfPermanent) {
      speakerDatabase.clear();
      highestSpeakerId = 0;
    } else {
      int64_t highest = 0;
      for (auto it = speakerDatabase.begin(); it != speakerDatabase.end();) {
        if (!it->second->isPermanent) {
          it = speakerDatabase.erase(it);
          continue;
        }
        if (const auto n = parseSpeakerNumber(it->first)) highest = std::max(highest, *n);
        ++it;
      }
      highestSpeakerId = highest;
    }
    nextSpeakerId = highestSpeakerId + 1;
    logger.info("Speaker database reset");
  }

  // Removes every speaker `select` picks (permanent ones kept on request),
  // logging "Removing speaker <id>" + `reason`.
  template <class Select>
  void removeWhere(Select select, bool keepIfPermanent, const std::string& reason) {
    for (auto it = speakerDatabase.begin(); it != speakerDatabase.end();) {
      const Speaker& speaker = *it->second;
      if (select(speaker) && !(keepIfPermanent && speaker.isPermanent)) {
        logger.info("Removing speaker " + it->first + reason);
        it = speakerDatabase.erase(it);
      } else {
        ++it;
      }
    }
  }
};

SpeakerManager::SpeakerManager(float speakerThreshold, float embeddingThreshold, float minSpeechDuration,
                               float minEmbeddingUpdateDuration)
    : speakerThreshold(speakerThreshold),
      embeddingThreshold(embeddingThreshold),
      minSpeechDuration(minSpeechDuration),
      minEmbeddingUpdateDuration(minEmbeddingUpdateDuration),
      m_impl(std::make_unique<Impl>()) {}

SpeakerManager::~SpeakerManager() = default;

SpeakerPtr SpeakerManager::assignSpeaker(const std::vector<float>& embedding, float speechDuration,
                                         float /*confidence*/, std::optional<float> threshold,
                                         const std::optional<std::string>& newName) {
  if (embedding.size() != embeddingSize) {
    m_impl->logger.error("Invalid embedding size: " + std::to_string(embedding.size()));
    return nullptr;
  }
  // A NaN would compare as "not closer" to every speaker and found a new one
  // whose vector matches nothing ever again.
  if (!embedding::allFinite(embedding)) {
    m_impl->logger.error("Invalid embedding: contains NaN or Inf");
    return nullptr;
  }
  const std::vector<float> normalized = VDSPOperations::l2Normalize(embedding);
  const float limit = threshold.value_or(speakerThreshold);

  std::unique_lock guard(m_impl->lock);
  const auto best = m_impl->closest(normalized);
  if (best.speaker && best.distance < limit) {
    Speaker& speaker = *best.speaker;
    if (best.distance >= embeddingThreshold) {
      speaker.duration += speechDuration;
      speaker.updatedAt = std::chrono::system_clock::now();
    } else if (embedding::sumOfSquares(normalized) > kMinEnergy) {
      speaker.updateMainEmbedding(speechDuration, normalized, makeUuidString(), kUpdateAlpha);
    }
    return best.speaker;
  }
  if (speechDuration < minSpeechDuration) {
    m_impl->logger.debug("Audio segment too short (" + floatText(speechDuration) + "s) to create new speaker");
    return nullptr;
  }
  const std::string id = m_impl->takeFreshId();
  const WallTime now = std::chrono::system_clock::now();
  auto speaker =
      std::make_shared<Speaker>(id, newName.value_or("Speaker " + id), normalized, speechDuration, now, now, false);
  speaker->addRawEmbedding(RawEmbedding(makeUuidString(), normalized, now));
  m_impl->speakerDatabase[id] = speaker;
  m_impl->logger.info("Created new speaker " + id + " (distance to closest: " + floatText(best.distance) + ")");
  return speaker;
}

void SpeakerManager::initializeKnownSpeakers(const std::vector<SpeakerPtr>& speakers, SpeakerInitializationMode mode,
                                             bool preserveIfPermanent) {
  if (mode == SpeakerInitializationMode::reset) reset(preserveIfPermanent);
  std::unique_lock guard(m_impl->lock);
  auto& table = m_impl->speakerDatabase;
  auto& log = m_impl->logger;
  int64_t highest = 0;
  for (const auto& known : speakers) {
    if (!known) continue;
    const std::string& id = known->id();
    if (known->currentEmbedding.size() != embeddingSize) {
      log.warning("Skipping speaker " + id +
                  " - invalid embedding size: " + std::to_string(known->currentEmbedding.size()));
      continue;
    }
    const auto existing = table.find(id);
    if (existing == table.end()) {
      table[id] = known;
    } else if (mode == SpeakerInitializationMode::skip) {
      log.warning("Speaker " + id + " is already initialized. Skipping new speaker.");
      continue;
    } else if (mode == SpeakerInitializationMode::merge) {
      Speaker& old = *existing->second;
      if (old.isPermanent && preserveIfPermanent) {
        log.warning("Failed to merge Speaker " + id + " into Speaker " + old.id() +
                    " because the existing speaker is permanent. Skipping");
        continue;
      }
      log.warning("Speaker " + id + " is already initialized. Merging with old speaker.");
      old.mergeWith(*known, known->name);
    } else {
      if (existing->second->isPermanent && preserveIfPermanent) {
        log.warning("Failed to overwrite Speaker " + id + " because it is permanent. Skipping");
        continue;
      }
      log.warning("Speaker " + id + " is already initialized. Overwriting old speaker.");
      existing->second = known;
    }
    if (const auto n = parseSpeakerNumber(id)) highest = std::max(highest, *n);
    log.info("Initialized known speaker: " + id + " with " + std::to_string(known->rawEmbeddings.size()) +
             " raw embeddings");
  }
  m_impl->highestSpeakerId = highest;
  m_impl->nextSpeakerId = highest + 1;
  log.info("Initialized with " + std::to_string(table.size()) +
           " known speakers, next ID will be: " + std::to_string(m_impl->nextSpeakerId));
}

void SpeakerManager::upsertSpeaker(const Speaker& speaker) {
  upsertSpeaker(speaker.id(), speaker.currentEmbedding, speaker.duration, speaker.rawEmbeddings, speaker.updateCount,
                speaker.createdAt, speaker.updatedAt, speaker.isPermanent);
}

void SpeakerManager::upsertSpeaker(const std::string& id, const std::vector<float>& currentEmbedding, float duration,
                                   const std::vector<RawEmbedding>& rawEmbeddings, int64_t updateCount,
                                   std::optional<WallTime> createdAt, std::optional<WallTime> updatedAt,
                                   bool isPermanent) {
  std::unique_lock guard(m_impl->lock);
  const WallTime now = std::chrono::system_clock::now();
  auto& table = m_impl->speakerDatabase;
  if (const auto it = table.find(id); it != table.end()) {
    Speaker& speaker = *it->second;
    speaker.currentEmbedding = currentEmbedding;
    speaker.duration = duration;
    speaker.rawEmbeddings = rawEmbeddings;
    speaker.updateCount = updateCount;
    speaker.updatedAt = updatedAt.value_or(now);
    speaker.isPermanent = speaker.isPermanent || isPermanent;
    m_impl->logger.info("Updated existing speaker: " + id);
    return;
  }
  auto speaker = std::make_shared<Speaker>(id, id, currentEmbedding, duration, createdAt.value_or(now),
                                           updatedAt.value_or(now), isPermanent);
  speaker->rawEmbeddings = rawEmbeddings;
  speaker->updateCount = updateCount;
  table[id] = speaker;
  if (const auto n = parseSpeakerNumber(id)) {
    m_impl->highestSpeakerId = std::max(m_impl->highestSpeakerId, *n);
    // Saturates rather than overflowing for the largest id.
    if (*n < std::numeric_limits<int64_t>::max()) m_impl->nextSpeakerId = std::max(m_impl->nextSpeakerId, *n + 1);
  }
  m_impl->logger.info("Inserted new speaker: " + id);
}

void SpeakerManager::mergeSpeaker(const std::string& sourceId, const std::string& destinationId,
                                  const std::optional<std::string>& mergedName, bool stopIfPermanent) {
  if (sourceId == destinationId) return;
  std::unique_lock guard(m_impl->lock);
  auto& table = m_impl->speakerDatabase;
  const auto source = table.find(sourceId);
  const auto destination = table.find(destinationId);
  if (source == table.end() || destination == table.end()) return;
  if (stopIfPermanent && source->second->isPermanent) return;
  destination->second->mergeWith(*source->second, mergedName);
  table.erase(source);
}

void SpeakerManager::makeSpeakerPermanent(const std::string& id) {
  std::unique_lock guard(m_impl->lock);
  const auto it = m_impl->speakerDatabase.find(id);
  if (it == m_impl->speakerDatabase.end()) {
    m_impl->logger.warning("Failed to mark speaker " + id + " as permanent (speaker not found).");
    return;
  }
  m_impl->logger.info("Marking speaker " + id + " as permanent.");
  it->second->isPermanent = true;
}

void SpeakerManager::revokePermanence(const std::string& id) {
  std::unique_lock guard(m_impl->lock);
  const auto it = m_impl->speakerDatabase.find(id);
  if (it == m_impl->speakerDatabase.end()) {
    m_impl->logger.warning("Failed to revoke permanence from speaker " + id + " (speaker not found).");
    return;
  }
  m_impl->logger.info("Revoking permanence from speaker " + id + ".");
  it->second->isPermanent = false;
}

void SpeakerManager::resetPermanentFlags() {
  std::unique_lock guard(m_impl->lock);
  for (auto& [id, speaker] : m_impl->speakerDatabase) speaker->isPermanent = false;
}

void SpeakerManager::removeSpeaker(const std::string& id, bool keepIfPermanent) {
  std::unique_lock guard(m_impl->lock);
  auto& table = m_impl->speakerDatabase;
  const auto it = table.find(id);
  if (it == table.end()) {
    m_impl->logger.warning("Failed to remove speaker: " + id + " (Speaker not found)");
    return;
  }
  if (keepIfPermanent && it->second->isPermanent) {
    m_impl->logger.warning("Failed to remove speaker: " + id + " (Speaker is permanent)");
    return;
  }
  table.erase(it);
  m_impl->logger.info("Removing speaker: " + id);
}

void SpeakerManager::removeSpeakersInactive(WallTime since, bool keepIfPermanent) {
  std::unique_lock guard(m_impl->lock);
  m_impl->removeWhere([&](const Speaker& s) { return s.updatedAt < since; }, keepIfPermanent, " due to inactivity");
}

void SpeakerManager::removeSpeakersInactive(std::chrono::duration<double> duration, bool keepIfPermanent) {
  const auto cutoff =
      std::chrono::system_clock::now() - std::chrono::duration_cast<std::chrono::system_clock::duration>(duration);
  removeSpeakersInactive(cutoff, keepIfPermanent);
}

void SpeakerManager::removeSpeakers(const std::function<bool(const Speaker&)>& predicate, bool keepIfPermanent) {
  std::unique_lock guard(m_impl->lock);
  m_impl->removeWhere(predicate, keepIfPermanent, " based on predicate");
}

void SpeakerManager::reset(bool keepIfPermanent) {
  std::unique_lock guard(m_impl->lock);
  m_impl->resetLocked(keepIfPermanent);
}

bool SpeakerManager::reassignSegment(const std::string& segmentId, const std::string& fromId, const std::string& toId) {
  std::unique_lock guard(m_impl->lock);
  auto& table = m_impl->speakerDatabase;
  const auto from = table.find(fromId);
  const auto to = table.find(toId);
  if (from == table.end() || to == table.end()) {
    m_impl->logger.warning("One or both speakers not found: from=" + fromId + ", to=" + toId);
    return false;
  }
  auto& history = from->second->rawEmbeddings;
  const auto entry =
      std::find_if(history.begin(), history.end(), [&](const RawEmbedding& r) { return r.segmentId == segmentId; });
  if (entry == history.end()) {
    m_impl->logger.warning("Segment " + segmentId + " not found in speaker " + fromId);
    return false;
  }
  RawEmbedding moved = *entry;
  history.erase(entry);
  to->second->rawEmbeddings.push_back(std::move(moved));
  m_impl->logger.info("✅ Reassigned segment " + segmentId + " from " + fromId + " to " + toId);
  return true;
}

SpeakerManager::FoundSpeaker SpeakerManager::findSpeaker(const std::vector<float>& embedding,
                                                         std::optional<float> threshold) const {
  const float limit = threshold.value_or(speakerThreshold);
  std::shared_lock guard(m_impl->lock);
  const auto best = m_impl->closest(embedding);
  if (best.speaker && best.distance <= limit) return {best.speaker->id(), best.distance};
  return {std::nullopt, kInfinity};
}

std::vector<SpeakerManager::Match> SpeakerManager::findMatchingSpeakers(const std::vector<float>& embedding,
                                                                        std::optional<float> threshold) const {
  const float limit = threshold.value_or(speakerThreshold);
  std::vector<Match> matches;
  {
    std::shared_lock guard(m_impl->lock);
    for (const auto& [id, speaker] : m_impl->speakerDatabase) {
      const float distance = SpeakerUtilities::cosineDistance(embedding, speaker->currentEmbedding);
      if (distance <= limit) matches.push_back({id, distance});
    }
  }
  std::stable_sort(matches.begin(), matches.end(),
                   [](const Match& a, const Match& b) { return a.distance < b.distance; });
  return matches;
}

std::vector<std::string> SpeakerManager::findSpeakers(const std::function<bool(const Speaker&)>& predicate) const {
  std::shared_lock guard(m_impl->lock);
  std::vector<std::string> ids;
  for (const auto& [id, speaker] : m_impl->speakerDatabase) {
    if (predicate(*speaker)) ids.push_back(id);
  }
  return ids;
}

std::vector<SpeakerManager::MergeablePair> SpeakerManager::findMergeablePairs(std::optional<float> threshold,
                                                                              bool excludeIfBothPermanent) const {
  const float limit = threshold.value_or(speakerThreshold);
  std::shared_lock guard(m_impl->lock);
  std::vector<SpeakerPtr> list;
  list.reserve(m_impl->speakerDatabase.size());
  for (const auto& [id, speaker] : m_impl->speakerDatabase) list.push_back(speaker);
  std::vector<MergeablePair> pairs;
  for (std::size_t i = 0; i < list.size(); ++i) {
    for (std::size_t j = i + 1; j < list.size(); ++j) {
      const Speaker& a = *list[i];
      const Speaker& b = *list[j];
      if (excludeIfBothPermanent && a.isPermanent && b.isPermanent) {
        m_impl->logger.info("findMergeablePairs: Skipping " + a.id() + " and " + b.id() + " as both are permanent");
        continue;
      }
      if (SpeakerUtilities::cosineDistance(a.currentEmbedding, b.currentEmbedding) < limit) {
        pairs.push_back(b.isPermanent ? MergeablePair{a.id(), b.id()} : MergeablePair{b.id(), a.id()});
      }
    }
  }
  return pairs;
}

bool SpeakerManager::hasSpeaker(const std::string& id) const {
  std::shared_lock guard(m_impl->lock);
  return m_impl->speakerDatabase.count(id) != 0;
}

int SpeakerManager::speakerCount() const {
  std::shared_lock guard(m_impl->lock);
  return static_cast<int>(m_impl->speakerDatabase.size());
}

std::vector<std::string> SpeakerManager::speakerIds() const {
  return findSpeakers([](const Speaker&) { return true; });
}

std::vector<std::string> SpeakerManager::permanentSpeakerIds() const {
  return findSpeakers([](const Speaker& s) { return s.isPermanent; });
}

SpeakerPtr SpeakerManager::getSpeaker(const std::string& id) const {
  std::shared_lock guard(m_impl->lock);
  const auto it = m_impl->speakerDatabase.find(id);
  return it == m_impl->speakerDatabase.end() ? nullptr : it->second;
}

std::vector<SpeakerPtr> SpeakerManager::getSpeakerList() const {
  std::shared_lock guard(m_impl->lock);
  std::vector<SpeakerPtr> list;
  list.reserve(m_impl->speakerDatabase.size());
  for (const auto& [id, speaker] : m_impl->speakerDatabase) list.push_back(speaker);
  return list;
}

std::map<std::string, SpeakerPtr> SpeakerManager::getAllSpeakers() const {
  std::shared_lock guard(m_impl->lock);
  return m_impl->speakerDatabase;
}

std::map<std::string, std::vector<float>> SpeakerManager::currentEmbeddings() const {
  std::shared_lock guard(m_impl->lock);
  std::map<std::string, std::vector<float>> out;
  for (const auto& [id, speaker] : m_impl->speakerDatabase) out.emplace(id, speaker->currentEmbedding);
  return out;
}

std::vector<std::string> SpeakerManager::getCurrentSpeakerNames() const {
  return speakerIds();
}

SpeakerManager::GlobalStats SpeakerManager::getGlobalSpeakerStats() const {
  std::shared_lock guard(m_impl->lock);
  const auto& table = m_impl->speakerDatabase;
  if (table.empty()) return {};
  GlobalStats stats;
  stats.totalSpeakers = static_cast<int>(table.size());
  double updates = 0;
  for (const auto& [id, speaker] : table) {
    stats.totalDuration += speaker->duration;
    updates += static_cast<double>(speaker->updateCount);
    if (!speaker->rawEmbeddings.empty()) ++stats.speakersWithHistory;
  }
  const auto average = static_cast<float>(updates / stats.totalSpeakers / 10.0);
  stats.averageConfidence = std::clamp(average, 0.0f, 1.0f);
  m_impl->logger.info("Global stats - Speakers: " + std::to_string(stats.totalSpeakers) + ", Duration: " +
                      formatFixed(stats.totalDuration, 1) + "s, Avg confidence: " + formatFixed(average, 2) +
                      ", With history: " + std::to_string(stats.speakersWithHistory));
  return stats;
}

int64_t SpeakerManager::nextSpeakerId() const {
  std::shared_lock guard(m_impl->lock);
  return m_impl->nextSpeakerId;
}

int64_t SpeakerManager::highestSpeakerId() const {
  std::shared_lock guard(m_impl->lock);
  return m_impl->highestSpeakerId;
}

}  // namespace voxtrellis
