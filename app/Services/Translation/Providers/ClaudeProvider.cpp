#include "Services/Translation/Providers/ClaudeProvider.h"

#include "Services/ToolLocator.h"
#include "Services/Translation/TranslationFormat.h"

#include <QDebug>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace parlowvista {

ClaudeProvider::ClaudeProvider(TranslationSettings& settings, const ProviderEndpoints& endpoints,
                               TranslationConnectionMode mode, QObject* parent)
    : BatchedTranslationProvider(TranslationProviderType::claude, settings, endpoints, mode, parent) {}

bool ClaudeProvider::checkAvailability() {
  if (connectionMode() == TranslationConnectionMode::cli) {
    const std::optional<QString> path = findCli();
    log(QStringLiteral("checkAvailability (CLI): path=") + path.value_or(QStringLiteral("nil")));
    return path.has_value();
  }
  const bool hasKey = BatchedTranslationProvider::checkAvailability();
  log(QStringLiteral("checkAvailability (API): hasKey=") + (hasKey ? QStringLiteral("true") : QStringLiteral("false")));
  return hasKey;
}

void ClaudeProvider::translate(const QList<TranscribedSegment>& segments, const QString& targetLanguage,
                               const std::optional<QString>& sourceLanguage, const std::optional<QString>& model,
                               TranslationProgressHandler progressHandler, Completion done) {
  log(QStringLiteral("translate called: %1 segments, mode=%2").arg(segments.size()).arg(caseName(connectionMode())));
  BatchedTranslationProvider::translate(segments, targetLanguage, sourceLanguage, model, std::move(progressHandler),
                                        std::move(done));
}

std::optional<QString> ClaudeProvider::findCli() const {
  const QString home = QDir::homePath();
  return ToolLocator::find({QStringLiteral("/usr/local/bin/claude"), QStringLiteral("/opt/homebrew/bin/claude"),
                            home + QStringLiteral("/.claude/bin/claude"), home + QStringLiteral("/.local/bin/claude")},
                           {QStringLiteral("claude")});
}

BatchedTranslationProvider::ApiRequest ClaudeProvider::makeApiRequest(const QString& prompt, const QString& model,
                                                                      const QString& apiKey) const {
  const QJsonObject message{{QStringLiteral("role"), QStringLiteral("user")}, {QStringLiteral("content"), prompt}};
  const QJsonObject body{{QStringLiteral("model"), model},
                         {QStringLiteral("max_tokens"), 4096},
                         {QStringLiteral("messages"), QJsonArray{message}}};
  ApiRequest request;
  request.url = QUrl(baseUrl().toString(QUrl::StripTrailingSlash) + QStringLiteral("/v1/messages"));
  request.headers = {
      {"Content-Type", "application/json"}, {"x-api-key", apiKey.toUtf8()}, {"anthropic-version", "2023-06-01"}};
  request.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
  return request;
}

QString ClaudeProvider::extractReplyText(const QByteArray& body) const {
  const auto failure = [] {
    return TranslationError::invalidResponse(QStringLiteral("Failed to parse Claude response"));
  };
  const QJsonDocument document = QJsonDocument::fromJson(body);
  if (!document.isObject()) throw failure();
  const QJsonValue content = document.object().value(QStringLiteral("content"));
  if (!content.isArray() || content.toArray().isEmpty()) throw failure();
  const QJsonValue first = content.toArray().first();
  if (!first.isObject()) throw failure();
  const QJsonValue text = first.toObject().value(QStringLiteral("text"));
  if (!text.isString()) throw failure();
  return text.toString();
}

QList<TranslatedSegment> ClaudeProvider::parseReply(const QString& text, const QList<TranscribedSegment>& batch,
                                                    const QString& targetLanguage) const {
  QList<TranslatedSegment> results = parseTranslationJSON(text, batch, targetLanguage);
  if (results.size() != batch.size())
    log(QStringLiteral("Warning: Got %1 translations for %2 segments").arg(results.size()).arg(batch.size()));
  return results;
}

void ClaudeProvider::log(const QString& line) const {
  qInfo().noquote() << QStringLiteral("[ClaudeProvider] ") + line;
}

}  // namespace parlowvista
