#pragma once

#include <voxtrellis/FileSystemError.h>

#include <exception>
#include <filesystem>
#include <string>

namespace voxtrellis {

// What a failed load of a repository's models says about the files in place:
// whether fetching them again can help, and which file to name.

// Files in place that do not load, for which no fresh copy could be had: the
// load fault (which names the file and says why) with the download's.
class UnloadableInPlace : public FileSystemError {
 public:
  UnloadableInPlace(const std::filesystem::path& file, std::string loadFault, const std::string& downloadFault,
                    const std::filesystem::path& repoFolder);
};

// Whether a failure lies with the files in place rather than with the hub.
bool isLoadFault(const std::exception_ptr& error);

// The file a load fault names, or the repository folder.
std::filesystem::path faultyFile(const std::exception_ptr& error, const std::filesystem::path& repoFolder);

// Whether a first-attempt failure lies with the cached files themselves, so
// fetching them again can help.
bool isCacheFault(const std::exception_ptr& error);

}  // namespace voxtrellis
