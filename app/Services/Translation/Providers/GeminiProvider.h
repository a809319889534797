#pragma once

#include "Services/Translation/BatchedTranslationProvider.h"

namespace parlowvista {

// Translates through Google's Gemini generateContent endpoint (model and key
// in the URL, both percent-encoded) or through the `gemini` tool run with the
// prompt as its only argument. Writes no log lines: its URL carries the key.
class GeminiProvider : public BatchedTranslationProvider {
  Q_OBJECT
 public:
  GeminiProvider(TranslationSettings& settings, const ProviderEndpoints& endpoints, TranslationConnectionMode mode,
                 QObject* parent = nullptr);

  std::optional<QString> findCli() const override;

 protected:
  ApiRequest makeApiRequest(const QString& prompt, const QString& model, const QString& apiKey) const override;
  QString extractReplyText(const QByteArray& body) const override;
  StatusRules statusRules() const override { return {true, false}; }
  QString cliToolName() const override { return QStringLiteral("gemini"); }
  QStringList cliArguments(const QString& prompt) const override { return {prompt}; }
};

}  // namespace parlowvista
