#pragma once

#include "Views/Workspace/SegmentRowDelegate.h"
#include "Views/Workspace/SegmentRowEditor.h"
#include "Views/Workspace/SpeakerEditPopover.h"

#include <QListView>
#include <QPointer>
#include <QTimer>
#include <QUuid>

#include <optional>

class QMenu;
class QPropertyAnimation;

namespace parlowvista {

class SegmentListModel;

// The scrolling list of segment rows. It keeps presentation state only (the one row being
// edited, the open speaker popover, the pending follow-playback scroll) and reports every
// change as an intent naming the segment by id; its owner resolves the id to the segment's
// current index when it acts, so an intent never lands on a row that moved meanwhile.
//
// Editing: one row at a time. A session ends exactly once, by Return (split at the caret),
// Escape (cancel), Backspace at the start (merge with the previous segment), the save or
// cancel button, the focus leaving the field (save), or the re-transcribe button (save, then
// the segment is read again). Saving sends the text only when it differs from the segment's
// text at that moment.
//
// Keys on the current row: Space plays from it (or pauses), Return or F2 edits its text, and
// the menu key or Shift+F10 opens its menu, which then also holds the speaker badge's entries.
class SegmentListView : public QListView {
  Q_OBJECT

 public:
  SegmentListView(SegmentListModel* model, QWidget* parent = nullptr);
  ~SegmentListView() override;

  SegmentListModel* segmentModel() const { return m_model; }
  SegmentRowDelegate* rowDelegate() const { return m_delegate; }

  // Opens the editor on a segment, ending any other session first as a focus loss would.
  void startEditing(const QUuid& id);
  // Ends an open session as a focus loss would (saving a changed text). The window calls it
  // before it replaces the transcript on screen.
  void commitPendingEdit();
  SegmentRowEditor* activeEditor() const { return m_editor; }
  SpeakerEditPopover* speakerPopover() const { return m_popover; }
  void openSpeakerPopover(const QUuid& id);

  // A translation is shown: no editing, no speaker changes, no re-transcription.
  void setReadOnly(bool readOnly);
  bool isReadOnly() const { return m_readOnly; }
  void setCanRetranscribe(bool value);
  void setApplyToThisSegmentOnly(bool value);

  // Follow-playback scroll: every change of the current index cancels the pending scroll;
  // an index inside the list schedules one to that segment after `followDelay` (500 ms),
  // animated over `scrollAnimationDuration` (1.8 s), bringing the row a tenth of the
  // height below the top. A burst of changes scrolls once, to the last one.
  void followCurrentIndex(std::optional<qsizetype> index);
  void setFollowDelay(int milliseconds) { m_followTimer.setInterval(milliseconds); }
  void setScrollAnimationDuration(int milliseconds) { m_animationMs = milliseconds; }
  bool hasPendingFollowScroll() const { return m_followTimer.isActive(); }

  // The two context menus, built for a segment (the caller owns and shows them).
  QMenu* buildSpeakerMenu(const QUuid& id, QWidget* parent);
  QMenu* buildSegmentMenu(const QUuid& id, QWidget* parent);
  // The menu of a row opened from the keyboard (the menu key, Shift+F10): the segment menu,
  // then the speaker menu's entries.
  void showRowMenu(const QModelIndex& index);
  // A part of a row in viewport coordinates (for the tests and the accessibility layer).
  QRect partRect(const QUuid& id, SegmentRowDelegate::Part part) const;

 signals:
  void textChangeRequested(const QUuid& id, const QString& text);
  void splitRequested(const QUuid& id, const QString& text, qint64 position);
  void mergeRequested(const QUuid& id, const QString& text);
  void reassignRequested(const QUuid& id, qint64 speakerId, bool applyToAll);
  // Create a speaker, then move the segment (or all of its speaker's segments) to it.
  void newSpeakerRequested(const QUuid& id, bool applyToAll);
  void renameSpeakerRequested(qint64 speakerId, const QString& name);
  void retranscribeRequested(const QUuid& id);
  void playPauseRequested(const QUuid& id);
  void applyToThisSegmentOnlyChanged(bool value);
  void followScrolled(const QUuid& id);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles) override;

 private:
  void adoptEditor(SegmentRowEditor* editor);
  void describeRows();
  void finishSession(const std::function<void()>& then);
  void runFollowScroll();
  void closePopover();
  QModelIndex indexOf(const QUuid& id) const;
  QUuid idAt(const QModelIndex& index) const;

  SegmentListModel* m_model;
  SegmentRowDelegate* m_delegate;
  QPointer<SegmentRowEditor> m_editor;
  QPointer<SpeakerEditPopover> m_popover;
  bool m_readOnly = false;
  bool m_applyToThisSegmentOnly = true;
  QTimer m_followTimer;
  QUuid m_followId;
  int m_animationMs = 1800;
  QPointer<QPropertyAnimation> m_animation;
  QPoint m_pressPos;
};

}  // namespace parlowvista
