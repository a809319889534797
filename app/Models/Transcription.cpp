#include "Models/Transcription.h"

#include "Models/AudioSource.h"
#include "Models/PersistentContext.h"
#include "Models/StoredSegment.h"
#include "Models/StoredSpeaker.h"
#include "Models/SupportedLanguage.h"
#include "Models/UuidText.h"

namespace parlowvista {

Transcription::Transcription(QUuid id) : PersistentModel(id) {}

Transcription::Transcription(const QString& name, double processingTime, DiarizationPreset diarizationPreset,
                             double customThreshold, std::optional<qint64> minSpeakers, qint64 maxSubtitleChars,
                             double maxSubtitleDuration)
    : PersistentModel(newTimeOrderedUuid()),
      m_name(name),
      m_createdAt(QDateTime::currentDateTimeUtc()),
      m_updatedAt(QDateTime::currentDateTimeUtc()),
      m_processingTime(processingTime),
      m_diarizationPreset(rawValue(diarizationPreset)),
      m_customThreshold(customThreshold),
      m_minSpeakers(minSpeakers),
      m_maxSubtitleChars(maxSubtitleChars),
      m_maxSubtitleDuration(maxSubtitleDuration) {}

void Transcription::setName(const QString& name) {
  m_name = name;
  didChange();
}

void Transcription::setCreatedAt(const QDateTime& at) {
  m_createdAt = at;
  didChange();
}

void Transcription::setUpdatedAt(const QDateTime& at) {
  m_updatedAt = at;
  didChange();
}

void Transcription::setProcessingTime(double seconds) {
  m_processingTime = seconds;
  didChange();
}

void Transcription::setDiarizationPreset(const QString& text) {
  m_diarizationPreset = text;
  didChange();
}

void Transcription::setCustomThreshold(double value) {
  m_customThreshold = value;
  didChange();
}

void Transcription::setMinSpeakers(std::optional<qint64> value) {
  m_minSpeakers = value;
  didChange();
}

void Transcription::setMaxSubtitleChars(qint64 value) {
  m_maxSubtitleChars = value;
  didChange();
}

void Transcription::setMaxSubtitleDuration(double seconds) {
  m_maxSubtitleDuration = seconds;
  didChange();
}

void Transcription::setIsTranslation(bool value) {
  m_isTranslation = value;
  didChange();
}

void Transcription::setTargetLanguage(const std::optional<QString>& code) {
  m_targetLanguage = code;
  didChange();
}

void Transcription::setSourceTranscription(Transcription* origin) {
  if (origin == m_sourceTranscription || origin == this || isDeleted() || (origin && origin->isDeleted())) return;
  moveBetweenLists(this, m_sourceTranscription, origin, &Transcription::m_translations,
                   &Transcription::m_sourceTranscriptionOrder);
  m_sourceTranscription = origin;
  linkContexts(this, origin);
  didChange();
}

void Transcription::appendTranslation(Transcription* translation) {
  if (translation) translation->setSourceTranscription(this);
}

void Transcription::setAudioSource(AudioSource* source) {
  if (source == m_audioSource || isDeleted() || (source && source->isDeleted())) return;
  moveBetweenLists(this, m_audioSource, source, &AudioSource::m_transcriptions, &Transcription::m_audioSourceOrder);
  m_audioSource = source;
  linkContexts(this, source);
  didChange();
}

void Transcription::ensureSegmentsLoaded() const {
  if (!m_segmentsLoaded && modelContext()) modelContext()->loadSegments(const_cast<Transcription*>(this));
}

void Transcription::ensureSpeakersLoaded() const {
  if (!m_speakersLoaded && modelContext()) modelContext()->loadSpeakers(const_cast<Transcription*>(this));
}

const QList<StoredSegment*>& Transcription::segments() const {
  ensureSegmentsLoaded();
  return m_segments;
}

void Transcription::appendSegment(StoredSegment* segment) {
  if (segment) segment->setTranscription(this);
}

const QList<StoredSpeaker*>& Transcription::speakers() const {
  ensureSpeakersLoaded();
  return m_speakers;
}

void Transcription::appendSpeaker(StoredSpeaker* speaker) {
  if (speaker) speaker->setTranscription(this);
}

DiarizationPreset Transcription::preset() const {
  return diarizationPresetFromRawValue(m_diarizationPreset).value_or(DiarizationPreset::balanced);
}

void Transcription::setPreset(DiarizationPreset preset) {
  setDiarizationPreset(rawValue(preset));
}

QList<StoredSegment*> Transcription::sortedSegments() const {
  QList<StoredSegment*> sorted = segments();
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const StoredSegment* a, const StoredSegment* b) { return a->sortOrder() < b->sortOrder(); });
  return sorted;
}

std::optional<QString> Transcription::languageDisplayName() const {
  if (!m_targetLanguage) return std::nullopt;
  if (const auto language = SupportedLanguage::find(*m_targetLanguage)) return language->name;
  return m_targetLanguage->toUpper();
}

TranscriptionResult Transcription::toResult() const {
  QList<TranscribedSegment> segments;
  const auto rows = sortedSegments();
  segments.reserve(rows.size());
  for (const StoredSegment* row : rows)
    segments.append(TranscribedSegment(row->speakerId(), row->startTime(), row->endTime(), row->text()));
  const double audioDuration = m_audioSource ? m_audioSource->duration() : 0.0;
  return TranscriptionResult(std::move(segments), audioDuration, m_processingTime);
}

QObject* Transcription::sourceTranscriptionObject() const {
  return m_sourceTranscription;
}

void Transcription::setSourceTranscriptionObject(QObject* value) {
  setSourceTranscription(qobject_cast<Transcription*>(value));
}

QObject* Transcription::audioSourceObject() const {
  return m_audioSource;
}

void Transcription::setAudioSourceObject(QObject* value) {
  setAudioSource(qobject_cast<AudioSource*>(value));
}

}  // namespace parlowvista
