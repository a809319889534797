#include "Views/Player/YouTubePlayerCoordinator.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <cmath>
#include <limits>

namespace parlowvista {

namespace {

const char* boolText(bool value) {
  return value ? "true" : "false";
}

std::optional<double> numberIn(const QVariantMap& data, const QString& key) {
  const QVariant value = data.value(key);
  switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: return value.toDouble();
    default: return std::nullopt;
  }
}

std::optional<int> integerIn(const QVariantMap& data, const QString& key) {
  const std::optional<double> number = numberIn(data, key);
  // The page sends any number it likes; one that no int holds is as good as none.
  if (!number || !std::isfinite(*number) || std::trunc(*number) != *number ||
      *number < std::numeric_limits<int>::min() || *number > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(*number);
}

QString describe(const QVariant& value) {
  if (value.typeId() == QMetaType::QVariantMap) {
    return QString::fromUtf8(QJsonDocument(QJsonObject::fromVariantMap(value.toMap())).toJson(QJsonDocument::Compact));
  }
  return value.toString();
}

}  // namespace

YouTubePlayerCoordinator::YouTubePlayerCoordinator(const QString& videoId, bool isMuted, PlayStateSource isPlaying,
                                                   QObject* parent)
    : QObject(parent), m_videoId(videoId), m_isMuted(isMuted), m_isPlaying(std::move(isPlaying)) {
  qInfo().noquote() << QStringLiteral("[YouTubePlayer] Coordinator initialized for video: %1").arg(videoId);
}

void YouTubePlayerCoordinator::attach(QObject* webView, ScriptRunner runner) {
  m_webView = webView;
  m_runScript = std::move(runner);
}

bool YouTubePlayerCoordinator::run(const QString& script) {
  return !m_webView.isNull() && m_runScript && m_runScript(script);
}

void YouTubePlayerCoordinator::syncState(bool isMuted, bool isPlaying) {
  if (m_webView.isNull()) {
    qInfo() << "[YouTubePlayer] syncState: webView is nil";
    return;
  }
  if (!m_isPlayerReady) {
    qInfo().noquote() << QStringLiteral("[YouTubePlayer] syncState: player not ready yet (isPlaying=%1)")
                             .arg(QLatin1String(boolText(isPlaying)));
    return;
  }
  if (!m_lastMutedState || *m_lastMutedState != isMuted) {
    m_lastMutedState = isMuted;
    qInfo().noquote() << QStringLiteral("[YouTubePlayer] Setting muted: %1").arg(QLatin1String(boolText(isMuted)));
    run(QStringLiteral("setMuted(%1)").arg(QLatin1String(boolText(isMuted))));
  }
  if (m_lastPlayingState && *m_lastPlayingState == isPlaying) {
    return;
  }
  m_lastPlayingState = isPlaying;
  if (isPlaying) {
    qInfo() << "[YouTubePlayer] Sending playVideo()";
    run(QStringLiteral("playVideo()"));
  } else {
    qInfo() << "[YouTubePlayer] Sending pauseVideo()";
    run(QStringLiteral("pauseVideo()"));
  }
}

void YouTubePlayerCoordinator::seekTo(double time) {
  if (!std::isfinite(time)) {
    return;  // the page could not read it back
  }
  if (m_isPlayerReady && !m_webView.isNull()) {
    qInfo().noquote() << QString::asprintf("[YouTubePlayer] Seeking to: %.2f", time);
    if (run(seekScript(time))) {
      return;
    }
  }
  qInfo().noquote() << QString::asprintf("[YouTubePlayer] Player not ready, queuing seek to: %.2f", time);
  m_pendingSeekTime = time;
}

QString YouTubePlayerCoordinator::seekScript(double time) {
  QString number = QString::number(time, 'g', QLocale::FloatingPointShortest);
  if (!number.contains(QLatin1Char('.')) && !number.contains(QLatin1Char('e'))) {
    number += QStringLiteral(".0");
  }
  return QStringLiteral("seekTo(%1)").arg(number);
}

void YouTubePlayerCoordinator::receiveMessage(const QVariant& body) {
  const QVariantMap data = body.typeId() == QMetaType::QVariantMap ? body.toMap() : QVariantMap();
  const QVariant event = data.value(QStringLiteral("event"));
  if (body.typeId() != QMetaType::QVariantMap || event.typeId() != QMetaType::QString) {
    qInfo().noquote() << QStringLiteral("[YouTubePlayer] Received invalid message: %1").arg(describe(body));
    return;
  }
  const QString name = event.toString();
  qInfo().noquote() << QStringLiteral("[YouTubePlayer] Received event: %1 - %2").arg(name, describe(body));
  QMetaObject::invokeMethod(
      this, [this, name, data] { handleEvent(name, data); }, Qt::QueuedConnection);
}

void YouTubePlayerCoordinator::handleEvent(const QString& event, const QVariantMap& data) {
  if (event == QLatin1String("ready")) {
    qInfo() << "[YouTubePlayer] Player ready!";
    m_isPlayerReady = true;
    emit videoAvailableChanged(true);
    emit videoReadyChanged(true);
    if (const auto duration = numberIn(data, QStringLiteral("duration"))) {
      emit videoDurationChanged(*duration);
      qInfo().noquote() << QString::asprintf("[YouTubePlayer] Video duration: %.1f seconds", *duration);
    }
    if (m_pendingSeekTime) {
      const double pending = *m_pendingSeekTime;
      m_pendingSeekTime.reset();
      seekTo(pending);
    }
    const bool playing = m_isPlaying ? m_isPlaying() : false;
    qInfo().noquote()
        << QStringLiteral("[YouTubePlayer] Initial sync: isPlaying=%1").arg(QLatin1String(boolText(playing)));
    syncState(m_isMuted, playing);
  } else if (event == QLatin1String("timeUpdate")) {
    if (const auto time = numberIn(data, QStringLiteral("time"))) {
      emit timeUpdated(*time);
    }
  } else if (event == QLatin1String("stateChange")) {
    const QVariant state = data.value(QStringLiteral("state"));
    if (state.typeId() == QMetaType::QString) {
      qInfo().noquote() << QStringLiteral("[YouTubePlayer] State changed to: %1").arg(state.toString());
    }
  } else if (event == QLatin1String("error")) {
    const int code = integerIn(data, QStringLiteral("code")).value_or(-1);
    emit videoUnavailableReason(unavailableReason(code));
    emit videoAvailableChanged(false);
    const QVariant message = data.value(QStringLiteral("message"));
    const QString text = message.typeId() == QMetaType::QString ? message.toString() : QStringLiteral("Unknown");
    qWarning().noquote() << QStringLiteral("[YouTubePlayer] ERROR %1: %2").arg(code).arg(text);
  } else {
    qInfo().noquote() << QStringLiteral("[YouTubePlayer] Unknown event: %1").arg(event);
  }
}

void YouTubePlayerCoordinator::navigationFailed(const QString& description) {
  qWarning().noquote() << QStringLiteral("[YouTubePlayer] Navigation failed: %1").arg(description);
  QMetaObject::invokeMethod(
      this,
      [this] {
        emit videoUnavailableReason(loadFailureReason());
        emit videoAvailableChanged(false);
      },
      Qt::QueuedConnection);
}

QString YouTubePlayerCoordinator::unavailableReason(int errorCode) {
  switch (errorCode) {
    case 101:
    case 150: return QStringLiteral("Owner disabled embedding");
    case 100: return QStringLiteral("Video not found or private");
    case 2: return QStringLiteral("Invalid video ID");
    case 5: return QStringLiteral("The player could not play this video");
    case -1: return loadFailureReason();
    default: return QStringLiteral("The video could not be played");
  }
}

}  // namespace parlowvista
