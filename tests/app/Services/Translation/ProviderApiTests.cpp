// The three providers' HTTPS roads against a fake API on 127.0.0.1.

#include "Services/Translation/Providers/ClaudeProvider.h"
#include "Services/Translation/Providers/GeminiProvider.h"
#include "Services/Translation/Providers/OpenAIProvider.h"
#include "Services/Translation/TranslationProviderFactory.h"
#include "app/Services/Translation/TranslationTestSupport.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>

#include <QScopeGuard>

#include <atomic>
#include <chrono>
#include <thread>

using namespace parlowvista;
using namespace translationtest;
using nlohmann::json;

namespace {

struct ProviderRun {
  bool done = false;
  ProviderOutcome outcome;
  std::vector<std::pair<double, QString>> progress;
};

std::shared_ptr<ProviderRun> start(TranslationProviderProtocol& provider, const QList<TranscribedSegment>& segments,
                                   std::optional<QString> model = std::nullopt) {
  auto run = std::make_shared<ProviderRun>();
  provider.translate(
      segments, QStringLiteral("fr"), std::nullopt, model,
      [run](double fraction, const QString& status) { run->progress.emplace_back(fraction, status); },
      [run](const ProviderOutcome& outcome) {
        EXPECT_FALSE(run->done) << "completion called twice";
        run->done = true;
        run->outcome = outcome;
      });
  EXPECT_FALSE(run->done) << "completion must come later, not from inside translate()";
  return run;
}

std::shared_ptr<ProviderRun> runToEnd(TranslationProviderProtocol& provider, const QList<TranscribedSegment>& segments,
                                      std::optional<QString> model = std::nullopt) {
  auto run = start(provider, segments, model);
  EXPECT_TRUE(testsupport::waitUntil([&] { return run->done; }, 15000));
  return run;
}

// What differs between the three APIs, seen from the server's side.
struct ApiShape {
  TranslationProviderType type;
  const char* pathPattern;
  std::string (*promptOf)(const json& body);
  std::string (*wrap)(const std::string& modelText);
  const char* parseFailure;
  bool forbiddenIsMissingKey;
  bool readsRetryAfter;
};

// Test names show the endpoint, not a byte dump of the shape with addresses.
void PrintTo(const ApiShape& shape, std::ostream* os) {
  *os << shape.pathPattern;
}

const ApiShape kShapes[] = {
    {TranslationProviderType::claude, "/v1/messages",
     [](const json& b) { return b["messages"][0]["content"].get<std::string>(); },
     [](const std::string& t) {
       return json{{"content", {{{"type", "text"}, {"text", t}}}}}.dump();
     },
     "Failed to parse Claude response", false, true},
    {TranslationProviderType::gemini, R"(/v1beta/models/(.+))",
     [](const json& b) { return b["contents"][0]["parts"][0]["text"].get<std::string>(); },
     [](const std::string& t) {
       return json{{"candidates", {{{"content", {{"parts", {{{"text", t}}}}}}}}}}.dump();
     },
     "Failed to parse Gemini response", true, false},
    {TranslationProviderType::openai, "/v1/chat/completions",
     [](const json& b) { return b["messages"][1]["content"].get<std::string>(); },
     [](const std::string& t) {
       return json{{"choices", {{{"message", {{"role", "assistant"}, {"content", t}}}}}}}.dump();
     },
     "Failed to parse OpenAI response", false, true},
};

class ProviderApiTest : public ::testing::TestWithParam<ApiShape> {
 protected:
  void SetUp() override {
    REQUIRE_KEYCHAIN(sandbox);
    ProviderEndpoints& endpoints = sandbox.endpoints;
    endpoints.claudeBaseUrl = endpoints.geminiBaseUrl = endpoints.openAIBaseUrl = api.baseUrl();
    endpoints.batchPauseMs = 20;
    settings = std::make_unique<TranslationSettings>(sandbox.keychain);
    ASSERT_TRUE(sandbox.keychain.setAPIKey(QStringLiteral("sk-test key"), shape().type));
  }

