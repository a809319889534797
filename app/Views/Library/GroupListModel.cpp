#include "Views/Library/GroupListModel.h"

#include "Models/TranscriptGroup.h"
#include "Services/LibraryActions.h"
#include "Store/ModelContext.h"

#include <QDataStream>
#include <QIODevice>
#include <QMimeData>

#include <utility>

namespace parlowvista {

namespace {
const QString kRowsMime = QStringLiteral("application/x-parlowvista-group-rows");
}

GroupListModel::GroupListModel(ModelContext& context, LibraryActions& actions, QObject* parent)
    : QAbstractListModel(parent), m_context(context), m_actions(actions) {
  for (TranscriptGroup* group : m_actions.groups()) {
    m_rows << group;
    watch(group);
  }
  connect(&m_context, &ModelContext::objectsChanged, this, &GroupListModel::sync);
}

void GroupListModel::watch(TranscriptGroup* group) {
  // A rename writes the name and the time of the change: the row is told once, on the next
  // event-loop turn, for everything that changed in this one.
  connect(group, &PersistentModel::changed, this, [this, group] {
    if (!m_changed.contains(group)) m_changed << group;
    if (m_changed.size() == 1) QMetaObject::invokeMethod(this, &GroupListModel::flushChanges, Qt::QueuedConnection);
  });
}

void GroupListModel::flushChanges() {
  const QList<QPointer<TranscriptGroup>> changed = std::exchange(m_changed, {});
  for (const QPointer<TranscriptGroup>& group : changed) {
    const int row = rowOf(group);
    if (group && row >= 0) emit dataChanged(index(row), index(row));
  }
}

void GroupListModel::sync() {
  const QList<TranscriptGroup*> wanted = m_actions.groups();
  // Removals first, from the end so rows stay valid.
  for (int row = int(m_rows.size()) - 1; row >= 0; --row) {
    if (!m_rows[row] || !wanted.contains(m_rows[row].data())) {
      beginRemoveRows({}, row, row);
      m_rows.removeAt(row);
      endRemoveRows();
    }
  }
  // Then each wanted group into place: a move when it is listed further down, else an insert.
  for (int target = 0; target < wanted.size(); ++target) {
    TranscriptGroup* group = wanted[target];
    if (target < m_rows.size() && m_rows[target] == group) continue;
    int found = -1;
    for (int row = target + 1; row < m_rows.size(); ++row) {
      if (m_rows[row] == group) {
        found = row;
        break;
      }
    }
    if (found >= 0) {
      beginMoveRows({}, found, found, {}, target);
      m_rows.move(found, target);
      endMoveRows();
    } else {
      beginInsertRows({}, target, target);
      m_rows.insert(target, group);
      endInsertRows();
      watch(group);
    }
  }
}

int GroupListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(m_rows.size());
}

TranscriptGroup* GroupListModel::groupAt(int row) const {
  return row >= 0 && row < m_rows.size() ? m_rows[row].data() : nullptr;
}

int GroupListModel::rowOf(const TranscriptGroup* group) const {
  for (int row = 0; row < m_rows.size(); ++row) {
    if (m_rows[row] == group) return row;
  }
  return -1;
}

QVariant GroupListModel::data(const QModelIndex& index, int role) const {
  TranscriptGroup* group = groupAt(index.row());
  if (!group) return {};
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
    case Qt::AccessibleTextRole: return group->name();
    case GroupRole: return QVariant::fromValue(static_cast<QObject*>(group));
    case SourceCountRole: return int(group->audioSources().size());
    default: return {};
  }
}

bool GroupListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole) return false;
  return m_actions.renameGroup(groupAt(index.row()), value.toString());
}

Qt::ItemFlags GroupListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::ItemIsDropEnabled;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsDragEnabled;
}

QStringList GroupListModel::mimeTypes() const {
  return {kRowsMime};
}

QMimeData* GroupListModel::mimeData(const QModelIndexList& indexes) const {
  QByteArray encoded;
  QDataStream stream(&encoded, QIODevice::WriteOnly);
  for (const QModelIndex& index : indexes) stream << index.row();
  auto* data = new QMimeData;
  data->setData(kRowsMime, encoded);
  return data;
}

bool GroupListModel::canDropMimeData(const QMimeData* data, Qt::DropAction action, int, int, const QModelIndex&) const {
  return action == Qt::MoveAction && data && data->hasFormat(kRowsMime);
}

bool GroupListModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                                  const QModelIndex& parent) {
  if (!canDropMimeData(data, action, row, column, parent)) return false;
  QByteArray encoded = data->data(kRowsMime);
  QDataStream stream(&encoded, QIODevice::ReadOnly);
  QList<int> rows;
  while (!stream.atEnd()) {
    int value = 0;
    stream >> value;
    rows << value;
  }
  // Dropped onto a row means before it; below the last row means the end.
  const int destination = row >= 0 ? row : (parent.isValid() ? parent.row() : rowCount());
  m_actions.moveGroups(rows, destination);
  // The store has already reordered the rows; returning false stops the view from removing
  // the dragged rows a second time.
  return false;
}

bool GroupListModel::moveRows(const QModelIndex& sourceParent, int sourceRow, int count,
                              const QModelIndex& destinationParent, int destinationChild) {
  if (sourceParent.isValid() || destinationParent.isValid() || count <= 0) return false;
  if (sourceRow < 0 || sourceRow + count > rowCount()) return false;
  QList<int> rows;
  for (int i = 0; i < count; ++i) rows << sourceRow + i;
  m_actions.moveGroups(rows, destinationChild);
  return true;
}

}  // namespace parlowvista
