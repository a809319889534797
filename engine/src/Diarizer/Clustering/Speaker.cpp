#include <voxtrellis/Speaker.h>

#include "Diarizer/Clustering/EmbeddingMath.h"
#include "Diarizer/Clustering/SpeakerIdText.h"
#include "Diarizer/Offline/Utils/VDSPOperations.h"
#include "Shared/Uuid.h"

#include <algorithm>
#include <cmath>

namespace voxtrellis {

namespace {

// Below this sum of squares an embedding carries no voice and is ignored.
constexpr float kMinEnergy = 0.01f;

}  // namespace

RawEmbedding::RawEmbedding(std::string segmentId, std::vector<float> embedding, WallTime timestamp)
    : segmentId(std::move(segmentId)), embedding(VDSPOperations::l2Normalize(embedding)), timestamp(timestamp) {}

Speaker::Speaker(std::optional<std::string> id, std::optional<std::string> name,
                 const std::vector<float>& currentEmbedding, float duration, std::optional<WallTime> createdAt,
                 std::optional<WallTime> updatedAt, bool isPermanent)
    : currentEmbedding(VDSPOperations::l2Normalize(currentEmbedding)),
      duration(duration),
      isPermanent(isPermanent),
      m_id(id ? std::move(*id) : makeUuidString()) {
  const WallTime now = std::chrono::system_clock::now();
  this->name = name ? std::move(*name) : m_id;
  this->createdAt = createdAt.value_or(now);
  this->updatedAt = updatedAt.value_or(now);
}

void Speaker::storeMainEmbedding(const std::vector<float>& values) {
  // Copied into the existing storage: the vector keeps its place in memory,
  // which keeps the database's scan over all speakers friendly to the cache.
  currentEmbedding.assign(values.begin(), values.end());
}

void Speaker::addRawEmbedding(const RawEmbedding& raw) {
  if (embedding::sumOfSquares(raw.embedding) <= kMinEnergy) return;
  if (rawEmbeddings.size() >= maxRawEmbeddings) rawEmbeddings.erase(rawEmbeddings.begin());
  rawEmbeddings.push_back(raw);
  recalculateMainEmbedding();
}

void Speaker::updateMainEmbedding(float addedDuration, const std::vector<float>& embeddingValues,
                                  const std::string& segmentId, float alpha) {
  if (embedding::sumOfSquares(embeddingValues) <= kMinEnergy) return;
  const std::vector<float> normalized = VDSPOperations::l2Normalize(embeddingValues);
  const WallTime now = std::chrono::system_clock::now();
  addRawEmbedding(RawEmbedding(segmentId, normalized, now));
  if (currentEmbedding.size() == normalized.size()) {
    std::vector<float> blended(normalized.size());
    for (std::size_t i = 0; i < blended.size(); ++i) {
      blended[i] = currentEmbedding[i] * alpha + (1.0f - alpha) * normalized[i];
    }
    storeMainEmbedding(VDSPOperations::l2Normalize(blended));
  }
  duration += addedDuration;
  updatedAt = now;
  updateCount += 1;
}

std::optional<RawEmbedding> Speaker::removeRawEmbedding(const std::string& segmentId) {
  const auto it = std::find_if(rawEmbeddings.begin(), rawEmbeddings.end(),
                               [&](const RawEmbedding& r) { return r.segmentId == segmentId; });
  if (it == rawEmbeddings.end()) return std::nullopt;
  RawEmbedding removed = *it;
  rawEmbeddings.erase(it);
  recalculateMainEmbedding();
  return removed;
}

void Speaker::recalculateMainEmbedding() {
  if (rawEmbeddings.empty() || rawEmbeddings.front().embedding.empty()) return;
  const std::size_t length = rawEmbeddings.front().embedding.size();
  std::vector<float> sum(length, 0.0f);
  int counted = 0;
  for (const auto& raw : rawEmbeddings) {
    if (raw.embedding.size() != length) continue;
    embedding::addInto(sum.data(), raw.embedding.data(), length);
    ++counted;
  }
  for (auto& v : sum) v /= static_cast<float>(counted);
  storeMainEmbedding(VDSPOperations::l2Normalize(sum));
  updatedAt = std::chrono::system_clock::now();
}

void Speaker::mergeWith(const Speaker& other, const std::optional<std::string>& keepName) {
  std::vector<RawEmbedding> joined = rawEmbeddings;
  joined.insert(joined.end(), other.rawEmbeddings.begin(), other.rawEmbeddings.end());
  if (joined.size() > maxRawEmbeddings) {
    std::stable_sort(joined.begin(), joined.end(),
                     [](const RawEmbedding& a, const RawEmbedding& b) { return a.timestamp > b.timestamp; });
    joined.resize(maxRawEmbeddings);
  }
  rawEmbeddings = std::move(joined);
  duration += other.duration;
  if (keepName) name = *keepName;
  recalculateMainEmbedding();
  updatedAt = std::chrono::system_clock::now();
  updateCount += other.updateCount;
}

SendableSpeaker Speaker::toSendable() const {
  return SendableSpeaker(*this);
}

SendableSpeaker::SendableSpeaker(int64_t id, std::string name, float duration, std::vector<float> mainEmbedding,
                                 WallTime createdAt, WallTime updatedAt)
    : id(id),
      name(std::move(name)),
      duration(duration),
      mainEmbedding(std::move(mainEmbedding)),
      createdAt(createdAt),
      updatedAt(updatedAt) {}

SendableSpeaker::SendableSpeaker(const Speaker& speaker)
    : id(parseSpeakerNumber(speaker.id()).value_or(absoluteHashId(std::hash<std::string>()(speaker.id())))),
      name(speaker.name),
      duration(speaker.duration),
      mainEmbedding(speaker.currentEmbedding),
      createdAt(speaker.createdAt),
      updatedAt(speaker.updatedAt) {}

std::string SendableSpeaker::label() const {
  return name.empty() ? "Speaker #" + std::to_string(id) : name;
}

}  // namespace voxtrellis
