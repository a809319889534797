#pragma once

#include "Diarizer/Offline/Extraction/OfflineEmbeddingModel.h"
#include "Diarizer/Offline/Extraction/OfflineFbankModel.h"
#include "Diarizer/Offline/Extraction/PldaRhoModel.h"
#include "Diarizer/Offline/Segmentation/OfflineSegmentationModel.h"
#include "Onnx/OnnxModel.h"

#include <voxtrellis/ComputeUnits.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace voxtrellis {

// The four offline models and the PLDA parameter vector. Immutable; may be
// shared between threads (models are only used for predictions).
struct OfflineDiarizerModels {
  std::shared_ptr<OfflineSegmentationModel> segmentationModel;  // "Segmentation.mlmodelc", all units
  std::shared_ptr<OfflineFbankModel> fbankModel;                // "FBank.mlmodelc", cpuOnly
  std::shared_ptr<OfflineEmbeddingModel> embeddingModel;        // "Embedding.mlmodelc", all units
  std::shared_ptr<PldaRhoModel> pldaRhoModel;                   // "PldaRho.mlmodelc", all units
  std::vector<double> pldaPsi;                                  // from "plda-parameters.json"
  double compilationDuration = 0;                               // seconds the load took

  // Loads compiled models of the diarizer repository in `directory`,
  // fetching the repository first when files are missing. Returns file name → model.
  using RepoLoader = std::function<std::map<std::string, std::shared_ptr<OnnxModel>>(
      const std::vector<std::string>& modelNames, const std::filesystem::path& directory, ComputeUnits units)>;

  // The engine's model cache: $XDG_DATA_HOME (else ~/.local/share) / "Voxtrellis" / "Models".
  static std::filesystem::path defaultModelsDirectory();

  // Loads the bundle from `directory` (default: defaultModelsDirectory()).
  // The compute units are fixed per model. Each model's inputs and outputs
  // are checked here. Throws OfflineDiarizationError (modelNotLoaded,
  // processingFailed), ModelRuntimeError (interfaceMismatch naming the file),
  // the loader's errors and JSON errors.
  static OfflineDiarizerModels load(const std::optional<std::filesystem::path>& directory,
                                    const RepoLoader& loader = {});

  // The psi vector of the first "plda-parameters.json" found in the
  // directory, "speaker-diarization-onnx/" or "speaker-diarization-offline/".
  static std::vector<double> loadPLDAPsi(const std::filesystem::path& directory);

  // The loader used when none is given: the engine's model download service.
  static RepoLoader defaultRepoLoader();
};

}  // namespace voxtrellis
