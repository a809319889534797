#include "Models/SupportedLanguage.h"
#include "Models/TranslatedSegment.h"
#include "Models/TranslationConnectionMode.h"
#include "Models/TranslationProviderType.h"
#include "Services/Translation/TranslationError.h"

#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>

using namespace parlowvista;

TEST(SupportedLanguage, ListAndLookup) {
  const auto& all = SupportedLanguage::all();
  ASSERT_EQ(all.size(), 34);
  EXPECT_EQ(all.first().code, "en");
  EXPECT_EQ(all.last().code, "lt");
  for (qsizetype i = 1; i < all.size(); ++i) EXPECT_TRUE(all[i].nativeName.has_value()) << all[i].code.toStdString();

  const auto english = SupportedLanguage::find("en");
  ASSERT_TRUE(english);
  EXPECT_EQ(english->name, "English");
  EXPECT_FALSE(english->nativeName);
  EXPECT_EQ(SupportedLanguage::find("uk")->nativeName, QString::fromUtf8("Українська"));
  for (const char* code : {"nb", "EN", ""}) EXPECT_FALSE(SupportedLanguage::find(code)) << code;
}

TEST(TranslationError, Descriptions) {
  const double infinity = std::numeric_limits<double>::infinity();
  struct Case {
    TranslationError error;
    const char* text;
  };
  const Case cases[] = {
      {TranslationError::cliNotFound("gemini"), "gemini CLI not found. Please install it first."},
      {TranslationError::networkError("down"), "Network error: down"},
      {TranslationError::rateLimitExceeded(12.9), "Rate limit exceeded. Retry after 12 seconds."},
      {TranslationError::rateLimitExceeded(0.0), "Rate limit exceeded. Retry after 0 seconds."},
      {TranslationError::rateLimitExceeded(std::nullopt), "Rate limit exceeded. Please try again later."},
      {TranslationError::rateLimitExceeded(infinity), "Rate limit exceeded. Please try again later."},
      {TranslationError::rateLimitExceeded(std::numeric_limits<double>::quiet_NaN()),
       "Rate limit exceeded. Please try again later."},
      {TranslationError::invalidResponse("x"), "Invalid response from translation service: x"},
      {TranslationError::translationFailed("y"), "Translation failed: y"},
      {TranslationError::providerNotConfigured(), "Translation provider not configured"},
      {TranslationError::apiKeyMissing(), "API key is missing. Please configure in settings."},
      {TranslationError::quotaExceeded(), "API quota exceeded. Please check your billing."},
      {TranslationError::cancelled(), "Translation was cancelled"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.localizedDescription(), QString::fromUtf8(c.text));
    EXPECT_STREQ(c.error.what(), c.text);
  }
  EXPECT_FALSE(TranslationError::rateLimitExceeded(infinity).retryAfter());
}

TEST(TranslationProviderType, RawValuesRoundTripExactly) {
  ASSERT_EQ(allTranslationProviderTypes().size(), 3);
  EXPECT_EQ(rawValue(TranslationProviderType::claude), "Claude (Anthropic)");
  EXPECT_EQ(rawValue(TranslationProviderType::gemini), "Gemini (Google)");
  EXPECT_EQ(rawValue(TranslationProviderType::openai), "OpenAI (GPT)");
  for (auto type : allTranslationProviderTypes()) EXPECT_EQ(translationProviderTypeFromRawValue(rawValue(type)), type);
  EXPECT_FALSE(translationProviderTypeFromRawValue("claude (anthropic)"));
  EXPECT_EQ(defaultModel(TranslationProviderType::claude), "claude-3-haiku-20240307");
  EXPECT_EQ(defaultModel(TranslationProviderType::gemini), "gemini-1.5-flash");
  EXPECT_EQ(defaultModel(TranslationProviderType::openai), "gpt-4o-mini");

  EXPECT_EQ(rawValue(TranslationConnectionMode::cli), "CLI");
  EXPECT_EQ(caseName(TranslationConnectionMode::cli), "cli");
  EXPECT_EQ(translationConnectionModeFromRawValue("API"), TranslationConnectionMode::api);
  EXPECT_FALSE(translationConnectionModeFromRawValue("api"));
}

TEST(TranslatedSegment, JsonRoundTripWithRequiredKeys) {
  const TranslatedSegment segment{QUuid::createUuid(), QUuid::createUuid(), QString::fromUtf8("Grüß \"dich\""), "de"};
  const nlohmann::json json = segment;
  EXPECT_EQ(json.size(), 4u);
  EXPECT_EQ(json.at("id").get<std::string>(), segment.id.toString(QUuid::WithoutBraces).toUpper().toStdString());
  EXPECT_EQ(json.get<TranslatedSegment>(), segment);

  nlohmann::json missing = json;
  missing.erase("targetLanguage");
  EXPECT_THROW(missing.get<TranslatedSegment>(), nlohmann::json::exception);
  nlohmann::json badId = json;
  badId["id"] = "not-a-uuid";
  EXPECT_THROW(badId.get<TranslatedSegment>(), std::invalid_argument);
}
