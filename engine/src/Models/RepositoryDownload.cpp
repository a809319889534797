#include "Models/RepositoryDownload.h"

#include <voxtrellis/DownloadUtils.h>
#include <voxtrellis/FileSystemError.h>
#include <voxtrellis/FolderRemoval.h>
#include <voxtrellis/ModelRegistry.h>
#include <voxtrellis/NetworkError.h>

#include "Models/HttpClient.h"
#include "Models/RepositoryFiles.h"
#include "Shared/AppLogger.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <set>

namespace voxtrellis::RepositoryDownload {

namespace fs = std::filesystem;
using RepositoryFiles::somethingAt;

std::vector<std::string> authHeaders() {
  if (auto token = DownloadUtils::huggingFaceToken()) return {"Authorization: Bearer " + *token};
  return {};
}

namespace {

const AppLogger& logger() {
  static const AppLogger log("DownloadUtils");
  return log;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}
bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Removes a temporary download unless it was moved into place.
class TemporaryDownload {
 public:
  explicit TemporaryDownload(fs::path path) : m_path(std::move(path)) {}
  ~TemporaryDownload() {
    std::error_code ignored;
    if (!m_path.empty()) fs::remove(m_path, ignored);
  }
  const fs::path& path() const { return m_path; }
  void release() { m_path.clear(); }

 private:
  fs::path m_path;
};

// A file of the listing, with what the hub states about it.
struct RemoteFile {
  std::string path;
  std::optional<uint64_t> size;
  std::optional<std::string> sha256;  // lower-case hex, for files kept in large-file storage
};

struct Listing {
  Repo repo;
  std::optional<std::string> subPath;
  std::vector<std::string> prefixes;
  std::stop_token stop;
  std::vector<RemoteFile> selected;

  bool matchesPrefixRule(const std::string& folder) const {
    for (const auto& prefix : prefixes) {
      if (startsWith(folder, prefix) || startsWith(prefix, folder + "/")) return true;
    }
    return false;
  }
  bool fileMatchesPrefix(const std::string& file) const {
    for (const auto& prefix : prefixes) {
      if (startsWith(file, prefix)) return true;
    }
    return false;
  }

  // The size and, for large-file storage, the SHA-256 the listing states.
  static RemoteFile describe(const std::string& path, const nlohmann::json& item) {
    RemoteFile file{path, std::nullopt, std::nullopt};
    const auto size = item.find("size");
    if (size != item.end() && size->is_number_unsigned()) file.size = size->get<uint64_t>();
    const auto lfs = item.find("lfs");
    if (lfs != item.end() && lfs->is_object()) {
      const auto lfsSize = lfs->find("size");
      if (lfsSize != lfs->end() && lfsSize->is_number_unsigned()) file.size = lfsSize->get<uint64_t>();
      const auto oid = lfs->find("oid");
      if (oid != lfs->end() && oid->is_string()) {
        std::string hash = oid->get<std::string>();
        if (startsWith(hash, "sha256:")) hash = hash.substr(7);
        const bool hex = hash.size() == 64 && hash.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
        if (hex) {
          for (char& c : hash) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          file.sha256 = hash;
        }
      }
    }
    return file;
  }

