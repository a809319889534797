#pragma once

#include <voxtrellis/ModelNames.h>

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace voxtrellis::RepositoryDownload {

// Seconds any request to the hub may take in all.
inline constexpr double kTimeout = 1800;

// The header a request to the hub carries: "Authorization: Bearer <token>"
// when a token is set (DownloadUtils::huggingFaceToken), none otherwise.
std::vector<std::string> authHeaders();

// Lists the repository on the hub and downloads into `folder` what it lacks
// of the selected files (the model folders, of both diarizers for the folder
// they share, and the small side files beside them), one at a time, each checked against the size (and SHA-256)
// the listing states before it is moved into place; a file already there at
// the listed size is kept, so a download cut short resumes (the file in flight
// then is fetched again from its first byte). The folder is marked incomplete
// before the first file is written and gets its manifest once every required
// name is there (RepositoryFiles). A stop asked for through `stop` ends the
// download within about a second, with every whole file kept. The caller
// holds the repository's lock. Throws DownloadUtils::HuggingFaceDownloadError,
// DownloadUtils::DownloadStopped, NetworkError, FileSystemError,
// ModelRegistry::Error or a JSON parse error.
void download(Repo repo, const std::filesystem::path& folder, const std::optional<std::string>& variant,
              std::stop_token stop = {});

}  // namespace voxtrellis::RepositoryDownload
