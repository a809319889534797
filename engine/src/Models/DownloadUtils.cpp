#include <voxtrellis/DownloadUtils.h>

#include "Models/HttpClient.h"
#include "Models/RepositoryCache.h"
#include "Models/RepositoryDownload.h"
#include "Shared/AppLogger.h"
#include "Shared/NumberText.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <thread>

namespace voxtrellis {

namespace fs = std::filesystem;

namespace {

const AppLogger& logger() {
  static const AppLogger log("DownloadUtils");
  return log;
}

}  // namespace

DownloadUtils::HuggingFaceDownloadError::HuggingFaceDownloadError(Code code, const std::string& description)
    : std::runtime_error(description), m_code(code) {}

DownloadUtils::HuggingFaceDownloadError DownloadUtils::HuggingFaceDownloadError::rateLimited(int statusCode,
                                                                                             std::string message) {
  HuggingFaceDownloadError error(Code::rateLimited, "Hugging Face rate limit encountered: " + message);
  error.m_statusCode = statusCode;
  error.m_message = std::move(message);
  return error;
}

DownloadUtils::HuggingFaceDownloadError DownloadUtils::HuggingFaceDownloadError::downloadFailed(std::string path,
                                                                                                std::string underlying,
                                                                                                long httpStatus) {
  HuggingFaceDownloadError error(Code::downloadFailed, "Failed to download " + path + ": " + underlying);
  error.m_path = std::move(path);
  error.m_message = std::move(underlying);
  error.m_httpStatus = httpStatus;
  return error;
}

DownloadUtils::HuggingFaceDownloadError DownloadUtils::HuggingFaceDownloadError::modelNotFound(std::string path) {
  HuggingFaceDownloadError error(Code::modelNotFound, "Model file not found: " + path);
  error.m_path = std::move(path);
  return error;
}

DownloadUtils::HuggingFaceDownloadError DownloadUtils::HuggingFaceDownloadError::invalidResponse() {
  return HuggingFaceDownloadError(Code::invalidResponse, "Received an invalid response from Hugging Face.");
}

std::map<std::string, std::shared_ptr<OnnxModel>> DownloadUtils::loadModels(
    Repo repo, const std::vector<std::string>& modelNames, const fs::path& directory, ComputeUnits computeUnits,
    const std::optional<std::string>& variant, std::stop_token stop) {
  const auto& required = ModelNames::getRequiredModelNames(repo, variant);
  const bool whole = std::all_of(required.begin(), required.end(), [&](const std::string& name) {
    return std::find(modelNames.begin(), modelNames.end(), name) != modelNames.end();
  });
  std::map<std::string, std::shared_ptr<OnnxModel>> models;
  RepositoryCache::useFolder(
      repo, directory, variant, whole,
      [&](const fs::path& repoFolder) {
        models = RepositoryCache::loadModelFolders(repoFolder, modelNames, computeUnits);
      },
      stop);
  return models;
}

std::pair<std::string, DownloadUtils::Response> DownloadUtils::fetchWithAuth(const std::string& url) {
  std::string body;
  const HttpResponse response =
      HttpClient::shared().get(url, RepositoryDownload::authHeaders(), body, RepositoryDownload::kTimeout);
  return {std::move(body), Response{response.isHTTP, response.statusCode}};
}

std::string DownloadUtils::fetchHuggingFaceFile(const std::string& url, const std::string& description, int maxAttempts,
                                                double minBackoff) {
  const int attempts = std::max(maxAttempts, 1);
  const double backoff = std::isfinite(minBackoff) && minBackoff > 0 ? minBackoff : 0.0;
  for (int attempt = 1;; ++attempt) {
    std::exception_ptr failure;
    std::string reason;
    try {
      std::string body;
      const HttpResponse response =
          HttpClient::shared().get(url, RepositoryDownload::authHeaders(), body, RepositoryDownload::kTimeout);
      if (!response.isHTTP) throw HuggingFaceDownloadError::invalidResponse();
      if (response.statusCode == 429 || response.statusCode == 503) {
        throw HuggingFaceDownloadError::rateLimited(static_cast<int>(response.statusCode),
                                                    "HTTP " + std::to_string(response.statusCode));
      }
      if (response.statusCode >= 200 && response.statusCode <= 299) return body;
      throw HuggingFaceDownloadError::invalidResponse();
    } catch (const std::exception& e) {
      failure = std::current_exception();
      reason = e.what();
    }
    if (attempt >= attempts) std::rethrow_exception(failure);
    const double delay = backoff * std::pow(2.0, attempt - 1);
    logger().warning("Download attempt " + std::to_string(attempt) + " for " + description + " failed: " + reason +
                     ". Retrying in " + formatFixed(delay, 1) + "s.");
    std::this_thread::sleep_for(std::chrono::nanoseconds(static_cast<int64_t>(delay * 1e9)));
  }
}

fs::path DownloadUtils::defaultModelsDirectory() {
  fs::path base;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg && fs::path(xdg).is_absolute()) {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = fs::path(home && *home ? home : "/tmp") / ".local" / "share";
  }
  return base / "Voxtrellis" / "Models";
}

std::optional<std::string> DownloadUtils::huggingFaceToken() {
  for (const char* name : {"HF_TOKEN", "HUGGING_FACE_HUB_TOKEN", "HUGGINGFACEHUB_API_TOKEN"}) {
    if (const char* value = std::getenv(name)) return std::string(value);
  }
  return std::nullopt;
}

bool DownloadUtils::isSafeRelativePath(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos ||
      path.find('\\') != std::string::npos) {
    return false;
  }
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string component = path.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string DownloadUtils::percentEncodePath(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    const bool keep =
        std::isalnum(c) || std::string_view("-._~!$&'()*+,;=:@/").find(static_cast<char>(c)) != std::string_view::npos;
    if (keep) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

}  // namespace voxtrellis
