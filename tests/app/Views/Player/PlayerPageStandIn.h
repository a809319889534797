#pragma once

#include "Services/LocalHTTPServer.h"
#include "Views/Player/YouTubePlayerView.h"

#include "support/LoopbackServer.h"
#include "support/QtWait.h"
#include "support/TempDir.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMutex>
#include <QSignalSpy>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>

#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

namespace playertest {

// Sends the request for the provider's player script to a local stand-in and blocks every other
// request that would leave the machine.
class StandInInterceptor : public QWebEngineUrlRequestInterceptor {
 public:
  explicit StandInInterceptor(QUrl standIn) : m_standIn(std::move(standIn)) {}

  void interceptRequest(QWebEngineUrlRequestInfo& info) override {
    const QUrl url = info.requestUrl();
    if (url.host() == QLatin1String("www.youtube.com") && url.path() == QLatin1String("/iframe_api")) {
      info.redirect(m_standIn);
      return;
    }
    if (url.host() != QLatin1String("127.0.0.1") && url.scheme() != QLatin1String("data") &&
        url.scheme() != QLatin1String("qrc")) {
      QMutexLocker lock(&m_mutex);
      m_blocked.append(url.toString());
      info.block(true);
    }
  }

  QStringList blocked() const {
    QMutexLocker lock(&m_mutex);
    return m_blocked;
  }

 private:
  QUrl m_standIn;
  mutable QMutex m_mutex;
  QStringList m_blocked;
};

// The player-page server and profile of the test binary, as the application holds its own;
// both go with the application object.
inline parlowvista::PlayerPageHost pageHost() {
  static auto* server = new parlowvista::LocalHTTPServer(qApp);
  static QWebEngineProfile* profile = parlowvista::YouTubePlayerView::createPlayerProfile(qApp);
  return {*server, *profile};
}

// The stand-in player script on a loopback server, hooked into the player profile for the
// lifetime of this object. `config` is a JavaScript object literal, e.g. "{autoReady: true}".
class PlayerPageStandIn {
 public:
  explicit PlayerPageStandIn(const std::string& config = "{}") {
    std::ifstream file(std::string(PV_SOURCE_DIR) + "/tests/app/Views/Player/youtube-standin.js");
    std::stringstream script;
    script << "window.__standinConfig = " << config << ";\n" << file.rdbuf();
    m_script = script.str();
    m_server.server().Get("/standin.js", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(m_script, "text/javascript");
    });
    // Connections close after each answer, so stopping the server never waits on an idle one.
    m_server.server().set_keep_alive_max_count(1);
    m_server.start();
    m_interceptor =
        std::make_unique<StandInInterceptor>(QUrl(QString::fromStdString(m_server.baseUrl() + "/standin.js")));
    pageHost().profile.setUrlRequestInterceptor(m_interceptor.get());
  }
  ~PlayerPageStandIn() { pageHost().profile.setUrlRequestInterceptor(nullptr); }

  QStringList blocked() const { return m_interceptor->blocked(); }

 private:
  std::string m_script;
  testsupport::LoopbackServer m_server;
  std::unique_ptr<StandInInterceptor> m_interceptor;
};

using testsupport::waitUntil;

// Evaluates `script` in the page and waits for its result (invalid when none came in time).
inline QVariant evaluate(QWebEngineView* view, const QString& script, int timeoutMs = 5000) {
  // The answer may come after we stopped waiting, so it lands in shared state.
  auto answer = std::make_shared<std::optional<QVariant>>();
  view->page()->runJavaScript(script, [answer](const QVariant& value) { *answer = value; });
  waitUntil([&] { return answer->has_value(); }, timeoutMs);
  return answer->value_or(QVariant());
}

// Waits until the stand-in has made its player in a page that is still loading (call it right
// after making the view). Scripts sent while a navigation replaces the document slow the load
// down and never answer, so the page is asked only once it has loaded.
inline bool waitForStandIn(QWebEngineView* view, int timeoutMs = 20000) {
  QSignalSpy loaded(view->page(), &QWebEnginePage::loadFinished);
  if (!loaded.wait(timeoutMs)) {
    return false;
  }
  return waitUntil(
      [&] {
        return evaluate(view, "typeof window.__standin === 'object' && !!window.__standin.fireReady", 500).toBool();
      },
      timeoutMs);
}

inline QStringList calls(QWebEngineView* view) {
  return evaluate(view, "window.__calls.join('|')").toString().split('|', Qt::SkipEmptyParts);
}

}  // namespace playertest
