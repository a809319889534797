#include "Services/Translation/Providers/GeminiProvider.h"

#include "Services/ToolLocator.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace parlowvista {

GeminiProvider::GeminiProvider(TranslationSettings& settings, const ProviderEndpoints& endpoints,
                               TranslationConnectionMode mode, QObject* parent)
    : BatchedTranslationProvider(TranslationProviderType::gemini, settings, endpoints, mode, parent) {}

std::optional<QString> GeminiProvider::findCli() const {
  const QString home = QDir::homePath();
  return ToolLocator::find({QStringLiteral("/usr/local/bin/gemini"), QStringLiteral("/opt/homebrew/bin/gemini"),
                            home + QStringLiteral("/.local/bin/gemini")},
                           {QStringLiteral("gemini")});
}

BatchedTranslationProvider::ApiRequest GeminiProvider::makeApiRequest(const QString& prompt, const QString& model,
                                                                      const QString& apiKey) const {
  // Both travel inside the URL, so both are percent-encoded: a key or model
  // holding "&", "#", "/" or "?" must not change where the request goes.
  const QString text = baseUrl().toString(QUrl::StripTrailingSlash) + QStringLiteral("/v1beta/models/") +
                       QString::fromLatin1(QUrl::toPercentEncoding(model)) + QStringLiteral(":generateContent?key=") +
                       QString::fromLatin1(QUrl::toPercentEncoding(apiKey));
  const QUrl url(text, QUrl::StrictMode);
  if (!url.isValid()) throw TranslationError::invalidResponse(QStringLiteral("Invalid URL"));

  const QJsonObject part{{QStringLiteral("text"), prompt}};
  const QJsonObject content{{QStringLiteral("parts"), QJsonArray{part}}};
  const QJsonObject generation{{QStringLiteral("maxOutputTokens"), 4096.0}, {QStringLiteral("temperature"), 0.1}};
  const QJsonObject body{{QStringLiteral("contents"), QJsonArray{content}},
                         {QStringLiteral("generationConfig"), generation}};
  ApiRequest request;
  request.url = url;
  request.headers = {{"Content-Type", "application/json"}};
  request.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
  return request;
}

QString GeminiProvider::extractReplyText(const QByteArray& body) const {
  const auto failure = [] {
    return TranslationError::invalidResponse(QStringLiteral("Failed to parse Gemini response"));
  };
  const QJsonDocument document = QJsonDocument::fromJson(body);
  if (!document.isObject()) throw failure();
  const QJsonValue candidates = document.object().value(QStringLiteral("candidates"));
  if (!candidates.isArray() || candidates.toArray().isEmpty()) throw failure();
  const QJsonValue candidate = candidates.toArray().first();
  if (!candidate.isObject()) throw failure();
  const QJsonValue content = candidate.toObject().value(QStringLiteral("content"));
  if (!content.isObject()) throw failure();
  const QJsonValue parts = content.toObject().value(QStringLiteral("parts"));
  if (!parts.isArray() || parts.toArray().isEmpty()) throw failure();
  const QJsonValue part = parts.toArray().first();
  if (!part.isObject()) throw failure();
  const QJsonValue text = part.toObject().value(QStringLiteral("text"));
  if (!text.isString()) throw failure();
  return text.toString();
}

}  // namespace parlowvista
