#include "Models/StoredSpeaker.h"

#include "Models/Transcription.h"
#include "Models/UuidText.h"

namespace parlowvista {

StoredSpeaker::StoredSpeaker(QUuid id) : PersistentModel(id) {}

StoredSpeaker::StoredSpeaker(qint64 speakerId, std::optional<QString> customName, std::optional<QString> colorHex)
    : PersistentModel(newTimeOrderedUuid()), m_speakerId(speakerId) {
  setCustomName(customName);
  setColorHex(colorHex);
}

void StoredSpeaker::setSpeakerId(qint64 value) {
  m_speakerId = value;
  didChange();
}

void StoredSpeaker::setCustomName(const std::optional<QString>& name) {
  m_customName = name;
  didChange();
}

void StoredSpeaker::setColorHex(const std::optional<QString>& hex) {
  m_colorHex = hex;
  didChange();
}

void StoredSpeaker::setTranscription(Transcription* transcription) {
  if (transcription == m_transcription || isDeleted() || (transcription && transcription->isDeleted())) return;
  if (m_transcription) m_transcription->ensureSpeakersLoaded();
  if (transcription) transcription->ensureSpeakersLoaded();
  moveBetweenLists(this, m_transcription, transcription, &Transcription::m_speakers, &StoredSpeaker::m_order);
  m_transcription = transcription;
  linkContexts(this, transcription);
  didChange();
}

QObject* StoredSpeaker::transcriptionObject() const {
  return m_transcription;
}

void StoredSpeaker::setTranscriptionObject(QObject* value) {
  setTranscription(qobject_cast<Transcription*>(value));
}

}  // namespace parlowvista
