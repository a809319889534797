#pragma once

#include "Services/Translation/BatchedTranslationProvider.h"

namespace parlowvista {

// Translates through OpenAI's chat-completions API ("/v1/chat/completions",
// bearer key) or through the `openai` (or `chatgpt`) tool run as
// "chat -m gpt-4o-mini <prompt>".
class OpenAIProvider : public BatchedTranslationProvider {
  Q_OBJECT
 public:
  OpenAIProvider(TranslationSettings& settings, const ProviderEndpoints& endpoints, TranslationConnectionMode mode,
                 QObject* parent = nullptr);

  std::optional<QString> findCli() const override;

 protected:
  ApiRequest makeApiRequest(const QString& prompt, const QString& model, const QString& apiKey) const override;
  QString extractReplyText(const QByteArray& body) const override;
  StatusRules statusRules() const override { return {false, true}; }
  QString cliToolName() const override { return QStringLiteral("openai"); }
  // The official tool's form: `openai api chat.completions.create -m MODEL -g ROLE TEXT`.
  QStringList cliArguments(const QString& prompt) const override {
    return {QStringLiteral("api"),
            QStringLiteral("chat.completions.create"),
            QStringLiteral("-m"),
            QStringLiteral("gpt-4o-mini"),
            QStringLiteral("-g"),
            QStringLiteral("user"),
            prompt};
  }
};

}  // namespace parlowvista
