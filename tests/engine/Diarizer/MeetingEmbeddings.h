#pragma once

// A recorded meeting as the clustering stage receives it, with its truth.
//
// Speakers take turns of realistic lengths (a lognormal around four seconds,
// some of a minute, short back-channels, a little cross-talk) over the
// pipeline's ten-second windows two seconds apart. Each window gives one
// embedding for every speaker with at least a second of speech in it alone,
// at most three, the most talkative first.
//
// The voices live in a PLDA space of 128 values: a speaker's centre is drawn
// with the per-value spread `psi`, and every embedding is its speaker's
// centre plus what the PLDA calls within-speaker noise. That noise is larger
// than the PLDA's unit variance (a meeting is not the data it was trained
// on) and is not independent from one embedding to the next: part of it
// belongs to the turn, most of it to the seconds of speech the window holds
// (overlapping windows hear the same seconds, and a short turn is all its
// windows hear), and an embedding taken beside another voice carries a
// little of that voice. The 256 values the warm start sees are those
// features and as many values of channel sound (of the turn and its seconds
// alike) over a common offset, made unit length. Two embeddings of one voice
// then have a cosine similarity of about 0.6 (0.9 in neighbouring windows),
// of two voices about 0.17, of the two alike voices about 0.52.
#include "Diarizer/Offline/Clustering/SpeakerClusteringStage.h"
#include "Diarizer/Offline/Core/OfflineStageTypes.h"

#include <voxtrellis/OfflineDiarizerConfig.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <type_traits>
#include <vector>

