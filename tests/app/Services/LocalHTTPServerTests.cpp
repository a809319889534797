#include "Services/LocalHTTPServer.h"

#include "support/QtWait.h"

#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QNetworkReply>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>
#include <string>

using parlowvista::LocalHTTPServer;
using testsupport::waitUntil;

namespace {

// Sends `pieces` one after the other (pausing between them) and returns all the server answered.
QByteArray exchange(quint16 port, const QList<QByteArray>& pieces, int pauseMs = 0) {
  QTcpSocket socket;
  socket.connectToHost(QHostAddress::LocalHost, port);
  if (!socket.waitForConnected(3000)) {
    return {};
  }
  for (const QByteArray& piece : pieces) {
    socket.write(piece);
    socket.waitForBytesWritten(1000);
    if (pauseMs > 0) {
      QTest::qWait(pauseMs);
    }
  }
  QByteArray answer;
  while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(3000)) {
    answer += socket.readAll();
  }
  answer += socket.readAll();
  return answer;
}

QByteArray statusLine(const QByteArray& answer) {
  return answer.left(answer.indexOf("\r\n"));
}

QByteArray bodyOf(const QByteArray& answer) {
  return answer.mid(answer.indexOf("\r\n\r\n") + 4);
}

class LocalHTTPServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<LocalHTTPServer>();
    server->start();
    ASSERT_TRUE(server->baseURL().has_value());
  }
  std::unique_ptr<LocalHTTPServer> server;
};

TEST(LocalHTTPServerLifecycleTest, BaseAddressAppearsWithListeningAndStaysTheSame) {
  LocalHTTPServer server;
  EXPECT_FALSE(server.baseURL().has_value());
  server.start();
  const std::optional<QUrl> first = server.baseURL();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->toString(), QStringLiteral("http://127.0.0.1:%1").arg(server.port()));
  server.start();
  EXPECT_EQ(server.baseURL(), first);
}

TEST(LocalHTTPServerLifecycleTest, ADeadListenerIsReplacedByTheNextStart) {
  LocalHTTPServer server;
  server.start();
  ASSERT_NE(server.port(), 0);
  server.handleListenerFailure(QStringLiteral("test"));
  EXPECT_FALSE(server.baseURL().has_value());
  server.start();
  ASSERT_TRUE(server.baseURL().has_value());
  EXPECT_TRUE(statusLine(exchange(server.port(), {"GET /youtube?v=abc HTTP/1.1\r\n\r\n"})).endsWith("200 OK"));
}

