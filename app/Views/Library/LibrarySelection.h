#pragma once

#include <QObject>
#include "Models/AudioSource.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"

#include <QPointer>

namespace parlowvista {

class AudioSource;
class ModelContext;
class PersistentModel;
class TranscriptGroup;
class Transcription;

// The main window's one selection: group, source and version, held as weak handles. It
// clears what the store deletes (a deleted source also clears its version). Setters emit
// only on a real change, and `aboutToChange` just before it, while the selection still holds
// what it held. UI thread only.
class LibrarySelection : public QObject {
  Q_OBJECT
 public:
  explicit LibrarySelection(ModelContext& context, QObject* parent = nullptr);

  TranscriptGroup* group() const { return m_group; }
  AudioSource* audioSource() const { return m_audioSource; }
  Transcription* transcription() const { return m_transcription; }

  void setGroup(TranscriptGroup* group);
  void setAudioSource(AudioSource* source);
  void setTranscription(Transcription* transcription);

 signals:
  void aboutToChange();
  void groupChanged();
  void audioSourceChanged();
  void transcriptionChanged();

 private:
  void forget(PersistentModel* object);

  QPointer<TranscriptGroup> m_group;
  QPointer<AudioSource> m_audioSource;
  QPointer<Transcription> m_transcription;
};

}  // namespace parlowvista