  void list(const std::string& path) {
    const std::string treePath = path.empty() ? "tree/main" : "tree/main/" + path;
    const std::string url = ModelRegistry::apiModels(repo.remotePath(), treePath);
    std::string body;
    const HttpResponse response = HttpClient::shared().get(url, authHeaders(), body, kTimeout, stop);
    if (response.isHTTP && (response.statusCode == 429 || response.statusCode == 503)) {
      throw DownloadUtils::HuggingFaceDownloadError::rateLimited(static_cast<int>(response.statusCode),
                                                                 "Rate limited while listing files");
    }
    if (!response.isHTTP) throw DownloadUtils::HuggingFaceDownloadError::invalidResponse();
    // An error page is no listing: a 500 is not a JSON problem, and a 401 or
    // 404 is not a missing model file.
    if (response.statusCode < 200 || response.statusCode > 299) {
      throw DownloadUtils::HuggingFaceDownloadError::downloadFailed(
          url, "the listing was answered with HTTP status " + std::to_string(response.statusCode), response.statusCode);
    }
    const nlohmann::json json = nlohmann::json::parse(body);
    if (!json.is_array()) return;
    for (const auto& item : json) {
      if (!item.is_object()) return;
    }
    for (const auto& item : json) {
      const auto pathIt = item.find("path");
      const auto typeIt = item.find("type");
      if (pathIt == item.end() || typeIt == item.end() || !pathIt->is_string() || !typeIt->is_string()) continue;
      const std::string entry = pathIt->get<std::string>();
      const std::string type = typeIt->get<std::string>();
      if (type != "directory" && type != "file") continue;
      if (!DownloadUtils::isSafeRelativePath(entry)) {
        logger().warning("Skipping unsafe path in listing: " + entry);
        continue;
      }
      if (type == "directory") {
        bool descend;
        if (subPath) {
          descend = entry == *subPath || startsWith(entry, *subPath + "/") || matchesPrefixRule(entry);
        } else {
          descend = prefixes.empty() || matchesPrefixRule(entry);
        }
        if (descend) list(entry);
        continue;
      }
      bool select;
      if (!subPath) {
        select = prefixes.empty() || fileMatchesPrefix(entry) || endsWith(entry, ".json") || endsWith(entry, ".txt");
      } else {
        const bool inVariant = startsWith(entry, *subPath + "/");
        const bool matches = prefixes.empty() || fileMatchesPrefix(entry);
        select = endsWith(entry, ".json") ? inVariant : inVariant && (matches || endsWith(entry, ".model"));
      }
      if (select) selected.push_back(describe(entry, item));
    }
  }
};

// Creates the folders above a file of the repository. A file standing where
// one of them belongs is a damaged cache (the folder is this engine's own), so
// it is removed.
void makeParentFolders(const fs::path& repoFolder, const fs::path& target) {
  fs::path folder = repoFolder;
  for (const auto& part : target.parent_path().lexically_relative(repoFolder)) {
    if (part == ".") continue;
    folder /= part;
    std::error_code error;
    const auto type = fs::symlink_status(folder, error).type();
    if (type != fs::file_type::not_found && type != fs::file_type::directory) {
      logger().warning("Removing " + folder.string() + ": a file stands where a model folder belongs");
      fs::remove(folder, error);
    }
  }
  RepositoryFiles::createFolder(target.parent_path());
}

// A finished transfer must hold what the listing states; a transfer cut short
// without a length header otherwise looks complete.
void checkDownload(const fs::path& file, const RemoteFile& remote, long status) {
  if (remote.size) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    if (error || size != *remote.size) {
      throw DownloadUtils::HuggingFaceDownloadError::downloadFailed(
          remote.path,
          "received " + (error ? std::string("no") : std::to_string(size)) + " of " + std::to_string(*remote.size) +
              " bytes",
          status);
    }
  }
  if (remote.sha256 && RepositoryFiles::sha256Of(file) != remote.sha256) {
    throw DownloadUtils::HuggingFaceDownloadError::downloadFailed(
        remote.path, "the content does not match the SHA-256 the listing states", status);
  }
}

// Whether the file in place is the one the listing describes, as far as a
// size tells (hashing every large file on each check would cost minutes).
bool alreadyInPlace(const fs::path& target, const RemoteFile& remote) {
  if (!somethingAt(target)) return false;
  if (!remote.size) return true;
  std::error_code error;
  const auto size = fs::file_size(target, error);
  if (!error && size == *remote.size) return true;
  logger().info("Fetching " + remote.path + " again: the file in place is incomplete");
  return false;
}

// The model folders a copy of the repository's folder holds. The offline and the streaming
// diarizer share one folder, so a copy that takes its place for one holds the other's too.
std::set<std::string> modelFolders(Repo repo, const std::optional<std::string>& variant) {
  if (repo != Repo::diarizer) return ModelNames::getRequiredModelNames(repo, variant);
  std::set<std::string> names = ModelNames::OfflineDiarizer::requiredModels();
  names.insert(ModelNames::Diarizer::requiredModels().begin(), ModelNames::Diarizer::requiredModels().end());
  return names;
}

}  // namespace

