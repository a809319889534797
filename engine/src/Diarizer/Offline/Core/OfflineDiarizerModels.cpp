#include "Diarizer/Offline/Core/OfflineDiarizerModels.h"

#include "Diarizer/Offline/Utils/NumberFormat.h"
#include "Models/RepositoryCache.h"
#include "Models/RepositoryFiles.h"
#include "Shared/Elapsed.h"

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/DownloadUtils.h>
#include <voxtrellis/FileSystemError.h>
#include <voxtrellis/ModelNames.h>
#include <voxtrellis/OfflineDiarizationError.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstring>
#include <fstream>

namespace voxtrellis {

namespace {
const AppLogger& modelsLogger() {
  static const AppLogger logger("OfflineDiarizerModels");
  return logger;
}

const std::string kRepoFolder = Repo(Repo::diarizer).folderName();
const std::string kVariant = "offline";

// Standard Base64; characters outside the alphabet (line breaks, padding) are skipped.
std::vector<unsigned char> decodeBase64(const std::string& text) {
  std::vector<unsigned char> bytes;
  uint32_t buffer = 0;
  int bits = 0;
  for (unsigned char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z')
      value = c - 'A';
    else if (c >= 'a' && c <= 'z')
      value = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      value = c - '0' + 52;
    else if (c == '+')
      value = 62;
    else if (c == '/')
      value = 63;
    else
      continue;
    buffer = (buffer << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<unsigned char>((buffer >> bits) & 0xFF));
    }
  }
  return bytes;
}

// `repoFolder` is the repository folder being loaded: the one in `directory`, or a fresh copy of
// it beside it.
std::optional<std::filesystem::path> findPLDAFile(const std::filesystem::path& directory,
                                                  const std::filesystem::path& repoFolder) {
  for (const auto& candidate : {directory / "plda-parameters.json", repoFolder / "plda-parameters.json",
                                directory / "speaker-diarization-offline" / "plda-parameters.json"}) {
    std::error_code error;
    if (std::filesystem::exists(candidate, error)) return candidate;
  }
  return std::nullopt;
}

std::vector<double> psiOf(const nlohmann::json& root) {
  const auto fail = [] { return OfflineDiarizationError::processingFailed("Failed to decode PLDA psi parameters"); };
  if (!root.is_object()) throw fail();
  auto tensors = root.find("tensors");
  if (tensors == root.end() || !tensors->is_object()) throw fail();
  auto psi = tensors->find("psi");
  if (psi == tensors->end() || !psi->is_object()) throw fail();
  auto data = psi->find("data_base64");
  if (data == psi->end() || !data->is_string()) throw fail();
  const auto bytes = decodeBase64(data->get<std::string>());
  if (bytes.size() < 4) throw OfflineDiarizationError::processingFailed("PLDA psi tensor is empty");
  std::vector<double> values(bytes.size() / 4);
  for (std::size_t i = 0; i < values.size(); ++i) {
    float value;
    std::memcpy(&value, bytes.data() + 4 * i, 4);
    values[i] = value;
  }
  return values;
}

// loadPLDAPsi as part of a load of the repository folder: a FileSystemError names the file
// that is missing or does not read, so that a fresh copy can mend it.
std::vector<double> requirePLDAPsi(const std::filesystem::path& directory, const std::filesystem::path& repoFolder) {
  const auto file = findPLDAFile(directory, repoFolder);
  if (!file) {
    throw FileSystemError(FileSystemError::Code::fileNoSuchFile, repoFolder / "plda-parameters.json",
                          "PLDA parameters file not found in " + repoFolder.string());
  }
  const nlohmann::json root = RepositoryFiles::readJson(*file, "the PLDA parameters");
  try {
    return psiOf(root);
  } catch (const OfflineDiarizationError& error) {
    throw FileSystemError(FileSystemError::Code::fileReadCorruptFile, *file,
                          "Could not read the PLDA parameters " + file->string() + ": " + error.what());
  }
}

}  // namespace

std::filesystem::path OfflineDiarizerModels::defaultModelsDirectory() {
  return DownloadUtils::defaultModelsDirectory();
}

OfflineDiarizerModels::RepoLoader OfflineDiarizerModels::defaultRepoLoader() {
  return [](const std::vector<std::string>& names, const std::filesystem::path& repoFolder, ComputeUnits units) {
    return RepositoryCache::loadModelFolders(repoFolder, names, units);
  };
}

