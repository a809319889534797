#include "Services/Translation/TranslationService.h"
#include "app/Services/Translation/TranslationTestSupport.h"
#include "support/QtWait.h"

#include <QCoreApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

using namespace parlowvista;
using namespace translationtest;
using nlohmann::json;

namespace {

struct ServiceRun {
  bool done = false;
  TranslationOutcome outcome;
};

class TranslationServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings = std::make_unique<TranslationSettings>(sandbox.keychain);
    service = std::make_unique<TranslationService>(*settings, sandbox.endpoints);
    sandbox.endpoints.openAIBaseUrl = api.baseUrl();
    sandbox.endpoints.batchPauseMs = 10;
  }

  std::shared_ptr<ServiceRun> start(const QList<TranscribedSegment>& segments,
                                    std::optional<QString> target = std::nullopt) {
    auto run = std::make_shared<ServiceRun>();
    service->translate(segments, target, std::nullopt, [run](const TranslationOutcome& outcome) {
      EXPECT_FALSE(run->done);
      run->done = true;
      run->outcome = outcome;
    });
    return run;
  }
  std::shared_ptr<ServiceRun> runToEnd(const QList<TranscribedSegment>& segments,
                                       std::optional<QString> target = std::nullopt) {
    auto run = start(segments, target);
    EXPECT_TRUE(testsupport::waitUntil([&] { return run->done; }, 15000));
    return run;
  }

  // The OpenAI API road with a stored key, answered by the fake server after `delayMs`.
  void useOpenAIApi(int delayMs = 0) {
    REQUIRE_KEYCHAIN(sandbox);
    settings->setSelectedProvider(TranslationProviderType::openai);
    settings->setConnectionMode(TranslationConnectionMode::api);
    ASSERT_TRUE(sandbox.keychain.setAPIKey(QStringLiteral("k"), TranslationProviderType::openai));
    api.server.server().Post(
        "/v1/chat/completions", [this, delayMs](const httplib::Request& req, httplib::Response& res) {
          api.record(req);
          if (rateLimited) {
            res.status = 429;
            res.set_header("retry-after", "12");
            return;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
          const std::string prompt = json::parse(req.body)["messages"][1]["content"];
          res.set_content(json{{"choices", {{{"message", {{"content", answer(prompt)}}}}}}}.dump(), "application/json");
        });
  }

  SettingsSandbox sandbox;
  FakeApi api;
  std::atomic<bool> rateLimited{false};
  // The model's reply to a prompt; set before the first request.
  std::function<std::string(const std::string&)> answer = translatedArray;
  std::unique_ptr<TranslationSettings> settings;
  std::unique_ptr<TranslationService> service;
};

TEST_F(TranslationServiceTest, TranslatesWithTheSelectedProviderAndPublishes) {
  useOpenAIApi();
  if (IsSkipped()) return;
  settings->setBatchSize(10);
  settings->setDefaultTargetLanguage(QStringLiteral("it"));
  QSignalSpy status(service.get(), &TranslationService::statusMessageChanged);
  const auto segments = makeSegments(25);
  auto run = start(segments);
  EXPECT_TRUE(service->isTranslating());
  EXPECT_EQ(service->statusMessage(), QStringLiteral("Preparing translation..."));
  ASSERT_TRUE(testsupport::waitUntil([&] { return run->done; }, 15000));

  ASSERT_TRUE(run->outcome.result.has_value());
  const TranslationResult& result = *run->outcome.result;
  EXPECT_EQ(result.segments.size(), 25);
  EXPECT_EQ(result.targetLanguage, QStringLiteral("it"));
  EXPECT_EQ(result.sourceLanguage, std::nullopt);
  EXPECT_EQ(result.provider, TranslationProviderType::openai);
  EXPECT_EQ(result.model, QStringLiteral("gpt-4o-mini"));
  EXPECT_GT(result.processingTime, 0.0);
  EXPECT_EQ(result.inputTokens, std::nullopt);
  EXPECT_EQ(service->lastResult(), result);
  EXPECT_FALSE(service->isTranslating());
  EXPECT_DOUBLE_EQ(service->progress(), 1.0);
  EXPECT_EQ(service->statusMessage(), QStringLiteral("Translation complete"));
  EXPECT_EQ(api.requests().size(), 3u);
  EXPECT_TRUE(json::parse(api.requests()[0].body)["messages"][1]["content"].get<std::string>().find("to Italian.") !=
              std::string::npos);

  QStringList seen;
  for (const auto& args : status) seen << args[0].toString();
  EXPECT_TRUE(seen.contains(QStringLiteral("Translating batch 2/3...")));
  EXPECT_EQ(seen.first(), QStringLiteral("Preparing translation..."));
  EXPECT_EQ(seen.last(), QStringLiteral("Translation complete"));
}

