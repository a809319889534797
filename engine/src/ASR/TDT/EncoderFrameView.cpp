#include "ASR/TDT/EncoderFrameView.h"

#include <voxtrellis/ASRError.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace voxtrellis {

std::string shapeList(const std::vector<int64_t>& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  return s + "]";
}

std::string shapeString(const std::vector<int64_t>& shape) {
  std::string s;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) s += "x";
    s += std::to_string(shape[i]);
  }
  return s;
}

EncoderFrameView::EncoderFrameView(const Tensor& encoderOutput, int64_t validLength) : m_array(encoderOutput) {
  const auto& shape = encoderOutput.shape();
  if (shape.size() != 3) {
    throw ASRError::processingFailed("Invalid encoder output shape: " + shapeList(shape));
  }
  if (shape[0] != 1) {
    throw ASRError::processingFailed("Unsupported batch dimension: " + std::to_string(shape[0]));
  }
  if (shape[1] == hiddenSize) {
    m_hiddenAxis = 1;
    m_timeAxis = 2;
  } else if (shape[2] == hiddenSize) {
    m_hiddenAxis = 2;
    m_timeAxis = 1;
  } else {
    throw ASRError::processingFailed("Encoder hidden size mismatch: " + shapeList(shape));
  }
  // Dense row-major strides.
  const int64_t strides[3] = {shape[1] * shape[2], shape[2], 1};
  m_timeStride = strides[m_timeAxis];
  m_hiddenStride = strides[m_hiddenAxis];
  m_frameCount = std::min(shape[m_timeAxis], validLength);
  if (m_frameCount < 1) {
    throw ASRError::processingFailed("Encoder output has no frames");
  }
  if (encoderOutput.type() != ElementType::float32) {
    throw ASRError::processingFailed("Unsupported encoder output type: " +
                                     std::string(elementTypeName(encoderOutput.type())));
  }
  m_base = encoderOutput.data<float>();
  m_baseOffset = 0;
}

void EncoderFrameView::copyFrame(int64_t t, float* destination, int64_t destinationStride) const {
  if (t < 0 || t >= m_frameCount) {
    throw ASRError::processingFailed("Encoder frame index out of range: " + std::to_string(t));
  }
  if (m_hiddenStride == 0) {
    throw ASRError::processingFailed("Invalid hidden stride: 0");
  }
  constexpr int64_t limit = std::numeric_limits<int32_t>::max();
  if (hiddenSize > limit) throw ASRError::processingFailed("Hidden size exceeds supported range");
  if (m_hiddenStride > limit) throw ASRError::processingFailed("Hidden stride exceeds supported range");
  if (destinationStride > limit) throw ASRError::processingFailed("Destination stride exceeds supported range");

  const float* source = m_base + m_baseOffset + t * m_timeStride;
  if (m_hiddenStride == 1 && destinationStride == 1) {
    if (source != destination) {
      std::memcpy(destination, source, hiddenSize * sizeof(float));
    }
    return;
  }
  for (int64_t h = 0; h < hiddenSize; ++h) {
    destination[h * destinationStride] = source[h * m_hiddenStride];
  }
}

}  // namespace voxtrellis
