#pragma once

#include "Models/PersistentModel.h"
#include "Store/Database.h"

#include <QHash>

namespace parlowvista {

class TranscriptGroup;
class AudioSource;
class Transcription;
class StoredSegment;
class StoredSpeaker;

// The mapping between the five stored types and their tables. Each table is named after its
// type and each column after its property; to-one relationships are columns holding the
// owner's id, with ON DELETE CASCADE, and "_...Order" columns keep each list's order.
struct ModelRows {
  // Creates the tables, indexes and the metadata row of a new store.
  static void createSchema(Database& db, const char* schemaVersion);

  static const char* insertSql(EntityType type);
  static const char* updateSql(EntityType type);
  static const char* deleteSql(EntityType type);

  // Binds every column of the object: ?1 is the id, ?2... the other columns in table order
  // (insertSql and updateSql use the same numbering).
  static void bindRow(Statement& statement, PersistentModel* object);

  // The SELECT of each type's columns (the reading functions below expect this layout).
  static const char* selectGroupsSql();
  static const char* selectSourcesSql();
  static const char* selectTranscriptionsSql();
  static const char* selectSegmentsOfSql();  // WHERE transcription = ?1, in list order
  static const char* selectSpeakersOfSql();
  static const char* selectOrphanSegmentsSql();
  static const char* selectOrphanSpeakersSql();

  static TranscriptGroup* readGroup(const Statement& row);
  // The owner ids are returned so the caller can link the object once all are read.
  static AudioSource* readSource(const Statement& row, QUuid* groupId);
  static Transcription* readTranscription(const Statement& row, QUuid* originId, QUuid* sourceId);
  static StoredSegment* readSegment(const Statement& row);
  static StoredSpeaker* readSpeaker(const Statement& row);
};

}  // namespace parlowvista
