#include "Views/Workspace/SegmentListView.h"

#include "Views/Common/Icons.h"
#include "Views/Workspace/InlineTextEditor.h"
#include "Views/Workspace/SegmentListModel.h"
#include "Views/Workspace/SegmentRowEditor.h"
#include "Views/Workspace/SpeakerEditPopover.h"
#include "Views/Workspace/WorkspaceStyle.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPropertyAnimation>
#include <QScrollBar>

#include <algorithm>

namespace parlowvista {

SegmentListView::SegmentListView(SegmentListModel* model, QWidget* parent)
    : QListView(parent), m_model(model), m_delegate(new SegmentRowDelegate(this)) {
  setModel(model);
  setItemDelegate(m_delegate);
  setAccessibleName("Transcript segments");
  setSelectionMode(QAbstractItemView::NoSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setResizeMode(QListView::Adjust);
  setLayoutMode(QListView::Batched);
  setBatchSize(200);
  setSpacing(4);
  setMouseTracking(false);
  setFrameShape(QFrame::NoFrame);
  m_followTimer.setSingleShot(true);
  m_followTimer.setInterval(500);
  connect(&m_followTimer, &QTimer::timeout, this, &SegmentListView::runFollowScroll);
  connect(m_delegate, &SegmentRowDelegate::editorCreated, this, &SegmentListView::adoptEditor);
  describeRows();
}

void SegmentListView::describeRows() {
  // The painted buttons are no widgets of their own: the row says what each does and its key.
  m_model->setRowDescription(
      m_readOnly ? QStringLiteral("Play from here: Space.")
                 : QStringLiteral("Play from here: Space. Edit text: Return. Re-transcribe this segment, edit "
                                  "speaker or reassign: the menu key."));
}

SegmentListView::~SegmentListView() {
  // An editor still open here has nobody left to commit to: the list's owner commits it before
  // it goes. Its field loses the focus as the widgets go, and what it would then send must not
  // reach a list that is being taken apart.
  if (SegmentRowEditor* editor = m_editor) {
    m_editor = nullptr;
    editor->editor()->markEnded();
    disconnect(editor, nullptr, this, nullptr);
  }
}

QModelIndex SegmentListView::indexOf(const QUuid& id) const {
  const auto row = m_model->rowOf(id);
  return row ? m_model->index(*row) : QModelIndex();
}

QUuid SegmentListView::idAt(const QModelIndex& index) const {
  return index.data(SegmentListModel::SegmentIdRole).toUuid();
}

QRect SegmentListView::partRect(const QUuid& id, SegmentRowDelegate::Part part) const {
  const QModelIndex index = indexOf(id);
  if (!index.isValid()) return {};
  const auto g = m_delegate->geometry(visualRect(index), index);
  switch (part) {
    case SegmentRowDelegate::Part::play: return g.play;
    case SegmentRowDelegate::Part::badge: return g.badge;
    case SegmentRowDelegate::Part::text: return g.body;
    case SegmentRowDelegate::Part::retranscribe: return g.retranscribe;
    case SegmentRowDelegate::Part::edit: return g.edit;
    case SegmentRowDelegate::Part::none: break;
  }
  return g.frame;
}

void SegmentListView::setReadOnly(bool readOnly) {
  if (readOnly == m_readOnly) return;
  if (readOnly) {
    commitPendingEdit();
    closePopover();
  }
  m_readOnly = readOnly;
  m_delegate->setReadOnly(readOnly);
  describeRows();
  viewport()->update();
}

void SegmentListView::setCanRetranscribe(bool value) {
  if (value == m_delegate->canRetranscribe()) return;
  m_delegate->setCanRetranscribe(value);
  if (m_editor) m_editor->setCanRetranscribe(value);
  viewport()->update();
}

void SegmentListView::setApplyToThisSegmentOnly(bool value) {
  m_applyToThisSegmentOnly = value;
  if (m_popover) m_popover->setApplyToThisOnly(value);
}

// ---- editing ------------------------------------------------------------------------

void SegmentListView::startEditing(const QUuid& id) {
  if (m_readOnly) return;
  const QModelIndex index = indexOf(id);
  if (!index.isValid() || index.data(SegmentListModel::IsRetranscribingRole).toBool()) return;
  if (m_editor && m_editor->segmentId() == id) return;
  commitPendingEdit();
  setCurrentIndex(index);
  edit(index);
  if (m_editor) {
    m_editor->setFocus(Qt::OtherFocusReason);
    m_delegate->rowHeightChanged(index);
  }
}

void SegmentListView::commitPendingEdit() {
  if (!m_editor || m_editor->hasEnded()) return;
  InlineTextEditor* field = m_editor->editor();
  field->markEnded();
  const QUuid id = m_editor->segmentId();
  const QString text = field->toPlainText();
  finishSession([this, id, text] {
    const auto row = m_model->rowOf(id);
    if (row && m_model->segmentAt(*row)->text != text) emit textChangeRequested(id, text);
  });
}

void SegmentListView::adoptEditor(SegmentRowEditor* editor) {
  m_editor = editor;
  m_delegate->setEditingRow(editor->segmentId(), editor);
  connect(editor, &SegmentRowEditor::saved, this, [this](const QUuid& id, const QString& text) {
    finishSession([this, id, text] {
      const auto row = m_model->rowOf(id);
      if (row && m_model->segmentAt(*row)->text != text) emit textChangeRequested(id, text);
    });
  });
  connect(editor, &SegmentRowEditor::cancelled, this, [this](const QUuid&) { finishSession({}); });
  connect(editor, &SegmentRowEditor::splitRequested, this, [this](const QUuid& id, const QString& text, qint64 pos) {
    finishSession([this, id, text, pos] { emit splitRequested(id, text, pos); });
  });
  connect(editor, &SegmentRowEditor::mergeRequested, this, [this](const QUuid& id, const QString& text) {
    finishSession([this, id, text] { emit mergeRequested(id, text); });
  });
  // The text is read again: the session ends first (keeping what was typed), so the editor's
  // text can never go back over what the recogniser brings.
  connect(editor, &SegmentRowEditor::retranscribeRequested, this, [this](const QUuid& id) {
    commitPendingEdit();
    emit retranscribeRequested(id);
  });
  connect(editor, &SegmentRowEditor::preferredHeightChanged, this, [this, editor] {
    const QModelIndex index = indexOf(editor->segmentId());
    if (index.isValid()) m_delegate->rowHeightChanged(index);
  });
}

void SegmentListView::finishSession(const std::function<void()>& then) {
  SegmentRowEditor* editor = m_editor;
  if (!editor) return;
  const QUuid id = editor->segmentId();
  // Close first: the focus returning to the list must find the session already over.
  m_editor = nullptr;
  m_delegate->setEditingRow({}, nullptr);
  closeEditor(editor, QAbstractItemDelegate::NoHint);
  setFocus(Qt::OtherFocusReason);
  if (then) then();
  const QModelIndex index = indexOf(id);
  if (index.isValid()) m_delegate->rowHeightChanged(index);
}

// ---- popover and menus --------------------------------------------------------------

void SegmentListView::closePopover() {
  if (m_popover) {
    m_popover->hide();
    m_popover->deleteLater();
  }
  m_popover = nullptr;
}

void SegmentListView::openSpeakerPopover(const QUuid& id) {
  if (m_readOnly) return;
  const QModelIndex index = indexOf(id);
  if (!index.isValid()) return;
  closePopover();
  const qint64 speakerId = index.data(SegmentListModel::SpeakerIdRole).toLongLong();
  auto* popover = new SpeakerEditPopover(speakerId, index.data(SegmentListModel::SpeakerNameRole).toString(),
                                         m_model->speakers(), m_applyToThisSegmentOnly, this);
  m_popover = popover;
  connect(popover, &SpeakerEditPopover::renameRequested, this, [this, speakerId](const QString& name) {
    closePopover();
    emit renameSpeakerRequested(speakerId, name);
  });
  connect(popover, &SpeakerEditPopover::reassignRequested, this, [this, id](qint64 target, bool all) {
    closePopover();
    emit reassignRequested(id, target, all);
  });
  connect(popover, &SpeakerEditPopover::addNewSpeakerRequested, this, [this, id, popover] {
    const bool all = !popover->applySwitch()->isChecked();
    closePopover();
    emit newSpeakerRequested(id, all);
  });
  connect(popover, &SpeakerEditPopover::cancelRequested, this, &SegmentListView::closePopover);
  connect(popover, &SpeakerEditPopover::applyToThisOnlyChanged, this, [this](bool on) {
    m_applyToThisSegmentOnly = on;
    emit applyToThisSegmentOnlyChanged(on);
  });
  const QRect badge = m_delegate->geometry(visualRect(index), index).badge;
  popover->adjustSize();
  popover->move(viewport()->mapToGlobal(badge.bottomLeft() + QPoint(0, 4)));
  popover->show();
  popover->nameField()->setFocus(Qt::PopupFocusReason);
}

QMenu* SegmentListView::buildSpeakerMenu(const QUuid& id, QWidget* parent) {
  auto* menu = new QMenu(parent);
  const QModelIndex index = indexOf(id);
  if (!index.isValid() || m_readOnly) return menu;
  const qint64 speakerId = index.data(SegmentListModel::SpeakerIdRole).toLongLong();
  menu->addAction("Rename Speaker...", this, [this, id] { openSpeakerPopover(id); });
  menu->addSeparator();
  const auto others = SpeakerEditPopover::otherSpeakers(m_model->speakers(), speakerId);
  for (bool all : {false, true}) {
    QMenu* sub = menu->addMenu(all ? "Reassign ALL to" : "Reassign to");
    for (const auto& s : others) {
      const qint64 target = s.speakerId;
      sub->addAction(Speaker::displayLabel(target, others), this,
                     [this, id, target, all] { emit reassignRequested(id, target, all); });
    }
    sub->addSeparator();
    sub->addAction("New Speaker...", this, [this, id, all] { emit newSpeakerRequested(id, all); });
  }
  return menu;
}

QMenu* SegmentListView::buildSegmentMenu(const QUuid& id, QWidget* parent) {
  auto* menu = new QMenu(parent);
  const QColor secondary = workspace::secondaryText(palette());
  const auto symbol = [&secondary](const char* name) { return Icons::icon(workspace::symbolPath(name), secondary); };
  menu->addAction(symbol("play.fill"), "Play from here", this, [this, id] { emit playPauseRequested(id); });
  menu->addSeparator();
  QAction* again = menu->addAction(symbol("arrow.clockwise"), "Re-transcribe Segment", this,
                                   [this, id] { emit retranscribeRequested(id); });
  again->setEnabled(m_delegate->canRetranscribe() && !m_readOnly);
  menu->addSeparator();
  QAction* editText = menu->addAction(symbol("pencil"), "Edit Text", this, [this, id] { startEditing(id); });
  editText->setEnabled(!m_readOnly);
  return menu;
}

// ---- input --------------------------------------------------------------------------

void SegmentListView::mousePressEvent(QMouseEvent* event) {
  m_pressPos = event->pos();
  const QModelIndex index = indexAt(event->pos());
  if (index.isValid()) {
    // The pressed row stays where it is. Scrolled into view on the press, a row shown only in
    // part at the bottom moved away from under the pointer, and the release missed the button
    // it was pressed on.
    const bool autoScrolling = hasAutoScroll();
    setAutoScroll(false);
    setCurrentIndex(index);
    setAutoScroll(autoScrolling);
  }
  setFocus(Qt::MouseFocusReason);
  event->accept();
}

void SegmentListView::mouseReleaseEvent(QMouseEvent* event) {
  event->accept();
  if (event->button() != Qt::LeftButton) return;
  const QModelIndex index = indexAt(event->pos());
  if (!index.isValid() || index != indexAt(m_pressPos)) return;
  const QUuid id = idAt(index);
  const bool retranscribing = index.data(SegmentListModel::IsRetranscribingRole).toBool();
  switch (m_delegate->hit(visualRect(index), index, event->pos())) {
    case SegmentRowDelegate::Part::play: emit playPauseRequested(id); break;
    case SegmentRowDelegate::Part::badge: openSpeakerPopover(id); break;
    case SegmentRowDelegate::Part::retranscribe:
      if (m_delegate->canRetranscribe() && !retranscribing && !m_readOnly) emit retranscribeRequested(id);
      break;
    case SegmentRowDelegate::Part::edit: startEditing(id); break;
    default: break;
  }
}

void SegmentListView::mouseDoubleClickEvent(QMouseEvent* event) {
  event->accept();
  const QModelIndex index = indexAt(event->pos());
  if (!index.isValid()) return;
  if (m_delegate->hit(visualRect(index), index, event->pos()) == SegmentRowDelegate::Part::text)
    startEditing(idAt(index));
}

void SegmentListView::keyPressEvent(QKeyEvent* event) {
  const QModelIndex index = currentIndex();
  if (index.isValid()) {
    switch (event->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
      case Qt::Key_F2:
        startEditing(idAt(index));
        event->accept();
        return;
      case Qt::Key_Space:
        emit playPauseRequested(idAt(index));
        event->accept();
        return;
      case Qt::Key_Menu:
      case Qt::Key_F10:
        if (event->key() == Qt::Key_F10 && event->modifiers() != Qt::ShiftModifier) break;
        showRowMenu(index);
        event->accept();
        return;
      default: break;
    }
  }
  QListView::keyPressEvent(event);
}

void SegmentListView::showRowMenu(const QModelIndex& index) {
  // From the keyboard the row's one menu holds the badge's entries too: the speaker popover
  // and the reassign menus have no other way in without a mouse.
  const QUuid id = idAt(index);
  if (index.data(SegmentListModel::IsRetranscribingRole).toBool()) return;
  QMenu* menu = buildSegmentMenu(id, this);
  if (!m_readOnly) {
    QMenu* speaker = buildSpeakerMenu(id, menu);
    menu->addSeparator();
    for (QAction* action : speaker->actions()) menu->addAction(action);
  }
  menu->setAttribute(Qt::WA_DeleteOnClose);
  const QRect body = m_delegate->geometry(visualRect(index), index).body;
  menu->popup(viewport()->mapToGlobal(body.topLeft()));
}

void SegmentListView::contextMenuEvent(QContextMenuEvent* event) {
  if (event->reason() != QContextMenuEvent::Mouse) {
    if (currentIndex().isValid()) showRowMenu(currentIndex());
    return;
  }
  QModelIndex index = indexAt(event->pos());
  if (!index.isValid()) return;
  const QUuid id = idAt(index);
  const auto part = m_delegate->hit(visualRect(index), index, event->pos());
  QMenu* menu = nullptr;
  if (part == SegmentRowDelegate::Part::badge)
    menu = buildSpeakerMenu(id, this);
  else if (part == SegmentRowDelegate::Part::text && !index.data(SegmentListModel::IsRetranscribingRole).toBool())
    menu = buildSegmentMenu(id, this);
  if (!menu) return;
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(event->globalPos());
}

void SegmentListView::resizeEvent(QResizeEvent* event) {
  QListView::resizeEvent(event);
  if (m_editor) {
    const QModelIndex index = indexOf(m_editor->segmentId());
    if (index.isValid()) m_delegate->rowHeightChanged(index);
  }
}

void SegmentListView::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles) {
  // The list lays every row out again after any change of data, a batch per turn of the event
  // loop: on a long transcript that is a whole pass over thousands of rows each time playback
  // moves on a row, and a far row has no place until the pass is done. The marks of the playing
  // row and of the one being read again, and what the rows say to a screen reader, leave every
  // row's height as it is: they are only painted again.
  static const QList<int> marks{SegmentListModel::IsPlayingRole, SegmentListModel::IsAudioPlayingRole,
                                SegmentListModel::IsRetranscribingRole, Qt::AccessibleDescriptionRole};
  const bool onlyMarks =
      !roles.isEmpty() && std::all_of(roles.begin(), roles.end(), [](int role) { return marks.contains(role); });
  if (onlyMarks)
    QAbstractItemView::dataChanged(topLeft, bottomRight, roles);
  else
    QListView::dataChanged(topLeft, bottomRight, roles);
}

// ---- follow playback ------------------------------------------------------------------

void SegmentListView::followCurrentIndex(std::optional<qsizetype> index) {
  m_followTimer.stop();
  if (!index || *index < 0 || *index >= m_model->rowCount()) return;
  m_followId = m_model->segmentAt(int(*index))->id;
  m_followTimer.start();
}

void SegmentListView::runFollowScroll() {
  const QModelIndex index = indexOf(m_followId);
  if (!index.isValid()) return;
  executeDelayedItemsLayout();
  const QRect rect = visualRect(index);
  QScrollBar* bar = verticalScrollBar();
  int target = bar->value();
  if (rect.isValid()) {
    target = bar->value() + rect.top() - viewport()->height() / 10;
  } else {
    scrollTo(index, QAbstractItemView::PositionAtTop);
    target = bar->value() - viewport()->height() / 10;
  }
  target = std::clamp(target, bar->minimum(), bar->maximum());
  if (m_animation) m_animation->stop();
  if (m_animationMs <= 0) {
    bar->setValue(target);
  } else {
    auto* animation = new QPropertyAnimation(bar, "value", this);
    animation->setDuration(m_animationMs);
    animation->setEasingCurve(QEasingCurve::OutCubic);
    animation->setStartValue(bar->value());
    animation->setEndValue(target);
    m_animation = animation;
    animation->start(QAbstractAnimation::DeleteWhenStopped);
  }
  emit followScrolled(m_followId);
}

}  // namespace parlowvista
