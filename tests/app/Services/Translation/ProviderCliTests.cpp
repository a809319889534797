// The three providers' command-line roads, with fake tools first on PATH.

#include "Services/ToolLocator.h"
#include "Services/Translation/Providers/ClaudeProvider.h"
#include "Services/Translation/Providers/GeminiProvider.h"
#include "Services/Translation/Providers/OpenAIProvider.h"
#include "Services/Translation/TranslationProviderFactory.h"
#include "app/Services/Translation/TranslationTestSupport.h"
#include "support/QtWait.h"

#include <QElapsedTimer>
#include <QFileInfo>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

using namespace parlowvista;
using namespace translationtest;
using nlohmann::json;

namespace {

struct CliShape {
  TranslationProviderType type;
  const char* tool;
  std::vector<std::string> leadingArguments;
};

// Test names show the tool, not a byte dump of the shape.
void PrintTo(const CliShape& shape, std::ostream* os) {
  *os << shape.tool;
}

const CliShape kShapes[] = {
    {TranslationProviderType::claude, "claude", {"--print"}},
    {TranslationProviderType::gemini, "gemini", {}},
    {TranslationProviderType::openai, "openai", {"api", "chat.completions.create", "-m", "gpt-4o-mini", "-g", "user"}},
};

class ProviderCliTest : public ::testing::TestWithParam<CliShape> {
 protected:
  void SetUp() override {
    // Real tools in the fixed install folders would be found before ours.
    for (const char* folder : {"/usr/local/bin/", "/opt/homebrew/bin/"})
      if (QFileInfo::exists(QString(folder) + shape().tool)) GTEST_SKIP() << "a real tool is installed";
    settings = std::make_unique<TranslationSettings>(sandbox.keychain);
  }
  const CliShape& shape() const { return GetParam(); }

  std::unique_ptr<TranslationProviderProtocol> provider() {
    return TranslationProviderFactory::createProvider(shape().type, TranslationConnectionMode::cli, *settings,
                                                      sandbox.endpoints);
  }

  struct Run {
    bool done = false;
    ProviderOutcome outcome;
    std::vector<std::pair<double, QString>> progress;
  };
  std::shared_ptr<Run> start(TranslationProviderProtocol& p, const QList<TranscribedSegment>& segments) {
    auto run = std::make_shared<Run>();
    p.translate(
        segments, QStringLiteral("de"), QStringLiteral("en"), QStringLiteral("some-model"),
        [run](double f, const QString& s) { run->progress.emplace_back(f, s); },
        [run](const ProviderOutcome& o) {
          run->done = true;
          run->outcome = o;
        });
    return run;
  }
  std::shared_ptr<Run> runToEnd(TranslationProviderProtocol& p, const QList<TranscribedSegment>& segments) {
    auto run = start(p, segments);
    EXPECT_TRUE(testsupport::waitUntil([&] { return run->done; }, 20000));
    return run;
  }

  std::vector<json> recordedArguments(const QString& toolPath) {
    std::vector<json> calls;
    std::ifstream in((toolPath + ".args").toStdString());
    for (std::string line; std::getline(in, line);) calls.push_back(json::parse(line));
    return calls;
  }

