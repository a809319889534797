#include "Diarizer/Offline/Segmentation/OfflineSegmentationProcessor.h"

#include "Diarizer/Offline/Utils/NumberFormat.h"
#include "Diarizer/Offline/Utils/VDSPOperations.h"
#include "Shared/Elapsed.h"
#include "Shared/MLMultiArrayTensor.h"

#include <voxtrellis/OfflineDiarizationError.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace voxtrellis {

using diarization::fixed;

namespace {
using Clock = std::chrono::steady_clock;
std::string shapeText(const std::vector<int64_t>& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
  return text + "]";
}

constexpr std::array<double, 9> kThresholds = {0.5, 0.7, 0.8, 0.9, 0.95, 0.98, 0.99, 0.995, 0.999};

// What the run saw, for the debug summary at its end.
struct Diagnostics {
  std::array<int64_t, 8> classCounts{};
  std::array<double, 8> classProbabilitySums{};
  std::array<int64_t, 9> winningHistogram{};
  int64_t speechFrames = 0;
  double winningSum = 0, winningMin = 1.0, winningMax = 0.0, nonSpeechSum = 0;
  int64_t maskSpeechFrames = 0;
  double prepareSeconds = 0, predictionSeconds = 0;
};

// The analysis window at a start sample. Consecutive starts one step apart
// shift the previous window and read only its new tail.
class WindowReader {
 public:
  WindowReader(const SampleReader& audio, int64_t chunkSize, int64_t step)
      : m_audio(audio), m_chunkSize(chunkSize), m_step(step), m_window(static_cast<std::size_t>(chunkSize), 0.0f) {}

  const std::vector<float>& read(int64_t start) {
    if (m_step < m_chunkSize && !m_first && start == m_previousStart + m_step) {
      std::copy(m_window.begin() + m_step, m_window.end(), m_window.begin());
      const int64_t tailStart = start + (m_chunkSize - m_step);
      const int64_t available = std::clamp<int64_t>(m_audio.sampleCount - tailStart, 0, m_step);
      float* tail = m_window.data() + (m_chunkSize - m_step);
      std::fill(tail, tail + m_step, 0.0f);
      if (available > 0) m_audio.copySamples(tail, tailStart, available);
    } else {
      std::fill(m_window.begin(), m_window.end(), 0.0f);
      const int64_t count = std::min(m_audio.sampleCount - start, m_chunkSize);
      if (count > 0) m_audio.copySamples(m_window.data(), start, count);
    }
    m_previousStart = start;
    m_first = false;
    return m_window;
  }

  // The next read starts over from the source.
  void restart() { m_first = true; }

 private:
  const SampleReader& m_audio;
  int64_t m_chunkSize;
  int64_t m_step;
  std::vector<float> m_window;
  int64_t m_previousStart = 0;
  bool m_first = true;
};

// Batch, frames and classes of a score array ([batch, frames, classes] or
// [frames, classes]).
struct ScoreLayout {
  int64_t batch = 1, frames = 0, classes = 0;
};

ScoreLayout readLayout(const Tensor& scores) {
  const auto& shape = scores.shape();
  ScoreLayout layout;
  if (shape.size() == 2) {
    layout.frames = shape[0];
    layout.classes = shape[1];
  } else if (shape.size() == 3) {
    layout.batch = shape[0];
    layout.frames = shape[1];
    layout.classes = shape[2];
  } else {
    throw OfflineDiarizationError::processingFailed("Unexpected segmentation output shape " + shapeText(shape));
  }
  if (layout.frames < 1 || layout.classes < 1 || layout.batch < 1) {
    throw OfflineDiarizationError::processingFailed("Segmentation model returned an empty output " + shapeText(shape));
  }
  return layout;
}

// Turns one window's class scores into log-probabilities and the soft
// activity of the local speakers, keeping the run's diagnostics.
class FrameDecoder {
 public:
  FrameDecoder(float onset, Diagnostics& stats) : m_onset(onset), m_stats(stats) {
    const auto& table = OfflineSegmentationProcessor::powerset();
    m_membership.assign(OfflineSegmentationProcessor::kLocalSpeakers, std::vector<float>(8, 0.0f));
    for (int k = 0; k < 8; ++k) {
      for (int s : table[k]) m_membership[s][k] = 1.0f;
    }
  }