QStringList* g_logLines = nullptr;

TEST_F(TranslationServiceTest, SegmentsTheModelLeavesOutKeepTheirTextAndAreCounted) {
  // The model answers the first segment twice and leaves out the second.
  answer = [](const std::string& prompt) {
    json items = json::parse(translatedArray(prompt));
    json out = json::array({items[0], {{"id", items[0]["id"]}, {"text", "second answer"}}});
    for (size_t i = 2; i < items.size(); ++i) out.push_back(items[i]);
    return out.dump();
  };
  useOpenAIApi();
  if (IsSkipped()) return;
  QStringList lines;
  g_logLines = &lines;
  const QtMessageHandler previous =
      qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
        if (g_logLines) g_logLines->append(message);
      });
  const auto segments = makeSegments(4);
  auto run = runToEnd(segments);
  qInstallMessageHandler(previous);
  g_logLines = nullptr;

  ASSERT_TRUE(run->outcome.result.has_value());
  const TranslationResult& result = *run->outcome.result;
  ASSERT_EQ(result.segments.size(), 4);
  const QStringList expected = {"FR:segment 0", "segment 1", "FR:segment 2", "FR:segment 3"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(result.segments[i].originalSegmentId, segments[i].id);
    EXPECT_EQ(result.segments[i].translatedText, expected[i]);
  }
  EXPECT_EQ(result.untranslatedCount, 1);
  EXPECT_EQ(service->statusMessage(),
            QStringLiteral("Translation complete (1 of 4 segments not translated, original text kept)"));
  EXPECT_TRUE(lines.contains(QStringLiteral(
      "[TranslationService] 1 of 4 segments came back without a translation and keep their original text")))
      << lines.join('\n').toStdString();
}

TEST_F(TranslationServiceTest, UnconfiguredProviderFails) {
  REQUIRE_KEYCHAIN(sandbox);
  settings->setConnectionMode(TranslationConnectionMode::api);
  auto run = runToEnd(makeSegments(2));
  ASSERT_TRUE(run->outcome.error.has_value());
  EXPECT_EQ(*run->outcome.error, TranslationError::providerNotConfigured());
  EXPECT_FALSE(service->isTranslating());
  EXPECT_EQ(service->lastError(), TranslationError::providerNotConfigured());
  EXPECT_DOUBLE_EQ(service->progress(), 0.0);
  EXPECT_EQ(service->statusMessage(), QStringLiteral("Preparing translation..."));
  EXPECT_FALSE(service->lastResult().has_value());
}

TEST_F(TranslationServiceTest, ProviderErrorsAndPlatformFailuresAreMapped) {
  useOpenAIApi();
  if (IsSkipped()) return;
  // A rate limit passes through unchanged.
  rateLimited = true;
  auto limited = runToEnd(makeSegments(1));
  ASSERT_TRUE(limited->outcome.error.has_value());
  EXPECT_EQ(*limited->outcome.error, TranslationError::rateLimitExceeded(12.0));
  EXPECT_EQ(limited->outcome.error->localizedDescription(),
            QStringLiteral("Rate limit exceeded. Retry after 12 seconds."));

  // A transport failure becomes a failed translation.
  sandbox.endpoints.openAIBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:1"));
  auto refused = runToEnd(makeSegments(1));
  ASSERT_TRUE(refused->outcome.error.has_value());
  EXPECT_EQ(refused->outcome.error->kind(), TranslationError::Kind::translationFailed);
  EXPECT_FALSE(refused->outcome.error->payload().isEmpty());
  EXPECT_EQ(service->lastError(), refused->outcome.error);
}

