#include "Store/ModelContext.h"

#include <QDateTime>

#include "Models/AudioSource.h"
#include "Models/Speaker.h"
#include "Models/StoredSegment.h"
#include "Models/StoredSpeaker.h"
#include "Models/TranscriptGroup.h"
#include "Models/Transcription.h"
#include "Models/TranscriptionResult.h"
#include "Store/ModelRows.h"

#include <QDebug>
#include <QDir>
#include <algorithm>
#include <cmath>

namespace parlowvista {

namespace {

// Takes a deleted `child` out of its owner's list, tells the owner's views and forgets the owner.
template <typename Child, typename Owner>
void leaveOwner(Child* child, Owner*& owner, QList<Child*> Owner::*list) {
  if (!owner) return;
  (owner->*list).removeOne(child);
  emit owner->changed();
  owner = nullptr;
}

// Empties a deleted object's list of children, cutting each child's link back to it, and
// hands them to `owned` for the cascade to delete next.
template <typename Child, typename Owner>
void releaseChildren(QList<Child*>& children, Owner* Child::*link, QList<PersistentModel*>& owned) {
  for (Child* child : children) {
    child->*link = nullptr;
    owned.append(child);
  }
  children.clear();
}

// Equal times, NaN (an unknown time) equal to NaN.
bool sameTime(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

}  // namespace

QString ModelContext::storePath(const QString& libraryLocation) {
  return QDir(libraryLocation).filePath(QString::fromLatin1(kStoreFileName));
}

ModelContext::ModelContext(const QString& path, QObject* parent)
    : QObject(parent), m_db(std::make_unique<Database>(path)) {
  openSchema();
  loadLibrary();
}

ModelContext::~ModelContext() {
  // The context owns its objects without QObject parenthood: setting a parent costs an event
  // per object, which adds up for a version of tens of thousands of segments.
  qDeleteAll(m_objects);
}

void ModelContext::openSchema() {
  // Nothing is written before the file is known to be a store of this schema version: a file
  // refused here stays as it was.
  bool hasMetadata = false;
  int otherTables = 0;
  {
    auto tables = m_db->prepare("SELECT name FROM sqlite_master WHERE type = 'table'");
    while (tables.step() == Statement::Step::row) {
      if (tables.text(0) == QLatin1String("StoreMetadata"))
        hasMetadata = true;
      else
        ++otherTables;
    }
  }
  if (!hasMetadata) {
    if (otherTables > 0)
      throw StoreError(StoreError::Kind::incompatibleSchema,
                       QStringLiteral("%1 is not a Parlowvista store").arg(m_db->path()));
    m_db->useWriteAheadLog();
    Transaction transaction(*m_db);
    ModelRows::createSchema(*m_db, kSchemaVersion);
    transaction.commit();
    return;
  }
  QString found;
  {
    auto version = m_db->prepare("SELECT value FROM StoreMetadata WHERE key = 'schemaVersion'");
    if (version.step() == Statement::Step::row) found = version.text(0);
  }
  if (found != QLatin1String(kSchemaVersion))
    throw StoreError(StoreError::Kind::incompatibleSchema,
                     QStringLiteral("The store has schema version %1; this program reads version %2")
                         .arg(found.isEmpty() ? QStringLiteral("(none)") : found, QLatin1String(kSchemaVersion)));
  m_db->useWriteAheadLog();
}

void ModelContext::registerObject(PersistentModel* object, bool persisted) {
  object->m_context = this;
  object->m_persisted = persisted;
  object->m_sequence = m_nextSequence++;
  m_objects.insert(object->id(), object);
  m_objectsByType[std::size_t(object->entityType())].append(object);
}

void ModelContext::loadLibrary() {
  auto groups = m_db->prepare(ModelRows::selectGroupsSql());
  while (groups.step() == Statement::Step::row) registerObject(ModelRows::readGroup(groups), true);

  auto sources = m_db->prepare(ModelRows::selectSourcesSql());
  while (sources.step() == Statement::Step::row) {
    QUuid groupId;
    AudioSource* source = ModelRows::readSource(sources, &groupId);
    registerObject(source, true);
    if (auto* group = find<TranscriptGroup>(groupId)) {
      source->m_group = group;
      group->m_audioSources.append(source);  // rows come in list order
    }
  }

  auto transcriptions = m_db->prepare(ModelRows::selectTranscriptionsSql());
  QList<std::pair<Transcription*, QUuid>> origins;
  while (transcriptions.step() == Statement::Step::row) {
    QUuid originId;
    QUuid sourceId;
    Transcription* t = ModelRows::readTranscription(transcriptions, &originId, &sourceId);
    t->m_segmentsLoaded = false;
    t->m_speakersLoaded = false;
    registerObject(t, true);
    if (auto* source = find<AudioSource>(sourceId)) {
      t->m_audioSource = source;
      source->m_transcriptions.append(t);
    }
    if (!originId.isNull()) origins.append({t, originId});
  }
  // Origins may come after their translations in the file, so link them once all are read.
  for (const auto& [translation, originId] : origins) {
    if (auto* origin = find<Transcription>(originId)) {
      translation->m_sourceTranscription = origin;
      origin->m_translations.append(translation);
    }
  }
  for (PersistentModel* object : std::as_const(m_objectsByType[std::size_t(EntityType::audioSource)])) {
    auto& list = static_cast<AudioSource*>(object)->m_transcriptions;
    std::stable_sort(list.begin(), list.end(), [](const Transcription* a, const Transcription* b) {
      return a->m_audioSourceOrder < b->m_audioSourceOrder;
    });
  }
  for (PersistentModel* object : std::as_const(m_objectsByType[std::size_t(EntityType::transcription)])) {
    auto& list = static_cast<Transcription*>(object)->m_translations;
    std::stable_sort(list.begin(), list.end(), [](const Transcription* a, const Transcription* b) {
      return a->m_sourceTranscriptionOrder < b->m_sourceTranscriptionOrder;
    });
  }
}

// Rows of one of a version's child lists, read the first time the list is asked for.
template <typename Child>
void ModelContext::loadChildren(Transcription* transcription, const char* selectSql, Child* (*read)(const Statement&),
                                QList<Child*> Transcription::*list) {
  auto rows = m_db->prepare(selectSql);
  rows.bind(1, transcription->id());
  QList<Child*> loaded;
  while (rows.step() == Statement::Step::row) {
    const QUuid id = rows.uuid(0);
    if (m_objects.contains(id)) continue;  // already in memory (and linked where it now belongs)
    Child* child = read(rows);
    registerObject(child, true);
    child->m_transcription = transcription;
    loaded.append(child);
  }
  // Anything appended before the list was read came later than the stored rows.
  transcription->*list = loaded + transcription->*list;
}

void ModelContext::loadSegments(Transcription* transcription) {
  transcription->m_segmentsLoaded = true;
  loadChildren(transcription, ModelRows::selectSegmentsOfSql(), &ModelRows::readSegment, &Transcription::m_segments);
}

void ModelContext::loadSpeakers(Transcription* transcription) {
  transcription->m_speakersLoaded = true;
  loadChildren(transcription, ModelRows::selectSpeakersOfSql(), &ModelRows::readSpeaker, &Transcription::m_speakers);
}

void ModelContext::loadOrphans(EntityType type) {
  const bool segments = type == EntityType::storedSegment;
  auto rows = m_db->prepare(segments ? ModelRows::selectOrphanSegmentsSql() : ModelRows::selectOrphanSpeakersSql());
  while (rows.step() == Statement::Step::row) {
    if (m_objects.contains(rows.uuid(0))) continue;
    if (segments)
      registerObject(ModelRows::readSegment(rows), true);
    else
      registerObject(ModelRows::readSpeaker(rows), true);
  }
}

QList<PersistentModel*> ModelContext::objectsOfType(EntityType type) {
  if (type == EntityType::storedSegment || type == EntityType::storedSpeaker) {
    // These are read per version on demand; a fetch of all of them reads the rest.
    for (Transcription* t : fetch<Transcription>()) {
      if (type == EntityType::storedSegment)
        t->ensureSegmentsLoaded();
      else
        t->ensureSpeakersLoaded();
    }
    loadOrphans(type);
  }
  QList<PersistentModel*> result;
  for (PersistentModel* object : std::as_const(m_objectsByType[std::size_t(type)])) {
    if (!object->m_deleted) result.append(object);
  }
  return result;
}

void ModelContext::insert(PersistentModel* object) {
  if (!object || object->m_context == this) return;
  if (object->m_context) {
    qWarning("ModelContext: an object of another context cannot be inserted");
    return;
  }
  if (object->m_deleted) return;
  registerObject(object, false);
  m_inserted.append(object);

  // Everything linked to a new object joins with it.
  QList<PersistentModel*> linked;
  switch (object->entityType()) {
    case EntityType::transcriptGroup:
      for (auto* source : static_cast<TranscriptGroup*>(object)->m_audioSources) linked.append(source);
      break;
    case EntityType::audioSource: {
      auto* source = static_cast<AudioSource*>(object);
      linked.append(source->m_group);
      for (auto* t : source->m_transcriptions) linked.append(t);
      break;
    }
    case EntityType::transcription: {
      auto* t = static_cast<Transcription*>(object);
      linked.append(t->m_audioSource);
      linked.append(t->m_sourceTranscription);
      for (auto* translation : t->m_translations) linked.append(translation);
      for (auto* segment : t->m_segments) linked.append(segment);
      for (auto* speaker : t->m_speakers) linked.append(speaker);
      break;
    }
    case EntityType::storedSegment: linked.append(static_cast<StoredSegment*>(object)->m_transcription); break;
    case EntityType::storedSpeaker: linked.append(static_cast<StoredSpeaker*>(object)->m_transcription); break;
  }
  for (PersistentModel* other : linked) insert(other);
  noteChanged(object);
}

void ModelContext::noteChanged(PersistentModel* object) {
  if (object->entityType() == EntityType::storedSegment) ++m_segmentRowChanges;
  if (object->m_persisted && !object->m_deleted && !object->m_changed) {
    object->m_changed = true;
    m_changed.insert(object);
  }
  // Views hear of a burst of writes (a whole version rewritten) once.
  if (!m_notifyPending) {
    m_notifyPending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          m_notifyPending = false;
          emit objectsChanged();
        },
        Qt::QueuedConnection);
  }
}

