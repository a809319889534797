#include "Services/Translation/ProviderHttpCall.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>

#include <cmath>

namespace parlowvista {

ProviderHttpCall::ProviderHttpCall(QObject* parent) : QObject(parent) {}

ProviderHttpCall::~ProviderHttpCall() {
  if (m_reply) {
    m_reply->disconnect(this);
    m_reply->abort();
    m_reply->deleteLater();
  }
}

void ProviderHttpCall::post(const QUrl& url, const Headers& headers, const QByteArray& body, int timeoutMs,
                            Completion done) {
  QNetworkRequest request(url);
  for (const auto& [name, value] : headers) request.setRawHeader(name, value);
  request.setTransferTimeout(timeoutMs);
  m_aborted = false;
  m_done = std::move(done);
  QNetworkReply* reply = m_manager.post(request, body);
  m_reply = reply;
  connect(reply, &QNetworkReply::finished, this, [this, reply] { finish(reply); });
}

void ProviderHttpCall::abort() {
  if (!m_reply) return;
  m_aborted = true;
  m_reply->abort();
}

void ProviderHttpCall::finish(QNetworkReply* reply) {
  reply->deleteLater();
  if (m_reply == reply) m_reply = nullptr;
  HttpExchange exchange;
  const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  if (status.isValid() && !m_aborted) {
    exchange.isHttpResponse = true;
    exchange.statusCode = status.toInt();
    exchange.body = reply->readAll();
    // Header names compare without regard to case in QNetworkReply.
    if (reply->hasRawHeader("retry-after")) exchange.retryAfter = reply->rawHeader("retry-after");
  } else if (m_aborted) {
    exchange.cancelled = true;
    exchange.transportError = QStringLiteral("cancelled");
  } else if (reply->error() == QNetworkReply::OperationCanceledError || reply->error() == QNetworkReply::TimeoutError) {
    // Nobody aborted it, so the idle-transfer timeout did.
    exchange.transportError = QStringLiteral("The request timed out.");
  } else {
    exchange.transportError = reply->errorString();
  }
  Completion done = std::move(m_done);
  m_done = nullptr;
  if (done) done(exchange);
}

std::optional<double> parseRetryAfter(const std::optional<QByteArray>& value) {
  if (!value) return std::nullopt;
  static const QRegularExpression number(QStringLiteral(R"(^[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?$)"));
  const QString text = QString::fromLatin1(*value);
  if (!number.match(text).hasMatch()) return std::nullopt;
  bool ok = false;
  const double seconds = text.toDouble(&ok);
  if (!ok || !std::isfinite(seconds)) return std::nullopt;
  return seconds;
}

}  // namespace parlowvista