TEST_F(TranslationServiceTest, CancelStopsTheRunAndReportsCancelled) {
  useOpenAIApi(2000);
  if (IsSkipped()) return;
  auto run = start(makeSegments(3));
  ASSERT_TRUE(testsupport::waitUntil([&] { return api.requests().size() == 1; }));
  service->cancel();
  EXPECT_FALSE(service->isTranslating());
  EXPECT_DOUBLE_EQ(service->progress(), 0.0);
  EXPECT_EQ(service->statusMessage(), QStringLiteral("Cancelled"));
  ASSERT_TRUE(testsupport::waitUntil([&] { return run->done; }, 1000));
  ASSERT_TRUE(run->outcome.error.has_value());
  EXPECT_EQ(*run->outcome.error, TranslationError::cancelled());
  EXPECT_EQ(service->statusMessage(), QStringLiteral("Cancelled"));
}

TEST_F(TranslationServiceTest, CancelWhileIdlePublishesNothing) {
  QSignalSpy status(service.get(), &TranslationService::statusMessageChanged);
  service->cancel();
  EXPECT_EQ(status.count(), 0);
  EXPECT_TRUE(service->statusMessage().isEmpty());
}

TEST_F(TranslationServiceTest, SecondTranslationSupersedesTheFirst) {
  useOpenAIApi(800);
  if (IsSkipped()) return;
  QSignalSpy status(service.get(), &TranslationService::statusMessageChanged);
  auto first = start(makeSegments(2));
  ASSERT_TRUE(testsupport::waitUntil([&] { return api.requests().size() == 1; }));
  auto second = start(makeSegments(3), QStringLiteral("fr"));
  ASSERT_TRUE(testsupport::waitUntil([&] { return first->done && second->done; }, 10000));
  ASSERT_TRUE(first->outcome.error.has_value());
  EXPECT_EQ(*first->outcome.error, TranslationError::cancelled());
  ASSERT_TRUE(second->outcome.result.has_value());
  EXPECT_EQ(second->outcome.result->segments.size(), 3);
  // The superseded run does not overwrite what the second one publishes.
  EXPECT_EQ(service->statusMessage(), QStringLiteral("Translation complete"));
  EXPECT_FALSE(service->lastError().has_value());
  QStringList seen;
  for (const auto& args : status) seen << args[0].toString();
  const qsizetype cancelled = seen.indexOf(QStringLiteral("Cancelled"));
  ASSERT_GE(cancelled, 0);
  EXPECT_EQ(seen.at(cancelled + 1), QStringLiteral("Preparing translation..."));
}

TEST_F(TranslationServiceTest, ARunThatWasLeftNeitherPublishesNorReportsAResult) {
  ToolSandbox tools;
  tools.addToolOnPath("claude", ToolSandbox::answeringTool());
  settings->setSelectedProvider(TranslationProviderType::claude);
  settings->setConnectionMode(TranslationConnectionMode::cli);
  settings->setBatchSize(1);
  QSignalSpy status(service.get(), &TranslationService::statusMessageChanged);
  // The first run starts and reports its first batch; a second takes its place before that
  // report is delivered.
  auto first = start(makeSegments(2));
  QCoreApplication::sendPostedEvents();
  auto second = start(makeSegments(3));
  ASSERT_TRUE(testsupport::waitUntil([&] { return first->done && second->done; }, 15000));
  QStringList seen;
  for (const auto& args : status) seen << args[0].toString();
  EXPECT_FALSE(seen.contains(QStringLiteral("Translating via CLI batch 1/2..."))) << seen.join(" | ").toStdString();
  ASSERT_TRUE(second->outcome.result.has_value());

  // Cancelled after the tool answered but before the answer is handled: still cancelled.
  QObject::connect(service.get(), &TranslationService::progressChanged, service.get(), [this](double progress) {
    if (progress == 1.0) service->cancel();
  });
  auto late = runToEnd(makeSegments(1));
  ASSERT_TRUE(late->done);
  EXPECT_FALSE(late->outcome.result.has_value());
  ASSERT_TRUE(late->outcome.error.has_value());
  EXPECT_EQ(*late->outcome.error, TranslationError::cancelled());
}

