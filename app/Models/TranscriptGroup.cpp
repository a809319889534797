#include "Models/TranscriptGroup.h"

#include "Models/AudioSource.h"
#include "Models/UuidText.h"

namespace parlowvista {

TranscriptGroup::TranscriptGroup(QUuid id) : PersistentModel(id) {}

TranscriptGroup::TranscriptGroup(const QString& name, qint64 sortOrder)
    : PersistentModel(newTimeOrderedUuid()),
      m_name(name),
      m_sortOrder(sortOrder),
      m_createdAt(QDateTime::currentDateTimeUtc()),
      m_updatedAt(QDateTime::currentDateTimeUtc()) {}

void TranscriptGroup::setName(const QString& name) {
  m_name = name;
  didChange();
}

void TranscriptGroup::setSortOrder(qint64 sortOrder) {
  m_sortOrder = sortOrder;
  didChange();
}

void TranscriptGroup::setCreatedAt(const QDateTime& at) {
  m_createdAt = at;
  didChange();
}

void TranscriptGroup::setUpdatedAt(const QDateTime& at) {
  m_updatedAt = at;
  didChange();
}

void TranscriptGroup::appendAudioSource(AudioSource* source) {
  if (source) source->setGroup(this);
}

}  // namespace parlowvista
