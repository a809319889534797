#pragma once

#include <optional>
#include <vector>

namespace voxtrellis {

// The token-and-duration decoder's carried state: the prediction network's
// two-layer LSTM state and what it last saw. A plain value: copying a state
// copies its arrays, so a copy can never be changed through another.
struct TdtDecoderState {
  static constexpr int layerCount = 2;
  static constexpr int hiddenSize = 640;
  static constexpr int stateElementCount = layerCount * hiddenSize;  // shape [2, 1, 640]

  std::vector<float> hiddenState;  // float32 [2, 1, 640]
  std::vector<float> cellState;    // float32 [2, 1, 640]
  std::optional<int> lastToken;    // none before the first emission
  // The prediction network's output for lastToken (640 floats), cached so the
  // network need not run again for it.
  std::optional<std::vector<float>> predictorOutput;
  // Frames by which the previous chunk's decoding went past its end; none
  // after a last chunk.
  std::optional<int> timeJump;

  // A zeroed state. Throws ASRError::processingFailed ("Failed to allocate
  // decoder state: ...") when its arrays cannot be allocated.
  static TdtDecoderState make();

  // Zeroes both arrays (keeping them) and clears lastToken, predictorOutput and timeJump.
  void reset();

  friend bool operator==(const TdtDecoderState&, const TdtDecoderState&) = default;
};

// One chunk's decoding result.
struct TdtHypothesis {
  float score = 0;                              // sum of the emitted tokens' confidences
  std::vector<int> tokenIds;                    // emitted token ids, in order
  std::optional<TdtDecoderState> decoderState;  // the working state at the end of the chunk
  std::vector<int> timestamps;                  // encoder frame of each token plus the global offset
  std::vector<int> tokenDurations;              // always empty from this decoder
  std::vector<float> confidences;               // clamped probability of each token
  std::optional<int> lastToken;
};

}  // namespace voxtrellis
