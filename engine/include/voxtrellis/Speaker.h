#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace voxtrellis {

// Wall-clock time of speaker records (creation, updates, history entries).
using WallTime = std::chrono::system_clock::time_point;

// Raised when a speaker record's JSON is malformed or lacks a key; what()
// carries the parser's text.
class SpeakerDecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One voice vector a speaker was built from. A plain value.
struct RawEmbedding {
  std::string segmentId;  // upper-case UUID text of the speech segment it came from
  std::vector<float> embedding;
  WallTime timestamp{};

  RawEmbedding() = default;
  // Stores the embedding divided by max(‖embedding‖, 1e-12); an empty one as is.
  RawEmbedding(std::string segmentId, std::vector<float> embedding, WallTime timestamp);

  // JSON object with the keys "segmentId", "embedding", "timestamp" (seconds
  // since 1970 as a number). Decoding stores the values as they are (no
  // normalisation). Throws SpeakerDecodingError.
  std::string toJson() const;
  static RawEmbedding fromJson(const std::string& json);
};

struct SendableSpeaker;

// The record of one tracked voice: a unit-length main embedding (the voice's
// centroid), a bounded history of the raw embeddings it was built from, the
// speech it has absorbed and a permanence flag the speaker database honours.
// A reference type: share it through SpeakerPtr. Two speakers are equal when
// their ids are.
//
// Thread safety: none of its own. The speaker database changes its speakers
// only under its own lock; a caller that changes a speaker it got from the
// database does so unprotected.
class Speaker {
 public:
  static constexpr std::size_t maxRawEmbeddings = 50;

  // id: a fresh UUID text when absent; name: the id when absent; the
  // embedding is stored normalised; absent dates become one reading of now.
  explicit Speaker(std::optional<std::string> id = std::nullopt, std::optional<std::string> name = std::nullopt,
                   const std::vector<float>& currentEmbedding = {}, float duration = 0,
                   std::optional<WallTime> createdAt = std::nullopt, std::optional<WallTime> updatedAt = std::nullopt,
                   bool isPermanent = false);

  const std::string& id() const { return m_id; }

  std::string name;
  std::vector<float> currentEmbedding;  // kept unit-length by the operations below
  float duration = 0;                   // seconds of speech attributed so far
  WallTime createdAt{};
  WallTime updatedAt{};
  int64_t updateCount = 1;
  std::vector<RawEmbedding> rawEmbeddings;  // insertion order; at most 50 through the operations below
  bool isPermanent = false;

  // Moving average: keeps `alpha` of the old main embedding. An embedding
  // whose sum of squares is at most 0.01 changes nothing at all.
  void updateMainEmbedding(float duration, const std::vector<float>& embedding, const std::string& segmentId,
                           float alpha);
  // Appends to the history (dropping the oldest beyond 50) and recalculates
  // the main embedding; ignored when the sum of squares is at most 0.01.
  void addRawEmbedding(const RawEmbedding& raw);
  // Removes the first entry of that segment and recalculates; none when absent.
  std::optional<RawEmbedding> removeRawEmbedding(const std::string& segmentId);
  // Main embedding = the normalised mean of the history entries of the first
  // entry's length. Nothing changes for an empty history.
  void recalculateMainEmbedding();
  // Absorbs `other` (left untouched): histories joined (the 50 newest kept,
  // newest first, when longer), durations and update counts added, `keepName`
  // taken as the name when given.
  void mergeWith(const Speaker& other, const std::optional<std::string>& keepName = std::nullopt);

  SendableSpeaker toSendable() const;

  // JSON object with the keys "id", "name", "currentEmbedding", "duration",
  // "createdAt", "updatedAt", "updateCount", "rawEmbeddings", "isPermanent"
  // (dates as seconds since 1970). Decoding requires all nine keys and stores
  // the values as they are (no normalisation, no cap). Throws SpeakerDecodingError.
  std::string toJson() const;
  static std::shared_ptr<Speaker> fromJson(const std::string& json);

  friend bool operator==(const Speaker& a, const Speaker& b) { return a.m_id == b.m_id; }

 private:
  void storeMainEmbedding(const std::vector<float>& values);

  std::string m_id;
};

using SpeakerPtr = std::shared_ptr<Speaker>;

// An immutable snapshot of a speaker for handing across threads. Equal when
// id and name are equal; hashed by id.
struct SendableSpeaker {
  int64_t id = 0;
  std::string name;
  float duration = 0;
  std::vector<float> mainEmbedding;
  WallTime createdAt{};
  WallTime updatedAt{};

  SendableSpeaker() = default;
  SendableSpeaker(int64_t id, std::string name, float duration, std::vector<float> mainEmbedding, WallTime createdAt,
                  WallTime updatedAt);
  // id: the speaker's id read as a decimal integer ("+7", "-3", "12"), else
  // the absolute value of a hash of the id text (stable within one run).
  explicit SendableSpeaker(const Speaker& speaker);

  // The name, or "Speaker #" and the id when the name is empty.
  std::string label() const;

  friend bool operator==(const SendableSpeaker& a, const SendableSpeaker& b) {
    return a.id == b.id && a.name == b.name;
  }
};

// How known speakers meet speakers already in the database.
enum class SpeakerInitializationMode { reset, merge, overwrite, skip };

}  // namespace voxtrellis

template <>
struct std::hash<voxtrellis::Speaker> {
  std::size_t operator()(const voxtrellis::Speaker& speaker) const noexcept {
    return std::hash<std::string>()(speaker.id());
  }
};

template <>
struct std::hash<voxtrellis::SendableSpeaker> {
  std::size_t operator()(const voxtrellis::SendableSpeaker& speaker) const noexcept {
    return std::hash<int64_t>()(speaker.id);
  }
};
