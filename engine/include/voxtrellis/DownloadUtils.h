#pragma once

#include <voxtrellis/ComputeUnits.h>
#include <voxtrellis/ModelNames.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

namespace voxtrellis {

class OnnxModel;

// Model download from the hub, the local model cache and model loading.
//
// Thread safety: every operation may run on any thread. Loads of one
// repository folder are serialised (in this process and across processes,
// through a lock file beside the folder), so they never delete each other's files.
class DownloadUtils {
 public:
  struct DownloadConfig {
    double timeout = 1800;  // seconds
    static DownloadConfig defaultConfig() { return {}; }
  };

  class HuggingFaceDownloadError : public std::runtime_error {
   public:
    enum class Code { rateLimited, downloadFailed, modelNotFound, invalidResponse };

    static HuggingFaceDownloadError rateLimited(int statusCode, std::string message);
    // `underlying` is the underlying error's description.
    static HuggingFaceDownloadError downloadFailed(std::string path, std::string underlying, long httpStatus = 0);
    static HuggingFaceDownloadError modelNotFound(std::string path);
    static HuggingFaceDownloadError invalidResponse();

    Code code() const { return m_code; }
    int statusCode() const { return m_statusCode; }
    const std::string& message() const { return m_message; }
    const std::string& path() const { return m_path; }
    // For downloadFailed with an HTTP status: the status (the "HTTP" domain error's code).
    long httpStatus() const { return m_httpStatus; }
    std::string errorDescription() const { return what(); }

   private:
    HuggingFaceDownloadError(Code code, const std::string& description);
    Code m_code;
    int m_statusCode = 0;
    std::string m_message;
    std::string m_path;
    long m_httpStatus = 0;
  };

  // A download ended early because its caller asked it to stop (through the stop token it
  // was given). What was fetched before the file in flight stays beside the model folder and
  // the next download resumes with what is missing; the folder in place is as it was.
  class DownloadStopped : public std::runtime_error {
   public:
    DownloadStopped() : std::runtime_error("The download of the models was stopped.") {}
  };

  struct Response {
    bool isHTTP = true;
    long statusCode = 0;
  };

  DownloadUtils() = delete;

  // Makes sure the repository's required files are in `directory`/<folder>
  // and loads each named compiled-model folder ("Encoder.mlmodelc" holding
  // model.onnx). When every required name is in the folder, the named models
  // are loaded from it as they are, whatever a download once recorded of it.
  // When a name is missing, or a named model does not load (missing, not a
  // folder, no model file, a model the runtime refuses), the whole repository
  // is downloaded into a hidden folder beside it (a download cut short stays
  // there and is resumed by the next one) and loaded there; only once it
  // loads does it take the folder's place. Every download must match the
  // listing's size (and SHA-256 where given) before it is moved into place.
  // Files in place are never written or deleted before a copy that loads
  // replaces them: they may be the user's own, copied in by hand. When no
  // such copy can be had, they stay as they are (a downloaded copy that does
  // not load is dropped), and a ModelFileError names the file that is missing
  // or did not load, why, and why no copy could be had: the download's error,
  // or what does not load in the hub's copy. A folder holding none of the
  // required names throws the download's error, or the downloaded copy's own
  // load error. Asking `stop` to stop ends a download under way within about a
  // second with DownloadStopped.
  // Throws ModelFileError, FileSystemError, HuggingFaceDownloadError,
  // DownloadStopped, NetworkError, ModelRegistry::Error, ModelRuntimeError or
  // a JSON parse error.
  static std::map<std::string, std::shared_ptr<OnnxModel>> loadModels(
      Repo repo, const std::vector<std::string>& modelNames, const std::filesystem::path& directory,
      ComputeUnits computeUnits, const std::optional<std::string>& variant = std::nullopt, std::stop_token stop = {});

  // One authenticated GET; the body and the response as they come. Throws NetworkError.
  static std::pair<std::string, Response> fetchWithAuth(const std::string& url);

  // An authenticated GET retried up to `maxAttempts` times, waiting
  // minBackoff x 2^(attempt-1) seconds between attempts. Throws the last
  // attempt's error: HuggingFaceDownloadError (rate limiting, a status outside
  // 200...299) or NetworkError.
  static std::string fetchHuggingFaceFile(const std::string& url, const std::string& description, int maxAttempts,
                                          double minBackoff);

  // "Voxtrellis/Models" under $XDG_DATA_HOME, else ~/.local/share.
  static std::filesystem::path defaultModelsDirectory();

  // The bearer token from "HF_TOKEN", "HUGGING_FACE_HUB_TOKEN" or
  // "HUGGINGFACEHUB_API_TOKEN" (first set wins, empty counts), read afresh.
  static std::optional<std::string> huggingFaceToken();

  // Whether a listing path is safe to join into the cache folder: relative,
  // with no empty, "." or ".." component.
  static bool isSafeRelativePath(const std::string& path);

  // Percent-encodes a path with the URL-path character set (slashes kept).
  static std::string percentEncodePath(const std::string& path);
};

}  // namespace voxtrellis
