#pragma once

#include <voxtrellis/ComputeUnits.h>
#include <voxtrellis/ModelNames.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace voxtrellis {

class OnnxModel;

// How the engine's loaders use one repository's folder in the model cache
// (`directory`/<folder name>), under the repository's lock (RepositoryLock),
// so that loads of one folder never overlap.
//
// The folder in place is never written by a download, since its files may be
// the user's own, copied there by hand. A repository is downloaded into a
// hidden folder beside it (RepositoryFiles::freshFolderFor), loaded there, and
// takes the folder's place only once it loads; a download cut short stays
// there and is resumed by the next one, and a whole copy that does not load is
// dropped.
//
// A stop asked for through `stop` ends a download under way within about a
// second with DownloadUtils::DownloadStopped, and nothing takes the folder's
// place.
namespace RepositoryCache {

// Reads what its caller needs of a repository folder (models, vocabulary,
// parameters) and throws what does not serve. It is run on the folder in place
// or on a fresh copy where it lies, so it reads only inside the folder given.
using Load = std::function<void(const std::filesystem::path& repoFolder)>;

// Runs `load` on the repository folder. When every required name of the
// repository is in it, `load` runs on it first, whatever a download once
// recorded of it. When a name is missing, or `load` fails on a file of the
// folder (a FileSystemError other than fileWriteFailed, or a ModelRuntimeError,
// naming a file inside it), a whole fresh copy is downloaded and `load` runs on
// it; once that succeeds, the copy takes the folder's place. When no copy that
// loads can be had, every file in place is kept as it is and
//  - for a folder holding none of the required names, the download's error, or
//    the copy's own load error, is thrown;
//  - otherwise a ModelFileError names the file that is missing or does not
//    load, why, and why no copy could be had.
// Other failures of `load` are thrown as they are.
//
// `whole` tells that `load` reads all the repository serves (not one model of
// several): its success on the folder in place then drops a fresh copy begun
// beside it, which is no longer wanted; otherwise that copy is kept.
void useFolder(Repo repo, const std::filesystem::path& directory, const std::optional<std::string>& variant, bool whole,
               const Load& load, std::stop_token stop = {});

// Downloads a whole fresh copy of the repository beside its folder (resuming
// one cut short), runs `load` on it, and puts it in the folder's place. Throws
// the download's errors, or the copy's load error (the copy dropped), with the
// folder in place as it was.
void useFreshCopy(Repo repo, const std::filesystem::path& directory, const std::optional<std::string>& variant,
                  const Load& load, std::stop_token stop = {});

// Loads the named compiled-model folders ("Encoder.mlmodelc" holding
// model.onnx) of a repository folder, in the order named; no download.
// Throws FileSystemError (a name missing, not a folder, without model.onnx)
// or ModelRuntimeError.
std::map<std::string, std::shared_ptr<OnnxModel>> loadModelFolders(const std::filesystem::path& repoFolder,
                                                                   const std::vector<std::string>& names,
                                                                   ComputeUnits computeUnits);

}  // namespace RepositoryCache

}  // namespace voxtrellis
