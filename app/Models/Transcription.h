#pragma once

#include "Models/DiarizationPreset.h"
#include "Models/PersistentModel.h"
#include "Models/TranscriptionResult.h"

#include <QDateTime>
#include <QString>
#include <optional>

namespace parlowvista {

class AudioSource;
class StoredSegment;
class StoredSpeaker;

// One transcription version of a source, or a translation of a version (isTranslation, with
// targetLanguage and sourceTranscription). Deleting it deletes its segments, speaker overrides
// and translations; its audio source stays.
class Transcription : public PersistentModel {
  Q_OBJECT
  Q_PROPERTY(QString name READ name WRITE setName NOTIFY changed)
  Q_PROPERTY(QDateTime createdAt READ createdAt WRITE setCreatedAt NOTIFY changed)
  Q_PROPERTY(QDateTime updatedAt READ updatedAt WRITE setUpdatedAt NOTIFY changed)
  Q_PROPERTY(double processingTime READ processingTime WRITE setProcessingTime NOTIFY changed)
  Q_PROPERTY(QString diarizationPreset READ diarizationPreset WRITE setDiarizationPreset NOTIFY changed)
  Q_PROPERTY(double customThreshold READ customThreshold WRITE setCustomThreshold NOTIFY changed)
  Q_PROPERTY(qint64 maxSubtitleChars READ maxSubtitleChars WRITE setMaxSubtitleChars NOTIFY changed)
  Q_PROPERTY(double maxSubtitleDuration READ maxSubtitleDuration WRITE setMaxSubtitleDuration NOTIFY changed)
  Q_PROPERTY(bool isTranslation READ isTranslation WRITE setIsTranslation NOTIFY changed)
  Q_PROPERTY(QVariant minSpeakers READ minSpeakersVariant WRITE setMinSpeakersVariant NOTIFY changed)
  Q_PROPERTY(QVariant targetLanguage READ targetLanguageVariant WRITE setTargetLanguageVariant NOTIFY changed)
  Q_PROPERTY(
      QObject* sourceTranscription READ sourceTranscriptionObject WRITE setSourceTranscriptionObject NOTIFY changed)
  Q_PROPERTY(QObject* audioSource READ audioSourceObject WRITE setAudioSourceObject NOTIFY changed)
 public:
  static constexpr EntityType kEntityType = EntityType::transcription;

  // A detached version with a new id: not a translation, no target language, no source
  // transcription, no audio source, no segments, speakers or translations; createdAt and
  // updatedAt now; the preset stored as its text.
  Transcription(const QString& name, double processingTime, DiarizationPreset diarizationPreset, double customThreshold,
                std::optional<qint64> minSpeakers, qint64 maxSubtitleChars, double maxSubtitleDuration);

  EntityType entityType() const override { return kEntityType; }

  QString name() const { return m_name; }
  void setName(const QString& name);
  QDateTime createdAt() const { return m_createdAt; }
  void setCreatedAt(const QDateTime& at);
  QDateTime updatedAt() const { return m_updatedAt; }
  void setUpdatedAt(const QDateTime& at);
  // Seconds of wall time of the run that made the version.
  double processingTime() const { return m_processingTime; }
  void setProcessingTime(double seconds);
  // The preset's text as stored ("Auto", "More Speakers", ...); see preset().
  QString diarizationPreset() const { return m_diarizationPreset; }
  void setDiarizationPreset(const QString& text);
  double customThreshold() const { return m_customThreshold; }
  void setCustomThreshold(double value);
  std::optional<qint64> minSpeakers() const { return m_minSpeakers; }
  void setMinSpeakers(std::optional<qint64> value);
  qint64 maxSubtitleChars() const { return m_maxSubtitleChars; }
  void setMaxSubtitleChars(qint64 value);
  double maxSubtitleDuration() const { return m_maxSubtitleDuration; }
  void setMaxSubtitleDuration(double seconds);
  bool isTranslation() const { return m_isTranslation; }
  void setIsTranslation(bool value);
  std::optional<QString> targetLanguage() const { return m_targetLanguage; }
  void setTargetLanguage(const std::optional<QString>& code);

  // For a translation: the version it was made from. Setting it adds this version to the
  // end of that version's translations (and removes it from the previous one's).
  Transcription* sourceTranscription() const { return m_sourceTranscription; }
  void setSourceTranscription(Transcription* origin);
  // Translations made from this version, in the order they were added.
  const QList<Transcription*>& translations() const { return m_translations; }
  void appendTranslation(Transcription* translation);

  AudioSource* audioSource() const { return m_audioSource; }
  // Adds this version to the end of the source's transcriptions.
  void setAudioSource(AudioSource* source);

  // The stored segments in the order they were added (use sortedSegments() for sortOrder).
  // A stored version's segments are read from the file on first use.
  const QList<StoredSegment*>& segments() const;
  void appendSegment(StoredSegment* segment);
  const QList<StoredSpeaker*>& speakers() const;
  void appendSpeaker(StoredSpeaker* speaker);

  // The stored preset text as a preset; a text that names none reads as balanced.
  DiarizationPreset preset() const;
  void setPreset(DiarizationPreset preset);

  // segments() in ascending sortOrder; rows with equal sortOrder keep their list order.
  QList<StoredSegment*> sortedSegments() const;

  // Absent without a target language; else the English name of the supported language with
  // exactly that code, or the code in upper case when none has it.
  std::optional<QString> languageDisplayName() const;

  // The version as an in-memory transcript: segments in sortOrder with fresh ids, the audio
  // source's duration (0 without one), the version's processing time.
  TranscriptionResult toResult() const;

  // Rewriting a version's segments is the store's: ModelContext::updateSegments().

 private:
  QVariant minSpeakersVariant() const { return toVariant(m_minSpeakers); }
  void setMinSpeakersVariant(const QVariant& value) { setMinSpeakers(fromVariant<qint64>(value)); }
  QVariant targetLanguageVariant() const { return toVariant(m_targetLanguage); }
  void setTargetLanguageVariant(const QVariant& value) { setTargetLanguage(fromVariant<QString>(value)); }
  QObject* sourceTranscriptionObject() const;
  void setSourceTranscriptionObject(QObject* value);
  QObject* audioSourceObject() const;
  void setAudioSourceObject(QObject* value);
  friend class AudioSource;
  friend class StoredSegment;
  friend class StoredSpeaker;
  friend class ModelContext;
  friend struct ModelRows;
  explicit Transcription(QUuid id);

  // A stored version's lists are read from the file the first time they are needed.
  void ensureSegmentsLoaded() const;
  void ensureSpeakersLoaded() const;

  QString m_name;
  QDateTime m_createdAt;
  QDateTime m_updatedAt;
  double m_processingTime = 0;
  QString m_diarizationPreset;
  double m_customThreshold = 0;
  std::optional<qint64> m_minSpeakers;
  qint64 m_maxSubtitleChars = 0;
  double m_maxSubtitleDuration = 0;
  bool m_isTranslation = false;
  std::optional<QString> m_targetLanguage;
  Transcription* m_sourceTranscription = nullptr;
  qint64 m_sourceTranscriptionOrder = 0;
  QList<Transcription*> m_translations;
  AudioSource* m_audioSource = nullptr;
  qint64 m_audioSourceOrder = 0;
  mutable QList<StoredSegment*> m_segments;
  mutable QList<StoredSpeaker*> m_speakers;
  mutable bool m_segmentsLoaded = true;
  mutable bool m_speakersLoaded = true;
};

}  // namespace parlowvista
