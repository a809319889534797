#pragma once

#include <voxtrellis/ModelRegistry.h>
#include <voxtrellis/NetworkError.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace voxtrellis {

struct HttpResponse {
  // False when the answer was not an HTTP response at all.
  bool isHTTP = true;
  long statusCode = 0;
};

// The engine's HTTP client over libcurl. Proxies come only from the settings
// given at creation: libcurl never reads proxy variables of its own. Requests
// follow redirects. A request ends with a NetworkError when it takes longer
// than its time-out in all, or when no byte arrives for the stall interval
// (a hub that accepts the connection and then sends nothing).
//
// A request given a stop token ends within about a second of a stop being
// asked for, throwing DownloadUtils::DownloadStopped.
//
// Thread safety: requests may run from several threads at once; connections
// are kept and reused between requests.
class HttpClient {
 public:
  explicit HttpClient(std::optional<ModelRegistry::ProxySettings> proxy);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // The process-wide client, made on first use from ModelRegistry::configureProxySettings().
  static HttpClient& shared();

  // GET into memory. Throws NetworkError.
  HttpResponse get(const std::string& url, const std::vector<std::string>& headers, std::string& body,
                   double timeoutSeconds, std::stop_token stop = {}) const;
  // GET into a file, created or truncated. Throws NetworkError; the file may
  // then hold part of the body and is the caller's to remove. With `maxBytes`
  // the transfer ends as soon as more than that arrives (NetworkError with the
  // code kTooLarge): a server that sends without end cannot fill the disk. An
  // answer other than 2xx cut off there is returned with its status.
  HttpResponse download(const std::string& url, const std::vector<std::string>& headers,
                        const std::filesystem::path& file, double timeoutSeconds,
                        std::optional<uint64_t> maxBytes = std::nullopt, std::stop_token stop = {}) const;
  // The NetworkError code of a download cut off at its limit (CURLE_FILESIZE_EXCEEDED).
  static constexpr int kTooLarge = 63;

  // The proxy used for a URL ("http://host:port"), or "" for none.
  std::string proxyFor(const std::string& url) const;

  // Seconds without a single byte after which a request gives up (and the
  // longest a connection may take to open); 60 unless set.
  static constexpr long kDefaultStallSeconds = 60;
  void setStallSeconds(long seconds) { m_stallSeconds = seconds > 0 ? seconds : kDefaultStallSeconds; }
  long stallSeconds() const { return m_stallSeconds; }

 private:
  void* takeHandle() const;
  void returnHandle(void* handle) const;
  HttpResponse perform(void* handle, const std::string& url, const std::vector<std::string>& headers,
                       double timeoutSeconds, const std::stop_token& stop) const;

  std::optional<ModelRegistry::ProxySettings> m_proxy;
  mutable std::mutex m_mutex;
  mutable std::vector<void*> m_handles;
  std::atomic<long> m_stallSeconds{kDefaultStallSeconds};
};

}  // namespace voxtrellis
