#include "Services/Translation/TranslationError.h"

#include <cmath>

namespace parlowvista {

TranslationError::TranslationError(Kind kind, QString payload, std::optional<double> retryAfter)
    : m_kind(kind), m_payload(std::move(payload)), m_retryAfter(retryAfter) {
  m_utf8 = localizedDescription().toUtf8();
}

TranslationError TranslationError::cliNotFound(const QString& toolName) {
  return {Kind::cliNotFound, toolName, std::nullopt};
}

TranslationError TranslationError::networkError(const QString& message) {
  return {Kind::networkError, message, std::nullopt};
}

TranslationError TranslationError::rateLimitExceeded(std::optional<double> retryAfter) {
  // A server's Retry-After may parse as infinity or NaN; such a time says nothing useful,
  // so the error takes the "try again later" form.
  if (retryAfter && !std::isfinite(*retryAfter)) retryAfter.reset();
  return {Kind::rateLimitExceeded, QString(), retryAfter};
}

TranslationError TranslationError::invalidResponse(const QString& message) {
  return {Kind::invalidResponse, message, std::nullopt};
}

TranslationError TranslationError::translationFailed(const QString& message) {
  return {Kind::translationFailed, message, std::nullopt};
}

TranslationError TranslationError::providerNotConfigured() {
  return {Kind::providerNotConfigured, QString(), std::nullopt};
}

TranslationError TranslationError::apiKeyMissing() {
  return {Kind::apiKeyMissing, QString(), std::nullopt};
}

TranslationError TranslationError::quotaExceeded() {
  return {Kind::quotaExceeded, QString(), std::nullopt};
}

TranslationError TranslationError::cancelled() {
  return {Kind::cancelled, QString(), std::nullopt};
}

QString TranslationError::localizedDescription() const {
  switch (m_kind) {
    case Kind::cliNotFound: return m_payload + QStringLiteral(" CLI not found. Please install it first.");
    case Kind::networkError: return QStringLiteral("Network error: ") + m_payload;
    case Kind::rateLimitExceeded:
      if (m_retryAfter) {
        // Truncated toward zero without an integer conversion, so huge values stay defined;
        // adding 0.0 turns a negative zero into "0".
        const double whole = std::trunc(*m_retryAfter) + 0.0;
        return QStringLiteral("Rate limit exceeded. Retry after %1 seconds.").arg(QString::number(whole, 'f', 0));
      }
      return QStringLiteral("Rate limit exceeded. Please try again later.");
    case Kind::invalidResponse: return QStringLiteral("Invalid response from translation service: ") + m_payload;
    case Kind::translationFailed: return QStringLiteral("Translation failed: ") + m_payload;
    case Kind::providerNotConfigured: return QStringLiteral("Translation provider not configured");
    case Kind::apiKeyMissing: return QStringLiteral("API key is missing. Please configure in settings.");
    case Kind::quotaExceeded: return QStringLiteral("API quota exceeded. Please check your billing.");
    case Kind::cancelled: return QStringLiteral("Translation was cancelled");
  }
  return {};
}

}  // namespace parlowvista
