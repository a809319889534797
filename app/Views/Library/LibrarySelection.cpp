#include "Views/Library/LibrarySelection.h"

#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Store/ModelContext.h"

namespace parlowvista {

LibrarySelection::LibrarySelection(ModelContext& context, QObject* parent) : QObject(parent) {
  connect(&context, &ModelContext::objectDeleted, this, &LibrarySelection::forget);
}

void LibrarySelection::setGroup(TranscriptGroup* group) {
  if (m_group == group) return;
  emit aboutToChange();
  if (m_group == group) return;  // settled while it was told
  m_group = group;
  emit groupChanged();
}

void LibrarySelection::setAudioSource(AudioSource* source) {
  if (m_audioSource == source) return;
  emit aboutToChange();
  if (m_audioSource == source) return;  // settled while it was told
  m_audioSource = source;
  emit audioSourceChanged();
}

void LibrarySelection::setTranscription(Transcription* transcription) {
  if (m_transcription == transcription) return;
  emit aboutToChange();
  if (m_transcription == transcription) return;  // settled while it was told
  m_transcription = transcription;
  emit transcriptionChanged();
}

void LibrarySelection::forget(PersistentModel* object) {
  if (object == m_transcription) setTranscription(nullptr);
  if (object == m_audioSource) {
    setAudioSource(nullptr);
    setTranscription(nullptr);
  }
  if (object == m_group) setGroup(nullptr);
}

}  // namespace parlowvista
