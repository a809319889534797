#include <voxtrellis/ModelRegistry.h>

#include "Shared/AppLogger.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <mutex>

namespace voxtrellis {

namespace {

std::mutex& overrideMutex() {
  static std::mutex m;
  return m;
}
std::optional<std::string>& overrideSlot() {
  static std::optional<std::string> slot;
  return slot;
}

const AppLogger& logger() {
  static const AppLogger log("ModelRegistry");
  return log;
}

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

UrlHandle parse(const std::string& text) {
  UrlHandle url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return nullptr;
  }
  return url;
}

std::optional<std::string> part(CURLU* url, CURLUPart which) {
  char* value = nullptr;
  if (curl_url_get(url, which, &value, 0) != CURLUE_OK || !value) return std::nullopt;
  std::string out(value);
  curl_free(value);
  return out;
}

}  // namespace

std::string ModelRegistry::baseURL() {
  {
    std::lock_guard lock(overrideMutex());
    if (overrideSlot()) return *overrideSlot();
  }
  if (const char* value = std::getenv("REGISTRY_URL")) return value;
  if (const char* value = std::getenv("MODEL_REGISTRY_URL")) return value;
  return publicHubOrigin;
}

void ModelRegistry::setBaseURL(std::string url) {
  std::lock_guard lock(overrideMutex());
  overrideSlot() = std::move(url);
}

bool ModelRegistry::isValidURL(const std::string& text) {
  return parse(text) != nullptr;
}

std::string ModelRegistry::checked(std::string text) {
  if (!isValidURL(text)) throw Error::invalidURL(std::move(text));
  return text;
}

std::string ModelRegistry::apiModels(const std::string& repo, const std::string& path) {
  return checked(baseURL() + "/api/models/" + repo + "/" + path);
}

std::string ModelRegistry::apiDatasets(const std::string& repo, const std::string& path) {
  return checked(baseURL() + "/api/datasets/" + repo + "/" + path);
}

std::string ModelRegistry::resolveModel(const std::string& repo, const std::string& path) {
  return checked(baseURL() + "/" + repo + "/resolve/main/" + path);
}

std::string ModelRegistry::resolveDataset(const std::string& repo, const std::string& path) {
  return checked(baseURL() + "/datasets/" + repo + "/resolve/main/" + path);
}

std::string ModelRegistry::resolveDatasetBase(const std::string& repo) {
  return baseURL() + "/datasets/" + repo + "/resolve/main";
}

std::optional<ModelRegistry::ProxySettings> ModelRegistry::parseProxyURL(const std::string& value,
                                                                         const std::string& type) {
  UrlHandle url = parse(value);
  std::optional<std::string> host, port;
  if (url) {
    host = part(url.get(), CURLUPART_HOST);
    port = part(url.get(), CURLUPART_PORT);  // present only when written explicitly
  }
  if (!url || !host || host->empty() || !port) {
    logger().warning("Invalid " + type + " proxy URL: " + value);
    return std::nullopt;
  }
  ProxySettings settings;
  const int portNumber = std::atoi(port->c_str());
  if (type == "HTTPS") {
    settings[kCFNetworkProxiesHTTPSEnable] = true;
    settings[kCFNetworkProxiesHTTPSProxy] = *host;
    settings[kCFNetworkProxiesHTTPSPort] = portNumber;
  } else if (type == "HTTP") {
    settings[kCFNetworkProxiesHTTPEnable] = true;
    settings[kCFNetworkProxiesHTTPProxy] = *host;
    settings[kCFNetworkProxiesHTTPPort] = portNumber;
  } else {
    return std::nullopt;
  }
  logger().info("Configured " + type + " proxy: " + *host + ":" + std::to_string(portNumber));
  return settings;
}

std::optional<ModelRegistry::ProxySettings> ModelRegistry::configureProxySettings() {
  ProxySettings settings;
  if (const char* https = std::getenv("https_proxy")) {
    if (auto parsed = parseProxyURL(https, "HTTPS")) {
      for (auto& [key, value] : *parsed) settings[key] = value;
    }
  }
  if (const char* http = std::getenv("http_proxy")) {
    if (auto parsed = parseProxyURL(http, "HTTP")) {
      for (auto& [key, value] : *parsed) settings[key] = value;
    }
  }
  if (settings.empty()) return std::nullopt;
  return settings;
}

}  // namespace voxtrellis
