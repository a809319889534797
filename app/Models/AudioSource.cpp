#include "Models/AudioSource.h"

#include "Models/FileBookmark.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Models/UuidText.h"

#include <QDebug>

namespace parlowvista {

AudioSource::AudioSource(QUuid id) : PersistentModel(id) {}

AudioSource::AudioSource(const QString& originalPath, const QString& filename, double duration,
                         std::optional<QByteArray> fileBookmark, std::optional<QString> youtubeVideoId,
                         std::optional<QString> youtubeOriginalURL)
    : PersistentModel(newTimeOrderedUuid()),
      m_originalPath(originalPath),
      m_filename(filename),
      m_duration(duration),
      m_fileBookmark(std::move(fileBookmark)),
      m_createdAt(QDateTime::currentDateTimeUtc()),
      m_youtubeVideoId(std::move(youtubeVideoId)),
      m_youtubeOriginalURL(std::move(youtubeOriginalURL)) {}

void AudioSource::setOriginalPath(const QString& path) {
  m_originalPath = path;
  didChange();
}

void AudioSource::setFilename(const QString& filename) {
  m_filename = filename;
  didChange();
}

void AudioSource::setDuration(double seconds) {
  m_duration = seconds;
  didChange();
}

void AudioSource::setFileBookmark(const std::optional<QByteArray>& bookmark) {
  m_fileBookmark = bookmark;
  didChange();
}

void AudioSource::setCachedSamplesPath(const std::optional<QString>& path) {
  m_cachedSamplesPath = path;
  didChange();
}

void AudioSource::setCreatedAt(const QDateTime& at) {
  m_createdAt = at;
  didChange();
}

void AudioSource::setYoutubeVideoId(const std::optional<QString>& id) {
  m_youtubeVideoId = id;
  didChange();
}

void AudioSource::setYoutubeOriginalURL(const std::optional<QString>& url) {
  m_youtubeOriginalURL = url;
  didChange();
}

void AudioSource::setGroup(TranscriptGroup* group) {
  if (group == m_group || isDeleted() || (group && group->isDeleted())) return;
  moveBetweenLists(this, m_group, group, &TranscriptGroup::m_audioSources, &AudioSource::m_groupOrder);
  m_group = group;
  linkContexts(this, group);
  didChange();
}

void AudioSource::appendTranscription(Transcription* transcription) {
  if (transcription) transcription->setAudioSource(this);
}

bool AudioSource::isYouTubeSource() const {
  return m_youtubeVideoId && !m_youtubeVideoId->isEmpty();
}

void AudioSource::createBookmark(const QUrl& url) {
  QString error;
  const auto record = FileBookmark::create(url.toLocalFile(), &error);
  if (!record) {
    qInfo().noquote() << QStringLiteral("Failed to create bookmark: ") + error;
    return;
  }
  setFileBookmark(record);
}

QObject* AudioSource::groupObject() const {
  return m_group;
}

void AudioSource::setGroupObject(QObject* value) {
  setGroup(qobject_cast<TranscriptGroup*>(value));
}

}  // namespace parlowvista
