#include "Diarizer/Offline/Core/OfflineReconstruction.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>

namespace voxtrellis {

namespace {
struct Accumulator {
  double start = 0;
  double end = 0;
  double scoreSum = 0;
  int frameCount = 0;
};

void appendSegment(int cluster, const Accumulator& acc, double endTime,
                   const std::vector<std::vector<double>>& centroids, std::vector<TimedSpeakerSegment>& output) {
  if (!(acc.start < endTime)) return;
  double quality = acc.frameCount < 1 ? acc.scoreSum : acc.scoreSum / acc.frameCount;
  quality = std::clamp(quality, 0.0, 1.0);
  std::vector<float> embedding;
  if (cluster >= 0 && static_cast<std::size_t>(cluster) < centroids.size()) {
    embedding.assign(centroids[static_cast<std::size_t>(cluster)].begin(),
                     centroids[static_cast<std::size_t>(cluster)].end());
  } else if (!centroids.empty()) {
    embedding.assign(centroids.front().size(), 0.0f);
  }
  output.emplace_back("S" + std::to_string(cluster + 1), std::move(embedding), static_cast<float>(acc.start),
                      static_cast<float>(endTime), static_cast<float>(quality));
}

void sortByStart(std::vector<TimedSpeakerSegment>& segments) {
  std::stable_sort(segments.begin(), segments.end(),
                   [](const auto& a, const auto& b) { return a.startTimeSeconds < b.startTimeSeconds; });
}
}  // namespace

OfflineReconstruction::OfflineReconstruction(OfflineDiarizerConfig config)
    : m_config(std::move(config)), m_logger("OfflineReconstruction") {}

std::vector<TimedSpeakerSegment> OfflineReconstruction::buildSegments(
    const SegmentationOutput& seg, const std::vector<std::vector<int>>& hardClusters,
    const std::vector<std::vector<double>>& centroids) const {
  if (seg.numChunks < 1 || seg.numFrames < 1 || !(seg.frameDuration > 0) || !std::isfinite(seg.frameDuration))
    return {};
  const double fd = seg.frameDuration;
  const std::size_t K = centroids.empty() ? 1 : centroids.size();
  auto offsetOf = [&](int c) {
    return static_cast<std::size_t>(c) < seg.chunkOffsets.size() ? seg.chunkOffsets[static_cast<std::size_t>(c)]
                                                                 : c * m_config.segmentation.windowDurationSeconds;
  };
  double timelineEnd = 0;
  for (int c = 0; c < seg.numChunks; ++c) timelineEnd = std::max(timelineEnd, offsetOf(c) + fd * seg.numFrames);
  const double framesNeeded = std::ceil(timelineEnd / fd);
  if (!std::isfinite(framesNeeded) || framesNeeded > 1e9) return {};
  const std::size_t T = static_cast<std::size_t>(std::max(framesNeeded, 1.0));

  std::vector<double> activitySum(T * K, 0.0), activityCount(T * K, 0.0), speechSum(T, 0.0), frameCount(T, 0.0);
  std::vector<double> activity(K);
  for (int c = 0; c < seg.numChunks; ++c) {
    if (static_cast<std::size_t>(c) >= seg.speakerWeights.size() ||
        seg.speakerWeights[static_cast<std::size_t>(c)].empty())
      continue;
    const auto& weights = seg.speakerWeights[static_cast<std::size_t>(c)];
    const std::vector<int> fallbackRow(static_cast<std::size_t>(std::max(seg.numSpeakers, 0)), -2);
    const auto& assignment =
        static_cast<std::size_t>(c) < hardClusters.size() ? hardClusters[static_cast<std::size_t>(c)] : fallbackRow;
    const double offset = offsetOf(c);
    for (std::size_t f = 0; f < weights.size(); ++f) {
      const double position = std::round((offset + fd * static_cast<double>(f)) / fd);
      const std::size_t g = static_cast<std::size_t>(std::clamp(position, 0.0, static_cast<double>(T - 1)));
      std::fill(activity.begin(), activity.end(), 0.0);
      const auto& row = weights[f];
      const std::size_t slots = std::min(assignment.size(), row.size());
      for (std::size_t s = 0; s < slots; ++s) {
        const int k = assignment[s];
        if (k >= 0 && static_cast<std::size_t>(k) < K)
          activity[static_cast<std::size_t>(k)] =
              std::max(activity[static_cast<std::size_t>(k)], static_cast<double>(row[s]));
      }
      speechSum[g] += std::accumulate(row.begin(), row.end(), 0.0);
      frameCount[g] += 1;
      for (std::size_t k = 0; k < K; ++k) {
        if (activity[k] > 0) {
          activitySum[g * K + k] += activity[k];
          activityCount[g * K + k] += 1;
        }
      }
    }
  }

  std::vector<double> average(T * K, 0.0);
  for (std::size_t i = 0; i < T * K; ++i) average[i] = activityCount[i] > 0 ? activitySum[i] / activityCount[i] : 0.0;
  // A cluster no window slot was assigned to is no speaker: counting speech
  // for it would invent one (every embedding unusable leaves no cluster
  // active at all, and so no speaker).
  std::vector<int> speakers;
  for (std::size_t k = 0; k < K; ++k) {
    for (std::size_t g = 0; g < T; ++g) {
      if (activityCount[g * K + k] > 0) {
        speakers.push_back(static_cast<int>(k));
        break;
      }
    }
  }

  const int maxCount = std::min(seg.numSpeakers, static_cast<int>(speakers.size()));
  std::vector<int> speakerCount(T, 0);
  std::map<int, int> histogram;
  for (std::size_t g = 0; g < T; ++g) {
    if (!(frameCount[g] > 0)) continue;
    // Halves go to the even neighbour (the default rounding mode).
    const double n = std::nearbyint(speechSum[g] / frameCount[g]);
    speakerCount[g] =
        std::isfinite(n) ? static_cast<int>(std::clamp(n, 0.0, static_cast<double>(std::max(maxCount, 0)))) : 0;
    ++histogram[speakerCount[g]];
  }
  std::string histogramText;
  for (const auto& [n, frames] : histogram) {
    if (!histogramText.empty()) histogramText += ", ";
    histogramText += std::to_string(n) + ":" + std::to_string(frames);
  }
  m_logger.debug("Speaker-count histogram " + histogramText);

  std::vector<TimedSpeakerSegment> output;
  std::map<int, Accumulator> open;
  std::vector<int> ranking;
  std::vector<char> selected(K);
  for (std::size_t g = 0; g < T; ++g) {
    std::fill(selected.begin(), selected.end(), 0);
    const int n = speakerCount[g];
    if (n >= 1) {
      ranking = speakers;
      const double* avg = average.data() + g * K;
      std::stable_sort(ranking.begin(), ranking.end(), [&](int a, int b) { return avg[a] > avg[b]; });
      for (int i = 0; i < n && static_cast<std::size_t>(i) < ranking.size(); ++i)
        selected[static_cast<std::size_t>(ranking[static_cast<std::size_t>(i)])] = 1;
    }
    const double frameStart = fd * static_cast<double>(g);
    const double frameEnd = fd + fd * static_cast<double>(g);
    for (auto it = open.begin(); it != open.end();) {
      if (!selected[static_cast<std::size_t>(it->first)]) {
        appendSegment(it->first, it->second, frameStart, centroids, output);
        it = open.erase(it);
      } else {
        ++it;
      }
    }
    for (std::size_t k = 0; k < K; ++k) {
      if (!selected[k]) continue;
      const double score = average[g * K + k];
      auto it = open.find(static_cast<int>(k));
      if (it != open.end()) {
        it->second.end = frameEnd;
        it->second.scoreSum += score;
        it->second.frameCount += 1;
      } else {
        open[static_cast<int>(k)] = {frameStart, frameEnd, score, 1};
      }
    }
  }
  for (const auto& [k, acc] : open) appendSegment(k, acc, acc.end, centroids, output);

  const double gap = std::max(m_config.postProcessing.minGapDurationSeconds, m_config.segmentation.minDurationOff);
  return sanitize(mergeSegments(std::move(output), gap));
}

std::vector<TimedSpeakerSegment> OfflineReconstruction::mergeSegments(std::vector<TimedSpeakerSegment> segments,
                                                                      double gapThreshold) {
  if (segments.empty()) return {};
  sortByStart(segments);
  std::vector<TimedSpeakerSegment> result;
  TimedSpeakerSegment current = segments.front();
  for (std::size_t i = 1; i < segments.size(); ++i) {
    const auto& next = segments[i];
    const double gap = static_cast<double>(next.startTimeSeconds) - static_cast<double>(current.endTimeSeconds);
    if (next.speakerId == current.speakerId && gap <= gapThreshold) {
      const double dA = current.durationSeconds();
      const double dB = next.durationSeconds();
      double quality = dA + dB > 0 ? (dA * current.qualityScore + dB * next.qualityScore) / (dA + dB)
                                   : (current.qualityScore + next.qualityScore) / 2.0;
      quality = std::clamp(quality, 0.0, 1.0);
      current = TimedSpeakerSegment(current.speakerId, current.embedding, current.startTimeSeconds,
                                    std::max(current.endTimeSeconds, next.endTimeSeconds), static_cast<float>(quality));
    } else {
      result.push_back(current);
      current = next;
    }
  }
  result.push_back(current);
  return result;
}

std::vector<TimedSpeakerSegment> OfflineReconstruction::sanitize(std::vector<TimedSpeakerSegment> segments) const {
  sortByStart(segments);
  const double minimum = std::max(m_config.embedding.minSegmentDurationSeconds, m_config.segmentation.minDurationOn);
  std::vector<TimedSpeakerSegment> kept;
  for (auto& segment : segments) {
    if (segment.durationSeconds() >= static_cast<float>(minimum)) kept.push_back(std::move(segment));
  }
  return m_config.embedding.excludeOverlap ? excludeOverlaps(kept) : kept;
}

std::vector<TimedSpeakerSegment> OfflineReconstruction::excludeOverlaps(
    const std::vector<TimedSpeakerSegment>& segments) const {
  std::vector<TimedSpeakerSegment> result;
  const double minimum = m_config.embedding.minSegmentDurationSeconds;
  for (const auto& segment : segments) {
    float start = segment.startTimeSeconds;
    if (!result.empty()) start = std::max(start, result.back().endTimeSeconds);
    const float end = segment.endTimeSeconds;
    if (!(end > start) || static_cast<double>(end - start) < minimum) continue;
    const float original = segment.durationSeconds();
    const double ratio = original > 0 ? static_cast<double>(end - start) / original : 1.0;
    const double quality = std::max(0.0, std::min(segment.qualityScore * ratio, 1.0));
    result.emplace_back(segment.speakerId, segment.embedding, start, end, static_cast<float>(quality));
  }
  return result;
}

std::map<std::string, std::vector<float>> OfflineReconstruction::buildSpeakerDatabase(
    const std::vector<TimedSpeakerSegment>& segments) {
  std::map<std::string, std::pair<std::vector<double>, int>> sums;
  for (const auto& segment : segments) {
    auto& [sum, count] = sums[segment.speakerId];
    if (sum.size() < segment.embedding.size()) sum.resize(segment.embedding.size(), 0.0);
    for (std::size_t i = 0; i < segment.embedding.size(); ++i) sum[i] += segment.embedding[i];
    ++count;
  }
  std::map<std::string, std::vector<float>> database;
  for (const auto& [label, entry] : sums) {
    std::vector<float> mean(entry.first.size());
    const double scale = 1.0 / entry.second;
    for (std::size_t i = 0; i < mean.size(); ++i) mean[i] = static_cast<float>(entry.first[i] * scale);
    database[label] = std::move(mean);
  }
  return database;
}

}  // namespace voxtrellis
