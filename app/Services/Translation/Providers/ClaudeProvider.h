#pragma once

#include "Services/Translation/BatchedTranslationProvider.h"

namespace parlowvista {

// Translates through Anthropic's Messages API ("/v1/messages", key in
// "x-api-key") or through the `claude` tool run as "claude --print <prompt>".
// Writes its diagnostic lines to the log behind "[ClaudeProvider] ".
class ClaudeProvider : public BatchedTranslationProvider {
  Q_OBJECT
 public:
  ClaudeProvider(TranslationSettings& settings, const ProviderEndpoints& endpoints, TranslationConnectionMode mode,
                 QObject* parent = nullptr);

  bool checkAvailability() override;
  void translate(const QList<TranscribedSegment>& segments, const QString& targetLanguage,
                 const std::optional<QString>& sourceLanguage, const std::optional<QString>& model,
                 TranslationProgressHandler progressHandler, Completion done) override;
  std::optional<QString> findCli() const override;

 protected:
  ApiRequest makeApiRequest(const QString& prompt, const QString& model, const QString& apiKey) const override;
  QString extractReplyText(const QByteArray& body) const override;
  StatusRules statusRules() const override { return {false, true}; }
  QString cliToolName() const override { return QStringLiteral("claude"); }
  QStringList cliArguments(const QString& prompt) const override { return {QStringLiteral("--print"), prompt}; }
  QList<TranslatedSegment> parseReply(const QString& text, const QList<TranscribedSegment>& batch,
                                      const QString& targetLanguage) const override;
  void log(const QString& line) const override;
};

}  // namespace parlowvista
