#pragma once

#include "Models/PersistentModel.h"

#include <QString>
#include <optional>

namespace parlowvista {

class Transcription;

// A persisted speaker override (name, colour) of one version.
class StoredSpeaker : public PersistentModel {
  Q_OBJECT
  Q_PROPERTY(qint64 speakerId READ speakerId WRITE setSpeakerId NOTIFY changed)
  Q_PROPERTY(QVariant customName READ customNameVariant WRITE setCustomNameVariant NOTIFY changed)
  Q_PROPERTY(QVariant colorHex READ colorHexVariant WRITE setColorHexVariant NOTIFY changed)
  Q_PROPERTY(QObject* transcription READ transcriptionObject WRITE setTranscriptionObject NOTIFY changed)
 public:
  static constexpr EntityType kEntityType = EntityType::storedSpeaker;

  explicit StoredSpeaker(qint64 speakerId, std::optional<QString> customName = std::nullopt,
                         std::optional<QString> colorHex = std::nullopt);

  EntityType entityType() const override { return kEntityType; }

  qint64 speakerId() const { return m_speakerId; }
  void setSpeakerId(qint64 value);
  std::optional<QString> customName() const { return m_customName; }
  void setCustomName(const std::optional<QString>& name);
  std::optional<QString> colorHex() const { return m_colorHex; }
  void setColorHex(const std::optional<QString>& hex);

  Transcription* transcription() const { return m_transcription; }
  void setTranscription(Transcription* transcription);

 private:
  QVariant customNameVariant() const { return toVariant(m_customName); }
  void setCustomNameVariant(const QVariant& value) { setCustomName(fromVariant<QString>(value)); }
  QVariant colorHexVariant() const { return toVariant(m_colorHex); }
  void setColorHexVariant(const QVariant& value) { setColorHex(fromVariant<QString>(value)); }
  QObject* transcriptionObject() const;
  void setTranscriptionObject(QObject* value);
  friend class Transcription;
  friend class ModelContext;
  friend struct ModelRows;
  explicit StoredSpeaker(QUuid id);

  qint64 m_speakerId = 0;
  std::optional<QString> m_customName;
  std::optional<QString> m_colorHex;
  Transcription* m_transcription = nullptr;
  qint64 m_order = 0;
};

}  // namespace parlowvista
