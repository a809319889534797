#include "Views/Workspace/SegmentRowEditor.h"

#include "Views/Common/ThemedLabel.h"
#include "Views/Workspace/InlineTextEditor.h"
#include "Views/Workspace/WorkspaceStyle.h"

#include <QBoxLayout>
#include <QLabel>
#include <QToolButton>

namespace parlowvista {

namespace {

QToolButton* rowButton(QWidget* parent, const QString& symbol, const workspace::PaletteColour& colour,
                       const QString& tip) {
  auto* b = new QToolButton(parent);
  b->setAutoRaise(true);
  workspace::followSymbol(b, symbol, colour, 16);
  b->setToolTip(tip);
  b->setAccessibleName(tip);
  // Tab reaches the button, a click does not take the focus from the text field, so clicking
  // it is not also a focus-loss commit.
  b->setFocusPolicy(Qt::TabFocus);
  return b;
}

}  // namespace

SegmentRowEditor::SegmentRowEditor(const QUuid& segmentId, const QString& text, const QString& timeRange,
                                   bool canRetranscribe, QWidget* parent)
    : QWidget(parent), m_segmentId(segmentId) {
  setAutoFillBackground(false);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(12);
  auto* column = new QVBoxLayout;
  column->setSpacing(4);
  m_time = captionLabel(timeRange, this);
  m_time->setFont(monospacedCaptionFont(font()));
  m_editor = new InlineTextEditor(text, this);
  column->addWidget(m_time);
  column->addWidget(m_editor, 1);
  row->addLayout(column, 1);

  m_retranscribe = rowButton(this, "arrow.clockwise", workspace::secondaryText, "Re-transcribe this segment");
  m_retranscribe->setEnabled(canRetranscribe);
  m_save = rowButton(this, "checkmark", workspace::accentColor, "Save changes");
  m_cancel = rowButton(this, "xmark", workspace::secondaryText, "Cancel editing");
  for (auto* b : {m_retranscribe, m_save, m_cancel}) row->addWidget(b, 0, Qt::AlignTop);
  setFocusProxy(m_editor);

  connect(m_editor, &InlineTextEditor::splitRequested, this,
          [this](const QString& t, qint64 p) { emit splitRequested(m_segmentId, t, p); });
  connect(m_editor, &InlineTextEditor::mergeRequested, this,
          [this](const QString& t) { emit mergeRequested(m_segmentId, t); });
  connect(m_editor, &InlineTextEditor::cancelled, this, [this] { emit cancelled(m_segmentId); });
  connect(m_editor, &InlineTextEditor::committed, this, [this](const QString& t) { emit saved(m_segmentId, t); });
  connect(m_editor, &InlineTextEditor::preferredHeightChanged, this, &SegmentRowEditor::preferredHeightChanged);
  connect(m_save, &QToolButton::clicked, this, [this] {
    if (m_editor->hasEnded()) return;
    m_editor->markEnded();
    emit saved(m_segmentId, m_editor->toPlainText());
  });
  connect(m_cancel, &QToolButton::clicked, this, [this] {
    if (m_editor->hasEnded()) return;
    m_editor->markEnded();
    emit cancelled(m_segmentId);
  });
  connect(m_retranscribe, &QToolButton::clicked, this, [this] { emit retranscribeRequested(m_segmentId); });
}

bool SegmentRowEditor::hasEnded() const {
  return m_editor->hasEnded();
}

int SegmentRowEditor::preferredHeight() const {
  return m_time->sizeHint().height() + 4 + m_editor->preferredHeight();
}

void SegmentRowEditor::setCanRetranscribe(bool enabled) {
  m_retranscribe->setEnabled(enabled);
}

}  // namespace parlowvista