void ModelContext::remove(PersistentModel* object) {
  if (!object || object->m_context != this || object->m_deleted) return;
  cascadeDelete(object);
}

void ModelContext::cascadeDelete(PersistentModel* object) {
  object->m_deleted = true;
  QList<PersistentModel*> owned;
  switch (object->entityType()) {
    case EntityType::transcriptGroup:
      releaseChildren(static_cast<TranscriptGroup*>(object)->m_audioSources, &AudioSource::m_group, owned);
      break;
    case EntityType::audioSource: {
      auto* source = static_cast<AudioSource*>(object);
      leaveOwner(source, source->m_group, &TranscriptGroup::m_audioSources);
      releaseChildren(source->m_transcriptions, &Transcription::m_audioSource, owned);
      break;
    }
    case EntityType::transcription: {
      auto* t = static_cast<Transcription*>(object);
      leaveOwner(t, t->m_audioSource, &AudioSource::m_transcriptions);
      leaveOwner(t, t->m_sourceTranscription, &Transcription::m_translations);
      releaseChildren(t->m_translations, &Transcription::m_sourceTranscription, owned);
      // Rows not yet read go by the file's own cascade; only those in memory need marking.
      releaseChildren(t->m_segments, &StoredSegment::m_transcription, owned);
      releaseChildren(t->m_speakers, &StoredSpeaker::m_transcription, owned);
      t->m_segmentsLoaded = true;
      t->m_speakersLoaded = true;
      break;
    }
    case EntityType::storedSegment: {
      auto* segment = static_cast<StoredSegment*>(object);
      leaveOwner(segment, segment->m_transcription, &Transcription::m_segments);
      break;
    }
    case EntityType::storedSpeaker: {
      auto* speaker = static_cast<StoredSpeaker*>(object);
      leaveOwner(speaker, speaker->m_transcription, &Transcription::m_speakers);
      break;
    }
  }
  if (object->m_persisted) m_deleted.append(object);
  // A new object that is deleted before any save simply never reaches the file; it stays in
  // m_inserted, flagged, and the save skips it.
  emit objectDeleted(object);
  noteChanged(object);
  for (PersistentModel* child : owned) {
    if (!child->m_deleted) cascadeDelete(child);
  }
}