void download(Repo repo, const fs::path& repoFolder, const std::optional<std::string>& variant, std::stop_token stop) {
  logger().info("Downloading " + repo.folderName() + " from HuggingFace...");
  RepositoryFiles::removeStaleTemporaries(repoFolder);

  const auto& required = ModelNames::getRequiredModelNames(repo, variant);
  Listing listing{repo, repo.subPath(), {}, stop, {}};
  for (const auto& name : modelFolders(repo, variant)) {
    listing.prefixes.push_back(listing.subPath ? *listing.subPath + "/" + name + "/" : name + "/");
  }
  listing.list(listing.subPath ? *listing.subPath : "");
  const std::vector<RemoteFile>& files = listing.selected;
  logger().info("Found " + std::to_string(files.size()) + " files to download");

  std::vector<std::string> relatives;
  // The folder is marked only once something is written into it: a hub that lists nothing, or
  // cannot be reached, leaves no mark to make files put there by hand look unfinished.
  bool marked = false;
  const std::size_t n = files.size();
  for (std::size_t i = 0; i < n; ++i) {
    const RemoteFile& file = files[i];
    const std::string& remote = file.path;
    std::string relative = remote;
    if (listing.subPath && startsWith(remote, *listing.subPath + "/")) {
      relative = remote.substr(listing.subPath->size() + 1);
    }
    relatives.push_back(relative);
    const fs::path target = repoFolder / relative;
    // A complete file already in place is kept as it is: no request and no
    // progress line, so an interrupted download resumes with what is missing.
    if (alreadyInPlace(target, file)) continue;
    {
      if (!marked) {
        RepositoryFiles::createFolder(repoFolder);
        RepositoryFiles::markIncomplete(repoFolder);
        marked = true;
      }
      makeParentFolders(repoFolder, target);
      const std::string url = ModelRegistry::resolveModel(repo.remotePath(), DownloadUtils::percentEncodePath(remote));
      TemporaryDownload temp(RepositoryFiles::temporaryNameFor(target));
      HttpResponse response;
      try {
        response = HttpClient::shared().download(url, authHeaders(), temp.path(), kTimeout, file.size, stop);
      } catch (const NetworkError& error) {
        if (error.code() != HttpClient::kTooLarge) throw;
        throw DownloadUtils::HuggingFaceDownloadError::downloadFailed(
            remote, "received more than the " + std::to_string(*file.size) + " bytes listed", 200);
      }
      if (!response.isHTTP) throw DownloadUtils::HuggingFaceDownloadError::invalidResponse();
      if (response.statusCode == 429 || response.statusCode == 503) {
        throw DownloadUtils::HuggingFaceDownloadError::rateLimited(static_cast<int>(response.statusCode),
                                                                   "Rate limited while downloading " + remote);
      }
      if (response.statusCode < 200 || response.statusCode > 299) {
        throw DownloadUtils::HuggingFaceDownloadError::downloadFailed(
            remote, "The operation couldn’t be completed. (HTTP error " + std::to_string(response.statusCode) + ".)",
            response.statusCode);
      }
      checkDownload(temp.path(), file, response.statusCode);
      std::error_code ignored;
      if (somethingAt(target)) FolderRemoval::removeAll(target, ignored);
      std::error_code moveError;
      fs::rename(temp.path(), target, moveError);
      if (moveError) {
        throw FileSystemError(FileSystemError::Code::fileWriteFailed, target,
                              "Could not move download to " + target.string() + ": " + moveError.message());
      }
      temp.release();
    }
    if ((i + 1) % 10 == 0 || i == n - 1) {
      logger().info("Downloaded " + std::to_string(i + 1) + "/" + std::to_string(n) + " files");
    }
  }

  for (const auto& name : required) {
    if (!somethingAt(repoFolder / name)) throw DownloadUtils::HuggingFaceDownloadError::modelNotFound(name);
  }
  RepositoryFiles::markComplete(repoFolder, relatives);
  logger().info("Downloaded all required models for " + repo.folderName());
}

}  // namespace voxtrellis::RepositoryDownload