TEST_F(TranslationServiceTest, ACancelWhileTheKeyIsLookedUpSendsNothing) {
  useOpenAIApi();
  if (IsSkipped()) return;
  auto run = start(makeSegments(2));
  // Delivered while the key lookup waits for the Secret Service.
  QMetaObject::invokeMethod(
      service.get(), [this] { service->cancel(); }, Qt::QueuedConnection);
  ASSERT_TRUE(testsupport::waitUntil([&] { return run->done; }, 10000));
  ASSERT_TRUE(run->outcome.error.has_value());
  EXPECT_EQ(*run->outcome.error, TranslationError::cancelled());
  QTest::qWait(200);
  EXPECT_TRUE(api.requests().empty());
}

TEST_F(TranslationServiceTest, CommandLineRoadCanBeCancelled) {
  ToolSandbox tools;
  tools.addToolOnPath("gemini", "#!/bin/sh\nexec sleep 30\n");
  settings->setSelectedProvider(TranslationProviderType::gemini);
  settings->setConnectionMode(TranslationConnectionMode::cli);
  auto run = start(makeSegments(1));
  QTest::qWait(300);
  service->cancel();
  ASSERT_TRUE(testsupport::waitUntil([&] { return run->done; }, 2000));
  ASSERT_TRUE(run->outcome.error.has_value());
  EXPECT_EQ(*run->outcome.error, TranslationError::cancelled());
}

TEST_F(TranslationServiceTest, GoingAwayStopsTheToolOfARunningTranslation) {
  ToolSandbox tools;
  const std::string pidFile = (tools.dir.path() / "pid").string();
  tools.addToolOnPath(
      "claude", "#!/bin/sh\necho $$ > " + pidFile + ".tmp\nmv " + pidFile + ".tmp " + pidFile + "\nexec sleep 30\n");
  settings->setSelectedProvider(TranslationProviderType::claude);
  settings->setConnectionMode(TranslationConnectionMode::cli);
  auto run = start(makeSegments(1));
  ASSERT_TRUE(testsupport::waitUntil([&] { return std::filesystem::exists(pidFile); }, 5000));
  std::string pid;
  std::ifstream(pidFile) >> pid;
  ASSERT_TRUE(processAlive(pid));
  service.reset();
  EXPECT_TRUE(testsupport::waitUntil([&] { return !processAlive(pid); }, 2000)) << pid;
}

TEST_F(TranslationServiceTest, AvailabilityFollowsTheSettings) {
  ToolSandbox tools;
  settings->setSelectedProvider(TranslationProviderType::gemini);
  settings->setConnectionMode(TranslationConnectionMode::cli);
  if (settings->detectCliPath(TranslationProviderType::gemini)) GTEST_SKIP() << "a real gemini tool is installed";
  std::optional<bool> answer;
  service->checkAvailability([&](bool available) { answer = available; });
  EXPECT_FALSE(answer.has_value());
  ASSERT_TRUE(testsupport::waitUntil([&] { return answer.has_value(); }));
  EXPECT_FALSE(*answer);
  tools.addToolOnPath("gemini", "#!/bin/sh\n");
  answer.reset();
  service->checkAvailability([&](bool available) { answer = available; });
  ASSERT_TRUE(testsupport::waitUntil([&] { return answer.has_value(); }));
  EXPECT_TRUE(*answer);
}

}  // namespace
