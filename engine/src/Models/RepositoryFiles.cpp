#include "Models/RepositoryFiles.h"

#include <voxtrellis/FileSystemError.h>
#include <voxtrellis/FolderRemoval.h>

#include "Shared/AppLogger.h"
#include "Shared/Uuid.h"

#include <openssl/evp.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <memory>
#include <vector>

namespace voxtrellis::RepositoryFiles {

namespace fs = std::filesystem;

bool somethingAt(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

void createFolder(const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error || !fs::is_directory(folder)) {
    throw FileSystemError(FileSystemError::Code::fileWriteFailed, folder,
                          "Could not create folder " + folder.string() + ": " +
                              (error ? error.message() : std::string("a file is in the way")));
  }
}

fs::path temporaryNameFor(const fs::path& target) {
  return target.parent_path() / ("." + target.filename().string() + ".download-" + makeUuidString());
}

bool isTemporaryDownload(const fs::path& path) {
  const std::string name = path.filename().string();
  return name.size() > 1 && name.front() == '.' && name.find(".download-") != std::string::npos;
}

void removeStaleTemporaries(const fs::path& repoFolder) {
  static const AppLogger logger("DownloadUtils");
  std::error_code error;
  std::vector<fs::path> stale;
  for (fs::recursive_directory_iterator it(repoFolder, error), end; !error && it != end; it.increment(error)) {
    std::error_code typeError;
    if (it->is_regular_file(typeError) && isTemporaryDownload(it->path())) stale.push_back(it->path());
  }
  for (const auto& path : stale) {
    std::error_code ignored;
    if (fs::remove(path, ignored)) logger.info("Removed stale temporary file " + path.string());
  }
}

namespace {
fs::path setAsideFolderFor(const fs::path& repoFolder) {
  return repoFolder.parent_path() / ("." + repoFolder.filename().string() + ".replaced");
}

void moveFolder(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::rename(from, to, error);
  if (error) {
    throw FileSystemError(FileSystemError::Code::fileWriteFailed, to,
                          "Could not move " + from.string() + " to " + to.string() + ": " + error.message());
  }
}
}  // namespace

fs::path freshFolderFor(const fs::path& repoFolder) {
  return repoFolder.parent_path() / ("." + repoFolder.filename().string() + ".fresh");
}

void replaceWithFresh(const fs::path& repoFolder) {
  const fs::path aside = setAsideFolderFor(repoFolder);
  std::error_code ignored;
  FolderRemoval::removeAll(aside, ignored);
  const bool inPlace = somethingAt(repoFolder);
  if (inPlace) moveFolder(repoFolder, aside);
  try {
    moveFolder(freshFolderFor(repoFolder), repoFolder);
  } catch (const FileSystemError&) {
    if (inPlace) fs::rename(aside, repoFolder, ignored);
    throw;
  }
  FolderRemoval::removeAll(aside, ignored);
}

void finishInterruptedReplacement(const fs::path& repoFolder) {
  const fs::path aside = setAsideFolderFor(repoFolder);
  if (!somethingAt(aside)) return;
  std::error_code ignored;
  if (somethingAt(repoFolder))
    FolderRemoval::removeAll(aside, ignored);
  else
    fs::rename(aside, repoFolder, ignored);
}

nlohmann::json readJson(const fs::path& file, const std::string& what) {
  if (!somethingAt(file)) {
    throw FileSystemError(FileSystemError::Code::fileNoSuchFile, file, "Missing " + what + ": " + file.string());
  }
  const auto fail = [&](const std::string& why) {
    return FileSystemError(FileSystemError::Code::fileReadCorruptFile, file,
                           "Could not read " + what + " " + file.string() + ": " + why);
  };
  std::error_code error;
  const auto size = fs::file_size(file, error);
  std::ifstream in(file, std::ios::binary);
  if (error || !in) throw fail("it is not a readable file");
  try {
    return nlohmann::json::parse(in);
  } catch (const nlohmann::json::parse_error& e) {
    // The parser's own text quotes what it read last, which may be long and says nothing more.
    throw fail("it is not valid JSON (parse error at byte " + std::to_string(e.byte) + " of " + std::to_string(size) +
               ")");
  } catch (const std::exception& e) {
    throw fail(e.what());
  }
}

std::optional<std::string> sha256Of(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
  std::vector<char> block(1 << 20);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    if (in.gcount() > 0 && EVP_DigestUpdate(context.get(), block.data(), static_cast<std::size_t>(in.gcount())) != 1)
      return std::nullopt;
  }
  if (in.bad()) return std::nullopt;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::nullopt;
  static const char* hex = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 15];
  }
  return text;
}

void markIncomplete(const fs::path& repoFolder) {
  const fs::path mark = repoFolder / kIncompleteMark;
  std::ofstream out(mark, std::ios::binary | std::ios::trunc);
  if (!out.flush()) {
    throw FileSystemError(FileSystemError::Code::fileWriteFailed, mark, "Could not write " + mark.string());
  }
}

void markComplete(const fs::path& repoFolder, const std::vector<std::string>& relativePaths) {
  nlohmann::ordered_json files = nlohmann::ordered_json::array();
  for (const auto& relative : relativePaths) {
    std::error_code error;
    const auto size = fs::file_size(repoFolder / relative, error);
    if (error) continue;
    files.push_back({{"path", relative}, {"size", size}});
  }
  const fs::path target = repoFolder / kManifestFile;
  const fs::path temp = temporaryNameFor(target);
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << nlohmann::ordered_json{{"files", files}}.dump(1);
    if (!out.flush()) {
      std::error_code ignored;
      fs::remove(temp, ignored);
      throw FileSystemError(FileSystemError::Code::fileWriteFailed, target, "Could not write " + target.string());
    }
  }
  std::error_code moveError;
  fs::rename(temp, target, moveError);
  if (moveError) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw FileSystemError(FileSystemError::Code::fileWriteFailed, target,
                          "Could not write " + target.string() + ": " + moveError.message());
  }
  const fs::path mark = repoFolder / kIncompleteMark;
  std::error_code removeError;
  fs::remove(mark, removeError);
  if (removeError) {
    throw FileSystemError(FileSystemError::Code::fileWriteFailed, mark,
                          "Could not remove " + mark.string() + ": " + removeError.message());
  }
}

}  // namespace voxtrellis::RepositoryFiles
