#pragma once

#include <voxtrellis/ModelRegistry.h>
#include <voxtrellis/NetworkError.h>

#include <filesystem>
#include <mutex>
#include <optional>
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
// follow redirects; the time-out is an idle limit (no bytes for that long).
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
                   double timeoutSeconds) const;
  // GET into a file, created or truncated. Throws NetworkError; the file may
  // then hold part of the body and is the caller's to remove.
  HttpResponse download(const std::string& url, const std::vector<std::string>& headers,
                        const std::filesystem::path& file, double timeoutSeconds) const;

  // The proxy used for a URL ("http://host:port"), or "" for none.
  std::string proxyFor(const std::string& url) const;

 private:
  void* takeHandle() const;
  void returnHandle(void* handle) const;
  HttpResponse perform(void* handle, const std::string& url, const std::vector<std::string>& headers,
                       double timeoutSeconds) const;

  std::optional<ModelRegistry::ProxySettings> m_proxy;
  mutable std::mutex m_mutex;
  mutable std::vector<void*> m_handles;
};

}  // namespace voxtrellis
