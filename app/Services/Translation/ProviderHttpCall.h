#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkReply;

namespace parlowvista {

// What came back from one HTTPS exchange with a translation API.
struct HttpExchange {
  // False when no HTTP response arrived at all (refused, timed out, cancelled).
  bool isHttpResponse = false;
  int statusCode = 0;
  QByteArray body;
  // The raw "retry-after" header value, when the response carried one.
  std::optional<QByteArray> retryAfter;
  // Without a response: the transport's own description of the failure.
  QString transportError;
  // The exchange was aborted through abort().
  bool cancelled = false;
  // The reply grew past the size limit and was dropped unread.
  bool tooLarge = false;
};

// One JSON POST at a time through the provider's own network manager.
// 4xx/5xx answers are still HTTP responses here (status and body are kept), so
// providers judge them by status code. Lives on the UI thread.
class ProviderHttpCall : public QObject {
  Q_OBJECT
 public:
  using Headers = QList<QPair<QByteArray, QByteArray>>;
  using Completion = std::function<void(const HttpExchange&)>;

  // How long and how much one exchange may take.
  struct Limits {
    // The longest time the transfer may stay idle.
    int idleTimeoutMs = 60'000;
    // The longest time the whole exchange may take, however steadily bytes arrive.
    int deadlineMs = 300'000;
    // The largest reply body read; a longer one ends the exchange as `tooLarge`.
    qint64 maxReplyBytes = 4 * 1024 * 1024;
  };

  explicit ProviderHttpCall(QObject* parent = nullptr);
  ~ProviderHttpCall() override;

  // Sends the body; `done` runs exactly once, later, on this object's thread.
  void post(const QUrl& url, const Headers& headers, const QByteArray& body, const Limits& limits, Completion done);

  // Ends the exchange in flight; its completion reports `cancelled`.
  void abort();

  bool isRunning() const { return !m_reply.isNull(); }

 private:
  void finish(QNetworkReply* reply);
  void checkSize(QNetworkReply* reply, qint64 bytesReceived, qint64 bytesTotal);

  QNetworkAccessManager m_manager;
  QPointer<QNetworkReply> m_reply;
  Completion m_done;
  QTimer m_deadline;
  qint64 m_maxReplyBytes = 0;
  bool m_aborted = false;
  bool m_timedOut = false;
  bool m_tooLarge = false;
};

// Reads a "retry-after" value as seconds. Only a plain decimal number counts
// (an HTTP date, white space or trailing characters give nothing), and so does
// nothing that is not finite, which could not be shown as a whole number.
std::optional<double> parseRetryAfter(const std::optional<QByteArray>& value);

}  // namespace parlowvista
