#include "Services/LocalHTTPServer.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

static void initPlayerResources() {
  Q_INIT_RESOURCE(player);
}

namespace parlowvista {

namespace {

// A request head larger than this, or one that has not ended within the wait, is answered
// from what has arrived.
constexpr qsizetype kMaxRequestHead = 8192;
constexpr int kRequestWaitMilliseconds = 5000;

const QByteArray kRequestMarker = QByteArrayLiteral("GET /youtube?v=");
const QByteArray kInvalidRequestBody = QByteArrayLiteral("<html><body>Invalid request</body></html>");

QByteArray pageTemplate() {
  static const QByteArray cached = [] {
    initPlayerResources();
    QFile file(QStringLiteral(":/player/youtube-player.html"));
    if (!file.open(QIODevice::ReadOnly)) {
      qWarning() << "[LocalHTTPServer] Player page missing from resources";
      return QByteArray();
    }
    return file.readAll();
  }();
  return cached;
}

}  // namespace

// Lives on the server's thread and owns the listener and the open connections there.
class LocalHTTPServerWorker : public QObject {
 public:
  explicit LocalHTTPServerWorker(LocalHTTPServer* owner) : m_owner(owner) {}

  // Runs on the server's thread.
  void listen() {
    if (m_listener && m_listener->isListening()) {
      return;
    }
    delete m_listener;
    m_listener = new QTcpServer(this);
    if (!m_listener->listen(QHostAddress::LocalHost, 0)) {
      qWarning().noquote() << QStringLiteral("[LocalHTTPServer] Failed to start: %1").arg(m_listener->errorString());
      delete m_listener;
      m_listener = nullptr;
      m_owner->setPort(0);
      return;
    }
    QObject::connect(m_listener, &QTcpServer::newConnection, this, [this] { acceptPending(); });
    QObject::connect(m_listener, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
      m_owner->handleListenerFailure(m_listener ? m_listener->errorString() : QString());
    });
    m_owner->setPort(m_listener->serverPort());
    qInfo().noquote() << QStringLiteral("[LocalHTTPServer] Started on port %1").arg(m_listener->serverPort());
  }

  void closeListener() {
    if (m_listener) {
      m_listener->close();
    }
  }

 private:
  void acceptPending() {
    while (m_listener && m_listener->hasPendingConnections()) {
      handleConnection(m_listener->nextPendingConnection());
    }
  }

  void handleConnection(QTcpSocket* socket) {
    auto* buffer = new QByteArray;
    auto* deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    auto answered = std::make_shared<bool>(false);

    auto finish = [this, socket, buffer, answered] {
      if (*answered) {
        return;
      }
      *answered = true;
      if (buffer->isEmpty()) {
        socket->abort();  // nothing arrived: no answer
        socket->deleteLater();
        return;
      }
      const LocalHTTPServer::Answer answer = LocalHTTPServer::handleRequest(*buffer, m_owner->port());
      socket->write(LocalHTTPServer::buildHTTPResponse(answer.body, answer.status));
      socket->disconnectFromHost();  // after the answer has been written
    };

    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, buffer, finish] {
      buffer->append(socket->readAll());
      if (buffer->contains("\r\n\r\n") || buffer->size() >= kMaxRequestHead) {
        finish();
      }
    });
    QObject::connect(deadline, &QTimer::timeout, socket, finish);
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket, answered] {
      *answered = true;
      socket->deleteLater();
    });
    QObject::connect(socket, &QObject::destroyed, [buffer] { delete buffer; });
    deadline->start(kRequestWaitMilliseconds);
  }

  LocalHTTPServer* m_owner;
  QTcpServer* m_listener = nullptr;
};

LocalHTTPServer::LocalHTTPServer(QObject* parent) : QObject(parent) {
  m_thread.setObjectName(QStringLiteral("LocalHTTPServer"));
  m_worker = new LocalHTTPServerWorker(this);
  m_worker->moveToThread(&m_thread);
  m_thread.start();
}

LocalHTTPServer::~LocalHTTPServer() {
  LocalHTTPServerWorker* worker = m_worker;
  QMetaObject::invokeMethod(
      worker, [worker] { delete worker; }, Qt::BlockingQueuedConnection);
  m_worker = nullptr;
  m_thread.quit();
  m_thread.wait();
}

void LocalHTTPServer::start() {
  if (port() != 0) {
    return;
  }
  LocalHTTPServerWorker* worker = m_worker;
  if (QThread::currentThread() == &m_thread) {
    worker->listen();
  } else {
    QMetaObject::invokeMethod(
        worker, [worker] { worker->listen(); }, Qt::BlockingQueuedConnection);
  }
}

std::optional<QUrl> LocalHTTPServer::baseURL() const {
  const quint16 current = port();
  if (current == 0) {
    return std::nullopt;
  }
  return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(current));
}

void LocalHTTPServer::handleListenerFailure(const QString& reason) {
  qWarning().noquote() << QStringLiteral("[LocalHTTPServer] Failed: %1").arg(reason);
  setPort(0);
  LocalHTTPServerWorker* worker = m_worker;
  QMetaObject::invokeMethod(
      worker, [worker] { worker->closeListener(); }, Qt::QueuedConnection);
}

LocalHTTPServer::Answer LocalHTTPServer::handleRequest(const QByteArray& requestHead, quint16 port) {
  const Answer refused{QByteArrayLiteral("400 Bad Request"), kInvalidRequestBody};
  // Only the request line itself may ask for the page: not a header, not a longer method.
  if (!requestHead.startsWith(kRequestMarker)) {
    return refused;
  }
  const qsizetype idStart = kRequestMarker.size();
  const qsizetype space = requestHead.indexOf(' ', idStart);
  if (space < 0) {
    return refused;
  }
  const QString videoId = QString::fromUtf8(requestHead.mid(idStart, space - idStart));
  if (!isAcceptableVideoId(videoId)) {
    return refused;
  }
  return Answer{QByteArrayLiteral("200 OK"), playerPage(videoId, port)};
}

QByteArray LocalHTTPServer::buildHTTPResponse(const QByteArray& html, const QByteArray& status) {
  QByteArray response;
  response += "HTTP/1.1 " + status + "\r\n";
  response += "Content-Type: text/html; charset=utf-8\r\n";
  response += "Content-Length: " + QByteArray::number(html.size()) + "\r\n";
  response += "Connection: close\r\n";
  response += "Referrer-Policy: strict-origin-when-cross-origin\r\n";
  response += "Access-Control-Allow-Origin: *\r\n";
  response += "\r\n";
  response += html;
  return response;
}

QByteArray LocalHTTPServer::playerPage(const QString& videoId, quint16 port) {
  QByteArray page = pageTemplate();
  page.replace("{{VIDEO_ID}}", videoId.toUtf8());
  page.replace("{{PORT}}", QByteArray::number(port));
  return page;
}

bool LocalHTTPServer::isAcceptableVideoId(const QString& videoId) {
  // Anchored to the whole text: "$" alone would let a final newline through.
  static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_-]*")));
  return pattern.match(videoId).hasMatch();
}

}  // namespace parlowvista