  // `rows`: frames × classes scores of one window.
  void decodeWindow(const float* rows, const ScoreLayout& layout, SegmentationChunk& chunk) {
    const auto classes = static_cast<std::size_t>(layout.classes);
    m_logProbs.resize(classes);
    chunk.logProbs.reserve(static_cast<std::size_t>(layout.frames));
    chunk.speakerWeights.reserve(static_cast<std::size_t>(layout.frames));
    for (int64_t f = 0; f < layout.frames; ++f) {
      decodeFrame(rows + f * layout.classes, layout.classes);
      chunk.logProbs.push_back(m_logProbs);
      chunk.speakerWeights.push_back(speakerWeights());
    }
  }

 private:
  void decodeFrame(const float* row, int64_t classes) {
    int64_t best = 0;
    for (int64_t c = 1; c < classes; ++c) {
      if (row[c] > row[best]) best = c;
    }
    const float lse = VDSPOperations::logSumExp(row, static_cast<std::size_t>(classes));
    std::fill(m_p8.begin(), m_p8.end(), 0.0f);
    for (int64_t c = 0; c < classes; ++c) {
      m_logProbs[static_cast<std::size_t>(c)] = row[c] - lse;
      const float probability = std::exp(m_logProbs[static_cast<std::size_t>(c)]);
      if (c < 8) {
        m_p8[static_cast<std::size_t>(c)] = probability;
        m_stats.classProbabilitySums[static_cast<std::size_t>(c)] += probability;
      }
    }
    if (best < 8) ++m_stats.classCounts[static_cast<std::size_t>(best)];
    const auto idx = static_cast<std::size_t>(std::min<int64_t>(best, 7));
    const float winning = m_p8[idx];
    if (!OfflineSegmentationProcessor::powerset()[idx].empty()) {
      ++m_stats.speechFrames;
      m_stats.winningSum += winning;
      m_stats.winningMin = std::min<double>(m_stats.winningMin, winning);
      m_stats.winningMax = std::max<double>(m_stats.winningMax, winning);
      m_stats.nonSpeechSum += m_p8[0];
      for (std::size_t t = 0; t < kThresholds.size(); ++t) {
        if (winning >= kThresholds[t]) ++m_stats.winningHistogram[t];
      }
    }
    if (m_onset <= std::clamp(1.0f - m_p8[0], 0.0f, 1.0f)) ++m_stats.maskSpeechFrames;
  }

  // Each local speaker's activity: the summed probability of the classes it is in.
  std::vector<float> speakerWeights() const {
    std::vector<float> weights = VDSPOperations::matrixVectorMultiply(m_membership, m_p8);
    for (float& v : weights) v = std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f);
    return weights;
  }

  float m_onset;
  Diagnostics& m_stats;
  std::vector<std::vector<float>> m_membership;
  std::vector<float> m_logProbs;
  std::vector<float> m_p8 = std::vector<float>(8, 0.0f);
};

void logSpeakerFrameCounts(const AppLogger& logger, const SegmentationChunk& chunk, float onset) {
  std::array<int, OfflineSegmentationProcessor::kLocalSpeakers> counts{};
  for (const auto& row : chunk.speakerWeights) {
    for (int s = 0; s < OfflineSegmentationProcessor::kLocalSpeakers; ++s) counts[s] += row[s] >= onset ? 1 : 0;
  }
  logger.debug("Chunk 0 speaker frame counts: [" + std::to_string(counts[0]) + ", " + std::to_string(counts[1]) + ", " +
               std::to_string(counts[2]) + "]");
}