  const ApiShape& shape() const { return GetParam(); }

  std::unique_ptr<TranslationProviderProtocol> provider() {
    return TranslationProviderFactory::createProvider(shape().type, TranslationConnectionMode::api, *settings,
                                                      sandbox.endpoints);
  }

  // Answers every request with `respond`, after recording it.
  void serve(std::function<void(const httplib::Request&, httplib::Response&, int index)> respond) {
    api.server.server().Post(shape().pathPattern, [this, respond](const httplib::Request& req, httplib::Response& res) {
      api.record(req);
      respond(req, res, count++);
    });
  }

  void serveTranslations() {
    const ApiShape s = shape();
    serve([s](const httplib::Request& req, httplib::Response& res, int) {
      res.set_content(s.wrap(translatedArray(s.promptOf(json::parse(req.body)))), "application/json");
    });
  }

  SettingsSandbox sandbox;
  FakeApi api;
  std::unique_ptr<TranslationSettings> settings;
  std::atomic<int> count{0};
};

TEST_P(ProviderApiTest, TranslatesInBatchesWithProgress) {
  serveTranslations();
  settings->setBatchSize(10);
  const auto segments = makeSegments(25);
  auto p = provider();
  auto run = runToEnd(*p, segments);
  ASSERT_TRUE(run->outcome.succeeded()) << (run->outcome.error
                                                ? run->outcome.error->localizedDescription().toStdString()
                                                : run->outcome.platformFailure.value_or("").toStdString());
  ASSERT_EQ(run->outcome.segments.size(), 25);
  for (int i = 0; i < 25; ++i) {
    EXPECT_EQ(run->outcome.segments[i].originalSegmentId, segments[i].id);
    EXPECT_EQ(run->outcome.segments[i].translatedText, QStringLiteral("FR:segment %1").arg(i));
  }
  const auto requests = api.requests();
  ASSERT_EQ(requests.size(), 3u);
  const size_t sizes[] = {10, 10, 5};
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(promptSegments(shape().promptOf(json::parse(requests[i].body))).size(), sizes[i]);
  const std::vector<std::pair<double, QString>> expected = {{0.0, "Translating batch 1/3..."},
                                                            {1.0 / 3.0, "Translating batch 2/3..."},
                                                            {2.0 / 3.0, "Translating batch 3/3..."},
                                                            {1.0, "Translation complete"}};
  ASSERT_EQ(run->progress.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_DOUBLE_EQ(run->progress[i].first, expected[i].first);
    EXPECT_EQ(run->progress[i].second, expected[i].second);
  }
}

TEST_P(ProviderApiTest, SendsTheDocumentedRequest) {
  serveTranslations();
  auto p = provider();
  auto run = runToEnd(*p, makeSegments(2));
  ASSERT_TRUE(run->outcome.succeeded());
  const auto requests = api.requests();
  ASSERT_EQ(requests.size(), 1u);
  const RecordedRequest& r = requests[0];
  const json body = json::parse(r.body);
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.headers.at("content-type"), "application/json");
  switch (shape().type) {
    case TranslationProviderType::claude:
      EXPECT_EQ(r.path, "/v1/messages");
      EXPECT_EQ(r.headers.at("x-api-key"), "sk-test key");
      EXPECT_EQ(r.headers.at("anthropic-version"), "2023-06-01");
      EXPECT_EQ(body, json::parse(R"({"model":"claude-3-haiku-20240307","max_tokens":4096,
                                      "messages":[{"role":"user","content":)" +
                                  json(shape().promptOf(body)).dump() + "}]}"));
      break;
    case TranslationProviderType::gemini:
      EXPECT_EQ(r.path, "/v1beta/models/gemini-1.5-flash:generateContent");
      EXPECT_EQ(r.keyParam, "sk-test key");
      EXPECT_EQ(r.headers.count("authorization"), 0u);
      EXPECT_EQ(r.headers.count("x-api-key"), 0u);
      EXPECT_EQ(body, json::parse(R"({"contents":[{"parts":[{"text":)" + json(shape().promptOf(body)).dump() +
                                  R"(}]}],"generationConfig":{"maxOutputTokens":4096,"temperature":0.1}})"));
      break;
    case TranslationProviderType::openai:
      EXPECT_EQ(r.path, "/v1/chat/completions");
      EXPECT_EQ(r.headers.at("authorization"), "Bearer sk-test key");
      EXPECT_EQ(body["model"], "gpt-4o-mini");
      EXPECT_EQ(body["max_tokens"], 4096);
      EXPECT_DOUBLE_EQ(body["temperature"].get<double>(), 0.1);
      EXPECT_EQ(body["messages"][0]["role"], "system");
      EXPECT_EQ(body["messages"][0]["content"],
                "You are a professional translator. Translate text accurately while preserving meaning and tone. "
                "Return only valid JSON.");
      EXPECT_EQ(body["messages"][1]["role"], "user");
      break;
  }
  EXPECT_TRUE(shape().promptOf(body).starts_with("Translate the following transcript segments to French."));
}

TEST_P(ProviderApiTest, UsesTheGivenModel) {
  serveTranslations();
  auto p = provider();
  ASSERT_TRUE(runToEnd(*p, makeSegments(1), QStringLiteral("model-x"))->outcome.succeeded());
  const RecordedRequest r = api.requests().at(0);
  if (shape().type == TranslationProviderType::gemini)
    EXPECT_EQ(r.path, "/v1beta/models/model-x:generateContent");
  else
    EXPECT_EQ(json::parse(r.body)["model"], "model-x");
}

TEST_P(ProviderApiTest, StatusCodesBecomeErrors) {
  struct Case {
    int status;
    std::optional<std::string> retryAfter;
    TranslationError expected;
  };
  const bool readsRetry = shape().readsRetryAfter;
  const Case cases[] = {
      {401, std::nullopt, TranslationError::apiKeyMissing()},
      {403, std::nullopt,
       shape().forbiddenIsMissingKey ? TranslationError::apiKeyMissing()
                                     : TranslationError::translationFailed(QStringLiteral("body of 403"))},
      {429, std::string("30"), TranslationError::rateLimitExceeded(readsRetry ? std::optional(30.0) : std::nullopt)},
      {429, std::string("2.5"), TranslationError::rateLimitExceeded(readsRetry ? std::optional(2.5) : std::nullopt)},
      {429, std::nullopt, TranslationError::rateLimitExceeded(std::nullopt)},
      {429, std::string("Wed, 21 Oct 2015 07:28:00 GMT"), TranslationError::rateLimitExceeded(std::nullopt)},
      {429, std::string("1e999"), TranslationError::rateLimitExceeded(std::nullopt)},
      {429, std::string("inf"), TranslationError::rateLimitExceeded(std::nullopt)},
      {429, std::string("nan"), TranslationError::rateLimitExceeded(std::nullopt)},
      {500, std::nullopt, TranslationError::networkError(QStringLiteral("Server error: 500"))},
      {503, std::nullopt, TranslationError::networkError(QStringLiteral("Server error: 503"))},
      {201, std::nullopt, TranslationError::translationFailed(QStringLiteral("body of 201"))},
      {400, std::nullopt, TranslationError::translationFailed(QStringLiteral("body of 400"))},
  };
  std::atomic<size_t> current{0};
  serve([&](const httplib::Request&, httplib::Response& res, int) {
    const Case& c = cases[current];
    res.status = c.status;
    if (c.retryAfter) res.set_header("Retry-After", *c.retryAfter);
    res.set_content("body of " + std::to_string(c.status), "text/plain");
  });
  for (size_t i = 0; i < std::size(cases); ++i) {
    current = i;
    SCOPED_TRACE(std::to_string(cases[i].status) + " " + cases[i].retryAfter.value_or("-"));
    auto p = provider();
    auto run = runToEnd(*p, makeSegments(3));
    ASSERT_TRUE(run->outcome.error.has_value());
    EXPECT_EQ(*run->outcome.error, cases[i].expected) << run->outcome.error->localizedDescription().toStdString();
  }
}

TEST_P(ProviderApiTest, UnreadableBodiesAreInvalidResponses) {
  const ApiShape s = shape();
  const std::string bodies[] = {"not json", "[]", "{}", s.wrap("no array here"), s.wrap("[1]")};
  std::atomic<size_t> current{0};
  serve([&](const httplib::Request&, httplib::Response& res, int) {
    res.set_content(bodies[current], "application/json");
  });
  const QString messages[] = {s.parseFailure, s.parseFailure, s.parseFailure, "No JSON array found in response",
                              "Failed to parse JSON array"};
  for (size_t i = 0; i < std::size(bodies); ++i) {
    current = i;
    SCOPED_TRACE(bodies[i]);
    auto p = provider();
    auto run = runToEnd(*p, makeSegments(1));
    ASSERT_TRUE(run->outcome.error.has_value());
    EXPECT_EQ(*run->outcome.error, TranslationError::invalidResponse(messages[i]));
  }
}

TEST_P(ProviderApiTest, FailureInALaterBatchDiscardsEarlierResults) {
  const ApiShape s = shape();
  serve([s](const httplib::Request& req, httplib::Response& res, int index) {
    if (index == 1) {
      res.status = 502;
      return;
    }
    res.set_content(s.wrap(translatedArray(s.promptOf(json::parse(req.body)))), "application/json");
  });
  settings->setBatchSize(5);
  auto p = provider();
  auto run = runToEnd(*p, makeSegments(15));
  ASSERT_TRUE(run->outcome.error.has_value());
  EXPECT_EQ(*run->outcome.error, TranslationError::networkError(QStringLiteral("Server error: 502")));
  EXPECT_TRUE(run->outcome.segments.isEmpty());
  EXPECT_EQ(api.requests().size(), 2u);
}

TEST_P(ProviderApiTest, MissingKeyFailsBeforeAnything) {
  serveTranslations();
  ASSERT_TRUE(sandbox.keychain.setAPIKey(std::nullopt, shape().type));
  auto p = provider();
  EXPECT_FALSE(p->checkAvailability());
  for (int count : {0, 4}) {
    auto run = runToEnd(*p, makeSegments(count));
    ASSERT_TRUE(run->outcome.error.has_value());
    EXPECT_EQ(*run->outcome.error, TranslationError::apiKeyMissing());
    EXPECT_TRUE(run->progress.empty());
  }
  EXPECT_TRUE(api.requests().empty());
}

TEST_P(ProviderApiTest, EmptyListAndBatchSizeBelowOne) {
  serveTranslations();
  auto p = provider();
  EXPECT_TRUE(p->checkAvailability());
  auto empty = runToEnd(*p, {});
  ASSERT_TRUE(empty->outcome.succeeded());
  EXPECT_TRUE(empty->outcome.segments.isEmpty());
  ASSERT_EQ(empty->progress.size(), 1u);
  EXPECT_EQ(empty->progress[0].second, QStringLiteral("Translation complete"));
  EXPECT_TRUE(api.requests().empty());

  settings->setBatchSize(0);
  auto all = runToEnd(*p, makeSegments(12));
  ASSERT_TRUE(all->outcome.succeeded());
  EXPECT_EQ(all->outcome.segments.size(), 12);
  EXPECT_EQ(api.requests().size(), 1u);

  settings->setBatchSize(-3);
  auto none = runToEnd(*p, {});
  ASSERT_TRUE(none->outcome.succeeded());
  ASSERT_EQ(api.requests().size(), 2u);
  EXPECT_TRUE(shape().promptOf(json::parse(api.requests()[1].body)).find("Input:\n[]\n") != std::string::npos);
}

TEST_P(ProviderApiTest, SlowReplyTimesOut) {
  serve([](const httplib::Request&, httplib::Response& res, int) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    res.set_content("{}", "application/json");
  });
  sandbox.endpoints.requestTimeoutMs = 300;
  auto p = provider();
  auto run = runToEnd(*p, makeSegments(1));
  ASSERT_TRUE(run->outcome.platformFailure.has_value());
  EXPECT_FALSE(run->outcome.error.has_value());
  EXPECT_FALSE(run->outcome.cancelled);
}

