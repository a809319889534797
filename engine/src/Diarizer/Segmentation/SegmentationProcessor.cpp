#include "Diarizer/Segmentation/SegmentationProcessor.h"

#include <voxtrellis/DiarizerError.h>

#include <algorithm>
#include <array>
#include <string>

namespace voxtrellis {

SegmentationProcessor::SegmentationProcessor() : m_logger("Segmentation") {}

const std::vector<int>& SegmentationProcessor::slotsOfClass(int classIndex) {
  static const std::array<std::vector<int>, kClasses> classes = {
      std::vector<int>{}, {0}, {1}, {2}, {0, 1}, {0, 2}, {1, 2}};
  return classes.at(static_cast<std::size_t>(classIndex));
}

std::vector<std::vector<std::vector<float>>> SegmentationProcessor::getSegments(
    std::span<const float> audioChunk, const PyannoteSegmentationModel& segmentationModel, int chunkSize) {
  auto audio =
      m_memoryOptimizer.getPooledBuffer("segmentation_audio", {1, 1, chunkSize}, MLMultiArrayDataType::float32);
  float* input = audio->dataAs<float>();
  const std::size_t copied = std::min(audioChunk.size(), static_cast<std::size_t>(chunkSize));
  std::copy_n(audioChunk.begin(), copied, input);
  std::fill(input + copied, input + chunkSize, 0.0f);

  const Tensor output = segmentationModel.predict(audio);
  if (output.empty()) throw DiarizerError::processingFailed("Missing segments output from segmentation model");
  const auto& shape = output.shape();
  // The runtime checks the declared rank only when the model loads; a graph
  // may still answer with fewer frames or classes than it declares.
  if (shape.size() != 3 || shape[0] < 1 || shape[2] < kClasses) {
    throw DiarizerError::processingFailed("Segmentation output has an unexpected shape");
  }
  const int64_t frames = shape[1];
  const int64_t classes = shape[2];
  const float* scores = output.data<float>();

  // Batch 0 holds the window; further batches of a batched model stay silent.
  std::vector<std::vector<std::vector<float>>> binarized(
      static_cast<std::size_t>(shape[0]),
      std::vector<std::vector<float>>(static_cast<std::size_t>(frames), std::vector<float>(kSlots, 0.0f)));
  for (int64_t f = 0; f < frames; ++f) {
    const float* row = scores + f * classes;
    int best = 0;
    for (int k = 1; k < kClasses; ++k) {
      if (row[k] > row[best]) best = k;
    }
    for (int slot : slotsOfClass(best))
      binarized[0][static_cast<std::size_t>(f)][static_cast<std::size_t>(slot)] = 1.0f;
  }
  return binarized;
}

}  // namespace voxtrellis
