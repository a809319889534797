#include "Diarizer/Offline/Extraction/PLDATransform.h"

#include "Shared/MLMultiArrayTensor.h"

#include <voxtrellis/OfflineDiarizationError.h>

#include <cmath>

namespace voxtrellis {

PLDATransform::PLDATransform(std::shared_ptr<PldaRhoModel> model, std::vector<double> psi)
    : m_model(std::move(model)),
      m_psi(std::move(psi)),
      m_memoryOptimizer(std::make_shared<ANEMemoryOptimizer>()),
      m_logger("OfflinePLDA") {
  if (!m_model) {
    throw OfflineDiarizationError::processingFailed("PldaRho model is missing `embeddings` multiarray input");
  }
}

std::vector<std::vector<double>> PLDATransform::transform(const std::vector<std::vector<float>>& embeddings,
                                                          const CancellationFlag* cancellation) const {
  if (embeddings.empty()) return {};
  for (const auto& embedding : embeddings) {
    if (embedding.size() != static_cast<std::size_t>(embeddingDimension)) {
      throw OfflineDiarizationError::invalidConfiguration("Expected 256-dim embeddings, got " +
                                                          std::to_string(embedding.size()));
    }
  }
  try {
    performWarmup();
  } catch (const std::exception& error) {
    m_logger.debug(std::string("PLDA warmup skipped due to error: ") + error.what());
  }
  std::vector<std::vector<double>> rows;
  rows.reserve(embeddings.size());
  for (std::size_t begin = 0; begin < embeddings.size(); begin += maxBatchSize) {
    throwIfCancelled(cancellation);
    const std::size_t end = std::min(begin + maxBatchSize, embeddings.size());
    auto batch = transformBatch(embeddings, begin, end);
    for (auto& row : batch) rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<double> PLDATransform::transform(const std::vector<float>& embedding) const {
  if (embedding.size() != static_cast<std::size_t>(embeddingDimension)) {
    throw OfflineDiarizationError::invalidConfiguration("Expected 256-dim embedding, got " +
                                                        std::to_string(embedding.size()));
  }
  auto rows = transform(std::vector<std::vector<float>>{embedding});
  return rows.empty() ? std::vector<double>{} : rows.front();
}

std::vector<std::vector<double>> PLDATransform::transformBatch(const std::vector<std::vector<float>>& embeddings,
                                                               std::size_t begin, std::size_t end) const {
  const std::size_t n = end - begin;
  if (n == 0) return {};
  if (n > static_cast<std::size_t>(maxBatchSize)) {
    throw OfflineDiarizationError::invalidBatchSize("PldaRho batch size must be <= 32, got " + std::to_string(n));
  }
  auto input = m_memoryOptimizer->createAlignedArray({static_cast<int64_t>(n), embeddingDimension},
                                                     MLMultiArrayDataType::float32);
  const int64_t rowStride = input->strides().front();
  for (std::size_t i = 0; i < n; ++i) {
    std::copy(embeddings[begin + i].begin(), embeddings[begin + i].end(),
              input->dataAs<float>() + static_cast<int64_t>(i) * rowStride);
  }
  const Tensor rho = m_model->predict(denseTensor(input));
  if (rho.empty()) {
    throw OfflineDiarizationError::processingFailed("PldaRho model did not produce rho output");
  }
  const std::vector<float> values = rho.toFloats();
  const std::size_t needed = n * rhoDimension;
  if (values.size() < needed) {
    throw OfflineDiarizationError::processingFailed("PldaRho model returned " + std::to_string(values.size()) +
                                                    " values for " + std::to_string(n) + " embeddings (expected " +
                                                    std::to_string(needed) + ")");
  }
  std::vector<std::vector<double>> rows(n);
  for (std::size_t i = 0; i < n; ++i) {
    rows[i].assign(values.begin() + static_cast<std::ptrdiff_t>(i * rhoDimension),
                   values.begin() + static_cast<std::ptrdiff_t>((i + 1) * rhoDimension));
  }
  return rows;
}

void PLDATransform::performWarmup() const {
  auto buffer =
      m_memoryOptimizer->getPooledBuffer("offline_plda_warmup_embedding_" + std::to_string(embeddingDimension),
                                         {1, embeddingDimension}, MLMultiArrayDataType::float32);
  std::fill_n(buffer->dataAs<float>(), embeddingDimension, 0.0f);
  (void)m_model->predict(denseTensor(buffer));
}

double PLDATransform::score(const std::vector<double>& a, const std::vector<double>& b) const {
  if (a.size() != static_cast<std::size_t>(rhoDimension) || b.size() != a.size()) return 0;
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ab += a[i] * b[i];
    aa += a[i] * a[i];
    bb += b[i] * b[i];
  }
  const double denominator = std::sqrt(aa) * std::sqrt(bb);
  return denominator > 0 ? ab / denominator : 0;
}

}  // namespace voxtrellis
