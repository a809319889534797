#include <voxtrellis/AsrModels.h>

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/DownloadUtils.h>
#include <voxtrellis/FileSystemError.h>

#include "ASR/TDT/TdtDecoderModel.h"
#include "ASR/TDT/TdtEncoderModel.h"
#include "ASR/TDT/TdtJointModel.h"
#include "ASR/TDT/TdtPreprocessorModel.h"
#include "Models/RepositoryCache.h"
#include "Models/RepositoryFiles.h"
#include "Onnx/OnnxModel.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tuple>

namespace voxtrellis {

namespace fs = std::filesystem;

namespace {

const AppLogger& modelsLogger() {
  static const AppLogger logger("AsrModels");
  return logger;
}

constexpr const char* kVocabularyFile = "parakeet_vocab.json";

// A vocabulary counts only when it parses: a transfer cut short leaves a file
// that exists but cannot serve.
bool vocabularyParses(const fs::path& file) {
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) {
    return false;
  }
  try {
    std::ifstream in(file, std::ios::binary);
    return in && !nlohmann::json::parse(in, nullptr, false).is_discarded();
  } catch (const std::exception&) {
    return false;  // unreadable counts as missing
  }
}

// Decimal parse with an optional sign, digits only, within 64 bits.
std::optional<int64_t> parseTokenId(const std::string& key) {
  if (key.empty()) return std::nullopt;
  size_t pos = 0;
  bool negative = false;
  if (key[0] == '+' || key[0] == '-') {
    negative = key[0] == '-';
    pos = 1;
  }
  if (pos >= key.size()) return std::nullopt;
  for (size_t i = pos; i < key.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(key[i]))) return std::nullopt;
  }
  // Parse with the sign attached so INT64_MIN stays representable.
  std::string digits = (negative ? "-" : "") + key.substr(pos);
  int64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

