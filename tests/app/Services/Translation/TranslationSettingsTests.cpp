#include "Services/Translation/TranslationSettings.h"
#include "app/Services/Translation/TranslationTestSupport.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace parlowvista;
using translationtest::SettingsSandbox;

namespace {

class TranslationSettingsTest : public ::testing::Test {
 protected:
  std::unique_ptr<TranslationSettings> load() { return std::make_unique<TranslationSettings>(sandbox.keychain); }
  void store(const QString& key, const QVariant& value) {
    QSettings s;
    s.setValue(key, value);
    s.sync();
  }
  QVariant stored(const QString& key) { return QSettings().value(key); }

  SettingsSandbox sandbox;
};

TEST_F(TranslationSettingsTest, DefaultsWithNothingStored) {
  auto s = load();
  EXPECT_EQ(s->selectedProvider(), TranslationProviderType::claude);
  EXPECT_EQ(s->connectionMode(), TranslationConnectionMode::cli);
  EXPECT_EQ(s->selectedModel(), QStringLiteral("claude-3-haiku-20240307"));
  EXPECT_EQ(s->defaultTargetLanguage(), QStringLiteral("en"));
  EXPECT_TRUE(s->preserveFormatting());
  EXPECT_EQ(s->batchSize(), 10);
  // Loading writes nothing back.
  EXPECT_TRUE(QSettings().allKeys().isEmpty());
}

TEST_F(TranslationSettingsTest, StoredValuesAndTheirFallbacks) {
  struct Case {
    const char* name;
    QList<QPair<QString, QVariant>> stored;
    TranslationProviderType provider;
    TranslationConnectionMode mode;
    QString model;
    QString target;
    bool formatting;
    int batch;
  };
  const Case cases[] = {
      {"all valid",
       {{"translation.selectedProvider", "OpenAI (GPT)"},
        {"translation.connectionMode", "API"},
        {"translation.selectedModel", "gpt-4o"},
        {"translation.defaultTargetLanguage", "pl"},
        {"translation.preserveFormatting", false},
        {"translation.batchSize", 25}},
       TranslationProviderType::openai,
       TranslationConnectionMode::api,
       "gpt-4o",
       "pl",
       false,
       25},
      {"model of another provider",
       {{"translation.selectedProvider", "OpenAI (GPT)"}, {"translation.selectedModel", "claude-3-haiku-20240307"}},
       TranslationProviderType::openai,
       TranslationConnectionMode::cli,
       "gpt-4o-mini",
       "en",
       true,
       10},
      {"wrong letter case",
       {{"translation.selectedProvider", "gemini (google)"}, {"translation.connectionMode", "api"}},
       TranslationProviderType::claude,
       TranslationConnectionMode::cli,
       "claude-3-haiku-20240307",
       "en",
       true,
       10},
      {"zero batch",
       {{"translation.batchSize", 0}},
       TranslationProviderType::claude,
       TranslationConnectionMode::cli,
       "claude-3-haiku-20240307",
       "en",
       true,
       10},
      {"negative batch",
       {{"translation.batchSize", -3}},
       TranslationProviderType::claude,
       TranslationConnectionMode::cli,
       "claude-3-haiku-20240307",
       "en",
       true,
       -3},
      {"unusable types",
       {{"translation.batchSize", "many"},
        {"translation.preserveFormatting", "maybe"},
        {"translation.defaultTargetLanguage", "xx"}},
       TranslationProviderType::claude,
       TranslationConnectionMode::cli,
       "claude-3-haiku-20240307",
       "xx",
       true,
       10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QSettings().clear();
    for (const auto& [key, value] : c.stored) store(key, value);
    auto s = load();
    EXPECT_EQ(s->selectedProvider(), c.provider);
    EXPECT_EQ(s->connectionMode(), c.mode);
    EXPECT_EQ(s->selectedModel(), c.model);
    EXPECT_EQ(s->defaultTargetLanguage(), c.target);
    EXPECT_EQ(s->preserveFormatting(), c.formatting);
    EXPECT_EQ(s->batchSize(), c.batch);
  }
  // A fallback is not written back.
  store("translation.selectedModel", "claude-3-haiku-20240307");
  store("translation.selectedProvider", "OpenAI (GPT)");
  load();
  EXPECT_EQ(stored("translation.selectedModel").toString(), QStringLiteral("claude-3-haiku-20240307"));
}

TEST_F(TranslationSettingsTest, AssignmentsAreStoredAtOnceAndSurviveAReload) {
  auto s = load();
  QSignalSpy changed(s.get(), &TranslationSettings::changed);
  s->setConnectionMode(TranslationConnectionMode::api);
  s->setDefaultTargetLanguage(QStringLiteral("de"));
  s->setPreserveFormatting(false);
  s->setBatchSize(35);
  s->setSelectedModel(QStringLiteral("claude-3-5-sonnet-20241022"));
  EXPECT_EQ(changed.count(), 5);
  EXPECT_EQ(stored("translation.connectionMode").toString(), QStringLiteral("API"));
  EXPECT_EQ(stored("translation.batchSize").toInt(), 35);

  auto again = load();
  EXPECT_EQ(again->connectionMode(), TranslationConnectionMode::api);
  EXPECT_EQ(again->defaultTargetLanguage(), QStringLiteral("de"));
  EXPECT_FALSE(again->preserveFormatting());
  EXPECT_EQ(again->batchSize(), 35);
  EXPECT_EQ(again->selectedModel(), QStringLiteral("claude-3-5-sonnet-20241022"));
}

TEST_F(TranslationSettingsTest, AnyTypedModelNameIsKeptAsTyped) {
  auto s = load();
  s->setSelectedProvider(TranslationProviderType::gemini);
  // A name outside the suggestions (they go stale as providers retire models).
  s->setSelectedModel(QStringLiteral("gemini-2.5-flash"));
  EXPECT_EQ(stored("translation.selectedModel").toString(), QStringLiteral("gemini-2.5-flash"));
  s->setSelectedProvider(TranslationProviderType::gemini);
  EXPECT_EQ(s->selectedModel(), QStringLiteral("gemini-2.5-flash"));
  EXPECT_EQ(load()->selectedModel(), QStringLiteral("gemini-2.5-flash"));

  // A blank name is no model at all.
  s->setSelectedModel(QStringLiteral("  "));
  EXPECT_EQ(s->selectedModel(), QStringLiteral("gemini-1.5-flash"));
  store("translation.selectedModel", "");
  EXPECT_EQ(load()->selectedModel(), QStringLiteral("gemini-1.5-flash"));

  // Moving to another provider does not carry a typed name over.
  s->setSelectedModel(QStringLiteral("gemini-2.5-pro"));
  s->setSelectedProvider(TranslationProviderType::claude);
  EXPECT_EQ(s->selectedModel(), QStringLiteral("claude-3-haiku-20240307"));
}

TEST_F(TranslationSettingsTest, ChangingProviderCorrectsTheModel) {
  auto s = load();
  s->setSelectedModel(QStringLiteral("claude-3-5-haiku-20241022"));
  QSignalSpy modelChanged(s.get(), &TranslationSettings::selectedModelChanged);
  s->setSelectedProvider(TranslationProviderType::gemini);
  EXPECT_EQ(s->selectedModel(), QStringLiteral("gemini-1.5-flash"));
  EXPECT_EQ(stored("translation.selectedModel").toString(), QStringLiteral("gemini-1.5-flash"));
  EXPECT_EQ(stored("translation.selectedProvider").toString(), QStringLiteral("Gemini (Google)"));
  EXPECT_EQ(modelChanged.count(), 1);

  s->setSelectedProvider(TranslationProviderType::claude);
  s->setSelectedModel(QStringLiteral("claude-3-5-sonnet-20241022"));
  QSettings().remove("translation.selectedModel");
  s->setSelectedProvider(TranslationProviderType::claude);
  EXPECT_EQ(s->selectedModel(), QStringLiteral("claude-3-5-sonnet-20241022"));
  EXPECT_FALSE(QSettings().contains("translation.selectedModel"));
}

TEST_F(TranslationSettingsTest, ApiModeIsConfiguredByAStoredKeyEvenAnEmptyOne) {
  REQUIRE_KEYCHAIN(sandbox);
  auto s = load();
  s->setConnectionMode(TranslationConnectionMode::api);
  s->setSelectedProvider(TranslationProviderType::gemini);
  EXPECT_FALSE(s->isCurrentProviderConfigured());
  // Stored by another program: an item with empty data.
  ASSERT_TRUE(sandbox.keychain.set(QString(), KeychainService::apiKeyAccount(TranslationProviderType::gemini)));
  EXPECT_TRUE(s->isCurrentProviderConfigured());
  s->setSelectedProvider(TranslationProviderType::claude);
  EXPECT_FALSE(s->isCurrentProviderConfigured());
}

TEST_F(TranslationSettingsTest, CliModeIsConfiguredWhenTheToolIsFound) {
  translationtest::ToolSandbox tools;
  auto s = load();
  s->setSelectedProvider(TranslationProviderType::gemini);
  if (s->detectCliPath(TranslationProviderType::gemini)) GTEST_SKIP() << "a real gemini tool is installed";
  EXPECT_FALSE(s->isCurrentProviderConfigured());
  const QString path = tools.addToolOnPath("gemini", "#!/bin/sh\n");
  EXPECT_EQ(s->detectCliPath(TranslationProviderType::gemini), path);
  EXPECT_TRUE(s->isCurrentProviderConfigured());
}

}  // namespace