namespace diarizertest {

struct Meeting {
  std::vector<voxtrellis::TimedEmbedding> embeddings;
  std::vector<int> speakerOf;  // the true speaker of each embedding
  voxtrellis::SegmentationOutput segmentation;
  std::vector<double> psi;
  int speakers = 0;
};

// Four voices, two of them alike, talking for `minutes`.
inline Meeting meeting(double minutes, unsigned seed, int voices = 4) {
  constexpr std::size_t kRho = 128, kFull = 256;
  constexpr double kWindow = 10.0, kStep = 2.0;
  // Within-speaker variance per PLDA value: of a turn, of one second of
  // speech, of the embedding model's own noise.
  constexpr double kTurnVariance = 0.6, kSecondVariance = 2.0, kModelVariance = 0.2;
  std::mt19937_64 random(seed);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> uniform;

  Meeting result;
  result.speakers = voices;
  result.psi.resize(kRho);
  for (std::size_t d = 0; d < kRho; ++d) result.psi[d] = 20.0 * std::exp(-static_cast<double>(d) / 16.0) + 0.2;

  std::vector<std::vector<double>> centres(static_cast<std::size_t>(voices), std::vector<double>(kRho));
  for (int v = 0; v < voices; ++v) {
    for (std::size_t d = 0; d < kRho; ++d) centres[v][d] = std::sqrt(result.psi[d]) * normal(random);
  }
  // The last two voices are alike (their centres share two thirds of their
  // spread).
  if (voices >= 2) {
    auto& alike = centres[static_cast<std::size_t>(voices - 1)];
    const auto& other = centres[static_cast<std::size_t>(voices - 2)];
    for (std::size_t d = 0; d < kRho; ++d) alike[d] = std::sqrt(2.0 / 3.0) * other[d] + std::sqrt(1.0 / 3.0) * alike[d];
  }
  std::vector<double> offset(kFull);
  for (auto& v : offset) v = 0.65 * normal(random);

  // The conversation: who speaks from when to when.
  struct Turn {
    int speaker;
    double start, end;
    std::vector<double> sound;                 // what this turn adds to the voice
    std::vector<std::vector<double>> seconds;  // and each second of it
  };
  std::vector<double> share(static_cast<std::size_t>(voices));
  for (int v = 0; v < voices; ++v) share[v] = 1.0 + v % 3;  // some talk more than others
  std::vector<Turn> turns;
  const double length = minutes * 60.0;
  std::lognormal_distribution<double> turnLength(std::log(4.0), 0.9);
  int current = 0;
  for (double t = 0; t < length;) {
    double duration = std::min(turnLength(random), 90.0);
    if (uniform(random) < 0.15) duration = 0.3 + 0.6 * uniform(random);  // a back-channel
    Turn turn{current, t, std::min(t + duration, length), std::vector<double>(kFull), {}};
    for (auto& x : turn.sound) x = std::sqrt(kTurnVariance) * normal(random);
    turn.seconds.resize(static_cast<std::size_t>(std::ceil(turn.end - turn.start)), std::vector<double>(kFull));
    for (auto& second : turn.seconds) {
      for (auto& x : second) x = std::sqrt(kSecondVariance) * normal(random);
    }
    turns.push_back(std::move(turn));
    // The next speaker, never the same; sometimes early, sometimes after a pause.
    std::vector<double> weights = share;
    weights[static_cast<std::size_t>(current)] = 0;
    current = std::discrete_distribution<int>(weights.begin(), weights.end())(random);
    const double gap = uniform(random) < 0.1 ? -0.8 * uniform(random) : 0.6 * uniform(random);
    t = std::max(turns.back().start + 0.2, turns.back().end + gap);
  }

  const int windows = std::max(1, static_cast<int>(std::floor((length - kWindow) / kStep)) + 1);
  result.segmentation.numChunks = windows;
  result.segmentation.numSpeakers = 3;
  std::size_t firstTurn = 0;
  for (int w = 0; w < windows; ++w) {
    const double from = w * kStep, to = from + kWindow;
    for (; firstTurn < turns.size() && turns[firstTurn].end <= from; ++firstTurn) turns[firstTurn].seconds = {};
    // Speech of each voice in the window, alone and overlapped.
    struct Heard {
      double alone = 0, heard = 0;
      std::vector<double> sound = std::vector<double>(kFull, 0.0);
      std::vector<double> content = std::vector<double>(kFull, 0.0);
    };
    std::vector<Heard> heard(static_cast<std::size_t>(voices));
    for (std::size_t i = firstTurn; i < turns.size() && turns[i].start < to; ++i) {
      const Turn& turn = turns[i];
      double seconds = std::min(turn.end, to) - std::max(turn.start, from);
      if (seconds <= 0) continue;
      for (std::size_t j = firstTurn; j < turns.size() && turns[j].start < to; ++j) {
        if (j == i || turns[j].speaker == turn.speaker) continue;
        const double overlap = std::min({turn.end, turns[j].end, to}) - std::max({turn.start, turns[j].start, from});
        if (overlap > 0) seconds -= overlap;
      }
      auto& h = heard[static_cast<std::size_t>(turn.speaker)];
      seconds = std::max(seconds, 0.0);
      h.alone += seconds;
      for (std::size_t d = 0; d < kFull; ++d) h.sound[d] += seconds * turn.sound[d];
      // The seconds of the turn inside the window, each by how much of it is.
      for (std::size_t k = 0; k < turn.seconds.size(); ++k) {
        const double inside = std::min({turn.start + k + 1, turn.end, to}) - std::max(turn.start + k, from);
        if (inside <= 0) continue;
        h.heard += inside;
        for (std::size_t d = 0; d < kFull; ++d) h.content[d] += inside * turn.seconds[k][d];
      }
    }
    std::vector<int> order;
    for (int v = 0; v < voices; ++v) {
      if (heard[v].alone >= 1.0) order.push_back(v);
    }
    std::sort(order.begin(), order.end(), [&](int a, int b) { return heard[a].alone > heard[b].alone; });
    if (order.size() > 3) order.resize(3);
    for (std::size_t slot = 0; slot < order.size(); ++slot) {
      const int v = order[slot];
      const Heard& h = heard[static_cast<std::size_t>(v)];
      voxtrellis::TimedEmbedding e;
      e.chunkIndex = w;
      e.speakerIndex = static_cast<int>(slot);
      // The mean of its seconds: shorter speech, noisier voice. A little of
      // the loudest other voice in the window leaks in.
      const double noise = std::sqrt(kModelVariance);
      const int other = order.size() > 1 ? order[slot == 0 ? 1 : 0] : -1;
      const double leak = other >= 0 ? 0.15 * uniform(random) : 0.0;
      e.rho128.resize(kRho);
      for (std::size_t d = 0; d < kRho; ++d) {
        double x = centres[v][d] + h.sound[d] / h.alone + h.content[d] / h.heard + noise * normal(random);
        if (other >= 0) x += leak * (centres[other][d] - centres[v][d]);
        e.rho128[d] = x;
      }
      std::vector<double> full(kFull);
      double norm = 0;
      for (std::size_t d = 0; d < full.size(); ++d) {
        full[d] = offset[d] +
                  (d < kRho ? e.rho128[d] : h.sound[d] / h.alone + h.content[d] / h.heard + noise * normal(random));
        norm += full[d] * full[d];
      }
      e.embedding256.resize(full.size());
      for (std::size_t d = 0; d < full.size(); ++d) e.embedding256[d] = static_cast<float>(full[d] / std::sqrt(norm));
      result.embeddings.push_back(std::move(e));
      result.speakerOf.push_back(v);
    }
  }
  return result;
}

// The meeting played `copies` times over, each embedding again with 5 %
// noise (of its values' root mean square): nothing new is said.
inline Meeting repeated(const Meeting& once, int copies, unsigned seed) {
  std::mt19937_64 random(seed);
  std::normal_distribution<double> normal;
  Meeting result = once;
  result.embeddings.clear();
  result.speakerOf.clear();
  auto addNoise = [&](auto& values) {
    double square = 0;
    for (double v : values) square += v * v;
    const double scale = 0.05 * std::sqrt(square / static_cast<double>(values.size()));
    for (auto& v : values) v += static_cast<std::remove_reference_t<decltype(v)>>(scale * normal(random));
  };
  for (int copy = 0; copy < copies; ++copy) {
    for (std::size_t i = 0; i < once.embeddings.size(); ++i) {
      auto e = once.embeddings[i];
      e.chunkIndex += copy * once.segmentation.numChunks;
      addNoise(e.embedding256);
      addNoise(e.rho128);
      result.embeddings.push_back(std::move(e));
      result.speakerOf.push_back(once.speakerOf[i]);
    }
  }
  result.segmentation.numChunks *= copies;
  return result;
}

// The application's presets.
struct Preset {
  const char* name;
  double threshold, fa, fb;
};
inline constexpr Preset kFewerSpeakers{"Fewer Speakers", 0.7, 0.05, 0.9};
inline constexpr Preset kBalanced{"Balanced", 0.5, 0.07, 0.8};
inline constexpr Preset kMoreSpeakers{"More Speakers", 0.3, 0.15, 0.6};

// The clustering part of the configuration the application builds for `preset`.
inline voxtrellis::OfflineDiarizerConfig configOf(const Preset& preset) {
  voxtrellis::OfflineDiarizerConfig config;
  config.clustering.threshold = preset.threshold;
  config.clustering.warmStartFa = preset.fa;
  config.clustering.warmStartFb = preset.fb;
  return config;
}

// The clustering stage over the meeting, as the pipeline runs it under `preset`.
inline voxtrellis::SpeakerClusteringStage::Result cluster(const Meeting& meeting, const Preset& preset) {
  return voxtrellis::SpeakerClusteringStage::run(meeting.embeddings, meeting.segmentation, configOf(preset),
                                                 meeting.psi);
}

}  // namespace diarizertest
