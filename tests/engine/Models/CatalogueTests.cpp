#include <voxtrellis/ModelNames.h>
#include <voxtrellis/ModelRegistry.h>

#include "FakeHub.h"
#include "Models/HttpClient.h"
#include "engine/Shared/LogCapture.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace voxtrellis {
namespace {

struct RepoRow {
  Repo repo;
  const char* rawValue;
  const char* name;
  const char* folderName;
  const char* remotePath;
  std::optional<std::string> subPath;
};

TEST(RepoTest, CatalogueTableInDeclarationOrder) {
  const std::vector<RepoRow> rows = {
      {Repo::vad, "Quillbrookline/silero-vad-onnx", "silero-vad-onnx", "silero-vad-onnx",
       "Quillbrookline/silero-vad-onnx", std::nullopt},
      {Repo::parakeet, "Quillbrookline/parakeet-tdt-0.6b-v3-onnx", "parakeet-tdt-0.6b-v3-onnx",
       "parakeet-tdt-0.6b-v3-onnx", "Quillbrookline/parakeet-tdt-0.6b-v3-onnx", std::nullopt},
      {Repo::parakeetV2, "Quillbrookline/parakeet-tdt-0.6b-v2-onnx", "parakeet-tdt-0.6b-v2-onnx",
       "parakeet-tdt-0.6b-v2-onnx", "Quillbrookline/parakeet-tdt-0.6b-v2-onnx", std::nullopt},
      {Repo::parakeetEou160, "Quillbrookline/parakeet-realtime-eou-120m-onnx/160ms",
       "parakeet-realtime-eou-120m-onnx/160ms", "parakeet-eou-streaming/160ms",
       "Quillbrookline/parakeet-realtime-eou-120m-onnx", "160ms"},
      {Repo::parakeetEou320, "Quillbrookline/parakeet-realtime-eou-120m-onnx/320ms",
       "parakeet-realtime-eou-120m-onnx/320ms", "parakeet-eou-streaming/320ms",
       "Quillbrookline/parakeet-realtime-eou-120m-onnx", "320ms"},
      {Repo::diarizer, "Quillbrookline/speaker-diarization-onnx", "speaker-diarization-onnx",
       "speaker-diarization-onnx", "Quillbrookline/speaker-diarization-onnx", std::nullopt},
      {Repo::kokoro, "Quillbrookline/kokoro-82m-onnx", "kokoro-82m-onnx", "kokoro", "Quillbrookline/kokoro-82m-onnx",
       std::nullopt},
  };
  ASSERT_EQ(Repo::allCases().size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Repo repo = Repo::allCases()[i];
    EXPECT_EQ(repo, rows[i].repo);
    EXPECT_EQ(repo.rawValue(), rows[i].rawValue);
    EXPECT_EQ(repo.name(), rows[i].name);
    EXPECT_EQ(repo.folderName(), rows[i].folderName);
    EXPECT_EQ(repo.remotePath(), rows[i].remotePath);
    EXPECT_EQ(repo.subPath(), rows[i].subPath);
    EXPECT_EQ(Repo::fromRawValue(rows[i].rawValue), repo);
  }
  EXPECT_FALSE(Repo::fromRawValue("quillbrookline/parakeet-tdt-0.6b-v3-onnx").has_value());
  EXPECT_FALSE(Repo::fromRawValue("").has_value());
  std::unordered_set<Repo> set(Repo::allCases().begin(), Repo::allCases().end());
  EXPECT_EQ(set.size(), 7u);
}

TEST(ModelNamesTest, RequiredSetsByRepositoryAndVariant) {
  using namespace ModelNames;
  EXPECT_EQ(getRequiredModelNames(Repo::vad), (std::set<std::string>{"silero-vad-unified-256ms-v6.0.0.mlmodelc"}));
  EXPECT_EQ(getRequiredModelNames(Repo::parakeet, "offline"),
            (std::set<std::string>{"Preprocessor.mlmodelc", "Encoder.mlmodelc", "Decoder.mlmodelc",
                                   "JointDecision.mlmodelc"}));
  EXPECT_EQ(&getRequiredModelNames(Repo::parakeetV2), &ASR::requiredModels());
  EXPECT_EQ(getRequiredModelNames(Repo::parakeetEou320).size(), 6u);
  EXPECT_TRUE(getRequiredModelNames(Repo::parakeetEou160).count("tokenizer.model"));
  EXPECT_EQ(
      getRequiredModelNames(Repo::diarizer, "offline"),
      (std::set<std::string>{"Segmentation.mlmodelc", "FBank.mlmodelc", "Embedding.mlmodelc", "PldaRho.mlmodelc"}));
  EXPECT_EQ(getRequiredModelNames(Repo::diarizer, "Offline"),
            (std::set<std::string>{"pyannote_segmentation.mlmodelc", "wespeaker_v2.mlmodelc"}));
  EXPECT_EQ(&getRequiredModelNames(Repo::diarizer), &Diarizer::requiredModels());
  EXPECT_EQ(getRequiredModelNames(Repo::kokoro),
            (std::set<std::string>{"kokoro_21_5s.mlmodelc", "kokoro_21_15s.mlmodelc"}));
  EXPECT_EQ(ASR::vocabulary(Repo::parakeetV2), "parakeet_vocab.json");
  EXPECT_EQ(TTS::maxDurationSeconds(TTS::Variant::fiveSecond), 5);
  EXPECT_EQ(TTS::bundle(TTS::defaultVariant), TTS::defaultBundle);
}

class RegistryTest : public ::testing::Test {
 protected:
  test::ScopedEnv registry{"REGISTRY_URL", std::nullopt};
  test::ScopedEnv model{"MODEL_REGISTRY_URL", std::nullopt};
};

TEST_F(RegistryTest, BaseAddressPrecedenceAndAddressForms) {
  EXPECT_EQ(ModelRegistry::apiModels("Quillbrookline/silero-vad-onnx", "tree/main"),
            std::string(ModelRegistry::publicHubOrigin) + "/api/models/Quillbrookline/silero-vad-onnx/tree/main");
  {
    test::ScopedEnv second("MODEL_REGISTRY_URL", "http://second");
    EXPECT_EQ(ModelRegistry::baseURL(), "http://second");
    test::ScopedEnv first("REGISTRY_URL", "http://first/");
    EXPECT_EQ(ModelRegistry::baseURL(), "http://first/");
    EXPECT_EQ(ModelRegistry::resolveModel("o/r", "encoder/model.onnx"),
              "http://first//o/r/resolve/main/encoder/model.onnx");
  }
  test::ScopedEnv base("REGISTRY_URL", "http://hub.local");
  EXPECT_EQ(ModelRegistry::apiDatasets("o/r", "p"), "http://hub.local/api/datasets/o/r/p");
  EXPECT_EQ(ModelRegistry::resolveDataset("o/r", "p"), "http://hub.local/datasets/o/r/resolve/main/p");
  EXPECT_EQ(ModelRegistry::resolveDatasetBase("o/r"), "http://hub.local/datasets/o/r/resolve/main");
  try {
    ModelRegistry::apiModels("o/r", "tree main");
    ADD_FAILURE();
  } catch (const ModelRegistry::Error& e) {
    EXPECT_STREQ(e.what(), "Invalid URL construction: http://hub.local/api/models/o/r/tree main");
  }
  test::ScopedEnv empty("REGISTRY_URL", "");
  EXPECT_EQ(ModelRegistry::baseURL(), "");
  EXPECT_THROW(ModelRegistry::apiModels("o/r", "x"), ModelRegistry::Error);
}

TEST_F(RegistryTest, OverrideWinsForTheRestOfTheProcess) {
  // The override cannot be cleared, so it is exercised in a child process.
  EXPECT_EXIT(
      {
        setenv("REGISTRY_URL", "http://env", 1);
        ModelRegistry::setBaseURL("http://override");
        const bool ok = ModelRegistry::baseURL() == "http://override" &&
                        ModelRegistry::apiModels("o/r", "x") == "http://override/api/models/o/r/x";
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

struct ProxyCase {
  std::optional<std::string> https, http;
  std::size_t entries;
  std::vector<std::string> logs;
};

void PrintTo(const ProxyCase& c, std::ostream* os) {
  *os << "https=" << c.https.value_or("unset") << " http=" << c.http.value_or("unset");
}

class ProxyTest : public ::testing::TestWithParam<ProxyCase> {};

TEST_P(ProxyTest, ReadsOnlyTheTwoLowerCaseVariables) {
  const ProxyCase c = GetParam();
  test::ScopedEnv https("https_proxy", c.https), http("http_proxy", c.http), upper("HTTPS_PROXY", "http://u:1");
  test::LogCapture logs;
  const auto settings = ModelRegistry::configureProxySettings();
  EXPECT_EQ(settings ? settings->size() : 0u, c.entries);
  EXPECT_EQ(logs.messages("ModelRegistry"), c.logs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProxyTest,
    ::testing::Values(ProxyCase{"http://proxy.local:3128",
                                "http://plain.local:8080",
                                6,
                                {"Configured HTTPS proxy: proxy.local:3128",
                                 "Configured HTTP proxy: plain.local:8080"}},
                      ProxyCase{"http://proxy.local", std::nullopt, 0, {"Invalid HTTPS proxy URL: http://proxy.local"}},
                      ProxyCase{"proxy.local:3128",
                                "socks5://user:pw@s.local:1080",
                                3,
                                {"Invalid HTTPS proxy URL: proxy.local:3128", "Configured HTTP proxy: s.local:1080"}},
                      ProxyCase{std::nullopt, std::nullopt, 0, {}}));

TEST(HttpClientTest, ProxiesComeOnlyFromItsSettings) {
  ModelRegistry::ProxySettings settings = {{ModelRegistry::kCFNetworkProxiesHTTPSEnable, true},
                                           {ModelRegistry::kCFNetworkProxiesHTTPSProxy, std::string("p")},
                                           {ModelRegistry::kCFNetworkProxiesHTTPSPort, 3128}};
  HttpClient withProxy(settings);
  EXPECT_EQ(withProxy.proxyFor("https://hub/x"), "http://p:3128");
  EXPECT_EQ(withProxy.proxyFor("http://hub/x"), "");

  // A proxy variable libcurl would read by itself must not divert requests.
  test::FakeHub hub;
  hub.answer("/ping", 200, "pong");
  test::ScopedEnv a("http_proxy", "http://127.0.0.1:1"), b("ALL_PROXY", "http://127.0.0.1:1");
  HttpClient direct(std::nullopt);
  std::string body;
  EXPECT_EQ(direct.get(hub.baseUrl() + "/ping", {}, body, 10).statusCode, 200);
  EXPECT_EQ(body, "pong");
}

}  // namespace
}  // namespace voxtrellis
