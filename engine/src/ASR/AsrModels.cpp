#include <voxtrellis/AsrModels.h>

#include <voxtrellis/AppLogger.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace voxtrellis {

namespace fs = std::filesystem;

namespace {

const AppLogger& modelsLogger() {
  static const AppLogger logger("AsrModels");
  return logger;
}

constexpr const char* kVocabularyFile = "parakeet_vocab.json";

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
  return fs::exists(r / kVocabularyFile, ec);
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
  modelsLogger().info("Loaded vocabulary with " + std::to_string(vocabulary.size()) + " tokens from " +
                      file.string());
  return vocabulary;
}

}  // namespace voxtrellis
