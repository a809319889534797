#include "Models/RepositoryCache.h"

#include <voxtrellis/DownloadUtils.h>
#include <voxtrellis/FileSystemError.h>
#include <voxtrellis/FolderRemoval.h>

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
  if (FolderRemoval::removeAll(RepositoryFiles::freshFolderFor(repoFolder), ignored) > 0) {
    logger().info("Removed the fresh copy begun beside " + repoFolder.string() + ": the folder in place loads");
  }
}

// Loads the whole copy downloaded beside the folder where it lies and, once it loads, puts it
// in the folder's place. A copy whose own files do not load is dropped: the next download
// fetches it whole again.
void loadAndPutInPlace(Repo repo, const fs::path& repoFolder, const Load& load) {
  const fs::path fresh = RepositoryFiles::freshFolderFor(repoFolder);
  try {
    load(fresh);
  } catch (const std::exception& error) {
    if (isLoadFault(std::current_exception(), fresh)) {
      logger().warning("The fresh copy of " + repo.folderName() + " does not load (" + error.what() +
                       "); it is removed and " + repoFolder.string() + " kept as it is");
      std::error_code ignored;
      FolderRemoval::removeAll(fresh, ignored);
    }
    throw;
  }
  RepositoryFiles::replaceWithFresh(repoFolder);
  logger().info("Replaced " + repoFolder.string() + " with the fresh copy");
}

fs::path repositoryFolder(Repo repo, const fs::path& directory) {
  SystemInfo::logOnce(logger());
  RepositoryFiles::createFolder(directory);
  return directory / repo.folderName();
}

// The repository's folder under its lock, with a replacement that a stopped process left
// halfway finished.
struct LockedFolder {
  LockedFolder(Repo repo, const fs::path& directory) : path(repositoryFolder(repo, directory)), lock(path) {
    RepositoryFiles::finishInterruptedReplacement(path);
  }
  const fs::path path;
  RepositoryLock lock;
};

}  // namespace

void useFolder(Repo repo, const fs::path& directory, const std::optional<std::string>& variant, bool whole,
               const Load& load, std::stop_token stop) {
  const LockedFolder folder(repo, directory);
  const fs::path& repoFolder = folder.path;

  std::optional<std::string> missing;
  bool anyRequired = false;
  for (const auto& name : ModelNames::getRequiredModelNames(repo, variant)) {
    if (somethingAt(repoFolder / name))
      anyRequired = true;
    else if (!missing)
      missing = name;
  }
  // What the folder in place lacks, or why it does not load; none when it holds none of the
  // required names.
  std::exception_ptr fault;
  if (!missing) {
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
    if (anyRequired) {
      fault = std::make_exception_ptr(FileSystemError(FileSystemError::Code::fileNoSuchFile, repoFolder / *missing,
                                                      "Model file not found: " + *missing));
    }
  }

  try {
    RepositoryDownload::download(repo, RepositoryFiles::freshFolderFor(repoFolder), variant, stop);
  } catch (const DownloadUtils::DownloadStopped&) {
    throw;
  } catch (const std::exception& error) {
    if (!fault) throw;
    throw keptInPlace(fault, NoFreshCopy::notDownloaded, error.what(), repoFolder);
  }
  try {
    loadAndPutInPlace(repo, repoFolder, load);
  } catch (const std::exception& error) {
    if (!fault || !isLoadFault(std::current_exception(), RepositoryFiles::freshFolderFor(repoFolder))) throw;
    throw keptInPlace(fault, NoFreshCopy::doesNotLoad, error.what(), repoFolder);
  }
}

void useFreshCopy(Repo repo, const fs::path& directory, const std::optional<std::string>& variant, const Load& load,
                  std::stop_token stop) {
  const LockedFolder folder(repo, directory);
  logger().info("Downloading a fresh copy of " + repo.folderName() + " beside the cache…");
  RepositoryDownload::download(repo, RepositoryFiles::freshFolderFor(folder.path), variant, stop);
  loadAndPutInPlace(repo, folder.path, load);
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
