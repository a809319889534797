#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QPointer>

namespace parlowvista {

class LibraryActions;
class ModelContext;
class TranscriptGroup;

// The groups of the library by sortOrder, as a list model. It follows the store row by row:
// a group's own changes (name, source count) update its row only, once per event-loop turn; insertions, deletions and
// reorderings become row inserts, removes and moves, never a reset. Editing the name and
// dropping rows in another place go through LibraryActions. UI thread only.
class GroupListModel : public QAbstractListModel {
  Q_OBJECT
 public:
  enum Role { GroupRole = Qt::UserRole + 1, SourceCountRole };

  GroupListModel(ModelContext& context, LibraryActions& actions, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  Qt::DropActions supportedDropActions() const override { return Qt::MoveAction; }
  QStringList mimeTypes() const override;
  QMimeData* mimeData(const QModelIndexList& indexes) const override;
  bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                       const QModelIndex& parent) const override;
  bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                    const QModelIndex& parent) override;
  // The list view's drag-to-move: renumbers every group through LibraryActions; the rows
  // then move when the store reports the new order.
  bool moveRows(const QModelIndex& sourceParent, int sourceRow, int count, const QModelIndex& destinationParent,
                int destinationChild) override;

  TranscriptGroup* groupAt(int row) const;
  int rowOf(const TranscriptGroup* group) const;

 private:
  void sync();
  void watch(TranscriptGroup* group);
  void flushChanges();

  ModelContext& m_context;
  LibraryActions& m_actions;
  QList<QPointer<TranscriptGroup>> m_rows;
  QList<QPointer<TranscriptGroup>> m_changed;
};

}  // namespace parlowvista
