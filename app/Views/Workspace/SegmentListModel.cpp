#include "Views/Workspace/SegmentListModel.h"

#include "Views/Workspace/WorkspaceStyle.h"

namespace parlowvista {

int SegmentListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(m_result.segments.size());
}

QVariant SegmentListModel::data(const QModelIndex& index, int role) const {
  const TranscribedSegment* s = segmentAt(index.row());
  if (!s || index.column() != 0) return {};
  switch (role) {
    case Qt::DisplayRole: return s->text;
    case Qt::AccessibleTextRole:
      return QString("%1, %2: %3").arg(Speaker::displayLabel(s->speakerId, m_speakers), timeRange(*s), s->text);
    case Qt::AccessibleDescriptionRole: return m_rowDescription;
    case SegmentIdRole: return s->id;
    case SpeakerIdRole: return s->speakerId;
    case SpeakerNameRole: return Speaker::displayLabel(s->speakerId, m_speakers);
    case SpeakerColorRole: return workspace::speakerColor(s->speakerId, m_speakers);
    case TimeRangeRole: return timeRange(*s);
    case IsPlayingRole: return m_current == index.row();
    case IsAudioPlayingRole: return m_audioPlaying;
    case IsRetranscribingRole: return m_retranscribing == index.row();
    default: return {};
  }
}

QString SegmentListModel::timeRange(const TranscribedSegment& segment) {
  return TranscribedSegment::formatTimestamp(segment.startTime) + QString(" \u2192 ") +
         TranscribedSegment::formatTimestamp(segment.endTime);
}

const TranscribedSegment* SegmentListModel::segmentAt(int row) const {
  if (row < 0 || row >= m_result.segments.size()) return nullptr;
  return &m_result.segments[row];
}

std::optional<int> SegmentListModel::rowOf(const QUuid& id) const {
  const auto it = m_rows.constFind(id);
  if (it == m_rows.constEnd()) return std::nullopt;
  return *it;
}

void SegmentListModel::rebuildRows() {
  m_rows.clear();
  m_rows.reserve(m_result.segments.size());
  for (int i = 0; i < m_result.segments.size(); ++i) m_rows.insert(m_result.segments[i].id, i);
}

void SegmentListModel::setResult(const TranscriptionResult& result) {
  const auto& before = m_result.segments;
  const auto& after = result.segments;
  const qsizetype n = before.size();
  const qsizetype m = after.size();

  // The first place where the identities part.
  qsizetype first = 0;
  while (first < std::min(n, m) && before[first].id == after[first].id) ++first;

  auto sameIds = [&](qsizetype fromBefore, qsizetype fromAfter) {
    for (qsizetype i = fromBefore, j = fromAfter; i < n && j < m; ++i, ++j) {
      if (before[i].id != after[j].id) return false;
    }
    return true;
  };

  if (n == m && first == n) {
    // Same rows: only their contents may differ.
    qsizetype lo = -1, hi = -1;
    for (qsizetype i = 0; i < n; ++i) {
      if (!(before[i] == after[i])) {
        if (lo < 0) lo = i;
        hi = i;
      }
    }
    m_result = result;
    if (lo >= 0) emit dataChanged(index(int(lo)), index(int(hi)));
    return;
  }
  if (m == n + 1 && sameIds(first, first + 1)) {
    beginInsertRows({}, int(first), int(first));
    m_result = result;
    rebuildRows();
    endInsertRows();
    if (first > 0) emit dataChanged(index(int(first - 1)), index(int(first - 1)));
    return;
  }
  if (n == m + 1 && sameIds(first + 1, first)) {
    beginRemoveRows({}, int(first), int(first));
    m_result = result;
    rebuildRows();
    endRemoveRows();
    if (first > 0) emit dataChanged(index(int(first - 1)), index(int(first - 1)));
    return;
  }
  beginResetModel();
  m_result = result;
  rebuildRows();
  endResetModel();
}

void SegmentListModel::setSpeakers(const QList<Speaker>& speakers) {
  if (speakers == m_speakers) return;
  m_speakers = speakers;
  if (!m_result.segments.isEmpty())
    emit dataChanged(index(0), index(int(m_result.segments.size() - 1)),
                     {SpeakerNameRole, SpeakerColorRole, Qt::AccessibleTextRole});
}

void SegmentListModel::setRowDescription(const QString& description) {
  if (description == m_rowDescription) return;
  m_rowDescription = description;
  if (!m_result.segments.isEmpty())
    emit dataChanged(index(0), index(int(m_result.segments.size() - 1)), {Qt::AccessibleDescriptionRole});
}

void SegmentListModel::touchRow(std::optional<qsizetype> row, int role) {
  if (row && *row >= 0 && *row < m_result.segments.size()) emit dataChanged(index(int(*row)), index(int(*row)), {role});
}

void SegmentListModel::setCurrentIndex(std::optional<qsizetype> row) {
  if (row == m_current) return;
  const auto previous = m_current;
  m_current = row;
  touchRow(previous, IsPlayingRole);
  touchRow(row, IsPlayingRole);
}

void SegmentListModel::setAudioPlaying(bool playing) {
  if (playing == m_audioPlaying) return;
  m_audioPlaying = playing;
  touchRow(m_current, IsAudioPlayingRole);
}

void SegmentListModel::setRetranscribingIndex(std::optional<qsizetype> row) {
  if (row == m_retranscribing) return;
  const auto previous = m_retranscribing;
  m_retranscribing = row;
  touchRow(previous, IsRetranscribingRole);
  touchRow(row, IsRetranscribingRole);
}

}  // namespace parlowvista