bool ModelContext::hasChanges() const {
  if (!m_changed.isEmpty() || !m_deleted.isEmpty()) return true;
  for (const PersistentModel* object : m_inserted) {
    if (!object->m_deleted) return true;
  }
  return false;
}

void ModelContext::writeChanges() {
  constexpr EntityType kTypes[] = {EntityType::transcriptGroup, EntityType::audioSource, EntityType::transcription,
                                   EntityType::storedSegment, EntityType::storedSpeaker};
  QHash<EntityType, QList<PersistentModel*>> inserts;
  for (PersistentModel* object : std::as_const(m_inserted)) {
    if (!object->m_deleted) inserts[object->entityType()].append(object);
  }
  QHash<EntityType, QList<PersistentModel*>> updates;
  for (PersistentModel* object : std::as_const(m_changed)) {
    if (!object->m_deleted) updates[object->entityType()].append(object);
  }
  for (EntityType type : kTypes) {
    if (const auto rows = inserts.value(type); !rows.isEmpty()) {
      Statement& statement = m_db->cached(ModelRows::insertSql(type));
      for (PersistentModel* object : rows) {
        ModelRows::bindRow(statement, object);
        statement.run();
        statement.reset();
      }
    }
    if (const auto rows = updates.value(type); !rows.isEmpty()) {
      Statement& statement = m_db->cached(ModelRows::updateSql(type));
      for (PersistentModel* object : rows) {
        ModelRows::bindRow(statement, object);
        statement.run();
        statement.reset();
        // A row gone from the file (removed behind the context's back) takes no update: that
        // edit would be lost, so the save fails rather than report success.
        if (m_db->changedRows() == 0)
          throw StoreError(StoreError::Kind::statementFailed,
                           QStringLiteral("A changed item is no longer in the library file"), 0,
                           QStringLiteral("the object %1 is no longer in the library file")
                               .arg(object->id().toString(QUuid::WithoutBraces)));
      }
    }
  }
  // Deletions come last, after moved children have been written under their new owners, so
  // the file's cascades take only what the context deleted too.
  for (EntityType type : kTypes) {
    Statement* statement = nullptr;
    for (PersistentModel* object : std::as_const(m_deleted)) {
      if (object->entityType() != type) continue;
      if (!statement) statement = &m_db->cached(ModelRows::deleteSql(type));
      statement->bind(1, object->id());
      statement->run();
      statement->reset();
    }
  }
}

