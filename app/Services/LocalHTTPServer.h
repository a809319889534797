#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThread>
#include <QUrl>

#include <atomic>
#include <optional>

namespace parlowvista {

class LocalHTTPServerWorker;

// Serves the online-video player page on the IPv4 loopback interface, so that the page has a
// web origin ("http://127.0.0.1:<port>") the provider's player accepts. It answers
// "GET /youtube?v=<id>" with the page and anything else with 400; every connection carries one
// exchange. The listener and its connections live on a thread of their own.
class LocalHTTPServer : public QObject {
  Q_OBJECT

 public:
  explicit LocalHTTPServer(QObject* parent = nullptr);
  ~LocalHTTPServer() override;

  // Listens on 127.0.0.1 on a port the system picks; does nothing while listening. Returns
  // once listening succeeded or failed, so baseURL() is known on return. A listener that died
  // is replaced by a new one. Main thread.
  void start();

  // "http://127.0.0.1:<port>" without a trailing slash; nothing while not listening.
  std::optional<QUrl> baseURL() const;
  quint16 port() const { return m_port.load(std::memory_order_acquire); }

  // Called when the listener stops accepting for good: forgets the port so that the next
  // start() listens afresh. Any thread.
  void handleListenerFailure(const QString& reason);

  // The answer to one request head (request line and headers): status line text and body.
  struct Answer {
    QByteArray status;  // "200 OK" or "400 Bad Request"
    QByteArray body;
  };
  static Answer handleRequest(const QByteArray& requestHead, quint16 port);
  static QByteArray buildHTTPResponse(const QByteArray& html, const QByteArray& status);
  // The player page for one identifier; the identifier must already be checked.
  static QByteArray playerPage(const QString& videoId, quint16 port);
  // Identifiers are the provider's short tokens; anything else never reaches the page's script.
  static bool isAcceptableVideoId(const QString& videoId);

 private:
  friend class LocalHTTPServerWorker;
  void setPort(quint16 port) { m_port.store(port, std::memory_order_release); }

  QThread m_thread;
  LocalHTTPServerWorker* m_worker = nullptr;
  std::atomic<quint16> m_port{0};
};

}  // namespace parlowvista
