#pragma once

#include "Models/Speaker.h"

#include <QList>

#include <algorithm>

namespace parlowvista {

// How much of a transcript one speaker holds.
struct SpeakerStats {
  qint64 segmentCount = 0;
  double totalDuration = 0;
};

// Inserts after every entry whose id is not greater, so a list built this way is ascending
// by speakerId and entries of equal id keep their order (a stable sort by insertion).
inline void insertSpeakerSorted(QList<Speaker>& speakers, const Speaker& speaker) {
  const auto at = std::upper_bound(speakers.begin(), speakers.end(), speaker.speakerId,
                                   [](qint64 id, const Speaker& other) { return id < other.speakerId; });
  speakers.insert(at - speakers.begin(), speaker);
}

}  // namespace parlowvista
