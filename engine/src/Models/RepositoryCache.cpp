#include "Models/RepositoryCache.h"

#include <voxtrellis/FileSystemError.h>

#include "Models/LoadFaults.h"
#include "Models/ModelCosts.h"
#include "Models/RepositoryDownload.h"
#include "Models/RepositoryFiles.h"
#include "Models/RepositoryLock.h"
#include "Onnx/OnnxModel.h"
#include "Shared/AppLogger.h"
#include "Shared/Elapsed.h"
#include "Shared/NumberText.h"
#include "Shared/SystemInfo.h"

#include <chrono>

namespace voxtrellis::RepositoryCache {

namespace fs = std::filesystem;
using RepositoryFiles::somethingAt;

namespace {

const AppLogger& logger() {
  static const AppLogger log("DownloadUtils");
  return log;
}

void dropFreshCopy(const fs::path& repoFolder) {
  std::error_code ignored;
  if (fs::remove_all(RepositoryFiles::freshFolderFor(repoFolder), ignored) > 0) {
    logger().info("Removed the fresh copy begun beside " + repoFolder.string() + ": the folder in place loads");
  }
}

void downloadAndReplace(Repo repo, const fs::path& repoFolder, const std::optional<std::string>& variant) {
  RepositoryDownload::download(repo, RepositoryFiles::freshFolderFor(repoFolder), variant);
  RepositoryFiles::replaceWithFresh(repoFolder);
  logger().info("Replaced " + repoFolder.string() + " with the fresh copy");
}

}  // namespace

void useFolder(Repo repo, const fs::path& directory, const std::optional<std::string>& variant, bool whole,
               const std::function<void(const fs::path&)>& load) {
  SystemInfo::logOnce(logger());
  RepositoryFiles::createFolder(directory);
  const fs::path repoFolder = directory / repo.folderName();
  RepositoryLock lock(repoFolder);
  RepositoryFiles::finishInterruptedReplacement(repoFolder);

  std::optional<std::string> missing;
  bool anyRequired = false;
  for (const auto& name : ModelNames::getRequiredModelNames(repo, variant)) {
    if (somethingAt(repoFolder / name))
      anyRequired = true;
    else if (!missing)
      missing = name;
  }
  // What the folder in place lacks, once known.
  std::exception_ptr fault;
  if (!missing && RepositoryFiles::isComplete(repoFolder)) {
    logger().info("Found " + repo.folderName() + " locally, no download needed");
    try {
      load(repoFolder);
      if (whole) dropFreshCopy(repoFolder);
      return;
    } catch (const std::exception& error) {
      logger().warning(std::string("First load failed: ") + error.what());
      if (!isLoadFault(std::current_exception(), repoFolder)) throw;
      fault = std::current_exception();
    }
    logger().info("Downloading a fresh copy of " + repo.folderName() + " beside the cache…");
  } else {
    logger().info("Models not found in cache at " + repoFolder.string());
    if (missing) {
      fault = std::make_exception_ptr(FileSystemError(FileSystemError::Code::fileNoSuchFile, repoFolder / *missing,
                                                      "Model file not found: " + *missing));
    }
  }

  try {
    downloadAndReplace(repo, repoFolder, variant);
  } catch (const std::exception& error) {
    if (!anyRequired) throw;
    const std::exception_ptr downloadError = std::current_exception();
    if (!fault) {
      // Every required name is there, but the download that brought them did not finish (or
      // they were copied in beside the mark of one): what loads is used.
      try {
        load(repoFolder);
        logger().warning("Could not complete " + repo.folderName() + " (" + error.what() + "); using the models in " +
                         repoFolder.string());
        return;
      } catch (const std::exception&) {
        if (!isLoadFault(std::current_exception(), repoFolder)) std::rethrow_exception(downloadError);
        fault = std::current_exception();
      }
    }
    throw keptInPlace(fault, error.what(), repoFolder);
  }
  load(repoFolder);
}

void replaceWithFreshCopy(Repo repo, const fs::path& directory, const std::optional<std::string>& variant) {
  SystemInfo::logOnce(logger());
  RepositoryFiles::createFolder(directory);
  const fs::path repoFolder = directory / repo.folderName();
  RepositoryLock lock(repoFolder);
  RepositoryFiles::finishInterruptedReplacement(repoFolder);
  logger().info("Downloading a fresh copy of " + repo.folderName() + " beside the cache…");
  downloadAndReplace(repo, repoFolder, variant);
}

std::map<std::string, std::shared_ptr<OnnxModel>> loadModelFolders(const fs::path& repoFolder,
                                                                   const std::vector<std::string>& names,
                                                                   ComputeUnits computeUnits) {
  std::map<std::string, std::shared_ptr<OnnxModel>> models;
  for (const auto& name : names) {
    const fs::path modelFolder = repoFolder / name;
    if (!somethingAt(modelFolder)) {
      throw FileSystemError(FileSystemError::Code::fileNoSuchFile, modelFolder, "Model file not found: " + name);
    }
    if (!fs::is_directory(modelFolder)) {
      throw FileSystemError(FileSystemError::Code::fileReadCorruptFile, modelFolder,
                            "Model path is not a directory: " + name);
    }
    if (!somethingAt(modelFolder / "model.onnx")) {
      logger().error("Missing model.onnx in " + name);
      throw FileSystemError(FileSystemError::Code::fileReadCorruptFile, modelFolder / "model.onnx",
                            "Missing model.onnx in model: " + name);
    }
    const auto started = std::chrono::steady_clock::now();
    std::shared_ptr<OnnxModel> model = OnnxModel::load(modelFolder, computeUnits, modelCost(name));
    const double seconds = secondsSince(started);
    models[name] = std::move(model);
    logger().info("Compiled model " + name + " in " + formatFixed(seconds * 1000.0, 2) +
                  " ms :: " + SystemInfo::summary());
  }
  return models;
}

}  // namespace voxtrellis::RepositoryCache
