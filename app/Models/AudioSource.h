#pragma once

#include "Models/PersistentModel.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>
#include <optional>

namespace parlowvista {

class TranscriptGroup;
class Transcription;

// One imported audio file or downloaded online-video track. Deleting a source deletes all its
// versions and translations (files outside the store are the caller's to remove).
class AudioSource : public PersistentModel {
  Q_OBJECT
  Q_PROPERTY(QString originalPath READ originalPath WRITE setOriginalPath NOTIFY changed)
  Q_PROPERTY(QString filename READ filename WRITE setFilename NOTIFY changed)
  Q_PROPERTY(double duration READ duration WRITE setDuration NOTIFY changed)
  Q_PROPERTY(QDateTime createdAt READ createdAt WRITE setCreatedAt NOTIFY changed)
  Q_PROPERTY(QVariant fileBookmark READ fileBookmarkVariant WRITE setFileBookmarkVariant NOTIFY changed)
  Q_PROPERTY(QVariant cachedSamplesPath READ cachedSamplesPathVariant WRITE setCachedSamplesPathVariant NOTIFY changed)
  Q_PROPERTY(QVariant youtubeVideoId READ youtubeVideoIdVariant WRITE setYoutubeVideoIdVariant NOTIFY changed)
  Q_PROPERTY(
      QVariant youtubeOriginalURL READ youtubeOriginalURLVariant WRITE setYoutubeOriginalURLVariant NOTIFY changed)
  Q_PROPERTY(QObject* group READ groupObject WRITE setGroupObject NOTIFY changed)
 public:
  static constexpr EntityType kEntityType = EntityType::audioSource;

  // A detached source with a new id, createdAt now, no cached samples, no group.
  AudioSource(const QString& originalPath, const QString& filename, double duration,
              std::optional<QByteArray> fileBookmark = std::nullopt,
              std::optional<QString> youtubeVideoId = std::nullopt,
              std::optional<QString> youtubeOriginalURL = std::nullopt);

  EntityType entityType() const override { return kEntityType; }

  // File-system path of the audio (for an online video: of the downloaded copy).
  QString originalPath() const { return m_originalPath; }
  void setOriginalPath(const QString& path);
  QString filename() const { return m_filename; }
  void setFilename(const QString& filename);
  // Seconds.
  double duration() const { return m_duration; }
  void setDuration(double seconds);
  // Our bookmark record of the file (see FileBookmark); opaque to everyone else.
  std::optional<QByteArray> fileBookmark() const { return m_fileBookmark; }
  void setFileBookmark(const std::optional<QByteArray>& bookmark);
  std::optional<QString> cachedSamplesPath() const { return m_cachedSamplesPath; }
  void setCachedSamplesPath(const std::optional<QString>& path);
  QDateTime createdAt() const { return m_createdAt; }
  void setCreatedAt(const QDateTime& at);
  std::optional<QString> youtubeVideoId() const { return m_youtubeVideoId; }
  void setYoutubeVideoId(const std::optional<QString>& id);
  std::optional<QString> youtubeOriginalURL() const { return m_youtubeOriginalURL; }
  void setYoutubeOriginalURL(const std::optional<QString>& url);

  // Owning group; setting it moves the source to the end of the new group's list.
  TranscriptGroup* group() const { return m_group; }
  void setGroup(TranscriptGroup* group);

  // Every version and translation of this source, in the order they were added.
  const QList<Transcription*>& transcriptions() const { return m_transcriptions; }
  // Same as transcription->setAudioSource(this).
  void appendTranscription(Transcription* transcription);

  // True when youtubeVideoId is present and not empty.
  bool isYouTubeSource() const;

  // Records a bookmark of the file at `url` in fileBookmark. On failure prints
  // "Failed to create bookmark: " and the reason, and keeps the previous bookmark.
  void createBookmark(const QUrl& url);

 private:
  QVariant fileBookmarkVariant() const { return toVariant(m_fileBookmark); }
  void setFileBookmarkVariant(const QVariant& value) { setFileBookmark(fromVariant<QByteArray>(value)); }
  QVariant cachedSamplesPathVariant() const { return toVariant(m_cachedSamplesPath); }
  void setCachedSamplesPathVariant(const QVariant& value) { setCachedSamplesPath(fromVariant<QString>(value)); }
  QVariant youtubeVideoIdVariant() const { return toVariant(m_youtubeVideoId); }
  void setYoutubeVideoIdVariant(const QVariant& value) { setYoutubeVideoId(fromVariant<QString>(value)); }
  QVariant youtubeOriginalURLVariant() const { return toVariant(m_youtubeOriginalURL); }
  void setYoutubeOriginalURLVariant(const QVariant& value) { setYoutubeOriginalURL(fromVariant<QString>(value)); }
  QObject* groupObject() const;
  void setGroupObject(QObject* value);
  friend class TranscriptGroup;
  friend class Transcription;
  friend class ModelContext;
  friend struct ModelRows;
  explicit AudioSource(QUuid id);

  QString m_originalPath;
  QString m_filename;
  double m_duration = 0;
  std::optional<QByteArray> m_fileBookmark;
  std::optional<QString> m_cachedSamplesPath;
  QDateTime m_createdAt;
  std::optional<QString> m_youtubeVideoId;
  std::optional<QString> m_youtubeOriginalURL;
  TranscriptGroup* m_group = nullptr;
  qint64 m_groupOrder = 0;
  QList<Transcription*> m_transcriptions;
};

}  // namespace parlowvista
