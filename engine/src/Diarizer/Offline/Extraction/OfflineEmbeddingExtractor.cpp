#include "Diarizer/Offline/Extraction/OfflineEmbeddingExtractor.h"

#include "Diarizer/Offline/Extraction/WeightInterpolation.h"
#include "Diarizer/Offline/Segmentation/OfflineSegmentationProcessor.h"
#include "Diarizer/Offline/Utils/NumberFormat.h"
#include "Shared/Elapsed.h"
#include "Shared/MLMultiArrayTensor.h"

#include <voxtrellis/OfflineDiarizationError.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numeric>

namespace voxtrellis {

using diarization::fixed;

namespace {
using Clock = std::chrono::steady_clock;
constexpr float kActive = 0.001f;

std::string dimsText(const std::vector<int64_t>& shape) {
  std::string text;
  for (std::size_t i = 0; i < shape.size(); ++i) text += (i ? "\u00d7" : "") + std::to_string(shape[i]);
  return text;
}

[[noreturn]] void constructionFault(const AppLogger& logger, const std::string& message) {
  logger.error(message);
  throw OfflineDiarizationError::processingFailed(message);
}

struct BatchInfo {
  int chunkIndex;
  double offset;
  double frameDuration;
  std::vector<std::vector<float>> weights;
};

struct Pending {
  int chunkIndex, speakerIndex, startFrame, endFrame;
  std::vector<float> frameWeights;
  double startTime, endTime;
};
}  // namespace

struct OfflineEmbeddingExtractor::State {
  const CancellationFlag* cancellation = nullptr;
  std::vector<TimedEmbedding> results;
  std::vector<std::vector<float>> pendingEmbeddings;
  std::vector<Pending> pendingRecords;
  std::vector<MLMultiArrayPtr> fbankInputs;
  std::vector<BatchInfo> batchInfos;
  double fbankSeconds = 0, maskSeconds = 0, resampleSeconds = 0, embeddingSeconds = 0, pldaSeconds = 0;
  int64_t windows = 0, fbankBatches = 0, evaluations = 0, validMasks = 0, fallbackMasks = 0, emptyMasks = 0;
  int64_t pldaRows = 0, pldaBatches = 0;
  double activeFrameSum = 0;
  int pldaBatchSize = 1;
};

int64_t OfflineEmbeddingExtractor::resolveElementCount(const std::vector<int64_t>& shape, int64_t fallback) {
  // An open last dimension takes the caller's length rather than a
  // neighbouring dimension, which would describe something else.
  if (shape.empty()) return fallback;
  return shape.back() >= 1 ? shape.back() : fallback;
}

std::vector<int64_t> OfflineEmbeddingExtractor::sanitizedShape(const std::vector<int64_t>& shape,
                                                               const std::vector<int64_t>& fallback) {
  if (shape.empty()) {
    std::vector<int64_t> result = fallback;
    for (auto& v : result) v = std::max<int64_t>(v, 1);
    return result;
  }
  std::vector<int64_t> result(shape.size());
  for (std::size_t i = 0; i < shape.size(); ++i) {
    int64_t value = shape[i];
    if (value < 1) value = i < fallback.size() ? fallback[i] : (fallback.empty() ? 1 : fallback.back());
    result[i] = std::max<int64_t>(value, 1);
  }
  return result;
}

OfflineEmbeddingExtractor::OfflineEmbeddingExtractor(std::shared_ptr<OfflineFbankModel> fbankModel,
                                                     std::shared_ptr<OfflineEmbeddingModel> embeddingModel,
                                                     PLDATransform pldaTransform, OfflineDiarizerConfig config)
    : m_fbankModel(std::move(fbankModel)),
      m_embeddingModel(std::move(embeddingModel)),
      m_plda(std::move(pldaTransform)),
      m_config(std::move(config)),
      m_logger("OfflineEmbedding"),
      m_memoryOptimizer(std::make_shared<ANEMemoryOptimizer>()) {
  if (!m_fbankModel) {
    constructionFault(m_logger, "FBANK model is missing `audio` multiarray input; required for offline pipeline");
  }
  if (!m_embeddingModel) {
    constructionFault(m_logger, "Embedding model missing `fbank_features` multiarray input");
  }
  const int64_t window = std::max<int64_t>(m_config.samplesPerWindow(), 1);
  const std::vector<int64_t>& audio = m_fbankModel->audioShape();
  m_audioSampleCount = std::max<int64_t>(std::min(resolveElementCount(audio, window), window), 1);
  std::vector<int64_t> fallback(std::max<std::size_t>(audio.size(), 3), 1);
  fallback.back() = m_audioSampleCount;
  m_fbankInputShape = sanitizedShape(audio, fallback);
  const std::vector<int64_t>& weights = m_embeddingModel->weightsShape();
  m_weightFrameCount = std::max<int64_t>(resolveElementCount(weights, 589), 1);
  std::vector<int64_t> weightFallback(std::max<std::size_t>(weights.size(), 2), 1);
  weightFallback.back() = m_weightFrameCount;
  m_weightInputShape = sanitizedShape(weights, weightFallback);
  m_modelBatchLimit = std::clamp(m_config.embedding.batchSize, 1, 32);
  // A model whose batch dimension is fixed takes one window per prediction.
  const bool openBatch = !audio.empty() && audio.front() < 1;
  m_fbankBatchLimit = openBatch ? std::min(m_modelBatchLimit, 32) : 1;
  m_logger.debug("Offline embedding configured with FBANK input audio[" + dimsText(m_fbankInputShape) +
                 "] \u2192 fbank_features; embedding consumes fbank_features + weights[" +
                 dimsText(m_weightInputShape) + "] (frames=" + std::to_string(m_weightFrameCount) +
                 "), maxBatch=" + std::to_string(m_modelBatchLimit) + ", output=embedding");
}

std::vector<TimedEmbedding> OfflineEmbeddingExtractor::extractEmbeddings(const std::vector<float>& audio,
                                                                         const SegmentationOutput& segmentation) const {
  auto samples = std::make_shared<const std::vector<float>>(audio);
  std::size_t next = 0;
  ChunkSource source = [&]() -> std::optional<SegmentationChunk> {
    while (next < static_cast<std::size_t>(std::max(segmentation.numChunks, 0))) {
      const std::size_t index = next++;
      if (index >= segmentation.speakerWeights.size() || segmentation.speakerWeights[index].empty()) continue;
      SegmentationChunk chunk;
      chunk.chunkIndex = static_cast<int>(index);
      chunk.chunkOffsetSeconds = index < segmentation.chunkOffsets.size()
                                     ? segmentation.chunkOffsets[index]
                                     : static_cast<double>(index) * m_config.segmentation.windowDurationSeconds;
      chunk.frameDuration = segmentation.frameDuration;
      if (index < segmentation.logProbs.size()) chunk.logProbs = segmentation.logProbs[index];
      chunk.speakerWeights = segmentation.speakerWeights[index];
      return chunk;
    }
    return std::nullopt;
  };
  return extractEmbeddings(SampleReader::fromVector(samples), source);
}

std::vector<TimedEmbedding> OfflineEmbeddingExtractor::extractEmbeddings(const SampleReader& audio,
                                                                         const ChunkSource& stream,
                                                                         const CancellationFlag* cancellation) const {
  State state;
  state.cancellation = cancellation;
  state.pldaBatchSize = std::max(std::min(m_modelBatchLimit, m_config.embedding.batchSize), 1);
  state.results.reserve(static_cast<std::size_t>(std::max(m_config.embedding.batchSize, 1)) * 8);
  const int64_t totalSamples = audio.sampleCount;
  const int64_t W = std::max<int64_t>(m_config.samplesPerWindow(), 1);
  std::vector<float> window(static_cast<std::size_t>(W), 0.0f);
  const int64_t inputCount = static_cast<int64_t>(Tensor::countElements(m_fbankInputShape));

  try {
    auto silent = m_memoryOptimizer->createAlignedArray(m_fbankInputShape, MLMultiArrayDataType::float32);
    const Tensor fbank = m_fbankModel->predict(denseTensor(silent));
    if (!fbank.empty())
      (void)runEmbeddingModel(fbank, std::vector<float>(static_cast<std::size_t>(m_weightFrameCount), 0.0f));
  } catch (const std::exception& error) {
    m_logger.debug(std::string("Embedding warmup skipped due to error: ") + error.what());
  }

  while (true) {
    throwIfCancelled(cancellation);
    std::optional<SegmentationChunk> chunk = stream();
    if (!chunk) break;
    if (chunk->speakerWeights.empty()) continue;
    const double frames = static_cast<double>(chunk->speakerWeights.size());
    const double frameDuration =
        chunk->frameDuration > 0 ? chunk->frameDuration : m_config.segmentation.windowDurationSeconds / frames;
    const double offset = std::isfinite(chunk->chunkOffsetSeconds)
                              ? chunk->chunkOffsetSeconds
                              : chunk->chunkIndex * m_config.segmentation.windowDurationSeconds;
    const double startSample = offset * m_config.segmentation.sampleRate;
    const int64_t start =
        std::isfinite(startSample)
            ? std::clamp<int64_t>(static_cast<int64_t>(std::clamp(startSample, 0.0, 9.0e18)), 0, totalSamples)
            : 0;
    const int64_t end = std::min(start + W, totalSamples);
    if (end - start <= 0) continue;
    std::fill(window.begin(), window.end(), 0.0f);
    audio.copySamples(window.data(), start, end - start);
    auto input = m_memoryOptimizer->createAlignedArray(m_fbankInputShape, MLMultiArrayDataType::float32);
    const int64_t copyCount = std::min({end - start, m_audioSampleCount, inputCount});
    std::copy_n(window.data(), copyCount, input->dataAs<float>());
    ++state.windows;
    state.fbankInputs.push_back(input);
    state.batchInfos.push_back({chunk->chunkIndex, offset, frameDuration, std::move(chunk->speakerWeights)});
    if (static_cast<int>(state.fbankInputs.size()) >= m_fbankBatchLimit) flushFbank(state);
  }
  flushFbank(state);
  flushPending(state);

  if (state.validMasks == 0) {
    m_logger.debug("Embedding extractor produced no valid speaker masks");
  } else {
    m_logger.debug("Embedding masks generated: " + std::to_string(state.results.size()) +
                   " (meanActiveFrames=" + fixed(state.activeFrameSum / state.validMasks, 2) + ", fallbackMasks=" +
                   std::to_string(state.fallbackMasks) + ", emptyMasks=" + std::to_string(state.emptyMasks) + ")");
  }
  if (state.windows > 0 || state.evaluations > 0 || state.pldaRows > 0) {
    auto per = [](double seconds, int64_t count) { return count > 0 ? seconds * 1000 / count : 0.0; };
    const std::string line = "Embedding timings: fbankTotal=" + fixed(state.fbankSeconds * 1000, 2) +
                             "ms (perWindow=" + fixed(per(state.fbankSeconds, state.windows), 3) +
                             "ms), maskPrepTotal=" + fixed(state.maskSeconds * 1000, 2) +
                             "ms (perEval=" + fixed(per(state.maskSeconds, state.evaluations), 3) +
                             "ms), resampleTotal=" + fixed(state.resampleSeconds * 1000, 2) +
                             "ms (perValid=" + fixed(per(state.resampleSeconds, state.validMasks), 3) +
                             "ms), embeddingTotal=" + fixed(state.embeddingSeconds * 1000, 2) +
                             "ms (perValid=" + fixed(per(state.embeddingSeconds, state.validMasks), 3) +
                             "ms), pldaTotal=" + fixed(state.pldaSeconds * 1000, 2) +
                             "ms (perValid=" + fixed(per(state.pldaSeconds, state.validMasks), 3) +
                             "ms), batches(fbank=" + std::to_string(state.fbankBatches) +
                             ", plda=" + std::to_string(state.pldaBatches) + ")";
    m_logger.debug(line);
    emitProfileLog(line);
  }
  return std::move(state.results);
}

void OfflineEmbeddingExtractor::flushFbank(State& state) const {
  if (state.fbankInputs.empty()) return;
  const auto started = Clock::now();
  const std::size_t n = state.fbankInputs.size();
  // One prediction over the stacked windows.
  std::vector<int64_t> batchShape = m_fbankInputShape;
  const int64_t perWindow = static_cast<int64_t>(Tensor::countElements(m_fbankInputShape));
  batchShape.front() = static_cast<int64_t>(n) * batchShape.front();
  Tensor batch = Tensor::zeros(ElementType::float32, batchShape);
  for (std::size_t i = 0; i < n; ++i) {
    state.fbankInputs[i]->copyDense(batch.data<float>() + static_cast<int64_t>(i) * perWindow);
  }
  const Tensor features = m_fbankModel->predict(batch);
  state.fbankSeconds += secondsSince(started);
  ++state.fbankBatches;
  if (features.empty()) {
    throw OfflineDiarizationError::processingFailed("FBANK model missing fbank_features output at batch index 0");
  }
  if (features.type() != ElementType::float32 || features.shape().empty()) {
    throw OfflineDiarizationError::processingFailed("FBANK model produced no output");
  }
  const auto outputCount = static_cast<std::size_t>(features.shape().front());
  if (outputCount != n || features.elementCount() % n != 0 || features.elementCount() == 0) {
    throw OfflineDiarizationError::processingFailed("FBANK batch produced " + std::to_string(outputCount) +
                                                    " outputs for " + std::to_string(n) + " inputs");
  }
  if (outputCount != state.batchInfos.size()) {
    throw OfflineDiarizationError::processingFailed("FBANK batch produced mismatched output count (" +
                                                    std::to_string(outputCount) + " vs " +
                                                    std::to_string(state.batchInfos.size()) + ")");
  }
  std::vector<int64_t> oneShape = features.shape();
  oneShape.front() = 1;
  const std::size_t perOutput = features.elementCount() / n;
  for (std::size_t i = 0; i < n; ++i) {
    Tensor one =
        Tensor::borrow(ElementType::float32, oneShape, const_cast<float*>(features.data<float>()) + i * perOutput);
    const auto& info = state.batchInfos[i];
    processChunk(state, info.chunkIndex, info.offset, info.frameDuration, info.weights, one);
  }
  state.fbankInputs.clear();
  state.batchInfos.clear();
}

void OfflineEmbeddingExtractor::processChunk(State& state, int chunkIndex, double offset, double frameDuration,
                                             const std::vector<std::vector<float>>& weights,
                                             const Tensor& fbankFeatures) const {
  const std::size_t F = weights.size();
  const std::size_t S = F > 0 ? weights.front().size() : 0;
  if (F == 0 || S == 0) return;
  auto maskStart = Clock::now();
  // Kept in floating point: a long minimum over short frames does not fit an int.
  const double minFrames =
      frameDuration > 0 ? std::max(std::ceil(m_config.embedding.minSegmentDurationSeconds / frameDuration), 1.0) : 1.0;
  std::vector<char> overlap(F, 0);
  if (m_config.embedding.excludeOverlap) {
    for (std::size_t f = 0; f < F; ++f) {
      int active = 0;
      for (std::size_t s = 0; s < S && s < weights[f].size(); ++s) active += weights[f][s] > kActive ? 1 : 0;
      overlap[f] = active >= 2;
    }
  }
  // Speaker-major copy of the weights.
  auto transposed = m_memoryOptimizer->getPooledBuffer(
      "offline_embedding_transposed_" + std::to_string(S) + "_" + std::to_string(F),
      {static_cast<int64_t>(S), static_cast<int64_t>(F)}, MLMultiArrayDataType::float32);
  const int64_t rowStride = transposed->strides().front();
  for (std::size_t f = 0; f < F; ++f) {
    for (std::size_t s = 0; s < S; ++s) {
      transposed->dataAs<float>()[static_cast<int64_t>(s) * rowStride + static_cast<int64_t>(f)] =
          s < weights[f].size() ? weights[f][s] : 0.0f;
    }
  }
  state.maskSeconds += secondsSince(maskStart);

  for (std::size_t s = 0; s < S; ++s) {
    maskStart = Clock::now();
    ++state.evaluations;
    const float* row = transposed->dataAs<float>() + static_cast<int64_t>(s) * rowStride;
    std::vector<float> w(row, row + F);
    if (!(std::accumulate(w.begin(), w.end(), 0.0f) > 0)) {
      ++state.emptyMasks;
      continue;
    }
    std::vector<float> clean = w;
    for (std::size_t f = 0; f < F; ++f) {
      if (overlap[f]) clean[f] = 0.0f;
    }
    std::vector<float> mask;
    if (std::accumulate(clean.begin(), clean.end(), 0.0f) >= static_cast<float>(minFrames)) {
      mask = std::move(clean);
    } else {
      ++state.fallbackMasks;
      mask = w;
    }
    state.maskSeconds += secondsSince(maskStart);
    const float maskSum = std::accumulate(mask.begin(), mask.end(), 0.0f);
    if (!(maskSum > 0)) {
      ++state.emptyMasks;
      continue;
    }
    const auto resampleStart = Clock::now();
    std::vector<float> resampled = mask;
    if (static_cast<int64_t>(mask.size()) != m_weightFrameCount) {
      WeightInterpolation::InterpolationCoefficients coefficients(static_cast<int>(mask.size()),
                                                                  static_cast<int>(m_weightFrameCount));
      resampled = coefficients.interpolate(mask);
    }
    state.resampleSeconds += secondsSince(resampleStart);
    if (!(std::accumulate(resampled.begin(), resampled.end(), 0.0f) > 0)) {
      ++state.emptyMasks;
      continue;
    }
    const auto embeddingStart = Clock::now();
    std::vector<float> embedding = runEmbeddingModel(fbankFeatures, resampled);
    state.embeddingSeconds += secondsSince(embeddingStart);

    int startFrame = 0, endFrame = 0;
    bool found = false;
    for (std::size_t f = 0; f < F; ++f) {
      if (mask[f] > kActive) {
        if (!found) startFrame = static_cast<int>(f);
        endFrame = static_cast<int>(f);
        found = true;
      }
    }
    if (!found) endFrame = startFrame;
    ++state.validMasks;
    state.activeFrameSum += maskSum;
    state.pendingEmbeddings.push_back(std::move(embedding));
    state.pendingRecords.push_back({chunkIndex, static_cast<int>(s), startFrame, endFrame, std::move(mask),
                                    offset + startFrame * frameDuration, offset + (endFrame + 1) * frameDuration});
    if (static_cast<int>(state.pendingEmbeddings.size()) >= state.pldaBatchSize) flushPending(state);
  }
}

std::vector<float> OfflineEmbeddingExtractor::runEmbeddingModel(const Tensor& fbankFeatures,
                                                                const std::vector<float>& weights) const {
  auto input = m_memoryOptimizer->createAlignedArray(m_weightInputShape, MLMultiArrayDataType::float32);
  const std::size_t count = std::min<std::size_t>(
      {static_cast<std::size_t>(input->count()), static_cast<std::size_t>(m_weightFrameCount), weights.size()});
  for (std::size_t i = 0; i < count; ++i) input->setValue(static_cast<int64_t>(i), weights[i]);
  std::vector<float> embedding = m_embeddingModel->predict(fbankFeatures, denseTensor(input));
  if (embedding.empty()) {
    throw OfflineDiarizationError::processingFailed("Embedding model missing embedding output");
  }
  return embedding;
}

void OfflineEmbeddingExtractor::flushPending(State& state) const {
  if (state.pendingEmbeddings.empty()) return;
  // The PLDA model needs exactly 256 values per vector; a model that returns
  // another count is reported rather than read past its end.
  for (const auto& embedding : state.pendingEmbeddings) {
    if (embedding.size() != static_cast<std::size_t>(PLDATransform::embeddingDimension)) {
      throw OfflineDiarizationError::processingFailed("Embedding model returned " + std::to_string(embedding.size()) +
                                                      " values; expected 256");
    }
  }
  const auto started = Clock::now();
  auto rows = m_plda.transform(state.pendingEmbeddings, state.cancellation);
  state.pldaSeconds += secondsSince(started);
  state.pldaRows += static_cast<int64_t>(rows.size());
  ++state.pldaBatches;
  if (rows.size() != state.pendingRecords.size()) {
    throw OfflineDiarizationError::processingFailed("PldaRho batch size mismatch (expected " +
                                                    std::to_string(state.pendingRecords.size()) + ", got " +
                                                    std::to_string(rows.size()) + ")");
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    auto& record = state.pendingRecords[i];
    TimedEmbedding embedding;
    embedding.chunkIndex = record.chunkIndex;
    embedding.speakerIndex = record.speakerIndex;
    embedding.startFrame = record.startFrame;
    embedding.endFrame = record.endFrame;
    embedding.frameWeights = std::move(record.frameWeights);
    embedding.startTime = record.startTime;
    embedding.endTime = record.endTime;
    embedding.embedding256 = std::move(state.pendingEmbeddings[i]);
    embedding.rho128 = std::move(rows[i]);
    state.results.push_back(std::move(embedding));
  }
  state.pendingEmbeddings.clear();
  state.pendingRecords.clear();
}

}  // namespace voxtrellis
