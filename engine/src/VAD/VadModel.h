#pragma once

#include "Onnx/OnnxModel.h"

#include <memory>
#include <string>
#include <vector>

namespace voxtrellis {

// The voice-activity model: 64 context samples and 4096 new samples of 16 kHz
// mono audio plus a recurrent state in, a speech probability and the next
// state out.
//
// Outputs are found by their exact names, or else by the first output whose
// lower-cased name contains the expected name, so converted models that
// decorate their output names still load.
//
// Thread safety: predict may be called from several threads at once.
class VadModel {
 public:
  static constexpr int64_t inputSamples = 4160;
  static constexpr int64_t stateSize = 128;

  // Checks the interface. Throws ModelRuntimeError (interfaceMismatch) naming
  // the file when an input or output is missing or of another type or rank.
  explicit VadModel(std::shared_ptr<OnnxModel> model);

  struct Output {
    float probability = 0;
    std::vector<float> hiddenState;  // 128 values
    std::vector<float> cellState;    // 128 values
  };
  // audio: float32 [1, 4160]; hidden, cell: float32 [1, 128]. Throws
  // ModelRuntimeError for a failed run and VadError::modelProcessingFailed
  // when an output holds fewer values than promised.
  Output predict(const Tensor& audio, const Tensor& hidden, const Tensor& cell) const;

  const OnnxModel& model() const { return *m_model; }

 private:
  std::shared_ptr<OnnxModel> m_model;
  std::string m_probabilityName;
  std::string m_hiddenName;
  std::string m_cellName;
};

}  // namespace voxtrellis
