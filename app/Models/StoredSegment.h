#pragma once

#include "Models/PersistentModel.h"

#include <QString>

namespace parlowvista {

class Transcription;

// One persisted transcript segment. Its id is the row's own, not the in-memory segment's.
class StoredSegment : public PersistentModel {
  Q_OBJECT
  Q_PROPERTY(qint64 sortOrder READ sortOrder WRITE setSortOrder NOTIFY changed)
  Q_PROPERTY(qint64 speakerId READ speakerId WRITE setSpeakerId NOTIFY changed)
  Q_PROPERTY(double startTime READ startTime WRITE setStartTime NOTIFY changed)
  Q_PROPERTY(double endTime READ endTime WRITE setEndTime NOTIFY changed)
  Q_PROPERTY(QString text READ text WRITE setText NOTIFY changed)
  Q_PROPERTY(QObject* transcription READ transcriptionObject WRITE setTranscriptionObject NOTIFY changed)
 public:
  static constexpr EntityType kEntityType = EntityType::storedSegment;

  StoredSegment(qint64 sortOrder, qint64 speakerId, double startTime, double endTime, const QString& text);

  EntityType entityType() const override { return kEntityType; }

  // Position within its version, 0 for the first.
  qint64 sortOrder() const { return m_sortOrder; }
  void setSortOrder(qint64 value);
  qint64 speakerId() const { return m_speakerId; }
  void setSpeakerId(qint64 value);
  double startTime() const { return m_startTime; }
  void setStartTime(double seconds);
  double endTime() const { return m_endTime; }
  void setEndTime(double seconds);
  QString text() const { return m_text; }
  void setText(const QString& text);

  Transcription* transcription() const { return m_transcription; }
  // Moves the segment to the end of the version's list (removing it from the old one).
  void setTranscription(Transcription* transcription);

 private:
  QObject* transcriptionObject() const;
  void setTranscriptionObject(QObject* value);
  friend class Transcription;
  friend class ModelContext;
  friend struct ModelRows;
  explicit StoredSegment(QUuid id);

  qint64 m_sortOrder = 0;
  qint64 m_speakerId = 0;
  double m_startTime = 0;
  double m_endTime = 0;
  QString m_text;
  Transcription* m_transcription = nullptr;
  qint64 m_order = 0;
};

}  // namespace parlowvista
