#include "Services/KeychainService.h"
#include "app/Services/Translation/TranslationTestSupport.h"

#include <gtest/gtest.h>

using namespace parlowvista;

namespace {

TEST(KeychainService, AccountsAreNamedAfterTheProviders) {
  EXPECT_EQ(KeychainService::apiKeyAccount(TranslationProviderType::claude),
            QStringLiteral("apiKey.Claude (Anthropic)"));
  EXPECT_EQ(KeychainService::apiKeyAccount(TranslationProviderType::gemini), QStringLiteral("apiKey.Gemini (Google)"));
  EXPECT_EQ(KeychainService::apiKeyAccount(TranslationProviderType::openai), QStringLiteral("apiKey.OpenAI (GPT)"));
}

TEST(KeychainService, RoundTripReplaceAndRemove) {
  translationtest::SettingsSandbox sandbox;
  REQUIRE_KEYCHAIN(sandbox);
  KeychainService& keychain = sandbox.keychain;
  const QString account = QStringLiteral("apiKey.Claude (Anthropic)");

  EXPECT_EQ(keychain.get(account), std::nullopt);
  EXPECT_FALSE(keychain.exists(account));

  ASSERT_TRUE(keychain.set(QStringLiteral("  sk-ant ünï \n"), account));
  EXPECT_EQ(keychain.get(account), QStringLiteral("  sk-ant ünï \n"));
  EXPECT_TRUE(keychain.exists(account));

  // Replacing keeps one item with the new text; other accounts are untouched.
  ASSERT_TRUE(keychain.set(QStringLiteral("second"), account));
  ASSERT_TRUE(keychain.set(QStringLiteral("other"), QStringLiteral("apiKey.OpenAI (GPT)")));
  EXPECT_EQ(keychain.get(account), QStringLiteral("second"));

  // A keychain under another service name does not see the item.
  KeychainService elsewhere(keychain.serviceName() + QStringLiteral(".elsewhere"));
  EXPECT_FALSE(elsewhere.exists(account));

  EXPECT_TRUE(keychain.remove(account));
  EXPECT_FALSE(keychain.exists(account));
  EXPECT_TRUE(keychain.remove(account));
  EXPECT_EQ(keychain.get(QStringLiteral("apiKey.OpenAI (GPT)")), QStringLiteral("other"));
}

TEST(KeychainService, SetApiKeyStoresOrRemoves) {
  translationtest::SettingsSandbox sandbox;
  REQUIRE_KEYCHAIN(sandbox);
  KeychainService& keychain = sandbox.keychain;
  const QString account = KeychainService::apiKeyAccount(TranslationProviderType::gemini);

  EXPECT_TRUE(keychain.setAPIKey(QStringLiteral("g-key"), TranslationProviderType::gemini));
  EXPECT_EQ(keychain.get(account), QStringLiteral("g-key"));
  EXPECT_TRUE(keychain.setAPIKey(QString(), TranslationProviderType::gemini));
  EXPECT_FALSE(keychain.exists(account));
  EXPECT_TRUE(keychain.setAPIKey(QStringLiteral("g-key"), TranslationProviderType::gemini));
  EXPECT_TRUE(keychain.setAPIKey(std::nullopt, TranslationProviderType::gemini));
  EXPECT_FALSE(keychain.exists(account));
  EXPECT_TRUE(keychain.setAPIKey(std::nullopt, TranslationProviderType::gemini));
}

TEST(KeychainService, FailedWriteKeepsTheOldKeyAndSaysSo) {
  translationtest::WriteFailingKeychain keychain;
  const QString account = KeychainService::apiKeyAccount(TranslationProviderType::claude);
  keychain.items.insert(account, QStringLiteral("old"));
  EXPECT_FALSE(keychain.setAPIKey(QStringLiteral("new"), TranslationProviderType::claude));
  EXPECT_EQ(keychain.get(account), QStringLiteral("old"));
}

}  // namespace
