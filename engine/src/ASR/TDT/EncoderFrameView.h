#pragma once

#include "Onnx/Tensor.h"

#include <cstddef>
#include <cstdint>

namespace voxtrellis {

// Read-only strided view of one encoder output ([1, 1024, T] or [1, T, 1024],
// float32, dense row-major). Keeps the output alive.
class EncoderFrameView {
 public:
  static constexpr int64_t hiddenSize = 1024;

  // Throws ASRError::processingFailed for a shape, batch, hidden size or
  // element type the decoder cannot read, or when no frame is valid.
  EncoderFrameView(const Tensor& encoderOutput, int64_t validLength);

  int64_t frameCount() const { return m_frameCount; }
  int timeAxis() const { return m_timeAxis; }
  int hiddenAxis() const { return m_hiddenAxis; }
  int64_t timeStride() const { return m_timeStride; }
  int64_t hiddenStride() const { return m_hiddenStride; }

  // Copies the 1024 floats of frame t to `destination`, whose elements lie
  // `destinationStride` apart. Throws ASRError::processingFailed for a frame
  // outside 0...frameCount-1.
  void copyFrame(int64_t t, float* destination, int64_t destinationStride) const;

 private:
  Tensor m_array;
  const float* m_base = nullptr;
  int64_t m_frameCount = 0;
  int m_timeAxis = 2;
  int m_hiddenAxis = 1;
  int64_t m_timeStride = 1;
  int64_t m_hiddenStride = 1;
  int64_t m_baseOffset = 0;
};

// "[1, 640, 1]" -- the list form used in error messages.
std::string shapeList(const std::vector<int64_t>& shape);
// "1x640x1" -- the compact form used in error messages.
std::string shapeString(const std::vector<int64_t>& shape);

}  // namespace voxtrellis
