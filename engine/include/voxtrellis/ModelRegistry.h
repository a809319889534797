#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

namespace voxtrellis {

// Where the model hub lives and how its addresses are formed, and the proxy
// settings of the engine's HTTP client.
//
// Thread safety: every member may be used from any thread.
class ModelRegistry {
 public:
  // An address text that does not form a URL. what() is
  // "Invalid URL construction: " + the text.
  class Error : public std::runtime_error {
   public:
    static Error invalidURL(std::string text) { return Error(std::move(text)); }
    const std::string& text() const { return m_text; }

   private:
    explicit Error(std::string text)
        : std::runtime_error("Invalid URL construction: " + text), m_text(std::move(text)) {}
    std::string m_text;
  };

  // Key names of the proxy settings (the connection-proxy dictionary keys).
  static constexpr const char* kCFNetworkProxiesHTTPSEnable = "HTTPSEnable";
  static constexpr const char* kCFNetworkProxiesHTTPSProxy = "HTTPSProxy";
  static constexpr const char* kCFNetworkProxiesHTTPSPort = "HTTPSPort";
  static constexpr const char* kCFNetworkProxiesHTTPEnable = "HTTPEnable";
  static constexpr const char* kCFNetworkProxiesHTTPProxy = "HTTPProxy";
  static constexpr const char* kCFNetworkProxiesHTTPPort = "HTTPPort";
  using ProxyValue = std::variant<bool, std::string, int>;
  using ProxySettings = std::map<std::string, ProxyValue>;

  static constexpr const char* publicHubOrigin = "https://huggingface.co";

  ModelRegistry() = delete;

  // The override once set, else "REGISTRY_URL", else "MODEL_REGISTRY_URL"
  // (an empty value counts as set), else the public hub. Read afresh each time.
  static std::string baseURL();
  // Sets the override for the rest of the process.
  static void setBaseURL(std::string url);

  // base + "/api/models/" + repo + "/" + path. Throws Error.
  static std::string apiModels(const std::string& repo, const std::string& path);
  // base + "/api/datasets/" + repo + "/" + path. Throws Error.
  static std::string apiDatasets(const std::string& repo, const std::string& path);
  // base + "/" + repo + "/resolve/main/" + path. Throws Error.
  static std::string resolveModel(const std::string& repo, const std::string& path);
  // base + "/datasets/" + repo + "/resolve/main/" + path. Throws Error.
  static std::string resolveDataset(const std::string& repo, const std::string& path);
  // base + "/datasets/" + repo + "/resolve/main". Never fails.
  static std::string resolveDatasetBase(const std::string& repo);

  // Proxy entries from "https_proxy" and "http_proxy" (only these lower-case
  // names); none when neither gives a valid host and port.
  static std::optional<ProxySettings> configureProxySettings();

  // Whether a text forms an absolute URL.
  static bool isValidURL(const std::string& text);

 private:
  static std::optional<ProxySettings> parseProxyURL(const std::string& value, const std::string& type);
  static std::string checked(std::string text);
};

}  // namespace voxtrellis
