#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace voxtrellis {

// Settings of the chunked streaming diarizer. All fields may be changed.
struct DiarizerConfig {
  float clusteringThreshold = 0.7f;
  float minSpeechDuration = 1.0f;           // seconds
  float minEmbeddingUpdateDuration = 2.0f;  // seconds
  float minSilenceGap = 0.5f;               // seconds
  int numClusters = -1;                     // -1: the number of speakers is not fixed
  float minActiveFramesCount = 10.0f;
  bool debugMode = false;
  float chunkDuration = 10.0f;  // seconds; whole seconds count, at most the models' 10
  float chunkOverlap = 0.0f;    // seconds

  static DiarizerConfig defaultConfig() { return {}; }
};

// Files of the chunked diarizer's two models.
struct ModelPaths {
  std::filesystem::path segmentationPath;
  std::filesystem::path embeddingPath;
};

// Outcome of checking audio before diarization.
struct AudioValidationResult {
  bool isValid = false;
  float durationSeconds = 0;
  std::vector<std::string> issues;  // one text per problem found
};

}  // namespace voxtrellis
