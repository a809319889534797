#include "Services/Translation/ProviderHttpCall.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>

#include <cmath>

namespace parlowvista {

ProviderHttpCall::ProviderHttpCall(QObject* parent) : QObject(parent) {
  m_deadline.setSingleShot(true);
  connect(&m_deadline, &QTimer::timeout, this, [this] {
    if (!m_reply) return;
    m_timedOut = true;
    m_reply->abort();
  });
}

ProviderHttpCall::~ProviderHttpCall() {
  if (m_reply) {
    m_reply->disconnect(this);
    m_reply->abort();
    m_reply->deleteLater();
  }
}

void ProviderHttpCall::post(const QUrl& url, const Headers& headers, const QByteArray& body, const Limits& limits,
                            Completion done) {
  QNetworkRequest request(url);
  for (const auto& [name, value] : headers) request.setRawHeader(name, value);
  // The idle timer alone is reset by every byte, so a reply trickling in slowly would never
  // end; the deadline bounds the whole exchange.
  request.setTransferTimeout(limits.idleTimeoutMs);
  m_aborted = false;
  m_timedOut = false;
  m_tooLarge = false;
  m_maxReplyBytes = limits.maxReplyBytes;
  m_done = std::move(done);
  QNetworkReply* reply = m_manager.post(request, body);
  m_reply = reply;
  connect(reply, &QNetworkReply::downloadProgress, this,
          [this, reply](qint64 received, qint64 total) { checkSize(reply, received, total); });
  connect(reply, &QNetworkReply::finished, this, [this, reply] { finish(reply); });
  m_deadline.start(limits.deadlineMs);
}

void ProviderHttpCall::checkSize(QNetworkReply* reply, qint64 bytesReceived, qint64 bytesTotal) {
  if (reply != m_reply || m_tooLarge) return;
  // A declared length over the limit is refused before its body is read.
  if (bytesReceived > m_maxReplyBytes || bytesTotal > m_maxReplyBytes) {
    m_tooLarge = true;
    reply->abort();
  }
}

void ProviderHttpCall::abort() {
  if (!m_reply) return;
  m_aborted = true;
  m_reply->abort();
}

void ProviderHttpCall::finish(QNetworkReply* reply) {
  reply->deleteLater();
  if (m_reply == reply) m_reply = nullptr;
  m_deadline.stop();
  HttpExchange exchange;
  const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  const QNetworkReply::NetworkError error = reply->error();
  if (m_aborted) {
    exchange.cancelled = true;
    exchange.transportError = QStringLiteral("cancelled");
  } else if (m_tooLarge) {
    exchange.tooLarge = true;
    exchange.transportError = QStringLiteral("The reply was larger than %1 bytes.").arg(m_maxReplyBytes);
  } else if (m_timedOut || error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError) {
    // Nobody aborted it, so the deadline or the idle-transfer timeout did, perhaps after the
    // headers had come: the body is incomplete either way.
    exchange.transportError = QStringLiteral("The request timed out.");
  } else if (status.isValid()) {
    exchange.isHttpResponse = true;
    exchange.statusCode = status.toInt();
    exchange.body = reply->readAll();
    // Header names compare without regard to case in QNetworkReply.
    if (reply->hasRawHeader("retry-after")) exchange.retryAfter = reply->rawHeader("retry-after");
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
