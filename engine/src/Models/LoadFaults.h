#pragma once

#include <voxtrellis/ModelFileError.h>

#include <exception>
#include <filesystem>
#include <string>

namespace voxtrellis {

// What a failed load of a repository's files says about the files in place:
// whether fetching them again can help, and which file to name.

// Whether a failure lies with a file inside `repoFolder` (missing, not a
// folder, not loading) rather than with the hub or the caller, so that a fresh
// copy of the repository can mend it.
bool isLoadFault(const std::exception_ptr& error, const std::filesystem::path& repoFolder);

// Why no fresh copy of a repository took the place of its folder.
enum class NoFreshCopy {
  notDownloaded,  // the download failed
  doesNotLoad,    // the hub's whole copy does not load either
};

// The error for files in place that do not serve and for which no fresh copy
// could be had: the load fault (which names the file and says why; a file that
// is not there is said to be missing) with the copy's fault.
ModelFileError keptInPlace(const std::exception_ptr& loadFault, NoFreshCopy why, const std::string& copyFault,
                           const std::filesystem::path& repoFolder);

}  // namespace voxtrellis
