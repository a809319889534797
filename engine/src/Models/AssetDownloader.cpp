#include <voxtrellis/AssetDownloader.h>
#include <voxtrellis/FileSystemError.h>
#include <voxtrellis/TemporaryDirectory.h>

#include "Shared/Uuid.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <unistd.h>

namespace voxtrellis::AssetDownloader {

namespace fs = std::filesystem;

namespace {

constexpr double kTimeout = 1800;

void requireSuccess(const HttpResponse& response, const std::string& description) {
  if (!response.isHTTP) throw Error::invalidResponse(description, -1);
  if (response.statusCode < 200 || response.statusCode > 299) {
    throw Error::invalidResponse(description, response.statusCode);
  }
}

class Removal {
 public:
  explicit Removal(fs::path path) : m_path(std::move(path)) {}
  ~Removal() {
    std::error_code ignored;
    if (!m_path.empty()) fs::remove(m_path, ignored);
  }
  void release() { m_path.clear(); }

 private:
  fs::path m_path;
};

}  // namespace

Error Error::invalidResponse(const std::string& description, long statusCode) {
  return Error("Unexpected response (status " + std::to_string(statusCode) + ") while downloading " + description,
               statusCode);
}

void defaultDataWriter(const std::string& bytes, const fs::path& destination) {
  const fs::path temp = destination.parent_path() / ("." + destination.filename().string() + "." + makeUuidString());
  Removal removal(temp);
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw FileSystemError(FileSystemError::Code::fileWriteFailed, temp, "Could not write " + temp.string());
  }
  std::error_code error;
  fs::rename(temp, destination, error);
  if (error) {
    throw FileSystemError(FileSystemError::Code::fileWriteFailed, destination,
                          "Could not write " + destination.string() + ": " + error.message());
  }
  removal.release();
}

void defaultFileMover(const fs::path& temporary, const fs::path& destination) {
  std::error_code error;
  if (fs::exists(destination, error)) {
    fs::remove(destination, error);
    if (error) {
      throw FileSystemError(FileSystemError::Code::fileWriteFailed, destination,
                            "Could not remove " + destination.string() + ": " + error.message());
    }
  }
  fs::rename(temporary, destination, error);
  if (error) {
    // Across file systems a rename fails; copy instead.
    fs::copy_file(temporary, destination, fs::copy_options::overwrite_existing, error);
    if (error) {
      throw FileSystemError(FileSystemError::Code::fileWriteFailed, destination,
                            "Could not move download to " + destination.string() + ": " + error.message());
    }
    fs::remove(temporary, error);
  }
}

fs::path ensure(const Descriptor& descriptor, const HttpClient& session, const AppLogger& logger) {
  std::error_code error;
  if (descriptor.skipIfExists && fs::exists(descriptor.destinationURL, error)) return descriptor.destinationURL;
  const fs::path parent = descriptor.destinationURL.parent_path();
  if (!parent.empty()) {
    fs::create_directories(parent, error);
    if (error) {
      throw FileSystemError(FileSystemError::Code::fileWriteFailed, parent,
                            "Could not create folder " + parent.string() + ": " + error.message());
    }
  }
  logger.info("Downloading " + descriptor.description + "…");
  if (descriptor.transferMode.kind == TransferMode::Kind::data) {
    std::string bytes;
    requireSuccess(session.get(descriptor.remoteURL, {}, bytes, kTimeout), descriptor.description);
    descriptor.transferMode.writer(bytes, descriptor.destinationURL);
  } else {
    const fs::path temp = temporaryDirectory() / ("voxtrellis-asset-" + makeUuidString());
    // Made here first, new and the user's alone: the download then writes into this very file,
    // which no other user can replace in a shared temporary folder, nor read.
    const int made = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (made < 0) {
      throw FileSystemError(FileSystemError::Code::fileWriteFailed, temp,
                            "Could not create " + temp.string() + ": " + std::strerror(errno));
    }
    ::close(made);
    Removal removal(temp);
    requireSuccess(session.download(descriptor.remoteURL, {}, temp, kTimeout), descriptor.description);
    descriptor.transferMode.mover(temp, descriptor.destinationURL);
  }
  logger.info("Cached " + descriptor.description + " at " + descriptor.destinationURL.string());
  return descriptor.destinationURL;
}

std::string fetchData(const std::string& url, const std::string& description, const HttpClient& session,
                      const AppLogger& logger) {
  logger.debug("Fetching " + description + " from " + url);
  std::string bytes;
  requireSuccess(session.get(url, {}, bytes, kTimeout), description);
  return bytes;
}

}  // namespace voxtrellis::AssetDownloader