void ModelContext::save() {
  if (!hasChanges()) return;
  try {
    Transaction transaction(*m_db);
    writeChanges();
    transaction.commit();
  } catch (const StoreError& error) {
    // The user reads what happened; the statement and SQLite's own words go to the log.
    qWarning().noquote() << "[ModelContext] Save failed:" << error.details();
    const QString message =
        error.sqliteCode() == 0
            ? error.message()
            : StoreError::plainMessage(error.sqliteCode(), QStringLiteral("The library could not be saved"));
    throw StoreError(StoreError::Kind::saveFailed, message, error.sqliteCode(), error.details());
  }

  // The file now holds everything; only now does the context forget what was pending.
  for (PersistentModel* object : std::as_const(m_inserted)) object->m_persisted = !object->m_deleted;
  for (PersistentModel* object : std::as_const(m_changed)) object->m_changed = false;
  QList<PersistentModel*> gone = m_deleted;
  for (PersistentModel* object : std::as_const(m_inserted)) {
    if (object->m_deleted) gone.append(object);
  }
  m_inserted.clear();
  m_changed.clear();
  m_deleted.clear();
  const QSet<PersistentModel*> released(gone.begin(), gone.end());
  QSet<EntityType> releasedTypes;
  for (const PersistentModel* object : std::as_const(gone)) releasedTypes.insert(object->entityType());
  for (EntityType type : std::as_const(releasedTypes)) {
    m_objectsByType[std::size_t(type)].removeIf(
        [&released](PersistentModel* object) { return released.contains(object); });
  }
  for (PersistentModel* object : gone) {
    m_objects.remove(object->id());
    object->m_persisted = false;
    object->deleteLater();
  }
  emit didSave();
}

void ModelContext::writeSegment(StoredSegment* row, qsizetype position, const TranscribedSegment& segment) {
  if (row->m_sortOrder == position && row->m_speakerId == segment.speakerId &&
      sameTime(row->m_startTime, segment.startTime) && sameTime(row->m_endTime, segment.endTime) &&
      row->m_text == segment.text)
    return;
  row->m_sortOrder = position;
  row->m_speakerId = segment.speakerId;
  row->m_startTime = segment.startTime;
  row->m_endTime = segment.endTime;
  row->m_text = segment.text;
  noteChanged(row);
  emit row->changed();
}

