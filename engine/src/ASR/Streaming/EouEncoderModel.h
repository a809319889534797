#pragma once

#include "Onnx/OnnxModel.h"

#include <memory>

namespace voxtrellis {

// The cache-aware streaming encoder of the end-of-utterance recogniser: one
// chunk's log-mel features [1, 128, T] and their length [1] in, with four
// caches carried from the previous chunk; the encoded chunk [1, H, frames]
// and the next caches out.
//
// Thread safety: predict may be called from several threads at once.
class EouEncoderModel {
 public:
  // Throws ModelRuntimeError (interfaceMismatch) naming the file.
  explicit EouEncoderModel(std::shared_ptr<OnnxModel> model);

  struct Caches {
    Tensor preCache;           // float32 [1, 128, pre-cache frames]
    Tensor lastChannel;        // float32 [17, 1, 70, 512]
    Tensor lastTime;           // float32 [17, 1, 512, 8]
    Tensor lastChannelLength;  // int32 [1]
  };
  // Zero-filled caches with the given pre-cache size.
  static Caches zeroCaches(int preCacheSize);

  struct Output {
    Tensor encoded;  // float32 [1, H, frames]; empty when the model gave none
    Caches caches;   // the next caches; a cache the model did not return is the given one
  };
  // Throws ModelRuntimeError for a failed run and ASRError (processingFailed)
  // for a returned cache of another size than the one it replaces.
  Output predict(const Tensor& mel, int32_t melLength, const Caches& caches) const;

 private:
  std::shared_ptr<OnnxModel> m_model;
};

}  // namespace voxtrellis