TEST_F(LocalHTTPServerTest, ServesThePlayerPageToARealClient) {
  QNetworkAccessManager client;
  std::unique_ptr<QNetworkReply> reply(
      client.get(QNetworkRequest(QUrl(server->baseURL()->toString() + "/youtube?v=abc123"))));
  ASSERT_TRUE(waitUntil([&] { return reply->isFinished(); }));
  EXPECT_EQ(reply->error(), QNetworkReply::NoError) << reply->errorString().toStdString();
  EXPECT_EQ(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
  EXPECT_EQ(reply->header(QNetworkRequest::ContentTypeHeader).toString(), "text/html; charset=utf-8");
  EXPECT_EQ(reply->rawHeader("Referrer-Policy"), "strict-origin-when-cross-origin");
  EXPECT_EQ(reply->rawHeader("Access-Control-Allow-Origin"), "*");
  const QByteArray body = reply->readAll();
  EXPECT_EQ(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(), body.size());
  EXPECT_TRUE(body.contains("videoId: 'abc123'"));
  EXPECT_TRUE(body.contains("origin: \"http://127.0.0.1:" + QByteArray::number(server->port()) + "\""));
  EXPECT_TRUE(body.contains("window.webkit.messageHandlers.youtube"));
}

TEST_F(LocalHTTPServerTest, AnswersEachRequestByItsFirstLine) {
  const struct {
    const char* request;
    const char* status;
  } cases[] = {
      {"GET /youtube?v=abc123 HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /youtube?v=aB_-9z HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /youtube?v= HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /favicon.ico HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"POST /youtube?v=abc123 HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /youtube?v=abc123\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      // Only the provider's token alphabet reaches the page's script.
      {"GET /youtube?v=abc123&t=5 HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /youtube?v=a'+alert(1)+' HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /youtube?v=%3Cscript%3E HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /youtube?v=abc123\n HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      // The page is asked for by the request line alone.
      {"XGET /youtube?v=abc123 HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {" GET /youtube?v=abc123 HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET / HTTP/1.1\r\nX-Page: GET /youtube?v=abc123 HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
  };
  for (const auto& c : cases) {
    const QByteArray answer = exchange(server->port(), {QByteArray(c.request)});
    EXPECT_EQ(statusLine(answer), QByteArray(c.status)) << c.request;
    if (QByteArray(c.status).endsWith("400 Bad Request")) {
      EXPECT_EQ(bodyOf(answer), "<html><body>Invalid request</body></html>") << c.request;
      EXPECT_TRUE(answer.contains("\r\nContent-Length: 41\r\n")) << c.request;
    }
  }
}

TEST_F(LocalHTTPServerTest, ARequestSplitAcrossReadsIsServed) {
  const QByteArray answer =
      exchange(server->port(), {"GET /youtube?v=ab", "c123 HTTP/1.1\r\nHost: 127.0.0.1\r\n", "\r\n"}, 150);
  EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 OK");
  EXPECT_TRUE(bodyOf(answer).contains("videoId: 'abc123'"));
}

TEST_F(LocalHTTPServerTest, SilentConnectionsGetNoAnswerAndHarmNothing) {
  {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server->port());
    ASSERT_TRUE(socket.waitForConnected(3000));
    socket.disconnectFromHost();
  }
  EXPECT_TRUE(statusLine(exchange(server->port(), {"GET /youtube?v=x HTTP/1.1\r\n\r\n"})).endsWith("200 OK"));
}

TEST_F(LocalHTTPServerTest, ListensOnTheLoopbackInterfaceOnly) {
  // 127.0.0.2 reaches this machine on every Linux host, so even one without a
  // second network address sees a server that listens on all of them.
  QList<QHostAddress> others = {QHostAddress(QStringLiteral("127.0.0.2"))};
  for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
    if (!address.isLoopback() && address.protocol() == QAbstractSocket::IPv4Protocol) {
      others.append(address);
    }
  }
  for (const QHostAddress& address : others) {
    QTcpSocket socket;
    socket.connectToHost(address, server->port());
    EXPECT_FALSE(socket.waitForConnected(1000)) << address.toString().toStdString();
  }
  QTcpSocket local;
  local.connectToHost(QHostAddress::LocalHost, server->port());
  EXPECT_TRUE(local.waitForConnected(3000));
}

TEST(LocalHTTPServerResponseTest, VideoIdentifierMustBeTheTokenAlphabetThroughout) {
  EXPECT_TRUE(LocalHTTPServer::isAcceptableVideoId(QStringLiteral("aB_-9z")));
  for (const char* id : {"abc\n", "abc\r\n", "\nabc", "ab\ncd", "abc "}) {
    EXPECT_FALSE(LocalHTTPServer::isAcceptableVideoId(QString::fromLatin1(id))) << id;
  }
}

TEST(LocalHTTPServerResponseTest, HeaderBlockEndsInOneBlankLineBeforeTheBody) {
  const QByteArray response = LocalHTTPServer::buildHTTPResponse("héllo", "200 OK");
  EXPECT_EQ(response, QByteArray("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 6\r\n"
                                 "Connection: close\r\nReferrer-Policy: strict-origin-when-cross-origin\r\n"
                                 "Access-Control-Allow-Origin: *\r\n\r\nhéllo"));
}

}  // namespace
