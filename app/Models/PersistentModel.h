#pragma once

#include <QList>
#include <QObject>
#include <QUuid>
#include <QVariant>
#include <optional>

namespace parlowvista {

class PersistentContext;

enum class EntityType { transcriptGroup, audioSource, transcription, storedSegment, storedSpeaker };

// Base of the five stored types: a reference object identified by `id`. It is made detached;
// once inserted into a context (the store's ModelContext; see PersistentContext), directly or
// by being linked to an object that is, the context owns it, and one stored row is one object
// for the context's lifetime.
// Every write of a stored property or relationship marks the object changed and emits
// `changed()` (also when the value written equals the old one). UI thread only.
class PersistentModel : public QObject {
  Q_OBJECT
  // Read-only by name too: the identity map is keyed by it.
  Q_PROPERTY(QUuid id READ id CONSTANT)
 public:
  QUuid id() const { return m_id; }
  virtual EntityType entityType() const = 0;

  // The owning context, or null while detached.
  PersistentContext* modelContext() const { return m_context; }
  // Deleted from its context (the row goes at the next save); a deleted object is no longer
  // listed by its owners and must not be used further.
  bool isDeleted() const { return m_deleted; }

 signals:
  void changed();

 protected:
  explicit PersistentModel(QUuid id);

  // Records a write: marks the object for the next save and notifies.
  void didChange();

  // Makes the context of whichever of the two is attached adopt the other one.
  static void linkContexts(PersistentModel* a, PersistentModel* b);

  // Moves `child` from `oldParent`'s list to the end of `newParent`'s list (either may be
  // null) and gives it the order key that keeps the list in insertion order.
  template <typename Child, typename Parent>
  static void moveBetweenLists(Child* child, Parent* oldParent, Parent* newParent, QList<Child*> Parent::*list,
                               qint64 Child::*orderKey) {
    if (oldParent) {
      (oldParent->*list).removeOne(child);
      emit oldParent->changed();
    }
    if (newParent) {
      auto& items = newParent->*list;
      child->*orderKey = items.isEmpty() ? 0 : items.last()->*orderKey + 1;
      items.append(child);
      emit newParent->changed();
    }
  }

  // Optional properties appear to property-name access as a QVariant that is invalid (or
  // null) when absent.
  template <typename T>
  static QVariant toVariant(const std::optional<T>& value) {
    return value ? QVariant::fromValue(*value) : QVariant();
  }
  template <typename T>
  static std::optional<T> fromVariant(const QVariant& value) {
    if (!value.isValid() || value.isNull()) return std::nullopt;
    return value.value<T>();
  }

 private:
  friend class ModelContext;
  friend struct ModelRows;

  QUuid m_id;
  PersistentContext* m_context = nullptr;
  bool m_persisted = false;  // a row exists in the store file
  bool m_deleted = false;
  bool m_changed = false;  // queued for the next save's updates
  quint64 m_sequence = 0;  // registration order in the context, for stable fetches
};

}  // namespace parlowvista