// Answers with `pieces` copies of `piece` written `pauseMs` apart as a chunked reply; stops
// early once the client has gone or `stop` is set. A type the server does not compress, so
// each piece goes out as it is written.
void streamReply(httplib::Response& res, std::string piece, int pauseMs, int pieces,
                 std::shared_ptr<std::atomic<bool>> stop) {
  res.set_chunked_content_provider("application/octet-stream",
                                   [piece, pauseMs, pieces, stop](size_t, httplib::DataSink& sink) {
                                     for (int i = 0; i < pieces && !*stop; ++i) {
                                       if (!sink.write(piece.data(), piece.size())) return false;
                                       std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
                                     }
                                     sink.done();
                                     return true;
                                   });
}

TEST_P(ProviderApiTest, ReplyTricklingInEndsAtTheDeadline) {
  auto stop = std::make_shared<std::atomic<bool>>(false);
  const auto stopStreams = qScopeGuard([stop] { stop->store(true); });  // also when an assertion fails
  // A byte every 50 ms for up to 20 s: the idle timer alone never fires.
  serve([stop](const httplib::Request&, httplib::Response& res, int) { streamReply(res, " ", 50, 400, stop); });
  sandbox.endpoints.requestTimeoutMs = 500;
  sandbox.endpoints.requestDeadlineMs = 1000;
  auto p = provider();
  auto run = start(*p, makeSegments(1));
  ASSERT_TRUE(testsupport::waitUntil([&] { return run->done; }, 5000));
  EXPECT_EQ(run->outcome.platformFailure, QStringLiteral("The request timed out."));
  EXPECT_FALSE(run->outcome.cancelled);
}

