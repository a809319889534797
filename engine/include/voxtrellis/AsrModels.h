#pragma once

#include <voxtrellis/ComputeUnits.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <stop_token>
#include <string>

namespace voxtrellis {

class TdtPreprocessorModel;
class TdtEncoderModel;
class TdtDecoderModel;
class TdtJointModel;

// Which generation of the recognition models; chooses the repository, the
// cache folder, the blank id and the decoder variant.
enum class AsrModelVersion { v2, v3 };

// How the recognition models are run.
struct AsrModelConfiguration {
  ComputeUnits computeUnits = ComputeUnits::cpuAndNeuralEngine;
  bool allowLowPrecisionAccumulationOnGPU = true;
};

// Failures of finding, downloading and loading the recognition models.
class AsrModelsError : public std::runtime_error {
 public:
  enum class Code { modelNotFound, downloadFailed, loadingFailed, modelCompilationFailed };

  static AsrModelsError modelNotFound(const std::string& name, const std::filesystem::path& location);
  static AsrModelsError downloadFailed(const std::string& message);
  static AsrModelsError loadingFailed(const std::string& message);
  static AsrModelsError modelCompilationFailed(const std::string& message);

  Code code() const { return m_code; }
  std::string errorDescription() const { return what(); }

 private:
  AsrModelsError(Code code, const std::string& description) : std::runtime_error(description), m_code(code) {}
  Code m_code;
};

// The recogniser's four loaded models, their configuration, the vocabulary
// (token id to piece; "▁" marks a word start) and the model version.
//
// Folder convention: an operation given a folder F for a version works on
// R = parent(F) / <the version's folder name> and hands parent(F) to the model
// loader, which appends the folder name itself.
struct AsrModels {
  std::shared_ptr<TdtEncoderModel> encoder;
  std::shared_ptr<TdtPreprocessorModel> preprocessor;
  std::shared_ptr<TdtDecoderModel> decoder;
  std::shared_ptr<TdtJointModel> joint;
  AsrModelConfiguration configuration;
  std::map<int64_t, std::string> vocabulary;
  AsrModelVersion version = AsrModelVersion::v3;

  bool usesSplitFrontend() const { return true; }

  static const std::set<std::string>& requiredModelNames();
  static std::string folderName(AsrModelVersion version);

  // <data home>/Voxtrellis/Models/<folder name of the version>.
  static std::filesystem::path defaultCacheDirectory(AsrModelVersion version = AsrModelVersion::v3);
  static AsrModelConfiguration defaultConfiguration();
  // Processor only when the environment holds "CI" (any value).
  static AsrModelConfiguration optimizedConfiguration(bool enableFP16);

  // Makes sure the four models and the vocabulary are in the cache and load,
  // fetching the repository when one is missing or does not load (a
  // vocabulary that does not parse included), as DownloadUtils::loadModels
  // does. `force` first fetches a whole fresh copy of the version's folder
  // (never of the given folder itself), which takes its place only once it is
  // complete and loads. Returns the folder. Throws ModelFileError (a file of
  // the folder in place that is missing or does not load, when no copy that
  // loads could be had) and the loader's errors; a forced download that cannot
  // be had, or does not load, throws its error with every file in place kept.
  // A stop asked for through `stop` ends a download under way within about a
  // second (DownloadUtils::DownloadStopped).
  static std::filesystem::path download(const std::optional<std::filesystem::path>& directory = std::nullopt,
                                        bool force = false, AsrModelVersion version = AsrModelVersion::v3,
                                        std::stop_token stop = {});
  // Loads the four models and the vocabulary, fetching the repository as
  // download() does. Each model's inputs and outputs are checked as part of
  // that load, so a model of another interface is taken like a damaged file:
  // a hub's copy that loads mends it, and otherwise a ModelFileError names it.
  // Throws AsrModelsError (loadingFailed, modelNotFound) and the loader's
  // errors.
  static AsrModels load(const std::filesystem::path& directory,
                        const std::optional<AsrModelConfiguration>& configuration = std::nullopt,
                        AsrModelVersion version = AsrModelVersion::v3, std::stop_token stop = {});
  static AsrModels downloadAndLoad(const std::optional<std::filesystem::path>& directory = std::nullopt,
                                   const std::optional<AsrModelConfiguration>& configuration = std::nullopt,
                                   AsrModelVersion version = AsrModelVersion::v3);
  static AsrModels loadFromCache(const std::optional<AsrModelConfiguration>& configuration = std::nullopt,
                                 AsrModelVersion version = AsrModelVersion::v3);
  static AsrModels loadWithAutoRecovery(const std::optional<std::filesystem::path>& directory = std::nullopt,
                                        const std::optional<AsrModelConfiguration>& configuration = std::nullopt);
  static AsrModels loadWithANEOptimization(const std::optional<std::filesystem::path>& directory = std::nullopt,
                                           bool enableFP16 = true);

  // True when the four model folders exist and "parakeet_vocab.json" parses
  // (a vocabulary cut short counts as missing).
  static bool modelsExist(const std::filesystem::path& directory, AsrModelVersion version);
  static bool modelsExist(const std::filesystem::path& directory);
  // Loads each model of the default cache once on the processor. Never throws.
  static bool isModelValid(AsrModelVersion version = AsrModelVersion::v3);

  // Reads "parakeet_vocab.json" from R. Throws modelNotFound or loadingFailed.
  static std::map<int64_t, std::string> loadVocabulary(const std::filesystem::path& directory, AsrModelVersion version);
  // The version whose folder name occurs in the path (v2 tried first).
  static std::optional<AsrModelVersion> inferredVersion(const std::filesystem::path& directory);
};

}  // namespace voxtrellis