void logSummary(const AppLogger& logger, const Diagnostics& stats, const SegmentationOutput& output) {
  int64_t total = 0;
  for (auto count : stats.classCounts) total += count;
  if (total > 0) {
    logger.debug("Segmentation histogram: speechFrames=" + std::to_string(total - stats.classCounts[0]) +
                 " totalFrames=" + std::to_string(total) +
                 " speechRatio=" + fixed(static_cast<double>(total - stats.classCounts[0]) / total, 3) +
                 " avgNonSpeechProb=" + fixed(stats.classProbabilitySums[0] / total, 3));
  }
  const int64_t allFrames = static_cast<int64_t>(output.numFrames) * output.numChunks;
  if (allFrames > 0) {
    logger.debug("Segmentation mask speech frames = " + std::to_string(stats.maskSpeechFrames) + " / " +
                 std::to_string(allFrames) +
                 " (ratio=" + fixed(static_cast<double>(stats.maskSpeechFrames) / allFrames, 3) +
                 ", speechSeconds\u2248" + fixed(output.frameDuration * stats.maskSpeechFrames, 1) + "s)");
  }
  if (stats.speechFrames > 0) {
    const double count = static_cast<double>(stats.speechFrames);
    logger.debug("Winning speaker probability stats: count=" + std::to_string(stats.speechFrames) +
                 ", avg=" + fixed(stats.winningSum / count, 3) + ", min=" + fixed(stats.winningMin, 3) +
                 ", max=" + fixed(stats.winningMax, 3));
    std::string buckets;
    for (std::size_t t = 0; t < kThresholds.size(); ++t) {
      buckets += (t ? ", " : "") + std::string("\u2265") + fixed(kThresholds[t], 3) + ":" +
                 std::to_string(stats.winningHistogram[t]);
    }
    logger.debug("Winning probability distribution " + buckets);
    logger.debug("Empty-class probability on speech frames: avg=" + fixed(stats.nonSpeechSum / count, 3));
  }
  if (output.numChunks > 0) {
    const double n = output.numChunks;
    const std::string line = "Segmentation timings: windows=" + std::to_string(output.numChunks) +
                             " prepareTotal=" + fixed(stats.prepareSeconds * 1000, 2) +
                             "ms (perWindow=" + fixed(stats.prepareSeconds * 1000 / n, 4) +
                             "ms) predictionTotal=" + fixed(stats.predictionSeconds * 1000, 2) +
                             "ms (perWindow=" + fixed(stats.predictionSeconds * 1000 / n, 4) + "ms)";
    logger.debug(line);
    emitProfileLog(line);
  }
}
void warmUp(ANEMemoryOptimizer& memory, const AppLogger& logger, const OfflineSegmentationModel& model,
            int64_t chunkSize) {
  try {
    auto warmup = memory.getPooledBuffer("offline_segmentation_warmup_" + std::to_string(chunkSize), {1, 1, chunkSize},
                                         MLMultiArrayDataType::float32);
    std::fill_n(warmup->dataAs<float>(), chunkSize, 0.0f);
    (void)model.predict(denseTensor(warmup));
  } catch (const std::exception& error) {
    logger.debug(std::string("Segmentation warmup skipped due to error: ") + error.what());
  }
}

// Reads the windows at `starts` into one pooled batch and runs the model on it.
Tensor predictBatch(ANEMemoryOptimizer& memory, const OfflineSegmentationModel& model, WindowReader& windows,
                    const std::vector<int64_t>& starts, int64_t chunkSize, Diagnostics& stats,
                    const CancellationFlag* cancellation) {
  const auto prepareStart = Clock::now();
  auto batch = memory.getPooledBuffer(
      "offline_segmentation_audio_" + std::to_string(starts.size()) + "_" + std::to_string(chunkSize),
      {static_cast<int64_t>(starts.size()), 1, chunkSize}, MLMultiArrayDataType::float32);
  const int64_t rowStride = batch->strides().front();
  for (std::size_t w = 0; w < starts.size(); ++w) {
    const std::vector<float>& window = windows.read(starts[w]);
    std::copy(window.begin(), window.end(), batch->dataAs<float>() + static_cast<int64_t>(w) * rowStride);
  }
  stats.prepareSeconds += secondsSince(prepareStart);

  throwIfCancelled(cancellation);
  const auto predictionStart = Clock::now();
  Tensor scores = model.predict(denseTensor(batch));
  stats.predictionSeconds += secondsSince(predictionStart);
  return scores;
}

}  // namespace

void emitProfileLog(const std::string& message) {
  const std::string line = "[Profiling] " + message + "\n";
  ssize_t ignored = ::write(2, line.data(), line.size());
  (void)ignored;
}

const std::array<std::vector<int>, 8>& OfflineSegmentationProcessor::powerset() {
  static const std::array<std::vector<int>, 8> table = {std::vector<int>{}, {0}, {1}, {2}, {0, 1}, {0, 2}, {1, 2},
                                                        {0, 1, 2}};
  return table;
}

OfflineSegmentationProcessor::OfflineSegmentationProcessor()
    : m_logger("OfflineSegmentation"), m_memoryOptimizer(std::make_shared<ANEMemoryOptimizer>()) {}

