#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace voxtrellis {

// One analysed segmentation window.
struct SegmentationChunk {
  int chunkIndex = 0;                              // position of the window, from 0
  double chunkOffsetSeconds = 0;                   // window start in the audio
  double frameDuration = 0;                        // seconds per output frame
  std::vector<std::vector<float>> logProbs;        // frames × classes
  std::vector<std::vector<float>> speakerWeights;  // frames × local speakers, 0...1
};

// The chunk handler's answer.
enum class SegmentationChunkContinuation { continueProcessing, stop };

// All windows of one segmentation run.
struct SegmentationOutput {
  std::vector<std::vector<std::vector<float>>> logProbs;        // windows × frames × classes
  std::vector<std::vector<std::vector<float>>> speakerWeights;  // windows × frames × local speakers
  int numChunks = 0;
  int numFrames = 0;
  int numSpeakers = 0;
  std::vector<double> chunkOffsets;  // seconds, one per window
  double frameDuration = 0;          // seconds per frame
};

// One voice vector of one local speaker in one window.
struct TimedEmbedding {
  int chunkIndex = 0;
  int speakerIndex = 0;
  int startFrame = 0;  // first frame where the speaker's mask is active
  int endFrame = 0;    // last such frame (inclusive)
  std::vector<float> frameWeights;
  double startTime = 0;  // seconds
  double endTime = 0;    // seconds
  std::vector<float> embedding256;
  std::vector<double> rho128;
};

// Result of the VBx refinement.
struct VBxOutput {
  std::vector<std::vector<double>> gamma;      // embeddings × speakers
  std::vector<double> pi;                      // speaker weights
  std::vector<std::vector<int>> hardClusters;  // one row of labels
  std::vector<std::vector<double>> centroids;  // set only after a speaker-count correction
  int numClusters = 0;
  std::vector<double> elbos;
  bool wasAdjusted = false;
  std::optional<int> originalClusterCount;
};

}  // namespace voxtrellis
