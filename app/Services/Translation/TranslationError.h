#pragma once

#include <QByteArray>
#include <QString>
#include <exception>
#include <optional>

namespace parlowvista {

// The failures of translation, thrown by providers and the translation service.
// `localizedDescription()` is the only text the error gives (shown to the user and logged).
class TranslationError : public std::exception {
 public:
  enum class Kind {
    cliNotFound,
    networkError,
    rateLimitExceeded,
    invalidResponse,
    translationFailed,
    providerNotConfigured,
    apiKeyMissing,
    quotaExceeded,
    cancelled,
  };

  static TranslationError cliNotFound(const QString& toolName);
  static TranslationError networkError(const QString& message);
  // `retryAfter` in seconds; a non-finite value is treated as unknown.
  static TranslationError rateLimitExceeded(std::optional<double> retryAfter);
  static TranslationError invalidResponse(const QString& message);
  static TranslationError translationFailed(const QString& message);
  static TranslationError providerNotConfigured();
  static TranslationError apiKeyMissing();
  static TranslationError quotaExceeded();
  static TranslationError cancelled();

  Kind kind() const { return m_kind; }
  // The tool name or message of the cases that carry one; empty otherwise.
  const QString& payload() const { return m_payload; }
  // Present only for `rateLimitExceeded` with a finite retry time.
  std::optional<double> retryAfter() const { return m_retryAfter; }

  QString localizedDescription() const;
  const char* what() const noexcept override { return m_utf8.constData(); }

  bool operator==(const TranslationError& other) const {
    return m_kind == other.m_kind && m_payload == other.m_payload && m_retryAfter == other.m_retryAfter;
  }

 private:
  TranslationError(Kind kind, QString payload, std::optional<double> retryAfter);

  Kind m_kind;
  QString m_payload;
  std::optional<double> m_retryAfter;
  QByteArray m_utf8;
};

}  // namespace parlowvista
