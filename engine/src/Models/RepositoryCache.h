#pragma once

#include <voxtrellis/ComputeUnits.h>
#include <voxtrellis/ModelNames.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
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
// hidden folder beside it (RepositoryFiles::freshFolderFor), which takes the
// folder's place only once it is whole; a download cut short stays there and
// is resumed by the next one.
namespace RepositoryCache {

// Runs `load` on the repository folder: `load` reads what its caller needs of
// it (models, vocabulary, parameters) and throws what does not serve.
//
// The folder counts as there when every required name of the repository is in
// it and no file of the download that brought them is missing or of another
// size. Otherwise, or when `load` fails on a file of the folder (a
// FileSystemError other than fileWriteFailed, or a ModelRuntimeError, naming a
// file inside it), a whole fresh copy is downloaded, takes the folder's place,
// and `load` runs on it. When no whole copy can be had, every file in place is
// kept as it is and
//  - for a folder holding none of the required names, the download's error is
//    thrown;
//  - for a folder holding all of them from a download that did not finish,
//    `load` runs on what is there;
//  - otherwise a ModelFileError names the file that is missing or does not
//    load, why, and why no copy could be had.
// Other failures of `load` are thrown as they are.
//
// `whole` tells that `load` reads all the repository serves (not one model of
// several): its success on the folder in place then drops a fresh copy begun
// beside it, which is no longer wanted; otherwise that copy is kept.
void useFolder(Repo repo, const std::filesystem::path& directory, const std::optional<std::string>& variant, bool whole,
               const std::function<void(const std::filesystem::path& repoFolder)>& load);

// Downloads a whole fresh copy of the repository beside its folder (resuming
// one cut short) and puts it in the folder's place. Throws the download's
// errors with the folder in place as it was.
void replaceWithFreshCopy(Repo repo, const std::filesystem::path& directory, const std::optional<std::string>& variant);

// Loads the named compiled-model folders ("Encoder.mlmodelc" holding
// model.onnx) of a repository folder, in the order named; no download.
// Throws FileSystemError (a name missing, not a folder, without model.onnx)
// or ModelRuntimeError.
std::map<std::string, std::shared_ptr<OnnxModel>> loadModelFolders(const std::filesystem::path& repoFolder,
                                                                   const std::vector<std::string>& names,
                                                                   ComputeUnits computeUnits);

}  // namespace RepositoryCache

}  // namespace voxtrellis
