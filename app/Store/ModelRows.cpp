#include "Store/ModelRows.h"

#include "Models/AudioSource.h"
#include "Models/StoredSegment.h"
#include "Models/StoredSpeaker.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"

#include <cmath>
#include <limits>

namespace parlowvista {

namespace {

// Foreign keys are checked at commit, so rows may be written in any order within a save.
const char* const kSchema = R"sql(
CREATE TABLE StoreMetadata (key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL);
CREATE TABLE TranscriptGroup (
  id BLOB PRIMARY KEY NOT NULL,
  name TEXT NOT NULL,
  sortOrder INTEGER NOT NULL,
  createdAt INTEGER,
  updatedAt INTEGER
);
CREATE TABLE AudioSource (
  id BLOB PRIMARY KEY NOT NULL,
  originalPath TEXT NOT NULL,
  filename TEXT NOT NULL,
  duration REAL,
  fileBookmark BLOB,
  cachedSamplesPath TEXT,
  createdAt INTEGER,
  youtubeVideoId TEXT,
  youtubeOriginalURL TEXT,
  "group" BLOB REFERENCES TranscriptGroup(id) ON DELETE CASCADE DEFERRABLE INITIALLY DEFERRED,
  _groupOrder INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX AudioSource_group ON AudioSource("group");
CREATE TABLE Transcription (
  id BLOB PRIMARY KEY NOT NULL,
  name TEXT NOT NULL,
  createdAt INTEGER,
  updatedAt INTEGER,
  processingTime REAL,
  diarizationPreset TEXT NOT NULL,
  customThreshold REAL,
  minSpeakers INTEGER,
  maxSubtitleChars INTEGER NOT NULL,
  maxSubtitleDuration REAL,
  isTranslation INTEGER NOT NULL DEFAULT 0,
  targetLanguage TEXT,
  sourceTranscription BLOB REFERENCES Transcription(id) ON DELETE CASCADE DEFERRABLE INITIALLY DEFERRED,
  _sourceTranscriptionOrder INTEGER NOT NULL DEFAULT 0,
  audioSource BLOB REFERENCES AudioSource(id) ON DELETE CASCADE DEFERRABLE INITIALLY DEFERRED,
  _audioSourceOrder INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX Transcription_sourceTranscription ON Transcription(sourceTranscription);
CREATE INDEX Transcription_audioSource ON Transcription(audioSource);
CREATE TABLE StoredSegment (
  id BLOB PRIMARY KEY NOT NULL,
  sortOrder INTEGER NOT NULL,
  speakerId INTEGER NOT NULL,
  startTime REAL,
  endTime REAL,
  text TEXT NOT NULL,
  transcription BLOB REFERENCES Transcription(id) ON DELETE CASCADE DEFERRABLE INITIALLY DEFERRED,
  _order INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX StoredSegment_transcription ON StoredSegment(transcription, _order);
CREATE TABLE StoredSpeaker (
  id BLOB PRIMARY KEY NOT NULL,
  speakerId INTEGER NOT NULL,
  customName TEXT,
  colorHex TEXT,
  transcription BLOB REFERENCES Transcription(id) ON DELETE CASCADE DEFERRABLE INITIALLY DEFERRED,
  _order INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX StoredSpeaker_transcription ON StoredSpeaker(transcription, _order);
)sql";

// SQLite keeps no NaN (it stores NULL instead), so NULL in a number column reads back as NaN.
void bindReal(Statement& statement, int index, double value) {
  if (std::isnan(value))
    statement.bindNull(index);
  else
    statement.bind(index, value);
}

double readReal(const Statement& row, int column) {
  return row.isNull(column) ? std::numeric_limits<double>::quiet_NaN() : row.real(column);
}

void bindDate(Statement& statement, int index, const QDateTime& at) {
  if (at.isValid())
    statement.bind(index, at.toMSecsSinceEpoch());
  else
    statement.bindNull(index);
}

QDateTime readDate(const Statement& row, int column) {
  if (row.isNull(column)) return {};
  return QDateTime::fromMSecsSinceEpoch(row.int64(column), Qt::UTC);
}

void bindOwner(Statement& statement, int index, const PersistentModel* owner) {
  if (owner)
    statement.bind(index, owner->id());
  else
    statement.bindNull(index);
}

}  // namespace

void ModelRows::createSchema(Database& db, const char* schemaVersion) {
  db.execute(kSchema);
  db.prepare("INSERT INTO StoreMetadata (key, value) VALUES ('schemaVersion', ?1)")
      .bind(1, QString::fromLatin1(schemaVersion))
      .run();
}

const char* ModelRows::insertSql(EntityType type) {
  switch (type) {
    case EntityType::transcriptGroup:
      return "INSERT INTO TranscriptGroup (id, name, sortOrder, createdAt, updatedAt) VALUES (?1, ?2, ?3, ?4, ?5)";
    case EntityType::audioSource:
      return "INSERT INTO AudioSource (id, originalPath, filename, duration, fileBookmark, cachedSamplesPath, "
             "createdAt, youtubeVideoId, youtubeOriginalURL, \"group\", _groupOrder) "
             "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)";
    case EntityType::transcription:
      return "INSERT INTO Transcription (id, name, createdAt, updatedAt, processingTime, diarizationPreset, "
             "customThreshold, minSpeakers, maxSubtitleChars, maxSubtitleDuration, isTranslation, targetLanguage, "
             "sourceTranscription, _sourceTranscriptionOrder, audioSource, _audioSourceOrder) "
             "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)";
    case EntityType::storedSegment:
      return "INSERT INTO StoredSegment (id, sortOrder, speakerId, startTime, endTime, text, transcription, _order) "
             "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
    case EntityType::storedSpeaker:
      return "INSERT INTO StoredSpeaker (id, speakerId, customName, colorHex, transcription, _order) "
             "VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
  }
  return "";
}

const char* ModelRows::updateSql(EntityType type) {
  switch (type) {
    case EntityType::transcriptGroup:
      return "UPDATE TranscriptGroup SET name = ?2, sortOrder = ?3, createdAt = ?4, updatedAt = ?5 WHERE id = ?1";
    case EntityType::audioSource:
      return "UPDATE AudioSource SET originalPath = ?2, filename = ?3, duration = ?4, fileBookmark = ?5, "
             "cachedSamplesPath = ?6, createdAt = ?7, youtubeVideoId = ?8, youtubeOriginalURL = ?9, "
             "\"group\" = ?10, _groupOrder = ?11 WHERE id = ?1";
    case EntityType::transcription:
      return "UPDATE Transcription SET name = ?2, createdAt = ?3, updatedAt = ?4, processingTime = ?5, "
             "diarizationPreset = ?6, customThreshold = ?7, minSpeakers = ?8, maxSubtitleChars = ?9, "
             "maxSubtitleDuration = ?10, isTranslation = ?11, targetLanguage = ?12, sourceTranscription = ?13, "
             "_sourceTranscriptionOrder = ?14, audioSource = ?15, _audioSourceOrder = ?16 WHERE id = ?1";
    case EntityType::storedSegment:
      return "UPDATE StoredSegment SET sortOrder = ?2, speakerId = ?3, startTime = ?4, endTime = ?5, text = ?6, "
             "transcription = ?7, _order = ?8 WHERE id = ?1";
    case EntityType::storedSpeaker:
      return "UPDATE StoredSpeaker SET speakerId = ?2, customName = ?3, colorHex = ?4, transcription = ?5, "
             "_order = ?6 WHERE id = ?1";
  }
  return "";
}

const char* ModelRows::deleteSql(EntityType type) {
  switch (type) {
    case EntityType::transcriptGroup: return "DELETE FROM TranscriptGroup WHERE id = ?1";
    case EntityType::audioSource: return "DELETE FROM AudioSource WHERE id = ?1";
    case EntityType::transcription: return "DELETE FROM Transcription WHERE id = ?1";
    case EntityType::storedSegment: return "DELETE FROM StoredSegment WHERE id = ?1";
    case EntityType::storedSpeaker: return "DELETE FROM StoredSpeaker WHERE id = ?1";
  }
  return "";
}

void ModelRows::bindRow(Statement& s, PersistentModel* object) {
  s.bind(1, object->id());
  switch (object->entityType()) {
    case EntityType::transcriptGroup: {
      auto* g = static_cast<TranscriptGroup*>(object);
      s.bind(2, g->m_name).bind(3, g->m_sortOrder);
      bindDate(s, 4, g->m_createdAt);
      bindDate(s, 5, g->m_updatedAt);
      break;
    }
    case EntityType::audioSource: {
      auto* a = static_cast<AudioSource*>(object);
      s.bind(2, a->m_originalPath).bind(3, a->m_filename);
      bindReal(s, 4, a->m_duration);
      s.bind(5, a->m_fileBookmark).bind(6, a->m_cachedSamplesPath);
      bindDate(s, 7, a->m_createdAt);
      s.bind(8, a->m_youtubeVideoId).bind(9, a->m_youtubeOriginalURL);
      bindOwner(s, 10, a->m_group);
      s.bind(11, a->m_groupOrder);
      break;
    }
    case EntityType::transcription: {
      auto* t = static_cast<Transcription*>(object);
      s.bind(2, t->m_name);
      bindDate(s, 3, t->m_createdAt);
      bindDate(s, 4, t->m_updatedAt);
      bindReal(s, 5, t->m_processingTime);
      s.bind(6, t->m_diarizationPreset);
      bindReal(s, 7, t->m_customThreshold);
      s.bind(8, t->m_minSpeakers).bind(9, t->m_maxSubtitleChars);
      bindReal(s, 10, t->m_maxSubtitleDuration);
      s.bind(11, t->m_isTranslation).bind(12, t->m_targetLanguage);
      bindOwner(s, 13, t->m_sourceTranscription);
      s.bind(14, t->m_sourceTranscriptionOrder);
      bindOwner(s, 15, t->m_audioSource);
      s.bind(16, t->m_audioSourceOrder);
      break;
    }
    case EntityType::storedSegment: {
      auto* g = static_cast<StoredSegment*>(object);
      s.bind(2, g->m_sortOrder).bind(3, g->m_speakerId);
      bindReal(s, 4, g->m_startTime);
      bindReal(s, 5, g->m_endTime);
      s.bind(6, g->m_text);
      bindOwner(s, 7, g->m_transcription);
      s.bind(8, g->m_order);
      break;
    }
    case EntityType::storedSpeaker: {
      auto* p = static_cast<StoredSpeaker*>(object);
      s.bind(2, p->m_speakerId).bind(3, p->m_customName).bind(4, p->m_colorHex);
      bindOwner(s, 5, p->m_transcription);
      s.bind(6, p->m_order);
      break;
    }
  }
}

const char* ModelRows::selectGroupsSql() {
  return "SELECT id, name, sortOrder, createdAt, updatedAt FROM TranscriptGroup ORDER BY rowid";
}

const char* ModelRows::selectSourcesSql() {
  return "SELECT id, originalPath, filename, duration, fileBookmark, cachedSamplesPath, createdAt, youtubeVideoId, "
         "youtubeOriginalURL, \"group\", _groupOrder FROM AudioSource ORDER BY \"group\", _groupOrder, rowid";
}

const char* ModelRows::selectTranscriptionsSql() {
  return "SELECT id, name, createdAt, updatedAt, processingTime, diarizationPreset, customThreshold, minSpeakers, "
         "maxSubtitleChars, maxSubtitleDuration, isTranslation, targetLanguage, sourceTranscription, "
         "_sourceTranscriptionOrder, audioSource, _audioSourceOrder FROM Transcription ORDER BY rowid";
}

const char* ModelRows::selectSegmentsOfSql() {
  return "SELECT id, sortOrder, speakerId, startTime, endTime, text, _order FROM StoredSegment "
         "WHERE transcription = ?1 ORDER BY _order, rowid";
}

const char* ModelRows::selectSpeakersOfSql() {
  return "SELECT id, speakerId, customName, colorHex, _order FROM StoredSpeaker "
         "WHERE transcription = ?1 ORDER BY _order, rowid";
}

const char* ModelRows::selectOrphanSegmentsSql() {
  return "SELECT id, sortOrder, speakerId, startTime, endTime, text, _order FROM StoredSegment "
         "WHERE transcription IS NULL ORDER BY rowid";
}

const char* ModelRows::selectOrphanSpeakersSql() {
  return "SELECT id, speakerId, customName, colorHex, _order FROM StoredSpeaker "
         "WHERE transcription IS NULL ORDER BY rowid";
}

TranscriptGroup* ModelRows::readGroup(const Statement& r) {
  auto* g = new TranscriptGroup(r.uuid(0));
  g->m_name = r.text(1);
  g->m_sortOrder = r.int64(2);
  g->m_createdAt = readDate(r, 3);
  g->m_updatedAt = readDate(r, 4);
  return g;
}

AudioSource* ModelRows::readSource(const Statement& r, QUuid* groupId) {
  auto* a = new AudioSource(r.uuid(0));
  a->m_originalPath = r.text(1);
  a->m_filename = r.text(2);
  a->m_duration = readReal(r, 3);
  a->m_fileBookmark = r.optionalBlob(4);
  a->m_cachedSamplesPath = r.optionalText(5);
  a->m_createdAt = readDate(r, 6);
  a->m_youtubeVideoId = r.optionalText(7);
  a->m_youtubeOriginalURL = r.optionalText(8);
  *groupId = r.uuid(9);
  a->m_groupOrder = r.int64(10);
  return a;
}

Transcription* ModelRows::readTranscription(const Statement& r, QUuid* originId, QUuid* sourceId) {
  auto* t = new Transcription(r.uuid(0));
  t->m_name = r.text(1);
  t->m_createdAt = readDate(r, 2);
  t->m_updatedAt = readDate(r, 3);
  t->m_processingTime = readReal(r, 4);
  t->m_diarizationPreset = r.text(5);
  t->m_customThreshold = readReal(r, 6);
  t->m_minSpeakers = r.optionalInt64(7);
  t->m_maxSubtitleChars = r.int64(8);
  t->m_maxSubtitleDuration = readReal(r, 9);
  t->m_isTranslation = r.int64(10) != 0;
  t->m_targetLanguage = r.optionalText(11);
  *originId = r.uuid(12);
  t->m_sourceTranscriptionOrder = r.int64(13);
  *sourceId = r.uuid(14);
  t->m_audioSourceOrder = r.int64(15);
  return t;
}

StoredSegment* ModelRows::readSegment(const Statement& r) {
  auto* g = new StoredSegment(r.uuid(0));
  g->m_sortOrder = r.int64(1);
  g->m_speakerId = r.int64(2);
  g->m_startTime = readReal(r, 3);
  g->m_endTime = readReal(r, 4);
  g->m_text = r.text(5);
  g->m_order = r.int64(6);
  return g;
}

StoredSpeaker* ModelRows::readSpeaker(const Statement& r) {
  auto* p = new StoredSpeaker(r.uuid(0));
  p->m_speakerId = r.int64(1);
  p->m_customName = r.optionalText(2);
  p->m_colorHex = r.optionalText(3);
  p->m_order = r.int64(4);
  return p;
}

}  // namespace parlowvista