SegmentationOutput OfflineSegmentationProcessor::process(const SampleReader& audio,
                                                         const OfflineSegmentationModel& model,
                                                         const OfflineDiarizerConfig& config,
                                                         const ChunkHandler& chunkHandler,
                                                         const CancellationFlag* cancellation) {
  const int64_t totalSamples = audio.sampleCount;
  if (totalSamples < 1) throw OfflineDiarizationError::noSpeechDetected();
  const int64_t chunkSize = config.samplesPerWindow();
  if (chunkSize < 1 || chunkSize > 2147483647) {
    throw OfflineDiarizationError::invalidConfiguration("segmentation window must span 1 to 2147483647 samples, got " +
                                                        std::to_string(chunkSize));
  }
  const int64_t step = config.samplesPerStep();
  m_logger.debug("Offline segmentation: chunkSize=" + std::to_string(chunkSize) + ", stepSize=" + std::to_string(step) +
                 ", totalSamples=" + std::to_string(totalSamples));
  warmUp(*m_memoryOptimizer, m_logger, model, chunkSize);

  Diagnostics stats;
  FrameDecoder decoder(config.segmentation.speechOnsetThreshold, stats);
  WindowReader windows(audio, chunkSize, step);
  SegmentationOutput output;
  output.numSpeakers = kLocalSpeakers;
  bool stopped = false;
  int chunkIndex = 0;
  int64_t nextStart = 0;

  // A model whose batch dimension is fixed gets batches of that size; the
  // limit is lowered to what the model answers when it answers fewer windows
  // than it is given, so the rest run in batches it takes whole.
  std::size_t batchLimit = kMaxBatch;
  if (model.fixedBatch() >= 1) batchLimit = static_cast<std::size_t>(std::min<int64_t>(model.fixedBatch(), kMaxBatch));
  while (true) {
    throwIfCancelled(cancellation);
    std::vector<int64_t> starts;
    for (int64_t s = nextStart; s < totalSamples && starts.size() < batchLimit; s += step) {
      starts.push_back(s);
    }
    if (starts.empty()) {
      if (output.numChunks == 0) {
        throw OfflineDiarizationError::processingFailed("Segmentation produced no analysis windows");
      }
      break;
    }
    nextStart = starts.back() + step;

    // A model may answer fewer windows than it was given; the rest go again
    // in a smaller batch so the timeline keeps no holes.
    std::size_t decodedInBatch = 0;
    while (decodedInBatch < starts.size()) {
      const std::size_t count = std::min(starts.size() - decodedInBatch, batchLimit);
      const std::vector<int64_t> batchStarts(starts.begin() + static_cast<std::ptrdiff_t>(decodedInBatch),
                                             starts.begin() + static_cast<std::ptrdiff_t>(decodedInBatch + count));
      const Tensor scores =
          predictBatch(*m_memoryOptimizer, model, windows, batchStarts, chunkSize, stats, cancellation);
      const ScoreLayout layout = readLayout(scores);
      if (layout.classes > 8) {
        m_logger.error("Segmentation model returned " + std::to_string(layout.classes) +
                       " classes but only 8 powerset entries available");
      }
      const std::vector<float> converted =
          scores.type() == ElementType::float32 ? std::vector<float>{} : scores.toFloats();
      const float* data = converted.empty() ? scores.data<float>() : converted.data();

      const double frameDuration = config.segmentation.windowDurationSeconds / static_cast<double>(layout.frames);
      output.frameDuration = frameDuration;
      output.numFrames = static_cast<int>(layout.frames);
      const std::size_t decoded = std::min<std::size_t>(static_cast<std::size_t>(layout.batch), count);
      if (decoded < count) {
        batchLimit = decoded;
        m_logger.debug("Segmentation model answered " + std::to_string(decoded) + " of " + std::to_string(count) +
                       " windows; running the rest again");
      }
      for (std::size_t w = 0; w < decoded; ++w) {
        SegmentationChunk chunk;
        chunk.chunkIndex = chunkIndex++;
        chunk.chunkOffsetSeconds = static_cast<double>(batchStarts[w]) / config.segmentation.sampleRate;
        chunk.frameDuration = frameDuration;
        decoder.decodeWindow(data + static_cast<int64_t>(w) * layout.frames * layout.classes, layout, chunk);
        if (chunk.chunkIndex == 0) {
          logSpeakerFrameCounts(m_logger, chunk, config.segmentation.speechOnsetThreshold);
        }
        output.logProbs.push_back(chunk.logProbs);
        output.speakerWeights.push_back(chunk.speakerWeights);
        output.chunkOffsets.push_back(chunk.chunkOffsetSeconds);
        ++output.numChunks;
        if (!stopped && chunkHandler) {
          stopped = chunkHandler(chunk) == SegmentationChunkContinuation::stop;
        }
      }
      decodedInBatch += decoded;
      // Windows read but not answered are read again: a start that is not one
      // step after the last read one starts over from the source, so the
      // rolling buffer stays right.
      if (decoded < count) windows.restart();
    }
  }
  logSummary(m_logger, stats, output);
  return output;
}

}  // namespace voxtrellis