std::string lowercase(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

AsrModelsError AsrModelsError::modelNotFound(const std::string& name, const fs::path& location) {
  return AsrModelsError(Code::modelNotFound, "ASR model '" + name + "' not found at: " + location.string());
}
AsrModelsError AsrModelsError::downloadFailed(const std::string& message) {
  return AsrModelsError(Code::downloadFailed, "Failed to download ASR models: " + message);
}
AsrModelsError AsrModelsError::loadingFailed(const std::string& message) {
  return AsrModelsError(Code::loadingFailed, "Failed to load ASR models: " + message);
}
AsrModelsError AsrModelsError::modelCompilationFailed(const std::string& message) {
  return AsrModelsError(Code::modelCompilationFailed,
                        "Failed to compile ASR models: " + message + ". Try deleting the models and re-downloading.");
}

const std::set<std::string>& AsrModels::requiredModelNames() {
  static const std::set<std::string> names = {"Preprocessor.mlmodelc", "Encoder.mlmodelc", "Decoder.mlmodelc",
                                              "JointDecision.mlmodelc"};
  return names;
}

std::string AsrModels::folderName(AsrModelVersion version) {
  return version == AsrModelVersion::v2 ? "parakeet-tdt-0.6b-v2-onnx" : "parakeet-tdt-0.6b-v3-onnx";
}

AsrModelConfiguration AsrModels::defaultConfiguration() {
  return AsrModelConfiguration{ComputeUnits::cpuAndNeuralEngine, true};
}

AsrModelConfiguration AsrModels::optimizedConfiguration(bool enableFP16) {
  AsrModelConfiguration c;
  c.allowLowPrecisionAccumulationOnGPU = enableFP16;
  c.computeUnits = std::getenv("CI") != nullptr ? ComputeUnits::cpuOnly : ComputeUnits::cpuAndNeuralEngine;
  return c;
}

std::optional<AsrModelVersion> AsrModels::inferredVersion(const fs::path& directory) {
  const std::string path = lowercase(directory.string());
  for (AsrModelVersion v : {AsrModelVersion::v2, AsrModelVersion::v3}) {
    if (path.find(lowercase(folderName(v))) != std::string::npos) {
      return v;
    }
  }
  return std::nullopt;
}

namespace {
// R = parent(F) / folder name of the version.
fs::path repositoryFolder(const fs::path& directory, AsrModelVersion version) {
  fs::path f = directory;
  if (!f.has_filename() && f.has_parent_path()) {
    f = f.parent_path();  // "a/b/" names the folder b
  }
  return f.parent_path() / AsrModels::folderName(version);
}
}  // namespace

bool AsrModels::modelsExist(const fs::path& directory, AsrModelVersion version) {
  const fs::path r = repositoryFolder(directory, version);
  std::error_code ec;
  for (const auto& name : requiredModelNames()) {
    if (!fs::exists(r / name, ec)) {
      return false;
    }
  }
  return vocabularyParses(r / kVocabularyFile);
}

bool AsrModels::modelsExist(const fs::path& directory) {
  return modelsExist(directory, inferredVersion(directory).value_or(AsrModelVersion::v3));
}

std::map<int64_t, std::string> AsrModels::loadVocabulary(const fs::path& directory, AsrModelVersion version) {
  const fs::path file = repositoryFolder(directory, version) / kVocabularyFile;
  std::error_code ec;
  if (!fs::exists(file, ec)) {
    modelsLogger().warning("Vocabulary file not found at " + file.string() +
                           ". Please ensure the vocab file is downloaded with the models.");
    throw AsrModelsError::modelNotFound(kVocabularyFile, file);
  }
  nlohmann::json json;
  try {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      throw std::runtime_error("The file could not be opened.");
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    json = nlohmann::json::parse(buffer.str());
  } catch (const std::exception& e) {
    modelsLogger().error("Failed to load or parse vocabulary file at " + file.string() + ": " + e.what());
    throw AsrModelsError::loadingFailed("Vocabulary parsing failed");
  }
  std::map<int64_t, std::string> vocabulary;
  // A well-formed file of another shape yields an empty vocabulary.
  if (json.is_object()) {
    bool allStrings = true;
    for (const auto& [key, value] : json.items()) {
      if (!value.is_string()) {
        allStrings = false;
        break;
      }
    }
    if (allStrings) {
      for (const auto& [key, value] : json.items()) {
        if (auto id = parseTokenId(key)) {
          vocabulary[*id] = value.get<std::string>();
        }
      }
    }
  }
  modelsLogger().info("Loaded vocabulary with " + std::to_string(vocabulary.size()) + " tokens from " + file.string());
  return vocabulary;
}

namespace {

Repo repoFor(AsrModelVersion version) {
  return version == AsrModelVersion::v2 ? Repo::parakeetV2 : Repo::parakeet;
}

// The models root handed to the loader: parent(F). A bare folder name lies
// in the current folder; an empty root would name no folder at all.
fs::path modelsRoot(const fs::path& directory) {
  fs::path f = directory;
  if (!f.has_filename() && f.has_parent_path()) {
    f = f.parent_path();
  }
  const fs::path parent = f.parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

// The four models (the preprocessor on the processor alone, the others with `units`) and the
// vocabulary, as one load of a repository folder: a fresh copy that takes the folder's place
// midway cannot leave models of the old folder beside those of the new one. Each model class
// checks its inputs and outputs and names the file, so a model that opens but is not the one
// its name says (another revision's) fails the load like a damaged one, rather than at the
// first transcription deep in the decoder.
RepositoryCache::Load loadingInto(AsrModels& models, ComputeUnits units) {
  return [&models, units](const fs::path& repository) {
    auto loaded =
        RepositoryCache::loadModelFolders(repository, {TdtPreprocessorModel::fileName}, ComputeUnits::cpuOnly);
    loaded.merge(RepositoryCache::loadModelFolders(
        repository, {TdtEncoderModel::fileName, TdtDecoderModel::fileName, TdtJointModel::fileName}, units));
    models.preprocessor = std::make_shared<TdtPreprocessorModel>(loaded.at(TdtPreprocessorModel::fileName));
    models.encoder = std::make_shared<TdtEncoderModel>(loaded.at(TdtEncoderModel::fileName));
    models.decoder = std::make_shared<TdtDecoderModel>(loaded.at(TdtDecoderModel::fileName));
    models.joint = std::make_shared<TdtJointModel>(loaded.at(TdtJointModel::fileName));
    // A vocabulary that is missing or does not parse fails the load like a model, naming it.
    RepositoryFiles::readJson(repository / kVocabularyFile, "the vocabulary");
  };
}

AsrModels loadRepository(AsrModelVersion version, const fs::path& root, ComputeUnits units, std::stop_token stop) {
  AsrModels models;
  RepositoryCache::useFolder(repoFor(version), root, std::nullopt, true, loadingInto(models, units), stop);
  return models;
}

}  // namespace

fs::path AsrModels::defaultCacheDirectory(AsrModelVersion version) {
  return DownloadUtils::defaultModelsDirectory() / folderName(version);
}

fs::path AsrModels::download(const std::optional<fs::path>& directory, bool force, AsrModelVersion version,
                             std::stop_token stop) {
  const fs::path target = directory.value_or(defaultCacheDirectory(version));
  modelsLogger().info("Downloading ASR models to: " + target.string());
  if (!force && modelsExist(target, version)) {
    modelsLogger().info("ASR models already present at: " + target.string());
    return target;
  }
  const fs::path root = modelsRoot(target);
  // Only the version's own folder under the models root is replaced, and only by a whole
  // fresh copy that loads: the folder the caller named may hold anything, and a hub that does
  // not answer leaves every file as it was.
  const ComputeUnits units = defaultConfiguration().computeUnits;
  if (force) {
    AsrModels models;
    RepositoryCache::useFreshCopy(repoFor(version), root, std::nullopt, loadingInto(models, units), stop);
  } else {
    loadRepository(version, root, units, stop);
  }
  modelsLogger().info("Successfully downloaded ASR models");
  return target;
}

AsrModels AsrModels::load(const fs::path& directory, const std::optional<AsrModelConfiguration>& configuration,
                          AsrModelVersion version, std::stop_token stop) {
  modelsLogger().info("Loading ASR models from: " + directory.string());
  const AsrModelConfiguration config = configuration.value_or(defaultConfiguration());
  AsrModels models = loadRepository(version, modelsRoot(directory), config.computeUnits, stop);
  modelsLogger().info(std::string("Loaded ") + TdtPreprocessorModel::fileName +
                      " with compute units: " + computeUnitsName(ComputeUnits::cpuOnly));
  modelsLogger().info(std::string("Loaded ") + TdtEncoderModel::fileName +
                      " with compute units: " + computeUnitsName(config.computeUnits));
  models.vocabulary = loadVocabulary(directory, version);
  models.configuration = config;
  models.version = version;
  modelsLogger().info("Successfully loaded all ASR models with optimized compute units");
  return models;
}

AsrModels AsrModels::downloadAndLoad(const std::optional<fs::path>& directory,
                                     const std::optional<AsrModelConfiguration>& configuration,
                                     AsrModelVersion version) {
  const fs::path folder = download(directory, false, version);
  return load(folder, configuration, version);
}

AsrModels AsrModels::loadFromCache(const std::optional<AsrModelConfiguration>& configuration, AsrModelVersion version) {
  return load(defaultCacheDirectory(version), configuration, version);
}

AsrModels AsrModels::loadWithAutoRecovery(const std::optional<fs::path>& directory,
                                          const std::optional<AsrModelConfiguration>& configuration) {
  return load(directory.value_or(defaultCacheDirectory(AsrModelVersion::v3)), configuration, AsrModelVersion::v3);
}

AsrModels AsrModels::loadWithANEOptimization(const std::optional<fs::path>& directory, bool /*enableFP16*/) {
  const fs::path folder = directory.value_or(defaultCacheDirectory(AsrModelVersion::v3));
  modelsLogger().info("Loading optimized ASR models from: " + folder.string());
  return load(folder, std::nullopt, AsrModelVersion::v3);
}

bool AsrModels::isModelValid(AsrModelVersion version) {
  const fs::path folder = defaultCacheDirectory(version);
  if (!modelsExist(folder, version)) {
    modelsLogger().info("Model validation failed: model files not found");
    return false;
  }
  const fs::path repository = repositoryFolder(folder, version);
  using Check = void (*)(const fs::path&);
  const std::tuple<const char*, const char*, Check> models[] = {
      {"Preprocessor", TdtPreprocessorModel::fileName,
       [](const fs::path& f) { TdtPreprocessorModel::load(f, ComputeUnits::cpuOnly); }},
      {"Encoder", TdtEncoderModel::fileName,
       [](const fs::path& f) { TdtEncoderModel::load(f, ComputeUnits::cpuOnly); }},
      {"Decoder", TdtDecoderModel::fileName,
       [](const fs::path& f) { TdtDecoderModel::load(f, ComputeUnits::cpuOnly); }},
      {"Joint", TdtJointModel::fileName, [](const fs::path& f) { TdtJointModel::load(f, ComputeUnits::cpuOnly); }}};
  for (const auto& [shortName, file, check] : models) {
    try {
      check(repository / file);
    } catch (const std::exception& e) {
      modelsLogger().error(std::string("Model validation failed: ") + shortName + " - " + e.what());
      return false;
    }
  }
  return true;
}

}  // namespace voxtrellis
