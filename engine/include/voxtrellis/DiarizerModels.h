#pragma once

#include <voxtrellis/ComputeUnits.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace voxtrellis {

class PyannoteSegmentationModel;
class WeSpeakerEmbeddingModel;

// How the chunked diarizer's models run.
struct DiarizerModelConfiguration {
  ComputeUnits computeUnits = ComputeUnits::all;
  bool allowLowPrecisionAccumulationOnGPU = true;
};

// The chunked diarizer's two loaded models: "pyannote_segmentation.mlmodelc"
// and "wespeaker_v2.mlmodelc" of the model repository
// "speaker-diarization-onnx". Each checks its inputs and outputs when it
// loads. Immutable once made; may be shared between diarizers and threads.
struct DiarizerModels {
  std::shared_ptr<PyannoteSegmentationModel> segmentationModel;
  std::shared_ptr<WeSpeakerEmbeddingModel> embeddingModel;
  double compilationDuration = 0;  // seconds from the download check to the end of loading

  static const std::set<std::string>& requiredModelNames();

  // Makes sure `directory` (default: defaultModelsDirectory()) holds both
  // models, fetching the repository from the model hub when files are
  // missing, and loads them. Throws DiarizerError::modelDownloadFailed when
  // a model is missing afterwards, and the download service's and the model
  // runtime's errors unchanged (ModelRuntimeError interfaceMismatch names a
  // model file whose inputs or outputs differ).
  static DiarizerModels download(const std::optional<std::filesystem::path>& directory = std::nullopt,
                                 const std::optional<DiarizerModelConfiguration>& configuration = std::nullopt);
  static DiarizerModels downloadIfNeeded(const std::optional<std::filesystem::path>& directory = std::nullopt,
                                         const std::optional<DiarizerModelConfiguration>& configuration = std::nullopt);
  static DiarizerModels load(const std::optional<std::filesystem::path>& directory = std::nullopt,
                             const std::optional<DiarizerModelConfiguration>& configuration = std::nullopt);
  // Loads two compiled-model folders as they are, without any download.
  // Throws the model runtime's errors.
  static DiarizerModels load(const std::filesystem::path& localSegmentationModel,
                             const std::filesystem::path& localEmbeddingModel,
                             const std::optional<DiarizerModelConfiguration>& configuration = std::nullopt);

  // <data home>/Voxtrellis/Models/speaker-diarization-onnx.
  static std::filesystem::path defaultModelsDirectory();
  // cpuAndNeuralEngine when the environment holds "CI" (any value), else all units.
  static DiarizerModelConfiguration defaultConfiguration();
};

}  // namespace voxtrellis
