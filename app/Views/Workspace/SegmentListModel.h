#pragma once

#include "Models/Speaker.h"
#include "Models/TranscriptionResult.h"

#include <QAbstractListModel>
#include <QHash>
#include <QUuid>

#include <optional>

namespace parlowvista {

// The rows of the results list: the shown result's segments with their speaker labels and
// the playback and re-transcription marks. A presentation copy only; every change of data
// goes through the view model, which publishes the new result here.
//
// Updates are diffed so that the list keeps its scroll position and open editor: equal
// segment lists change nothing, a text edit changes one row, a split inserts and a merge
// removes one row; anything else resets the model.
class SegmentListModel : public QAbstractListModel {
  Q_OBJECT

 public:
  enum Role {
    SegmentIdRole = Qt::UserRole + 1,
    SpeakerIdRole,
    SpeakerNameRole,
    SpeakerColorRole,
    TimeRangeRole,
    IsPlayingRole,
    IsAudioPlayingRole,
    IsRetranscribingRole,
  };

  using QAbstractListModel::QAbstractListModel;

  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  // Rows are editable through their delegate's editor; the edit itself goes to the view model.
  Qt::ItemFlags flags(const QModelIndex& index) const override {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsEditable : Qt::NoItemFlags;
  }

  void setResult(const TranscriptionResult& result);
  void setSpeakers(const QList<Speaker>& speakers);
  void setCurrentIndex(std::optional<qsizetype> index);
  void setAudioPlaying(bool playing);
  void setRetranscribingIndex(std::optional<qsizetype> index);
  // What every row's controls do and their keys, as assistive technology reads it.
  void setRowDescription(const QString& description);

  const TranscriptionResult& result() const { return m_result; }
  const QList<Speaker>& speakers() const { return m_speakers; }
  std::optional<qsizetype> currentIndex() const { return m_current; }
  // The segment at a row; null outside the list.
  const TranscribedSegment* segmentAt(int row) const;
  // The row of a segment id, resolved now; nothing when no segment has it.
  std::optional<int> rowOf(const QUuid& id) const;

  // " → " between the two timestamps.
  static QString timeRange(const TranscribedSegment& segment);

 private:
  void rebuildRows();
  // Tells the views that `role` of a row changed.
  void touchRow(std::optional<qsizetype> row, int role);

  TranscriptionResult m_result;
  QList<Speaker> m_speakers;
  QHash<QUuid, int> m_rows;
  std::optional<qsizetype> m_current;
  std::optional<qsizetype> m_retranscribing;
  bool m_audioPlaying = false;
  QString m_rowDescription;
};

}  // namespace parlowvista
