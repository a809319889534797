#pragma once

#include <nlohmann/json_fwd.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace voxtrellis::RepositoryFiles {

// The files of one repository cache folder. Callers hold the repository's
// RepositoryLock.

// A download marks the folder incomplete before it writes its first file
// and, once every file is checked, records the files and their sizes in a
// manifest and drops the mark. A download that writes nothing (a hub that
// refuses) leaves no mark. Neither decides whether a folder is used: its
// files are loaded, and what loads is used, since a file the user copied over
// one a hub gave may well be good.
inline constexpr const char* kManifestFile = ".voxtrellis-complete.json";
inline constexpr const char* kIncompleteMark = ".voxtrellis-incomplete";

// Whether anything (a file, a folder, a dangling link) is at `path`.
bool somethingAt(const std::filesystem::path& path);

// Creates the folder and those above it. Throws FileSystemError
// (fileWriteFailed) when it cannot, or when a file stands in its place.
void createFolder(const std::filesystem::path& folder);

// A unique temporary name beside `target`: "." + its name + ".download-" + a
// UUID, renamed over the target only once the file is whole.
std::filesystem::path temporaryNameFor(const std::filesystem::path& target);
bool isTemporaryDownload(const std::filesystem::path& path);

// Removes the temporary files an interrupted run (a killed process) left
// anywhere in the folder; under the lock, no live download is among them.
void removeStaleTemporaries(const std::filesystem::path& repoFolder);

// A repository whose files in place do not load is downloaded afresh into
// freshFolderFor(repoFolder), a hidden folder beside it, and takes its place
// only once that download is whole and loads: until then the files in place,
// copied there by hand perhaps, stay as they are. A download cut short stays
// there to be resumed.
std::filesystem::path freshFolderFor(const std::filesystem::path& repoFolder);

// Puts the whole fresh copy in the folder's place (the folder is set aside
// beside it, the copy renamed into place, then the old one removed). Throws
// FileSystemError (fileWriteFailed) with the folder in place as it was.
void replaceWithFresh(const std::filesystem::path& repoFolder);

// After a process stopped halfway through replaceWithFresh: brings the folder
// set aside back when nothing took its place, and otherwise removes it.
void finishInterruptedReplacement(const std::filesystem::path& repoFolder);

// The JSON document of a file the repository serves beside its models (a
// vocabulary, parameters), as part of a load of the folder: a FileSystemError
// names the file when it is missing (fileNoSuchFile) or unreadable or no JSON
// document, cut short say (fileReadCorruptFile), so that a fresh copy can
// mend it. `what` names the file's role ("the vocabulary").
nlohmann::json readJson(const std::filesystem::path& file, const std::string& what);

// Lower-case hex SHA-256 of a file, none when it cannot be read.
std::optional<std::string> sha256Of(const std::filesystem::path& file);

// Marks the folder incomplete. Throws FileSystemError (fileWriteFailed).
void markIncomplete(const std::filesystem::path& repoFolder);

// Writes the manifest for these files (paths relative to the folder) with
// their sizes on disk, then removes the incomplete mark. Throws
// FileSystemError (fileWriteFailed).
void markComplete(const std::filesystem::path& repoFolder, const std::vector<std::string>& relativePaths);

}  // namespace voxtrellis::RepositoryFiles