TEST_P(ProviderApiTest, OversizedReplyFailsWithAClearError) {
  sandbox.endpoints.maxReplyBytes = 64 * 1024;
  auto stop = std::make_shared<std::atomic<bool>>(false);
  const auto stopStreams = qScopeGuard([stop] { stop->store(true); });  // also when an assertion fails
  const ApiShape s = shape();
  serve([s, stop](const httplib::Request& req, httplib::Response& res, int index) {
    if (index == 0) {
      // A well-formed translation padded past the limit, its length declared.
      res.set_content(s.wrap(translatedArray(s.promptOf(json::parse(req.body))) + std::string(200 * 1024, ' ')),
                      "application/json");
    } else {
      // A reply that never ends, arriving quickly.
      streamReply(res, std::string(16 * 1024, ' '), 5, 4000, stop);
    }
  });
  for (const char* name : {"declared length", "endless stream"}) {
    SCOPED_TRACE(name);
    auto p = provider();
    auto run = start(*p, makeSegments(1));
    ASSERT_TRUE(testsupport::waitUntil([&] { return run->done; }, 5000));
    ASSERT_TRUE(run->outcome.error.has_value());
    EXPECT_EQ(*run->outcome.error,
              TranslationError::invalidResponse(QStringLiteral("The reply was larger than 65536 bytes.")));
  }
}

