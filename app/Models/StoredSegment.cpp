#include "Models/StoredSegment.h"

#include "Models/Transcription.h"
#include "Models/UuidText.h"

namespace parlowvista {

StoredSegment::StoredSegment(QUuid id) : PersistentModel(id) {}

StoredSegment::StoredSegment(qint64 sortOrder, qint64 speakerId, double startTime, double endTime, const QString& text)
    : PersistentModel(newTimeOrderedUuid()),
      m_sortOrder(sortOrder),
      m_speakerId(speakerId),
      m_startTime(startTime),
      m_endTime(endTime),
      m_text(text) {}

void StoredSegment::setSortOrder(qint64 value) {
  m_sortOrder = value;
  didChange();
}

void StoredSegment::setSpeakerId(qint64 value) {
  m_speakerId = value;
  didChange();
}

void StoredSegment::setStartTime(double seconds) {
  m_startTime = seconds;
  didChange();
}

void StoredSegment::setEndTime(double seconds) {
  m_endTime = seconds;
  didChange();
}

void StoredSegment::setText(const QString& text) {
  m_text = text;
  didChange();
}

void StoredSegment::setTranscription(Transcription* transcription) {
  if (transcription == m_transcription || isDeleted() || (transcription && transcription->isDeleted())) return;
  if (m_transcription) m_transcription->ensureSegmentsLoaded();
  if (transcription) transcription->ensureSegmentsLoaded();
  moveBetweenLists(this, m_transcription, transcription, &Transcription::m_segments, &StoredSegment::m_order);
  m_transcription = transcription;
  linkContexts(this, transcription);
  didChange();
}

QObject* StoredSegment::transcriptionObject() const {
  return m_transcription;
}

void StoredSegment::setTranscriptionObject(QObject* value) {
  setTranscription(qobject_cast<Transcription*>(value));
}

}  // namespace parlowvista
