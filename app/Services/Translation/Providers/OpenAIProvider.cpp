#include "Services/Translation/Providers/OpenAIProvider.h"

#include "Services/ToolLocator.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace parlowvista {

OpenAIProvider::OpenAIProvider(TranslationSettings& settings, const ProviderEndpoints& endpoints,
                               TranslationConnectionMode mode, QObject* parent)
    : BatchedTranslationProvider(TranslationProviderType::openai, settings, endpoints, mode, parent) {}

std::optional<QString> OpenAIProvider::findCli() const {
  const QString home = QDir::homePath();
  return ToolLocator::find({QStringLiteral("/usr/local/bin/openai"), QStringLiteral("/opt/homebrew/bin/openai"),
                            home + QStringLiteral("/.local/bin/openai"), QStringLiteral("/usr/local/bin/chatgpt"),
                            QStringLiteral("/opt/homebrew/bin/chatgpt")},
                           {QStringLiteral("openai"), QStringLiteral("chatgpt")});
}

BatchedTranslationProvider::ApiRequest OpenAIProvider::makeApiRequest(const QString& prompt, const QString& model,
                                                                      const QString& apiKey) const {
  const QJsonObject system{
      {QStringLiteral("role"), QStringLiteral("system")},
      {QStringLiteral("content"), QStringLiteral("You are a professional translator. Translate text accurately while "
                                                 "preserving meaning and tone. Return only valid JSON.")}};
  const QJsonObject user{{QStringLiteral("role"), QStringLiteral("user")}, {QStringLiteral("content"), prompt}};
  const QJsonObject body{{QStringLiteral("model"), model},
                         {QStringLiteral("messages"), QJsonArray{system, user}},
                         {QStringLiteral("max_tokens"), 4096},
                         {QStringLiteral("temperature"), 0.1}};
  ApiRequest request;
  request.url = QUrl(baseUrl().toString(QUrl::StripTrailingSlash) + QStringLiteral("/v1/chat/completions"));
  request.headers = {{"Content-Type", "application/json"}, {"Authorization", "Bearer " + apiKey.toUtf8()}};
  request.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
  return request;
}

QString OpenAIProvider::extractReplyText(const QByteArray& body) const {
  const auto failure = [] {
    return TranslationError::invalidResponse(QStringLiteral("Failed to parse OpenAI response"));
  };
  const QJsonDocument document = QJsonDocument::fromJson(body);
  if (!document.isObject()) throw failure();
  const QJsonValue choices = document.object().value(QStringLiteral("choices"));
  if (!choices.isArray() || choices.toArray().isEmpty()) throw failure();
  const QJsonValue choice = choices.toArray().first();
  if (!choice.isObject()) throw failure();
  const QJsonValue message = choice.toObject().value(QStringLiteral("message"));
  if (!message.isObject()) throw failure();
  const QJsonValue content = message.toObject().value(QStringLiteral("content"));
  if (!content.isString()) throw failure();
  return content.toString();
}

}  // namespace parlowvista
