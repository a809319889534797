#pragma once

#include <voxtrellis/SoundPlaces.h>

#include <QString>
#include <QUuid>

#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

namespace parlowvista {

// Keeps each audio source's decoded 16 kHz mono samples on disk by the source's id, so a
// stored version can be re-processed without decoding the file again, and beside them where the
// loader found the file's sound (voxtrellis::SoundPlaces), for the player to seek by. Blocking
// calls for worker threads; safe from several threads at once.
class SampleCache {
 public:
  virtual ~SampleCache() = default;
  // Writes the samples atomically (a reader sees the old file or the new one whole) and
  // returns the file's path. Throws std::runtime_error with the reason; a stop asked for
  // through `stop` ends the write before its next block with voxtrellis::WorkStopped, leaving
  // the file that was there (if any) as it was. `places` are kept with them (the places kept
  // before go when none are given).
  virtual QString cacheSamples(std::span<const float> samples, const QUuid& sourceId, std::stop_token stop = {},
                               const voxtrellis::SoundPlaces* places = nullptr) = 0;
  // The samples, or nothing when no file is cached (silently) or it cannot be read (with a
  // console line).
  virtual std::optional<std::vector<float>> loadCachedSamples(const QUuid& sourceId) = 0;
  // The same, as one buffer for several holders: freed where the last of them lets it go.
  virtual std::shared_ptr<const std::vector<float>> loadSharedSamples(const QUuid& sourceId) {
    auto samples = loadCachedSamples(sourceId);
    return samples ? std::make_shared<const std::vector<float>>(std::move(*samples)) : nullptr;
  }
  // The places kept with the samples; null when none are (samples kept by an earlier version, or
  // of a file that has none) or they cannot be read.
  virtual std::shared_ptr<const voxtrellis::SoundPlaces> loadCachedPlaces(const QUuid& sourceId) = 0;
  // Removes the source's files, if any. Never fails.
  virtual void removeCachedSamples(const QUuid& sourceId) = 0;
};

}  // namespace parlowvista
