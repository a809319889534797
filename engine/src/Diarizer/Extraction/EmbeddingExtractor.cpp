#include "Diarizer/Extraction/EmbeddingExtractor.h"

#include <voxtrellis/DiarizerError.h>

#include <algorithm>
#include <numeric>
#include <string>

namespace voxtrellis {

namespace {

constexpr std::size_t kEmbedding = WeSpeakerEmbeddingModel::kEmbeddingSize;
constexpr int64_t kSamples = WeSpeakerEmbeddingModel::kWaveformSamples;

// Repeats the first `filled` values after themselves until `count` are filled.
void tile(float* values, std::size_t filled, std::size_t count) {
  while (filled < count) {
    const std::size_t n = std::min(filled, count - filled);
    std::copy_n(values, n, values + filled);
    filled += n;
  }
}

}  // namespace

EmbeddingExtractor::EmbeddingExtractor(std::shared_ptr<WeSpeakerEmbeddingModel> embeddingModel)
    : m_wespeakerModel(std::move(embeddingModel)), m_logger("EmbeddingExtractor") {
  m_logger.info("EmbeddingExtractor ready with ANE memory optimizer");
}

std::vector<std::vector<float>> EmbeddingExtractor::getEmbeddings(std::span<const float> audio,
                                                                  const std::vector<std::vector<float>>& masks,
                                                                  float minActivityThreshold) {
  if (masks.empty()) return {};
  const auto frames = static_cast<int64_t>(masks.front().size());
  auto waveform = m_memoryOptimizer.getPooledBuffer("embedding_waveform", {WeSpeakerEmbeddingModel::kRows, kSamples},
                                                    MLMultiArrayDataType::float32);
  auto mask = m_memoryOptimizer.getPooledBuffer("embedding_mask", {WeSpeakerEmbeddingModel::kRows, frames},
                                                MLMultiArrayDataType::float32);

  float* wave = waveform->dataAs<float>();
  const std::size_t copied = std::min(audio.size(), static_cast<std::size_t>(kSamples));
  std::copy_n(audio.begin(), copied, wave);
  if (copied > 0) tile(wave, copied, static_cast<std::size_t>(kSamples));

  // The share of the frames the real audio covers, rounded half up.
  const auto covered = (static_cast<int64_t>(frames) * static_cast<int64_t>(audio.size()) + kSamples / 2) / kSamples;
  const auto framesInUse = static_cast<std::size_t>(std::min<int64_t>(covered, frames));

  std::vector<std::vector<float>> embeddings;
  embeddings.reserve(masks.size());
  for (const auto& slotMask : masks) {
    const float activity = std::accumulate(slotMask.begin(), slotMask.end(), 0.0f);
    if ((!slotMask.empty() && activity < minActivityThreshold) || (slotMask.empty() && minActivityThreshold > 0)) {
      embeddings.emplace_back(kEmbedding, 0.0f);
      continue;
    }
    // Without a single frame to repeat, the mask could never be filled.
    if (frames > 0 && framesInUse == 0) {
      throw DiarizerError::processingFailed("Audio too short to cover a mask frame");
    }
    float* row = mask->dataAs<float>();
    std::fill(row, row + mask->count(), 0.0f);
    const std::size_t used = std::min(framesInUse, slotMask.size());
    std::copy_n(slotMask.begin(), used, row);
    if (used > 0) tile(row, used, static_cast<std::size_t>(frames));

    const Tensor output = m_wespeakerModel->predict(waveform, mask);
    if (output.empty()) {
      embeddings.emplace_back(kEmbedding, 0.0f);
      continue;
    }
    // Row 0 must hold a whole embedding: a narrower output would lend the
    // next row's values, a smaller one memory past its end.
    const auto& shape = output.shape();
    if (output.elementCount() < kEmbedding || shape.empty() || shape.back() < static_cast<int64_t>(kEmbedding)) {
      throw DiarizerError::processingFailed("Embedding output rows hold " +
                                            std::to_string(shape.empty() ? 0 : shape.back()) + " values, expected " +
                                            std::to_string(kEmbedding));
    }
    const float* values = output.data<float>();
    embeddings.emplace_back(values, values + kEmbedding);
  }
  return embeddings;
}

}  // namespace voxtrellis
