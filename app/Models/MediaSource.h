#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace parlowvista {

// What the open transcript's media is: a file from disk, or an online video whose audio
// track was downloaded to a local file. The audio player always plays `audioURL`.
struct MediaSource {
  struct SourceType {
    enum class Kind { youtubeVideo, localFile };

    Kind kind = Kind::localFile;
    // Only meaningful for youtubeVideo: the provider's identifier (empty when none could be
    // extracted) and the address exactly as the user entered it.
    QString videoId;
    QString originalURL;

    static SourceType youtubeVideo(const QString& videoId, const QString& originalURL) {
      return SourceType{Kind::youtubeVideo, videoId, originalURL};
    }
    static SourceType localFile() { return SourceType{}; }

    bool operator==(const SourceType& other) const;
  };

  SourceType type;
  QUrl audioURL;
  QString title;

  bool isYouTubeVideo() const { return type.kind == SourceType::Kind::youtubeVideo; }
  bool operator==(const MediaSource& other) const = default;

  // The provider's video identifier in an address the user entered, or nothing. Pure; never
  // fails. The identifier is returned exactly as found, without checking its alphabet.
  static std::optional<QString> extractYouTubeVideoId(const QString& text);

  // The short-link host that carries the identifier as its last path component.
  static constexpr const char* shortLinkDomain = "youtu.be";
};

}  // namespace parlowvista
