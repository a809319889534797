#pragma once

#include "Models/PersistentModel.h"

#include <QDateTime>
#include <QString>

namespace parlowvista {

class AudioSource;

// A named folder of sources in the library sidebar. Deleting a group deletes its sources.
class TranscriptGroup : public PersistentModel {
  Q_OBJECT
  Q_PROPERTY(QString name READ name WRITE setName NOTIFY changed)
  Q_PROPERTY(qint64 sortOrder READ sortOrder WRITE setSortOrder NOTIFY changed)
  Q_PROPERTY(QDateTime createdAt READ createdAt WRITE setCreatedAt NOTIFY changed)
  Q_PROPERTY(QDateTime updatedAt READ updatedAt WRITE setUpdatedAt NOTIFY changed)
 public:
  static constexpr EntityType kEntityType = EntityType::transcriptGroup;

  // A detached group with a new id; createdAt and updatedAt are now (each read separately).
  TranscriptGroup(const QString& name, qint64 sortOrder);

  EntityType entityType() const override { return kEntityType; }

  QString name() const { return m_name; }
  void setName(const QString& name);
  // Position among the groups, ascending.
  qint64 sortOrder() const { return m_sortOrder; }
  void setSortOrder(qint64 sortOrder);
  QDateTime createdAt() const { return m_createdAt; }
  void setCreatedAt(const QDateTime& at);
  QDateTime updatedAt() const { return m_updatedAt; }
  void setUpdatedAt(const QDateTime& at);

  // In the order they were added; deleted with the group.
  const QList<AudioSource*>& audioSources() const { return m_audioSources; }
  // Same as source->setGroup(this).
  void appendAudioSource(AudioSource* source);

 private:
  friend class AudioSource;
  friend class ModelContext;
  friend struct ModelRows;
  explicit TranscriptGroup(QUuid id);

  QString m_name;
  qint64 m_sortOrder = 0;
  QDateTime m_createdAt;
  QDateTime m_updatedAt;
  QList<AudioSource*> m_audioSources;
};

}  // namespace parlowvista
