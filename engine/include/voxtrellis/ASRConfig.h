#pragma once

#include <vector>

namespace voxtrellis {

// Limits of the greedy token-and-duration decoder.
struct TdtConfig {
  // Bounds the streaming duplicate search; the decoder itself does not read it.
  bool includeTokenDuration = true;
  // Most tokens on one encoder frame before the frame is forced forward; also
  // the most steps of the last-chunk flush.
  int maxSymbolsPerStep = 10;
  // Frames skipped for each duration bin the joint model returns.
  std::vector<int> durationBins = {0, 1, 2, 3, 4};
  // Blank token id of version-3 models (version-2 models use 1024).
  int blankId = 8192;
  // How many start positions the streaming duplicate search tries.
  int boundarySearchFrames = 20;
  // Most tokens the main decoding loop emits for one chunk.
  int maxTokensPerChunk = 150;
  // Blanks in a row that end the last-chunk flush.
  int consecutiveBlankLimit = 5;

  static const TdtConfig& defaults();

  friend bool operator==(const TdtConfig&, const TdtConfig&) = default;
};

// The recogniser's configuration.
struct ASRConfig {
  int sampleRate = 16000;
  TdtConfig tdtConfig;

  static const ASRConfig& defaults();

  friend bool operator==(const ASRConfig&, const ASRConfig&) = default;
};

}  // namespace voxtrellis
