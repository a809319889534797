#include "Models/HttpClient.h"

#include <voxtrellis/DownloadUtils.h>

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>

namespace voxtrellis {

namespace {

void globalInit() {
  static const bool done = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return true;
  }();
  (void)done;
}

size_t appendToString(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

struct FileTarget {
  std::FILE* file = nullptr;
  uint64_t written = 0;
  std::optional<uint64_t> limit;
  bool exceeded = false;
};

size_t appendToFile(char* data, size_t size, size_t count, void* target) {
  auto* out = static_cast<FileTarget*>(target);
  const uint64_t bytes = static_cast<uint64_t>(size) * count;
  if (out->limit && out->written + bytes > *out->limit) {
    out->exceeded = true;
    return 0;  // ends the transfer with a write error
  }
  out->written += bytes;
  return std::fwrite(data, size, count, out->file) * size;
}

// libcurl calls this at least about once a second, also while no byte arrives; a non-zero answer
// ends the transfer.
int abortWhenStopped(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::stop_token*>(stop)->stop_requested() ? 1 : 0;
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
};

template <class T>
std::optional<T> entry(const ModelRegistry::ProxySettings& settings, const char* key) {
  auto it = settings.find(key);
  if (it == settings.end() || !std::holds_alternative<T>(it->second)) return std::nullopt;
  return std::get<T>(it->second);
}

}  // namespace

HttpClient::HttpClient(std::optional<ModelRegistry::ProxySettings> proxy) : m_proxy(std::move(proxy)) {
  globalInit();
}

HttpClient::~HttpClient() {
  for (void* handle : m_handles) curl_easy_cleanup(static_cast<CURL*>(handle));
}

HttpClient& HttpClient::shared() {
  static HttpClient client(ModelRegistry::configureProxySettings());
  return client;
}

std::string HttpClient::proxyFor(const std::string& url) const {
  if (!m_proxy) return "";
  const bool https = url.rfind("https:", 0) == 0 || url.rfind("HTTPS:", 0) == 0;
  const bool http = url.rfind("http:", 0) == 0 || url.rfind("HTTP:", 0) == 0;
  const char* enable = https ? ModelRegistry::kCFNetworkProxiesHTTPSEnable : ModelRegistry::kCFNetworkProxiesHTTPEnable;
  const char* host = https ? ModelRegistry::kCFNetworkProxiesHTTPSProxy : ModelRegistry::kCFNetworkProxiesHTTPProxy;
  const char* port = https ? ModelRegistry::kCFNetworkProxiesHTTPSPort : ModelRegistry::kCFNetworkProxiesHTTPPort;
  if (!https && !http) return "";
  if (!entry<bool>(*m_proxy, enable).value_or(false)) return "";
  const auto h = entry<std::string>(*m_proxy, host);
  const auto p = entry<int>(*m_proxy, port);
  if (!h || !p) return "";
  return "http://" + *h + ":" + std::to_string(*p);
}

void* HttpClient::takeHandle() const {
  {
    std::lock_guard lock(m_mutex);
    if (!m_handles.empty()) {
      void* handle = m_handles.back();
      m_handles.pop_back();
      curl_easy_reset(static_cast<CURL*>(handle));
      return handle;
    }
  }
  CURL* handle = curl_easy_init();
  if (!handle) throw NetworkError(CURLE_FAILED_INIT, "Failed to create an HTTP connection");
  return handle;
}

void HttpClient::returnHandle(void* handle) const {
  std::lock_guard lock(m_mutex);
  m_handles.push_back(handle);
}

HttpResponse HttpClient::perform(void* raw, const std::string& url, const std::vector<std::string>& headers,
                                 double timeoutSeconds, const std::stop_token& stop) const {
  if (stop.stop_requested()) throw DownloadUtils::DownloadStopped();
  CURL* handle = static_cast<CURL*>(raw);
  HeaderList list;
  for (const auto& header : headers) list.list = curl_slist_append(list.list, header.c_str());
  char errorText[CURL_ERROR_SIZE] = {0};
  const long totalSeconds = timeoutSeconds > 0 ? static_cast<long>(std::ceil(timeoutSeconds)) : 1800;
  const long stallSeconds = std::min(m_stallSeconds.load(), totalSeconds);
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list.list);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
  // Only web addresses: a hub answer must never redirect to a local file or another protocol.
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, stallSeconds);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, totalSeconds);
  // Less than a byte per second over the stall interval: no progress.
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, stallSeconds);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, 1024L * 1024L);
  curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
  // An explicit value (even empty) stops libcurl from reading proxy variables itself.
  const std::string proxy = proxyFor(url);
  curl_easy_setopt(handle, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(handle, CURLOPT_NOPROXY, "");
  if (stop.stop_possible()) {
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, abortWhenStopped);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &stop);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  }

  const CURLcode code = curl_easy_perform(handle);
  if (code == CURLE_ABORTED_BY_CALLBACK && stop.stop_requested()) throw DownloadUtils::DownloadStopped();
  if (code != CURLE_OK) {
    std::string text = errorText[0] ? errorText : curl_easy_strerror(code);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    throw NetworkError(code, text);
  }
  HttpResponse response;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.statusCode);
  long version = 0;
  curl_easy_getinfo(handle, CURLINFO_HTTP_VERSION, &version);
  response.isHTTP = response.statusCode != 0 && version != 0;
  return response;
}

