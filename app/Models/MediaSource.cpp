#include "Models/MediaSource.h"

#include <QStringList>

namespace parlowvista {

bool MediaSource::SourceType::operator==(const SourceType& other) const {
  if (kind != other.kind) {
    return false;
  }
  // A local file carries no associated values, so leftovers in the strings never matter.
  return kind == Kind::localFile || (videoId == other.videoId && originalURL == other.originalURL);
}

namespace {

QString decoded(const QString& encoded) {
  // Query text is percent-decoded only; "+" stays a plus sign, as in RFC 3986.
  return QUrl::fromPercentEncoding(encoded.toUtf8());
}

// Path components without the empty pieces that leading, doubled or trailing slashes leave.
QStringList pathComponents(const QUrl& url) {
  QStringList components;
  const QStringList pieces = url.path(QUrl::FullyEncoded).split(QLatin1Char('/'), Qt::SkipEmptyParts);
  for (const QString& piece : pieces) {
    components.append(decoded(piece));
  }
  return components;
}

// The component that follows the first occurrence of `marker`: nothing when the marker is
// absent or last (the caller goes on), an empty optional-in-optional when it decides "absent".
std::optional<std::optional<QString>> componentAfter(const QStringList& components, const QString& marker) {
  const qsizetype index = components.indexOf(marker);
  if (index < 0 || index + 1 >= components.size()) {
    return std::nullopt;
  }
  const QString& next = components.at(index + 1);
  return next.isEmpty() ? std::optional<QString>{} : std::optional<QString>{next};
}

}  // namespace

std::optional<QString> MediaSource::extractYouTubeVideoId(const QString& text) {
  const QUrl url(text, QUrl::StrictMode);
  if (text.isEmpty() || !url.isValid()) {
    return std::nullopt;
  }

  const QStringList components = pathComponents(url);

  if (!url.host().isEmpty() && url.host().contains(QLatin1String(shortLinkDomain))) {
    if (components.isEmpty() || components.last().isEmpty()) {
      return std::nullopt;
    }
    return components.last();
  }

  if (url.hasQuery()) {
    const QStringList items = url.query(QUrl::FullyEncoded).split(QLatin1Char('&'));
    for (const QString& item : items) {
      const qsizetype equals = item.indexOf(QLatin1Char('='));
      const QString name = decoded(equals < 0 ? item : item.left(equals));
      if (name != QLatin1String("v")) {
        continue;
      }
      if (equals < 0) {
        break;  // "v" without a value: the path decides
      }
      const QString value = decoded(item.mid(equals + 1));
      return value.isEmpty() ? std::nullopt : std::optional<QString>{value};
    }
  }

  if (auto decided = componentAfter(components, QStringLiteral("embed"))) {
    return *decided;
  }
  if (auto decided = componentAfter(components, QStringLiteral("v"))) {
    return *decided;
  }
  return std::nullopt;
}

}  // namespace parlowvista
