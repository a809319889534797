#include "Views/Workspace/SpeakersPanel.h"

#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Workspace/SpeakerRowView.h"
#include "Views/Workspace/WorkspaceStyle.h"

#include <QBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace parlowvista {

SpeakersPanel::SpeakersPanel(TranscriptionViewModel& viewModel, QWidget* parent)
    : QGroupBox("Speakers", parent), m_vm(viewModel) {
  setAccessibleName("Speakers");
  auto* column = new QVBoxLayout(this);
  column->setSpacing(8);
  m_empty = captionLabel("No speakers detected", this);
  column->addWidget(m_empty);
  m_list = new QVBoxLayout;
  m_list->setSpacing(8);
  column->addLayout(m_list);
  m_add = new QPushButton("Add Speaker", this);
  workspace::followSymbol(
      m_add, "plus", [](const QPalette& p) { return p.color(QPalette::ButtonText); }, 12);
  m_add->setFont(captionFont(font()));
  m_add->setAutoDefault(false);
  m_add->setAccessibleName("Add Speaker");
  column->addWidget(m_add);
  connect(m_add, &QPushButton::clicked, this, [this] { m_vm.addNewSpeaker(); });
  connect(&m_vm, &TranscriptionViewModel::speakersChanged, this, &SpeakersPanel::sync);
  // The statistics follow the result; the playback position is not watched at all.
  connect(&m_vm, &TranscriptionViewModel::stateChanged, this, &SpeakersPanel::sync);
  // Another tab lists its own speakers. A translation's tab is read-only: its rows cannot be
  // renamed there, nor a speaker added.
  connect(&m_vm, &TranscriptionViewModel::activeTabChanged, this, &SpeakersPanel::sync);
  sync();
}

QList<SpeakerRowView*> SpeakersPanel::rowsInOrder() const {
  QList<SpeakerRowView*> out;
  for (int i = 0; i < m_list->count(); ++i) {
    if (auto* row = qobject_cast<SpeakerRowView*>(m_list->itemAt(i)->widget())) out << row;
  }
  return out;
}

void SpeakersPanel::sync() {
  // The tab shown: a translation's own speakers and shares, as its header and export count them.
  const QList<Speaker> speakers = m_vm.activeSpeakers();
  const bool editable = m_vm.activeTab().isOriginal();
  // A name typed there would be dropped by the view model: the field closes unsaved.
  if (!editable) m_editingId.reset();
  QSet<qint64> live;
  int position = 0;
  for (const Speaker& s : speakers) {
    if (live.contains(s.speakerId)) continue;
    live.insert(s.speakerId);
    SpeakerRowView* row = m_rows.value(s.speakerId);
    if (!row) {
      row = new SpeakerRowView(this);
      const qint64 id = s.speakerId;
      connect(row, &SpeakerRowView::startEditRequested, this, [this, id] { startEditing(id); });
      connect(row, &SpeakerRowView::endEditRequested, this,
              [this, id](bool save, const QString& text) { endEditing(id, save, text); });
      m_rows.insert(id, row);
    }
    if (m_list->indexOf(row) != position) {
      m_list->removeWidget(row);
      m_list->insertWidget(position, row);
    }
    ++position;
    const auto stats = m_vm.speakerStats(s.speakerId);
    row->setSpeaker(s, stats.segmentCount, stats.totalDuration);
    row->setEditing(m_editingId == s.speakerId, row->nameField()->text());
    row->setRenamable(editable);
    row->show();
  }
  for (auto it = m_rows.begin(); it != m_rows.end();) {
    if (!live.contains(it.key())) {
      m_list->removeWidget(it.value());
      it.value()->hide();
      it.value()->deleteLater();
      it = m_rows.erase(it);
    } else {
      ++it;
    }
  }
  m_empty->setVisible(speakers.isEmpty());
  m_add->setEnabled(m_vm.state().kind() == ProcessingState::Kind::completed && editable);
}

void SpeakersPanel::startEditing(qint64 speakerId) {
  // Another row's field closes; its typed text is dropped without a rename.
  if (m_editingId && m_editingId != speakerId) {
    if (auto* old = m_rows.value(*m_editingId)) old->setEditing(false);
  }
  m_editingId = speakerId;
  if (auto* row = m_rows.value(speakerId)) {
    row->setEditing(false);
    row->setEditing(true, row->nameLabel()->text());
  }
}

void SpeakersPanel::endEditing(qint64 speakerId, bool save, const QString& text) {
  if (m_editingId != speakerId) return;
  m_editingId.reset();
  if (auto* row = m_rows.value(speakerId)) row->setEditing(false);
  if (save && !text.isEmpty()) m_vm.renameSpeaker(speakerId, text);
}

}  // namespace parlowvista
