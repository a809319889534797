#pragma once

#include <voxtrellis/AppLogger.h>
#include <voxtrellis/HttpClient.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

namespace voxtrellis {

// Fetches single remote files and keeps them at a local path, beside the
// model catalogue's download (DownloadUtils), which does not use it. Requests
// go through the given client, HttpClient::shared() for the process's proxy
// settings. No retry, no resumed transfer. Thread safety: stateless; writers
// and movers are called on the calling thread; concurrent calls for one
// destination race on the file, the later writer winning.
namespace AssetDownloader {

struct TransferMode {
  using Writer = std::function<void(const std::string& bytes, const std::filesystem::path& destination)>;
  using Mover = std::function<void(const std::filesystem::path& temporary, const std::filesystem::path& destination)>;
  enum class Kind { data, file };

  static TransferMode data(Writer writer) { return {Kind::data, std::move(writer), {}}; }
  static TransferMode file(Mover mover) { return {Kind::file, {}, std::move(mover)}; }

  Kind kind;
  Writer writer;
  Mover mover;
};

struct Descriptor {
  std::string description;
  std::string remoteURL;
  std::filesystem::path destinationURL;
  bool skipIfExists;
  TransferMode transferMode;
};

// "Unexpected response (status <code>) while downloading <description>";
// the status is -1 when the answer was not an HTTP response.
class Error : public std::runtime_error {
 public:
  static Error invalidResponse(const std::string& description, long statusCode);
  long statusCode() const { return m_statusCode; }

 private:
  Error(const std::string& text, long statusCode) : std::runtime_error(text), m_statusCode(statusCode) {}
  long m_statusCode;
};

// Writes the bytes atomically (a temporary file in the same folder, then a rename).
void defaultDataWriter(const std::string& bytes, const std::filesystem::path& destination);
// Replaces any file at the destination by the temporary file.
void defaultFileMover(const std::filesystem::path& temporary, const std::filesystem::path& destination);

// Makes sure the asset is at its destination; returns the destination. Throws
// NetworkError, Error, FileSystemError or what the writer or mover throws;
// the destination is untouched and no temporary file is left on failure.
std::filesystem::path ensure(const Descriptor& descriptor, const HttpClient& session, const AppLogger& logger);

// The remote file's bytes. Throws NetworkError or Error.
std::string fetchData(const std::string& url, const std::string& description, const HttpClient& session,
                      const AppLogger& logger);

}  // namespace AssetDownloader

}  // namespace voxtrellis
