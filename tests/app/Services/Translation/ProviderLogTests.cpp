// What the providers write to the log: Claude's diagnostic lines, and never a key.

#include "Services/Translation/TranslationProviderFactory.h"
#include "app/Services/Translation/TranslationTestSupport.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>

using namespace parlowvista;
using namespace translationtest;
using nlohmann::json;

namespace {

QStringList* g_lines = nullptr;

void collect(QtMsgType, const QMessageLogContext&, const QString& message) {
  if (g_lines) g_lines->append(message);
}

class LogCapture {
 public:
  LogCapture() {
    g_lines = &lines;
    previous = qInstallMessageHandler(collect);
  }
  ~LogCapture() {
    qInstallMessageHandler(previous);
    g_lines = nullptr;
  }
  QStringList lines;
  QtMessageHandler previous;
};

class ProviderLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_KEYCHAIN(sandbox);
    sandbox.endpoints.claudeBaseUrl = api.baseUrl();
    sandbox.endpoints.geminiBaseUrl = api.baseUrl();
    settings = std::make_unique<TranslationSettings>(sandbox.keychain);
    // The model leaves out the last segment of every batch.
    const auto answer = [this](const std::string& prompt) {
      json items = json::parse(translatedArray(prompt));
      if (!items.empty()) items.erase(items.size() - 1);
      return items.dump();
    };
    api.server.server().Post("/v1/messages", [this, answer](const httplib::Request& req, httplib::Response& res) {
      api.record(req);
      const std::string text = answer(json::parse(req.body)["messages"][0]["content"]);
      res.set_content(json{{"content", {{{"text", text}}}}}.dump(), "application/json");
    });
    api.server.server().Post(
        R"(/v1beta/models/(.+))", [this, answer](const httplib::Request& req, httplib::Response& res) {
          api.record(req);
          const std::string text = answer(json::parse(req.body)["contents"][0]["parts"][0]["text"]);
          res.set_content(json{{"candidates", {{{"content", {{"parts", {{{"text", text}}}}}}}}}}.dump(),
                          "application/json");
        });
  }

  ProviderOutcome translate(TranslationProviderType type, int count) {
    auto provider =
        TranslationProviderFactory::createProvider(type, TranslationConnectionMode::api, *settings, sandbox.endpoints);
    bool done = false;
    ProviderOutcome outcome;
    EXPECT_TRUE(provider->checkAvailability());
    provider->translate(makeSegments(count), QStringLiteral("fr"), std::nullopt, std::nullopt, {},
                        [&](const ProviderOutcome& o) {
                          done = true;
                          outcome = o;
                        });
    EXPECT_TRUE(testsupport::waitUntil([&] { return done; }));
    return outcome;
  }

  SettingsSandbox sandbox;
  FakeApi api;
  std::unique_ptr<TranslationSettings> settings;
  const QString key = QStringLiteral("sk-secret-4711");
};

TEST_F(ProviderLogTest, ClaudeWarnsAboutMissingTranslationsAndNeverLogsItsKey) {
  ASSERT_TRUE(sandbox.keychain.setAPIKey(key, TranslationProviderType::claude));
  LogCapture log;
  const ProviderOutcome outcome = translate(TranslationProviderType::claude, 10);
  ASSERT_TRUE(outcome.succeeded());
  EXPECT_EQ(outcome.segments.size(), 10);
  EXPECT_EQ(outcome.untranslatedCount, 1);
  EXPECT_TRUE(log.lines.contains(QStringLiteral("[ClaudeProvider] checkAvailability (API): hasKey=true")));
  EXPECT_TRUE(log.lines.contains(QStringLiteral("[ClaudeProvider] translate called: 10 segments, mode=api")));
  EXPECT_TRUE(log.lines.contains(QStringLiteral("[ClaudeProvider] Warning: Got 9 translations for 10 segments")));
  for (const QString& line : log.lines) EXPECT_FALSE(line.contains(key)) << line.toStdString();
}

TEST_F(ProviderLogTest, GeminiWritesNothingAtAll) {
  ASSERT_TRUE(sandbox.keychain.setAPIKey(key, TranslationProviderType::gemini));
  LogCapture log;
  const ProviderOutcome outcome = translate(TranslationProviderType::gemini, 10);
  ASSERT_TRUE(outcome.succeeded());
  EXPECT_EQ(outcome.segments.size(), 10);
  EXPECT_EQ(outcome.untranslatedCount, 1);
  EXPECT_EQ(api.requests().at(0).keyParam, key.toStdString());
  EXPECT_TRUE(log.lines.isEmpty()) << log.lines.join('\n').toStdString();
}

}  // namespace
