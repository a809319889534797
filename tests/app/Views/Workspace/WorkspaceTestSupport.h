#pragma once

// A view model over a temporary store holding one source with stored versions, shown
// without running the speech models: the workspace views only need a `completed` state.

#include "Models/AudioSource.h"
#include "Models/Transcription.h"
#include "app/ViewModels/PipelineTestSupport.h"

#include <QDateTime>

namespace workspacetest {

using namespace parlowvista;

struct Workspace {
  Workspace() {
    h.settings->setAutoSaveInterval(3600);
    audio = h.path("talk.wav");
    pipelinetest::writeFloatWav(audio.toStdString(), std::vector<float>(20 * pipelinetest::kRate, 0.05f));
    source = new AudioSource(audio, "talk.wav", 20.0);
    source->setGroup(h.group);
    h.context->insert(source);
    h.context->save();
  }

  // A stored version of the source, created `minutesAgo` before now.
  Transcription* addVersion(const QString& name, const QList<TranscribedSegment>& segments, int minutesAgo = 0) {
    auto* t = new Transcription(name, 2.0, DiarizationPreset::balanced, 0.5, std::nullopt, 150, 12.0);
    t->setCreatedAt(QDateTime::currentDateTime().addSecs(-60 * minutesAgo));
    t->setAudioSource(source);
    h.context->insert(t);
    h.context->updateSegments(t, TranscriptionResult(segments, 20.0, 2.0));
    h.context->save();
    return t;
  }

  // Three segments: speaker 0 "one two", speaker 1 "three", speaker 0 "four".
  static QList<TranscribedSegment> threeSegments() {
    return {TranscribedSegment(0, 0.0, 1.0, "one two"), TranscribedSegment(1, 1.0, 2.0, "three"),
            TranscribedSegment(0, 2.0, 3.0, "four")};
  }

  Transcription* showThree() {
    Transcription* t = addVersion("Version 1", threeSegments());
    h.vm->loadTranscription(t);
    return t;
  }

  QStringList texts() const {
    QStringList out;
    if (const auto* r = h.vm->state().result())
      for (const auto& s : r->segments) out << s.text;
    return out;
  }
  QList<qint64> speakerIds() const {
    QList<qint64> out;
    if (const auto* r = h.vm->state().result())
      for (const auto& s : r->segments) out << s.speakerId;
    return out;
  }
  QUuid idAt(int index) const { return h.vm->state().result()->segments[index].id; }

  pipelinetest::Harness h;
  QString audio;
  AudioSource* source = nullptr;
};

}  // namespace workspacetest