namespace {

// Runs a load on the repository folder in a models directory, or on a fresh copy of it.
using FolderUse = std::function<void(const std::filesystem::path& models, const RepositoryCache::Load& load)>;

OfflineDiarizerModels loadBundle(const std::optional<std::filesystem::path>& directoryArgument,
                                 const OfflineDiarizerModels::RepoLoader& loaderArgument, const FolderUse& use) {
  const std::filesystem::path directory = directoryArgument.value_or(OfflineDiarizerModels::defaultModelsDirectory());
  const OfflineDiarizerModels::RepoLoader loader =
      loaderArgument ? loaderArgument : OfflineDiarizerModels::defaultRepoLoader();
  modelsLogger().info("Loading offline diarization models from " + directory.string());
  const auto started = std::chrono::steady_clock::now();

  // The four models and the PLDA parameters are one load of the repository folder, so what
  // is missing or does not load of any of them is fetched with the rest.
  std::map<std::string, std::shared_ptr<OnnxModel>> main;
  std::map<std::string, std::shared_ptr<OnnxModel>> fbank;
  OfflineDiarizerModels bundle;
  auto take = [](std::map<std::string, std::shared_ptr<OnnxModel>>& models, const std::string& file,
                 const std::string& payload) {
    auto it = models.find(file);
    if (it == models.end() || !it->second) throw OfflineDiarizationError::modelNotLoaded(payload);
    return it->second;
  };
  use(directory, [&](const std::filesystem::path& folder) {
    main = loader({"Segmentation.mlmodelc", "Embedding.mlmodelc", "PldaRho.mlmodelc"}, folder, ComputeUnits::all);
    fbank = loader({OfflineFbankModel::fileName}, folder, ComputeUnits::cpuOnly);
    // Each model class checks its inputs and outputs, so a model of another interface fails
    // the load, naming its file, rather than midway through a run; and a fresh copy holding
    // one never takes the folder's place.
    bundle.segmentationModel =
        std::make_shared<OfflineSegmentationModel>(take(main, OfflineSegmentationModel::fileName, "Segmentation"));
    bundle.embeddingModel =
        std::make_shared<OfflineEmbeddingModel>(take(main, OfflineEmbeddingModel::fileName, "Embedding"));
    bundle.pldaRhoModel = std::make_shared<PldaRhoModel>(take(main, PldaRhoModel::fileName, "PldaRho"));
    bundle.fbankModel = std::make_shared<OfflineFbankModel>(take(fbank, OfflineFbankModel::fileName, "FBank"));
    bundle.pldaPsi = requirePLDAPsi(directory, folder);
  });
  bundle.compilationDuration = secondsSince(started);
  modelsLogger().info(
      "Offline diarization models ready (compile: " + diarization::fixed(bundle.compilationDuration, 3) +
      "s, computeUnits: segmentation/embedding/plda=.all, fbank=.cpuOnly)");
  return bundle;
}

}  // namespace

OfflineDiarizerModels OfflineDiarizerModels::load(const std::optional<std::filesystem::path>& directory,
                                                  const RepoLoader& loader, std::stop_token stop) {
  return loadBundle(directory, loader, [&](const std::filesystem::path& models, const RepositoryCache::Load& load) {
    RepositoryCache::useFolder(Repo::diarizer, models, kVariant, true, load, stop);
  });
}

OfflineDiarizerModels OfflineDiarizerModels::loadFreshCopy(const std::optional<std::filesystem::path>& directory,
                                                           std::stop_token stop) {
  return loadBundle(directory, {}, [&](const std::filesystem::path& models, const RepositoryCache::Load& load) {
    RepositoryCache::useFreshCopy(Repo::diarizer, models, kVariant, load, stop);
  });
}

std::vector<double> OfflineDiarizerModels::loadPLDAPsi(const std::filesystem::path& directory) {
  const auto file = findPLDAFile(directory, directory / kRepoFolder);
  if (!file) throw OfflineDiarizationError::processingFailed("PLDA parameters file not found in " + directory.string());
  std::ifstream stream(*file, std::ios::binary);
  if (!stream) throw OfflineDiarizationError::processingFailed("Cannot read " + file->string());
  return psiOf(nlohmann::json::parse(stream));  // parse errors propagate
}

}  // namespace voxtrellis
