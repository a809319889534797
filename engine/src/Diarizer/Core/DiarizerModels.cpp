#include <voxtrellis/DiarizerError.h>
#include <voxtrellis/DiarizerModels.h>
#include <voxtrellis/DownloadUtils.h>
#include <voxtrellis/ModelNames.h>

#include "Diarizer/Extraction/WeSpeakerEmbeddingModel.h"
#include "Diarizer/Segmentation/PyannoteSegmentationModel.h"
#include "Shared/AppLogger.h"
#include "Shared/Elapsed.h"

#include <chrono>
#include <cstdlib>

namespace voxtrellis {

namespace {

const AppLogger& logger() {
  static const AppLogger instance("DiarizerModels");
  return instance;
}

}  // namespace

const std::set<std::string>& DiarizerModels::requiredModelNames() {
  return ModelNames::Diarizer::requiredModels();
}

DiarizerModels DiarizerModels::download(const std::optional<std::filesystem::path>& directory,
                                        const std::optional<DiarizerModelConfiguration>& configuration) {
  logger().info("Checking for diarizer models...");
  const auto start = std::chrono::steady_clock::now();
  const auto folder = directory.value_or(defaultModelsDirectory());
  const auto config = configuration.value_or(defaultConfiguration());
  const std::vector<std::string> names(requiredModelNames().begin(), requiredModelNames().end());
  // The service adds the repository's folder name itself.
  auto loaded = DownloadUtils::loadModels(Repo::diarizer, names, folder.parent_path(), config.computeUnits);
  const auto segmentation = loaded.find(ModelNames::Diarizer::segmentationFile);
  const auto embedding = loaded.find(ModelNames::Diarizer::embeddingFile);
  if (segmentation == loaded.end() || embedding == loaded.end() || !segmentation->second || !embedding->second) {
    throw DiarizerError::modelDownloadFailed();
  }
  DiarizerModels models;
  models.segmentationModel = PyannoteSegmentationModel::fromModel(segmentation->second);
  models.embeddingModel = WeSpeakerEmbeddingModel::fromModel(embedding->second);
  models.compilationDuration = secondsSince(start);
  return models;
}

DiarizerModels DiarizerModels::downloadIfNeeded(const std::optional<std::filesystem::path>& directory,
                                                const std::optional<DiarizerModelConfiguration>& configuration) {
  return download(directory, configuration);
}

DiarizerModels DiarizerModels::load(const std::optional<std::filesystem::path>& directory,
                                    const std::optional<DiarizerModelConfiguration>& configuration) {
  return download(directory.value_or(defaultModelsDirectory()), configuration);
}

DiarizerModels DiarizerModels::load(const std::filesystem::path& localSegmentationModel,
                                    const std::filesystem::path& localEmbeddingModel,
                                    const std::optional<DiarizerModelConfiguration>& configuration) {
  logger().info("Loading predownloaded models");
  const auto config = configuration.value_or(defaultConfiguration());
  const auto start = std::chrono::steady_clock::now();
  DiarizerModels models;
  models.segmentationModel = PyannoteSegmentationModel::load(localSegmentationModel, config.computeUnits);
  models.embeddingModel = WeSpeakerEmbeddingModel::load(localEmbeddingModel, config.computeUnits);
  models.compilationDuration = secondsSince(start);
  return models;
}

std::filesystem::path DiarizerModels::defaultModelsDirectory() {
  return DownloadUtils::defaultModelsDirectory() / Repo(Repo::diarizer).folderName();
}

DiarizerModelConfiguration DiarizerModels::defaultConfiguration() {
  DiarizerModelConfiguration config;
  config.allowLowPrecisionAccumulationOnGPU = true;
  config.computeUnits = std::getenv("CI") != nullptr ? ComputeUnits::cpuAndNeuralEngine : ComputeUnits::all;
  return config;
}

}  // namespace voxtrellis
