#pragma once

#include <QUuid>
#include <QWidget>

class QLabel;
class QToolButton;

namespace parlowvista {

class InlineTextEditor;

// What a segment row shows right of its speaker badge while the row is edited: the time
// range over the inline text editor, then the re-transcribe, save and cancel buttons. It
// belongs to one editing session of one segment, named by id; every signal carries that id
// and is sent at most once per session, whichever of the editor's keys, its focus loss or
// the two buttons ends it first.
class SegmentRowEditor : public QWidget {
  Q_OBJECT

 public:
  SegmentRowEditor(const QUuid& segmentId, const QString& text, const QString& timeRange, bool canRetranscribe,
                   QWidget* parent = nullptr);

  QUuid segmentId() const { return m_segmentId; }
  InlineTextEditor* editor() const { return m_editor; }
  QToolButton* saveButton() const { return m_save; }
  QToolButton* cancelButton() const { return m_cancel; }
  QToolButton* retranscribeButton() const { return m_retranscribe; }
  bool hasEnded() const;
  // Height the row needs for this editor, given the time line above it.
  int preferredHeight() const;
  void setCanRetranscribe(bool enabled);

 signals:
  // The session's one ending. `saved` carries the editor's text when the user saved or the
  // focus left (the row compares it with the segment's text at that moment).
  void saved(const QUuid& id, const QString& text);
  void cancelled(const QUuid& id);
  void splitRequested(const QUuid& id, const QString& text, qint64 position);
  void mergeRequested(const QUuid& id, const QString& text);
  void retranscribeRequested(const QUuid& id);
  void preferredHeightChanged();

 private:
  QUuid m_segmentId;
  QLabel* m_time = nullptr;
  InlineTextEditor* m_editor = nullptr;
  QToolButton* m_retranscribe = nullptr;
  QToolButton* m_save = nullptr;
  QToolButton* m_cancel = nullptr;
};

}  // namespace parlowvista