  SettingsSandbox sandbox;
  ToolSandbox tools;
  std::unique_ptr<TranslationSettings> settings;
};

TEST_P(ProviderCliTest, RunsTheToolOncePerBatch) {
  const QString tool = tools.addToolOnPath(shape().tool, ToolSandbox::answeringTool());
  settings->setBatchSize(2);
  auto p = provider();
  ASSERT_TRUE(p->checkAvailability());
  const auto segments = makeSegments(5);
  auto run = runToEnd(*p, segments);
  ASSERT_TRUE(run->outcome.succeeded())
      << run->outcome.error.value_or(TranslationError::cancelled()).localizedDescription().toStdString();
  ASSERT_EQ(run->outcome.segments.size(), 5);
  EXPECT_EQ(run->outcome.segments[4].translatedText, QStringLiteral("FR:segment 4"));
  EXPECT_EQ(run->outcome.segments[4].targetLanguage, QStringLiteral("de"));
  ASSERT_EQ(run->progress.size(), 4u);
  EXPECT_EQ(run->progress[0].second, QStringLiteral("Translating via CLI batch 1/3..."));
  EXPECT_EQ(run->progress[2].second, QStringLiteral("Translating via CLI batch 3/3..."));
  EXPECT_EQ(run->progress[3], std::make_pair(1.0, QStringLiteral("Translation complete")));

  const auto calls = recordedArguments(tool);
  ASSERT_EQ(calls.size(), 3u);
  for (const json& call : calls) {
    // The model given to translate() never reaches the tool.
    ASSERT_EQ(call.size(), shape().leadingArguments.size() + 1);
    for (size_t i = 0; i < shape().leadingArguments.size(); ++i) EXPECT_EQ(call[i], shape().leadingArguments[i]);
    EXPECT_TRUE(call.back().get<std::string>().starts_with(
        "Translate the following transcript segments from English to German."));
  }
}

TEST_P(ProviderCliTest, ToolFailuresBecomeErrors) {
  struct Case {
    const char* name;
    std::string script;
    TranslationError expected;
  };
  const Case cases[] = {
      {"exit 1 with message", "#!/bin/sh\necho 'quota gone' >&2\nexit 1\n",
       TranslationError::translationFailed(QStringLiteral("quota gone\n"))},
      {"exit 1 silent", "#!/bin/sh\nexit 1\n", TranslationError::translationFailed(QString())},
      {"exit 1 with bad bytes", "#!/bin/sh\nprintf '\\377\\376' >&2\nexit 3\n",
       TranslationError::translationFailed(QStringLiteral("CLI error"))},
      {"output not utf-8", "#!/bin/sh\nprintf '[\\377]'\n",
       TranslationError::invalidResponse(QStringLiteral("Invalid CLI output"))},
      {"no array", "#!/bin/sh\necho 'I am sorry'\n",
       TranslationError::invalidResponse(QStringLiteral("No JSON array found in response"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tools.addToolOnPath(shape().tool, c.script);
    auto p = provider();
    auto run = runToEnd(*p, makeSegments(2));
    ASSERT_TRUE(run->outcome.error.has_value());
    EXPECT_EQ(*run->outcome.error, c.expected) << run->outcome.error->localizedDescription().toStdString();
  }
}

TEST_P(ProviderCliTest, MissingToolIsReported) {
  auto p = provider();
  if (ToolLocator::onSearchPath(QString(shape().tool))) GTEST_SKIP() << "a real tool is on PATH";
  EXPECT_FALSE(p->checkAvailability());
  auto run = runToEnd(*p, {});
  ASSERT_TRUE(run->outcome.error.has_value());
  EXPECT_EQ(*run->outcome.error, TranslationError::cliNotFound(QString(shape().tool)));
  EXPECT_TRUE(run->progress.empty());
}

// The real `claude -p` reads its standard input to the end before it answers.
TEST_P(ProviderCliTest, AToolThatReadsItsInputGetsItsEndAtOnce) {
  std::string script = ToolSandbox::answeringTool();
  script.insert(script.find("with open"), "sys.stdin.read()\n");
  tools.addToolOnPath(shape().tool, script);
  sandbox.endpoints.cliTimeoutMs = 10000;
  auto p = provider();
  auto run = runToEnd(*p, makeSegments(2));
  ASSERT_TRUE(run->outcome.succeeded())
      << run->outcome.error.value_or(TranslationError::cancelled()).localizedDescription().toStdString();
  EXPECT_EQ(run->outcome.segments.size(), 2);
}

TEST_P(ProviderCliTest, HungToolTimesOut) {
  tools.addToolOnPath(shape().tool, "#!/bin/sh\nexec sleep 30\n");
  sandbox.endpoints.cliTimeoutMs = 400;
  auto p = provider();
  QElapsedTimer clock;
  clock.start();
  auto run = runToEnd(*p, makeSegments(1));
  EXPECT_LT(clock.elapsed(), 20000);  // not the 30 s the tool would sleep
  ASSERT_TRUE(run->outcome.error.has_value());
  EXPECT_EQ(run->outcome.error->kind(), TranslationError::Kind::translationFailed);
  EXPECT_EQ(run->outcome.error->payload(),
            QString(shape().tool) + QStringLiteral(" CLI did not answer within 0.4 seconds"));
}

TEST_P(ProviderCliTest, CancelKillsTheToolAndWhatItStarted) {
  const std::string pidFile = (tools.dir.path() / "pids").string();
  // The tool runs its work in a child of its own, as node and python tools do.
  tools.addToolOnPath(shape().tool, "#!/bin/sh\nsleep 30 &\necho $$ $! > " + pidFile + ".tmp\nmv " + pidFile + ".tmp " +
                                        pidFile + "\nwait\n");
  auto p = provider();
  auto run = start(*p, makeSegments(1));
  ASSERT_TRUE(testsupport::waitUntil([&] { return std::filesystem::exists(pidFile); }));
  std::istringstream pids(testsupport::readFile(pidFile));
  std::string tool, worker;
  pids >> tool >> worker;
  p->cancel();
  ASSERT_TRUE(testsupport::waitUntil([&] { return run->done; }, 2000));
  EXPECT_TRUE(run->outcome.cancelled);
  EXPECT_FALSE(processAlive(tool));
  EXPECT_TRUE(testsupport::waitUntil([&] { return !processAlive(worker); }, 2000));
}

TEST_P(ProviderCliTest, CancelFromAProgressReportStopsBeforeTheNextRun) {
  const QString tool = tools.addToolOnPath(shape().tool, ToolSandbox::answeringTool());
  settings->setBatchSize(1);
  for (int cancelAt : {0, 1}) {
    SCOPED_TRACE(cancelAt);
    std::filesystem::remove((tool + ".args").toStdString());
    auto p = provider();
    auto run = std::make_shared<Run>();
    TranslationProviderProtocol* raw = p.get();
    p->translate(
        makeSegments(3), QStringLiteral("de"), std::nullopt, std::nullopt,
        [run, raw, cancelAt](double f, const QString& s) {
          run->progress.emplace_back(f, s);
          if (run->progress.size() == static_cast<size_t>(cancelAt) + 1) raw->cancel();
        },
        [run](const ProviderOutcome& o) {
          EXPECT_FALSE(run->done);
          run->done = true;
          run->outcome = o;
        });
    ASSERT_TRUE(testsupport::waitUntil([&] { return run->done; }, 20000));
    EXPECT_TRUE(run->outcome.cancelled);
    EXPECT_FALSE(run->outcome.succeeded());
    // The batch whose report asked for the cancel never reached the tool.
    EXPECT_EQ(recordedArguments(tool).size(), static_cast<size_t>(cancelAt));
    EXPECT_EQ(run->progress.size(), static_cast<size_t>(cancelAt) + 1);
  }
}

INSTANTIATE_TEST_SUITE_P(AllProviders, ProviderCliTest, ::testing::ValuesIn(kShapes),
                         [](const auto& info) { return std::string(info.param.tool); });

TEST(CliToolSearch, FixedFoldersComeBeforeWhich) {
  SettingsSandbox sandbox;
  ToolSandbox tools;
  TranslationSettings settings(sandbox.keychain);
  const auto home = tools.dir.path() / "home";
  tools.addToolOnPath("claude", "#!/bin/sh\n");
  const QString local = tools.addTool(home / ".local/bin/claude", "#!/bin/sh\n");
  const QString hidden = tools.addTool(home / ".claude/bin/claude", "#!/bin/sh\n");
  if (QFileInfo::exists("/usr/local/bin/claude")) GTEST_SKIP();

  // The provider looks in ~/.claude/bin before ~/.local/bin; the settings the other way round.
  EXPECT_EQ(ClaudeProvider(settings, sandbox.endpoints, TranslationConnectionMode::cli).findCli(), hidden);
  EXPECT_EQ(settings.detectCliPath(TranslationProviderType::claude), local);

  // Not executable: passed over.
  std::filesystem::permissions(home / ".local/bin/claude", std::filesystem::perms::owner_read);
  std::filesystem::permissions(home / ".claude/bin/claude", std::filesystem::perms::owner_read);
  EXPECT_EQ(settings.detectCliPath(TranslationProviderType::claude),
            QString::fromStdString((tools.dir.path() / "bin/claude").string()));
}

TEST(CliToolSearch, OpenAIFallsBackToChatgptThroughWhich) {
  SettingsSandbox sandbox;
  ToolSandbox tools;
  TranslationSettings settings(sandbox.keychain);
  for (const char* name : {"openai", "chatgpt"})
    if (ToolLocator::onSearchPath(QString(name))) GTEST_SKIP() << "a real tool is installed";
  const QString chatgpt = tools.addToolOnPath("chatgpt", "#!/bin/sh\n");
  EXPECT_EQ(OpenAIProvider(settings, sandbox.endpoints, TranslationConnectionMode::cli).findCli(), chatgpt);
  // The settings' own search does not know "chatgpt".
  EXPECT_EQ(settings.detectCliPath(TranslationProviderType::openai), std::nullopt);
  settings.setSelectedProvider(TranslationProviderType::openai);
  EXPECT_FALSE(settings.isCurrentProviderConfigured());
}

}  // namespace

namespace {

TEST(ProviderCliTool, LargeRepliesDoNotStallTheTool) {
  SettingsSandbox sandbox;
  ToolSandbox tools;
  TranslationSettings settings(sandbox.keychain);
  if (QFileInfo::exists("/usr/local/bin/gemini")) GTEST_SKIP();
  // Far more than a pipe holds, on both channels, before the array.
  std::string script = ToolSandbox::answeringTool();
  script.insert(script.find("print(\"Here"), "sys.stderr.write(\"e\" * 3000000)\nprint(\"x\" * 3000000)\n");
  tools.addToolOnPath("gemini", script);
  auto provider = TranslationProviderFactory::createProvider(
      TranslationProviderType::gemini, TranslationConnectionMode::cli, settings, sandbox.endpoints);
  bool done = false;
  ProviderOutcome outcome;
  provider->translate(makeSegments(3), QStringLiteral("fr"), std::nullopt, std::nullopt, {},
                      [&](const ProviderOutcome& o) {
                        done = true;
                        outcome = o;
                      });
  ASSERT_TRUE(testsupport::waitUntil([&] { return done; }, 20000));
  ASSERT_TRUE(outcome.succeeded());
  EXPECT_EQ(outcome.segments.size(), 3);
}

}  // namespace