TEST_P(ProviderApiTest, CancelAbortsTheRequest) {
  serve([](const httplib::Request&, httplib::Response& res, int) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    res.set_content("{}", "application/json");
  });
  auto p = provider();
  auto run = start(*p, makeSegments(1));
  ASSERT_TRUE(testsupport::waitUntil([&] { return api.requests().size() == 1; }));
  p->cancel();
  ASSERT_TRUE(testsupport::waitUntil([&] { return run->done; }, 1000));
  EXPECT_TRUE(run->outcome.cancelled);
  EXPECT_TRUE(run->outcome.platformFailure.has_value());
}

TEST_P(ProviderApiTest, CancelDuringThePauseBetweenBatches) {
  serveTranslations();
  sandbox.endpoints.batchPauseMs = 5000;
  settings->setBatchSize(1);
  auto p = provider();
  auto run = start(*p, makeSegments(2));
  ASSERT_TRUE(testsupport::waitUntil([&] { return api.requests().size() == 1; }));
  QTest::qWait(100);
  p->cancel();
  ASSERT_TRUE(testsupport::waitUntil([&] { return run->done; }, 1000));
  EXPECT_TRUE(run->outcome.cancelled);
  EXPECT_EQ(api.requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(AllProviders, ProviderApiTest, ::testing::ValuesIn(kShapes),
                         [](const auto& info) { return rawValue(info.param.type).section(' ', 0, 0).toStdString(); });

class GeminiUrlTest : public ProviderApiTest {};

TEST_P(GeminiUrlTest, KeyAndModelAreEncodedIntoTheUrl) {
  serveTranslations();
  const QString key = QStringLiteral("k&y=1 #x/?%");
  ASSERT_TRUE(sandbox.keychain.setAPIKey(key, TranslationProviderType::gemini));
  auto p = provider();
  ASSERT_TRUE(runToEnd(*p, makeSegments(1), QStringLiteral("gemini-1.5-pro"))->outcome.succeeded());
  const RecordedRequest r = api.requests().at(0);
  EXPECT_EQ(r.path, "/v1beta/models/gemini-1.5-pro:generateContent");
  EXPECT_EQ(r.keyParam, key.toStdString());
}

TEST_P(GeminiUrlTest, AModelNameCannotChangeWhereTheRequestGoes) {
  serveTranslations();
  const QString key = QStringLiteral("real-key");
  ASSERT_TRUE(sandbox.keychain.setAPIKey(key, TranslationProviderType::gemini));
  auto p = provider();
  // Unencoded, "?" would start the query (sending "stolen" as the key) and "#" would cut the rest.
  const QString model = QStringLiteral("gemini x?key=stolen#y");
  ASSERT_TRUE(runToEnd(*p, makeSegments(1), model)->outcome.succeeded());
  const RecordedRequest r = api.requests().at(0);
  EXPECT_EQ(r.path, "/v1beta/models/gemini x?key=stolen#y:generateContent");
  EXPECT_EQ(r.keyParam, key.toStdString());
}

TEST_P(GeminiUrlTest, FirstPartOfFirstCandidateIsRead) {
  serve([](const httplib::Request& req, httplib::Response& res, int) {
    const std::string array = translatedArray(json::parse(req.body)["contents"][0]["parts"][0]["text"]);
    res.set_content(
        json{{"candidates", {{{"content", {{"parts", {{{"text", array}}, {{"text", "[]"}}}}}}}, {{"content", {}}}}}}
            .dump(),
        "application/json");
  });
  auto p = provider();
  auto run = runToEnd(*p, makeSegments(3));
  ASSERT_TRUE(run->outcome.succeeded());
  EXPECT_EQ(run->outcome.segments.size(), 3);
}

INSTANTIATE_TEST_SUITE_P(Gemini, GeminiUrlTest, ::testing::Values(kShapes[1]),
                         [](const auto&) { return std::string("Gemini"); });

}  // namespace
