#pragma once

#include "Models/PersistentContext.h"
#include "Models/PersistentModel.h"
#include "Models/TranscribedSegment.h"
#include "Store/Database.h"
#include "Store/SegmentEdits.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <array>
#include <functional>
#include <memory>

namespace parlowvista {

class TranscriptGroup;
class AudioSource;
class Transcription;
class StoredSegment;
class StoredSpeaker;
class TranscriptionResult;
struct Speaker;

// The object store: one SQLite file and the objects read from it.
//
// Groups, sources and versions are read at open; a version's segments and speaker overrides
// when first asked for. One stored row is one object (identity map). Changes stay in memory
// until save(), which writes all of them in one transaction: either every change reaches the
// file or none does, and after a failed save the context still holds all its changes, so a
// later save writes them whole. Deleting follows the library's cascades (group -> sources ->
// versions -> segments, speakers and translations) in memory and, through foreign keys, in the
// file. Relationship lists keep the order in which objects were added.
//
// Objects are made with `new` and handed over by insert() (or by linking them to an object
// that is already inserted); the context then owns them. Deleted objects stay valid, flagged
// isDeleted(), until the save that removes their rows; then they are released with
// deleteLater(), so hold them through QPointer across event-loop turns. UI thread only.
class ModelContext : public QObject, public PersistentContext {
  Q_OBJECT
 public:
  static constexpr const char* kSchemaVersion = "1.0.0";
  static constexpr const char* kStoreFileName = "Parlowvista.store";

  // libraryLocation/Parlowvista.store
  static QString storePath(const QString& libraryLocation);

  // Opens the store file at `path`, creating it (with its schema) when missing.
  // Throws StoreError: openFailed, or incompatibleSchema for a file of another schema version.
  explicit ModelContext(const QString& path, QObject* parent = nullptr);
  ~ModelContext() override;

  // Takes a detached object, and every detached object linked to it, into the context.
  // Inserting an object that is already in this context does nothing.
  void insert(PersistentModel* object) override;
  template <typename T>
  T* insert(std::unique_ptr<T> object) {
    T* raw = object.release();
    insert(raw);
    return raw;
  }

  // Deletes the object and, by the cascade rules, what it owns; removes it from its owners'
  // lists. The rows go at the next save. Deleting a deleted or detached object does nothing.
  void remove(PersistentModel* object);

  // Makes the version's segments those of the result (sortOrder 0..n-1, in the result's order)
  // and sets its updatedAt to now. Rows are matched by position: the version's row at sortOrder
  // i takes the result's segment i and is marked for the save only when a value differs; rows
  // past the result's end are deleted, segments past the rows' end get new rows. So the save
  // after an edit writes the rows that changed (a split or merge also the rows after it, whose
  // positions moved), not the whole version. Does not save. Does nothing on a deleted version
  // or one of another context.
  void updateSegments(Transcription* version, const TranscriptionResult& result);
  // The same, for the editor, which saves one version again and again with a segment or two
  // changed: when `edits` accounts for `result` since the version's rows took a list, and no
  // row of the version changed since, only the rows at the edited positions are compared and
  // written; the others are neither sorted nor read. Then `edits` starts again from `result`.
  void updateSegments(Transcription* version, const TranscriptionResult& result, SegmentEdits& edits);

  // Makes the version's speaker overrides exactly `overrides`, matched by speakerId: a stored
  // override of that speaker is kept and marked only when its name or colour differs, others
  // are deleted, speakers without one get a new row. Does not save. Does nothing on a deleted
  // version or one of another context.
  void updateSpeakers(Transcription* version, const QList<Speaker>& overrides);

  // Writes every pending change in one transaction. Throws StoreError(saveFailed) with the
  // reason; then nothing was written and every change is still pending.
  void save();
  bool hasChanges() const;

  // Live (not deleted) objects of a type, in the order they were read or inserted, filtered
  // and then sorted stably when a filter or order is given.
  template <typename T>
  QList<T*> fetch(const std::function<bool(const T*)>& filter = {},
                  const std::function<bool(const T*, const T*)>& lessThan = {}) {
    QList<T*> result;
    for (PersistentModel* object : objectsOfType(T::kEntityType)) {
      auto* typed = static_cast<T*>(object);
      if (!filter || filter(typed)) result.append(typed);
    }
    if (lessThan) std::stable_sort(result.begin(), result.end(), lessThan);
    return result;
  }

  // The live object with this id, or null. Segments and speaker overrides are found once
  // their version's list has been read (segments(), speakers() or a fetch).
  template <typename T>
  T* find(const QUuid& id) {
    PersistentModel* object = m_objects.value(id);
    if (!object || object->isDeleted() || object->entityType() != T::kEntityType) return nullptr;
    return static_cast<T*>(object);
  }

  Database& database() { return *m_db; }

 signals:
  // After any write to an object of this context, an insertion or a deletion.
  void objectsChanged();
  // The object was just deleted (it is still valid, isDeleted() is true).
  void objectDeleted(parlowvista::PersistentModel* object);
  // After a save reached the file.
  void didSave();

 private:
  friend class PersistentModel;
  friend class Transcription;

  void openSchema();
  void loadLibrary();
  void loadSegments(Transcription* transcription) override;
  void loadSpeakers(Transcription* transcription) override;
  template <typename Child>
  void loadChildren(Transcription* transcription, const char* selectSql, Child* (*read)(const Statement&),
                    QList<Child*> Transcription::*list);
  void loadOrphans(EntityType type);
  QList<PersistentModel*> objectsOfType(EntityType type);

  void registerObject(PersistentModel* object, bool persisted);
  void noteChanged(PersistentModel* object) override;
  void cascadeDelete(PersistentModel* object);
  void writeChanges();
  // Writes `segment` into `row` at position `position` when a stored value differs.
  void writeSegment(StoredSegment* row, qsizetype position, const TranscribedSegment& segment);

  std::unique_ptr<Database> m_db;
  QHash<QUuid, PersistentModel*> m_objects;
  // The same objects by type, each list in registration (m_sequence) order: a fetch of the
  // few groups must not walk the tens of thousands of segments read into memory.
  std::array<QList<PersistentModel*>, std::size_t(EntityType::storedSpeaker) + 1> m_objectsByType;
  QList<PersistentModel*> m_inserted;  // new objects, in insertion order
  QSet<PersistentModel*> m_changed;    // stored objects written since the last save
  QList<PersistentModel*> m_deleted;   // stored objects whose rows go at the next save
  quint64 m_nextSequence = 1;
  bool m_notifyPending = false;
  // Changes to segment rows (their values, lists and lives) since the context was made.
  quint64 m_segmentRowChanges = 0;
  // The rows of the version the last updateSegments wrote, by position; valid while
  // m_segmentRowChanges is still `at`.
  struct PlacedRows {
    QPointer<Transcription> version;
    QList<StoredSegment*> rows;
    quint64 at = 0;
  } m_placed;
};

}  // namespace parlowvista