HttpResponse HttpClient::get(const std::string& url, const std::vector<std::string>& headers, std::string& body,
                             double timeoutSeconds, std::stop_token stop) const {
  void* handle = takeHandle();
  std::unique_ptr<void, std::function<void(void*)>> keeper(handle, [this](void* h) { returnHandle(h); });
  body.clear();
  curl_easy_setopt(static_cast<CURL*>(handle), CURLOPT_WRITEFUNCTION, appendToString);
  curl_easy_setopt(static_cast<CURL*>(handle), CURLOPT_WRITEDATA, &body);
  return perform(handle, url, headers, timeoutSeconds, stop);
}

HttpResponse HttpClient::download(const std::string& url, const std::vector<std::string>& headers,
                                  const std::filesystem::path& file, double timeoutSeconds,
                                  std::optional<uint64_t> maxBytes, std::stop_token stop) const {
  static_assert(kTooLarge == CURLE_FILESIZE_EXCEEDED);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(file.c_str(), "wb"), &std::fclose);
  if (!out) throw NetworkError(CURLE_WRITE_ERROR, "Cannot create temporary file " + file.string());
  std::setvbuf(out.get(), nullptr, _IOFBF, 1 << 20);
  void* handle = takeHandle();
  std::unique_ptr<void, std::function<void(void*)>> keeper(handle, [this](void* h) { returnHandle(h); });
  FileTarget target{out.get(), 0, maxBytes, false};
  curl_easy_setopt(static_cast<CURL*>(handle), CURLOPT_WRITEFUNCTION, appendToFile);
  curl_easy_setopt(static_cast<CURL*>(handle), CURLOPT_WRITEDATA, &target);
  HttpResponse response;
  try {
    response = perform(handle, url, headers, timeoutSeconds, stop);
  } catch (const NetworkError&) {
    if (target.exceeded) {
      // An error page longer than the file it stands for is still an answer: its status says
      // what went wrong (a hub that limits its rate, say), not its length.
      long status = 0;
      curl_easy_getinfo(static_cast<CURL*>(handle), CURLINFO_RESPONSE_CODE, &status);
      if (status != 0 && (status < 200 || status > 299)) {
        response.statusCode = status;
        return response;
      }
      throw NetworkError(kTooLarge, "received more than the " + std::to_string(*maxBytes) + " bytes expected");
    }
    throw;
  }
  if (std::fflush(out.get()) != 0)
    throw NetworkError(CURLE_WRITE_ERROR, "Cannot write temporary file " + file.string());
  return response;
}

}  // namespace voxtrellis
