#pragma once

#include <voxtrellis/MLMultiArray.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace voxtrellis {

class OnnxModel;

// The tokens of one decoded chunk.
struct DecodeResult {
  std::vector<int> tokenIds;  // in order; never blank or end of utterance
  bool eouDetected = false;   // the joint network chose the end-of-utterance token
};

// Greedy transducer decoding for the end-of-utterance recogniser, with a
// prediction network (one recurrent layer, state width 640) and a joint
// network that returns the chosen token. Token 1024 ends the utterance and
// stops the chunk at once; 1026 is the blank. At most two tokens per frame.
//
// The last token and the recurrent state carry from call to call until
// resetState(). A call either succeeds as a whole or, when a model fails,
// throws and leaves that state exactly as it found it, so the chunk can be
// decoded again without losing or doubling tokens.
//
// Not safe for concurrent use.
class RnntDecoder {
 public:
  static constexpr int blankId = 1026;
  static constexpr int eouId = 1024;
  static constexpr int maxSymbolsPerStep = 2;
  static constexpr int hiddenSize = 640;

  // Throws ModelRuntimeError (interfaceMismatch) when either model has
  // another interface.
  RnntDecoder(std::shared_ptr<OnnxModel> decoderModel, std::shared_ptr<OnnxModel> jointModel);
  ~RnntDecoder();
  RnntDecoder(const RnntDecoder&) = delete;
  RnntDecoder& operator=(const RnntDecoder&) = delete;

  // Zero state, last token blank.
  void resetState();

  // Decodes frames skipFrames ... min(validOutLen, T) - 1 of a float32
  // encoder output [1, H, T] (read through its strides). `timeOffset` is
  // accepted for symmetry and not used. Throws ASRError (processingFailed)
  // for an encoder output of another shape, and the models' errors.
  DecodeResult decodeWithEOU(const MLMultiArray& encoderOutput, int timeOffset, int skipFrames,
                             std::optional<int> validOutLen = std::nullopt);
  // The tokens alone.
  std::vector<int> decode(const MLMultiArray& encoderOutput, int timeOffset, int skipFrames,
                          std::optional<int> validOutLen = std::nullopt);

  // The carried state, for inspection.
  int32_t lastToken() const;
  const std::vector<float>& hiddenState() const;
  const std::vector<float>& cellState() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace voxtrellis
