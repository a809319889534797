#include "Diarizer/Offline/Segmentation/OfflineSegmentationProcessor.h"

#include "Diarizer/Offline/Utils/NumberFormat.h"
#include "Diarizer/Offline/Utils/VDSPOperations.h"
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
double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string shapeText(const std::vector<int64_t>& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
  return text + "]";
}

struct Diagnostics {
  std::array<int64_t, 8> classCounts{};
  std::array<double, 8> classProbabilitySums{};
  std::array<int64_t, 9> winningHistogram{};
  int64_t speechFrames = 0;
  double winningSum = 0, winningMin = 1.0, winningMax = 0.0, nonSpeechSum = 0;
  int64_t maskSpeechFrames = 0;
  double prepareSeconds = 0, predictionSeconds = 0;
};
constexpr std::array<double, 9> kThresholds = {0.5, 0.7, 0.8, 0.9, 0.95, 0.98, 0.99, 0.995, 0.999};
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

SegmentationOutput OfflineSegmentationProcessor::process(const SampleReader& audio, const OnnxModel& model,
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
  if (model.input("audio") == nullptr) {
    throw OfflineDiarizationError::processingFailed("Segmentation model is missing `audio` multiarray input");
  }
  const int64_t step = config.samplesPerStep();
  const double sampleRate = config.segmentation.sampleRate;
  const float onset = config.segmentation.speechOnsetThreshold;

  // Membership of each local speaker in each powerset class.
  std::vector<std::vector<float>> membership(kLocalSpeakers, std::vector<float>(8, 0.0f));
  for (int k = 0; k < 8; ++k) {
    for (int s : powerset()[k]) membership[s][k] = 1.0f;
  }
  Diagnostics stats;
  m_logger.debug("Offline segmentation: chunkSize=" + std::to_string(chunkSize) + ", stepSize=" + std::to_string(step) +
                 ", totalSamples=" + std::to_string(totalSamples));

  try {
    auto warmup = m_memoryOptimizer->getPooledBuffer("offline_segmentation_warmup_" + std::to_string(chunkSize),
                                                     {1, 1, chunkSize}, MLMultiArrayDataType::float32);
    std::fill_n(warmup->dataAs<float>(), chunkSize, 0.0f);
    (void)model.predict({{"audio", denseTensor(warmup)}});
  } catch (const std::exception& error) {
    m_logger.debug(std::string("Segmentation warmup skipped due to error: ") + error.what());
  }

  std::string outputName;
  for (const char* preferred : {"segments", "log_probs"}) {
    if (model.output(preferred)) {
      outputName = preferred;
      break;
    }
  }
  if (outputName.empty() && !model.outputs().empty()) outputName = model.outputs().front().name;

  SegmentationOutput output;
  output.numSpeakers = kLocalSpeakers;
  std::vector<float> window(static_cast<std::size_t>(chunkSize), 0.0f);
  int64_t previousStart = 0;
  bool firstWindow = true;
  bool stopped = false;
  int chunkIndex = 0;
  int64_t nextStart = 0;
  bool loggedChunkZero = false;

  auto fillWindow = [&](int64_t start) {
    if (step < chunkSize && !firstWindow && start == previousStart + step) {
      std::copy(window.begin() + step, window.end(), window.begin());
      const int64_t tailStart = start + (chunkSize - step);
      const int64_t available = std::clamp<int64_t>(totalSamples - tailStart, 0, step);
      float* tail = window.data() + (chunkSize - step);
      std::fill(tail, tail + step, 0.0f);
      if (available > 0) audio.copySamples(tail, tailStart, available);
    } else {
      std::fill(window.begin(), window.end(), 0.0f);
      const int64_t count = std::min(totalSamples - start, chunkSize);
      if (count > 0) audio.copySamples(window.data(), start, count);
    }
    previousStart = start;
    firstWindow = false;
  };

  // A model whose batch dimension is fixed gets batches of that size; the
  // limit is lowered to what the model answers when it answers fewer windows
  // than it is given, so the rest run in batches it takes whole.
  std::size_t batchLimit = kMaxBatch;
  if (const auto& declared = model.input("audio")->shape; !declared.empty() && declared.front() >= 1) {
    batchLimit = static_cast<std::size_t>(std::min<int64_t>(declared.front(), kMaxBatch));
  }
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
      const std::size_t windows = std::min(starts.size() - decodedInBatch, batchLimit);
      const auto prepareStart = Clock::now();
      auto batch = m_memoryOptimizer->getPooledBuffer(
          "offline_segmentation_audio_" + std::to_string(windows) + "_" + std::to_string(chunkSize),
          {static_cast<int64_t>(windows), 1, chunkSize}, MLMultiArrayDataType::float32);
      const int64_t rowStride = batch->strides().front();
      for (std::size_t w = 0; w < windows; ++w) {
        fillWindow(starts[decodedInBatch + w]);
        std::copy(window.begin(), window.end(), batch->dataAs<float>() + static_cast<int64_t>(w) * rowStride);
      }
      stats.prepareSeconds += secondsSince(prepareStart);

      throwIfCancelled(cancellation);
      const auto predictionStart = Clock::now();
      NamedTensors outputs = model.predict({{"audio", denseTensor(batch)}});
      stats.predictionSeconds += secondsSince(predictionStart);

      const Tensor* scores = nullptr;
      if (auto it = outputs.find(outputName); it != outputs.end() && !it->second.empty()) scores = &it->second;
      if (scores == nullptr) {
        std::string available = "[";
        bool first = true;
        for (const auto& [name, tensor] : outputs) {
          available += (first ? "\"" : ", \"") + name + "\"";
          first = false;
        }
        throw OfflineDiarizationError::processingFailed(
            "Segmentation model missing expected multiarray output. Available: " + available + "]");
      }
      const auto& shape = scores->shape();
      int64_t outBatch = 1, frames = 0, classes = 0;
      if (shape.size() == 2) {
        frames = shape[0];
        classes = shape[1];
      } else if (shape.size() == 3) {
        outBatch = shape[0];
        frames = shape[1];
        classes = shape[2];
      } else {
        throw OfflineDiarizationError::processingFailed("Unexpected segmentation output shape " + shapeText(shape));
      }
      if (frames < 1 || classes < 1 || outBatch < 1) {
        throw OfflineDiarizationError::processingFailed("Segmentation model returned an empty output " +
                                                        shapeText(shape));
      }
      if (classes > 8) {
        m_logger.error("Segmentation model returned " + std::to_string(classes) +
                       " classes but only 8 powerset entries available");
      }
      const std::vector<float> converted =
          scores->type() == ElementType::float32 ? std::vector<float>{} : scores->toFloats();
      const float* data = converted.empty() ? scores->data<float>() : converted.data();

      const double frameDuration = config.segmentation.windowDurationSeconds / static_cast<double>(frames);
      output.frameDuration = frameDuration;
      output.numFrames = static_cast<int>(frames);
      const std::size_t decoded = std::min<std::size_t>(static_cast<std::size_t>(outBatch), windows);
      if (decoded < windows) {
        batchLimit = decoded;
        m_logger.debug("Segmentation model answered " + std::to_string(decoded) + " of " + std::to_string(windows) +
                       " windows; running the rest again");
      }
      std::vector<float> lp(static_cast<std::size_t>(classes));
      std::vector<float> p8(8);
      for (std::size_t w = 0; w < decoded; ++w) {
        const int64_t start = starts[decodedInBatch + w];
        SegmentationChunk chunk;
        chunk.chunkIndex = chunkIndex++;
        chunk.chunkOffsetSeconds = static_cast<double>(start) / sampleRate;
        chunk.frameDuration = frameDuration;
        chunk.logProbs.reserve(static_cast<std::size_t>(frames));
        chunk.speakerWeights.reserve(static_cast<std::size_t>(frames));
        for (int64_t f = 0; f < frames; ++f) {
          const float* row = data + (static_cast<int64_t>(w) * frames + f) * classes;
          int64_t best = 0;
          for (int64_t c = 1; c < classes; ++c) {
            if (row[c] > row[best]) best = c;
          }
          const float lse = VDSPOperations::logSumExp(row, static_cast<std::size_t>(classes));
          std::fill(p8.begin(), p8.end(), 0.0f);
          for (int64_t c = 0; c < classes; ++c) {
            lp[static_cast<std::size_t>(c)] = row[c] - lse;
            const float probability = std::exp(lp[static_cast<std::size_t>(c)]);
            if (c < 8) {
              p8[static_cast<std::size_t>(c)] = probability;
              stats.classProbabilitySums[static_cast<std::size_t>(c)] += probability;
            }
          }
          if (best < 8) ++stats.classCounts[static_cast<std::size_t>(best)];
          const auto idx = static_cast<std::size_t>(std::min<int64_t>(best, 7));
          const float winning = p8[idx];
          if (!powerset()[idx].empty()) {
            ++stats.speechFrames;
            stats.winningSum += winning;
            stats.winningMin = std::min<double>(stats.winningMin, winning);
            stats.winningMax = std::max<double>(stats.winningMax, winning);
            stats.nonSpeechSum += p8[0];
            for (std::size_t t = 0; t < kThresholds.size(); ++t) {
              if (winning >= kThresholds[t]) ++stats.winningHistogram[t];
            }
          }
          std::vector<float> weights = VDSPOperations::matrixVectorMultiply(membership, p8);
          for (float& v : weights) v = std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f);
          if (onset <= std::clamp(1.0f - p8[0], 0.0f, 1.0f)) ++stats.maskSpeechFrames;
          chunk.logProbs.push_back(lp);
          chunk.speakerWeights.push_back(std::move(weights));
        }
        if (chunk.chunkIndex == 0 && !loggedChunkZero) {
          loggedChunkZero = true;
          std::array<int, kLocalSpeakers> counts{};
          for (const auto& row : chunk.speakerWeights) {
            for (int s = 0; s < kLocalSpeakers; ++s) counts[s] += row[s] >= onset ? 1 : 0;
          }
          m_logger.debug("Chunk 0 speaker frame counts: [" + std::to_string(counts[0]) + ", " +
                         std::to_string(counts[1]) + ", " + std::to_string(counts[2]) + "]");
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
      if (decoded < windows) firstWindow = true;
    }
  }

  int64_t total = 0;
  for (auto count : stats.classCounts) total += count;
  if (total > 0) {
    m_logger.debug("Segmentation histogram: speechFrames=" + std::to_string(total - stats.classCounts[0]) +
                   " totalFrames=" + std::to_string(total) +
                   " speechRatio=" + fixed(static_cast<double>(total - stats.classCounts[0]) / total, 3) +
                   " avgNonSpeechProb=" + fixed(stats.classProbabilitySums[0] / total, 3));
  }
  const int64_t allFrames = static_cast<int64_t>(output.numFrames) * output.numChunks;
  if (allFrames > 0) {
    m_logger.debug("Segmentation mask speech frames = " + std::to_string(stats.maskSpeechFrames) + " / " +
                   std::to_string(allFrames) +
                   " (ratio=" + fixed(static_cast<double>(stats.maskSpeechFrames) / allFrames, 3) +
                   ", speechSeconds\u2248" + fixed(output.frameDuration * stats.maskSpeechFrames, 1) + "s)");
  }
  if (stats.speechFrames > 0) {
    const double count = static_cast<double>(stats.speechFrames);
    m_logger.debug("Winning speaker probability stats: count=" + std::to_string(stats.speechFrames) +
                   ", avg=" + fixed(stats.winningSum / count, 3) + ", min=" + fixed(stats.winningMin, 3) +
                   ", max=" + fixed(stats.winningMax, 3));
    std::string buckets;
    for (std::size_t t = 0; t < kThresholds.size(); ++t) {
      buckets += (t ? ", " : "") + std::string("\u2265") + fixed(kThresholds[t], 3) + ":" +
                 std::to_string(stats.winningHistogram[t]);
    }
    m_logger.debug("Winning probability distribution " + buckets);
    m_logger.debug("Empty-class probability on speech frames: avg=" + fixed(stats.nonSpeechSum / count, 3));
  }
  if (output.numChunks > 0) {
    const double n = output.numChunks;
    const std::string line = "Segmentation timings: windows=" + std::to_string(output.numChunks) +
                             " prepareTotal=" + fixed(stats.prepareSeconds * 1000, 2) +
                             "ms (perWindow=" + fixed(stats.prepareSeconds * 1000 / n, 4) +
                             "ms) predictionTotal=" + fixed(stats.predictionSeconds * 1000, 2) +
                             "ms (perWindow=" + fixed(stats.predictionSeconds * 1000 / n, 4) + "ms)";
    m_logger.debug(line);
    emitProfileLog(line);
  }
  return output;
}

}  // namespace voxtrellis
