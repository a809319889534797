#pragma once

#include <QObject>
#include <QVariant>

namespace parlowvista {

// The object the player page reaches as its "youtube" message handler
// (window.webkit.messageHandlers.youtube.postMessage) through the web channel.
class YouTubeScriptBridge : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  // Called by the page with a plain object; anything else arrives as given and is judged later.
  Q_INVOKABLE void postMessage(const QVariant& body) { emit messageReceived(body); }

 signals:
  void messageReceived(const QVariant& body);
};

}  // namespace parlowvista
