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
#include <stop_token>
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

  // Loads the named compiled models of the repository folder. Returns file name → model.
  using RepoLoader = std::function<std::map<std::string, std::shared_ptr<OnnxModel>>(
      const std::vector<std::string>& modelNames, const std::filesystem::path& repoFolder, ComputeUnits units)>;

  // The engine's model cache: $XDG_DATA_HOME (else ~/.local/share) / "Voxtrellis" / "Models".
  static std::filesystem::path defaultModelsDirectory();

  // Loads the bundle from `directory` (default: defaultModelsDirectory()),
  // through `loader` from its "speaker-diarization-onnx" folder, which is
  // fetched as DownloadUtils::loadModels does when a file of it (the PLDA
  // parameters included) is missing or does not load. The compute units are
  // fixed per model. Each model's inputs and outputs are checked here. Throws
  // OfflineDiarizationError (modelNotLoaded), ModelRuntimeError
  // (interfaceMismatch naming the file), ModelFileError and the download's
  // errors. A stop asked for through `stop` ends a download under way within
  // about a second (DownloadUtils::DownloadStopped).
  static OfflineDiarizerModels load(const std::optional<std::filesystem::path>& directory,
                                    const RepoLoader& loader = {}, std::stop_token stop = {});

  // Loads the bundle as load() does from a whole fresh copy of the diarizer's
  // repository folder in `directory` (default: defaultModelsDirectory()),
  // downloaded first, which takes the folder's place once it loads. Throws the
  // download's errors, or the copy's load error, with every file in place
  // kept.
  static OfflineDiarizerModels loadFreshCopy(const std::optional<std::filesystem::path>& directory,
                                             std::stop_token stop = {});

  // The psi vector of the first "plda-parameters.json" found in the
  // directory, "speaker-diarization-onnx/" or "speaker-diarization-offline/".
  // Throws OfflineDiarizationError (processingFailed) and JSON errors.
  static std::vector<double> loadPLDAPsi(const std::filesystem::path& directory);

  // The loader used when none is given: RepositoryCache::loadModelFolders.
  static RepoLoader defaultRepoLoader();
};

}  // namespace voxtrellis
