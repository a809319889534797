#pragma once

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/OfflineDiarizerConfig.h>

#include "Diarizer/Offline/Core/OfflineStageTypes.h"
#include "Diarizer/Offline/Core/PipelineSupport.h"
#include "Diarizer/Offline/Extraction/OfflineEmbeddingModel.h"
#include "Diarizer/Offline/Extraction/OfflineFbankModel.h"
#include "Diarizer/Offline/Extraction/PLDATransform.h"
#include "Shared/ANEMemoryOptimizer.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace voxtrellis {

// Turns every active local speaker of every segmentation window into a
// 256-value voice vector (FBank "audio" → "fbank_features"; Embedding
// "fbank_features" + "weights" → "embedding") and its 128 PLDA features.
// One extractor per run, used by one thread.
class OfflineEmbeddingExtractor {
 public:
  // The next chunk, or none at the end of the stream; may throw the stream's error.
  using ChunkSource = std::function<std::optional<SegmentationChunk>()>;

  // The models' interfaces were checked when they loaded. Throws
  // OfflineDiarizationError::processingFailed (after an error log) for a
  // missing model.
  OfflineEmbeddingExtractor(std::shared_ptr<OfflineFbankModel> fbankModel,
                            std::shared_ptr<OfflineEmbeddingModel> embeddingModel, PLDATransform pldaTransform,
                            OfflineDiarizerConfig config);

  // Embeddings in chunk order, ascending local slot within a chunk. Throws
  // OfflineDiarizationError, model, source and stream errors, DiarizationCancelled.
  std::vector<TimedEmbedding> extractEmbeddings(const SampleReader& audio, const ChunkSource& segmentationStream,
                                                const CancellationFlag* cancellation = nullptr) const;
  // In-memory convenience over a finished segmentation.
  std::vector<TimedEmbedding> extractEmbeddings(const std::vector<float>& audio,
                                                const SegmentationOutput& segmentation) const;

  const std::vector<int64_t>& fbankInputShape() const { return m_fbankInputShape; }
  const std::vector<int64_t>& weightInputShape() const { return m_weightInputShape; }
  int64_t audioSampleCount() const { return m_audioSampleCount; }
  int64_t weightFrameCount() const { return m_weightFrameCount; }

  // Shape rules for declared model shapes (open dimensions are −1).
  static int64_t resolveElementCount(const std::vector<int64_t>& shape, int64_t fallback);
  static std::vector<int64_t> sanitizedShape(const std::vector<int64_t>& shape, const std::vector<int64_t>& fallback);

 private:
  struct State;
  void flushFbank(State& state) const;
  void processChunk(State& state, int chunkIndex, double offset, double frameDuration,
                    const std::vector<std::vector<float>>& weights, const Tensor& fbankFeatures) const;
  void flushPending(State& state) const;
  std::vector<float> runEmbeddingModel(const Tensor& fbankFeatures, const std::vector<float>& weights) const;

  std::shared_ptr<OfflineFbankModel> m_fbankModel;
  std::shared_ptr<OfflineEmbeddingModel> m_embeddingModel;
  PLDATransform m_plda;
  OfflineDiarizerConfig m_config;
  AppLogger m_logger;
  std::shared_ptr<ANEMemoryOptimizer> m_memoryOptimizer;
  std::vector<int64_t> m_fbankInputShape;
  std::vector<int64_t> m_weightInputShape;
  int64_t m_audioSampleCount = 1;
  int64_t m_weightFrameCount = 1;
  int m_modelBatchLimit = 1;
  int m_fbankBatchLimit = 1;
};

}  // namespace voxtrellis