void ModelContext::updateSegments(Transcription* version, const TranscriptionResult& result, SegmentEdits& edits) {
  const QList<TranscribedSegment>& segments = result.segments;
  const bool accounted = version && !version->isDeleted() && edits.m_version == version &&
                         edits.m_rowChanges == m_segmentRowChanges && m_placed.version == version &&
                         m_placed.at == m_segmentRowChanges && segments.constData() == edits.m_current.constData() &&
                         segments.size() == edits.m_current.size() && m_placed.rows.size() == segments.size() &&
                         version->m_segments.size() == segments.size() &&
                         std::all_of(edits.m_positions.begin(), edits.m_positions.end(),
                                     [&segments](qsizetype i) { return i >= 0 && i < segments.size(); });
  if (accounted) {
    for (qsizetype i : std::as_const(edits.m_positions)) writeSegment(m_placed.rows[i], i, segments[i]);
    m_placed.at = m_segmentRowChanges;
    version->setUpdatedAt(QDateTime::currentDateTimeUtc());
  } else {
    updateSegments(version, result);
  }
  const bool placed = m_placed.version == version && m_placed.at == m_segmentRowChanges;
  edits.m_version = placed ? version : nullptr;
  edits.m_rowChanges = m_segmentRowChanges;
  edits.m_current = segments;
  edits.m_positions.clear();
}

void ModelContext::updateSegments(Transcription* version, const TranscriptionResult& result) {
  // Rows under a deleted version could never be saved and would fail every later save.
  if (!version || version->isDeleted() || (version->m_context && version->m_context != this)) return;
  const QList<TranscribedSegment>& segments = result.segments;
  QList<StoredSegment*> rows = version->sortedSegments();
  const qsizetype kept = std::min(rows.size(), segments.size());
  for (qsizetype i = 0; i < kept; ++i) writeSegment(rows[i], i, segments[i]);
  if (rows.size() > kept) {
    // Unlinked in one pass: deleting them one by one from a long list would search it for
    // every row.
    const QSet<StoredSegment*> surplus(rows.begin() + kept, rows.end());
    version->m_segments.removeIf([&surplus](StoredSegment* row) { return surplus.contains(row); });
    for (StoredSegment* row : rows.sliced(kept)) {
      row->m_transcription = nullptr;
      remove(row);
    }
    rows.resize(kept);
  }
  // Linked directly rather than through setTranscription(): the list is known to be loaded,
  // and one change notice for the whole rewrite is enough.
  qint64 order = version->m_segments.isEmpty() ? 0 : version->m_segments.last()->m_order + 1;
  version->m_segments.reserve(segments.size());
  rows.reserve(segments.size());
  for (qsizetype i = kept; i < segments.size(); ++i) {
    const TranscribedSegment& segment = segments[i];
    auto* row = new StoredSegment(i, segment.speakerId, segment.startTime, segment.endTime, segment.text);
    row->m_transcription = version;
    row->m_order = order++;
    version->m_segments.append(row);
    rows.append(row);
    insert(row);
  }
  m_placed = PlacedRows{version, std::move(rows), m_segmentRowChanges};
  version->setUpdatedAt(QDateTime::currentDateTimeUtc());
}

void ModelContext::updateSpeakers(Transcription* version, const QList<Speaker>& overrides) {
  if (!version || version->isDeleted() || (version->m_context && version->m_context != this)) return;
  QList<StoredSpeaker*> unmatched = version->speakers();
  QList<const Speaker*> missing;
  for (const Speaker& speaker : overrides) {
    const auto match = std::find_if(unmatched.begin(), unmatched.end(), [&speaker](const StoredSpeaker* stored) {
      return stored->m_speakerId == speaker.speakerId;
    });
    if (match == unmatched.end()) {
      missing.append(&speaker);
      continue;
    }
    StoredSpeaker* stored = *match;
    unmatched.erase(match);
    if (stored->m_customName == speaker.customName && stored->m_colorHex == speaker.colorHex) continue;
    stored->m_customName = speaker.customName;
    stored->m_colorHex = speaker.colorHex;
    noteChanged(stored);
    emit stored->changed();
  }
  for (StoredSpeaker* stored : unmatched) remove(stored);
  for (const Speaker* speaker : missing) {
    auto* stored = new StoredSpeaker(speaker->speakerId, speaker->customName, speaker->colorHex);
    version->appendSpeaker(stored);
    insert(stored);
  }
}

}  // namespace parlowvista
