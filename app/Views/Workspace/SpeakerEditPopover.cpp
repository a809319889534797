#include "Views/Workspace/SpeakerEditPopover.h"

#include "Views/Common/ColorContrast.h"
#include "Views/Common/Divider.h"
#include "Views/Common/Icons.h"
#include "Views/Common/SheetPlacement.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Workspace/WorkspaceStyle.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace parlowvista {

QList<Speaker> SpeakerEditPopover::otherSpeakers(const QList<Speaker>& all, qint64 currentSpeakerId) {
  QList<Speaker> out;
  for (const auto& s : all) {
    if (s.speakerId != currentSpeakerId) out << s;
  }
  return out;
}

SpeakerEditPopover::SpeakerEditPopover(qint64 currentSpeakerId, const QString& currentName,
                                       const QList<Speaker>& allSpeakers, bool applyToThisOnly, QWidget* parent)
    : QFrame(parent, Qt::Popup),
      m_currentSpeakerId(currentSpeakerId),
      m_currentName(currentName),
      m_others(otherSpeakers(allSpeakers, currentSpeakerId)) {
  setFrameShape(QFrame::StyledPanel);
  setAccessibleName("Edit Speaker");
  setFixedWidth(280);
  // Opened below a row's badge, which may sit near the bottom of the screen.
  keepOnScreen(this);
  auto* layout = new QVBoxLayout(this);
  layout->setSpacing(12);

  auto* title = new QLabel("Edit Speaker", this);
  QFont headline = font();
  headline.setBold(true);
  title->setFont(headline);
  layout->addWidget(title);
  layout->addWidget(new Divider(this));

  auto* rename = new QVBoxLayout;
  rename->setSpacing(4);
  rename->addWidget(captionLabel("Name:", this));
  auto* nameRow = new QHBoxLayout;
  m_name = new QLineEdit(currentName, this);
  m_name->setPlaceholderText("Speaker name");
  m_name->setAccessibleName("Speaker name");
  m_save = new QPushButton("Save", this);
  // Return in the name field saves nothing; the button never acts as a default button.
  m_save->setAutoDefault(false);
  m_save->setDefault(false);
  nameRow->addWidget(m_name, 1);
  nameRow->addWidget(m_save);
  rename->addLayout(nameRow);
  layout->addLayout(rename);
  layout->addWidget(new Divider(this));

  auto* reassign = new QVBoxLayout;
  reassign->setSpacing(8);
  reassign->addWidget(captionLabel("Reassign to:", this));
  for (const auto& s : m_others) {
    auto* b = new QPushButton(this);
    b->setFlat(true);
    b->setCheckable(true);
    b->setAutoDefault(false);
    b->setText(Speaker::displayLabel(s.speakerId, m_others));
    b->setIcon(Icons::icon(workspace::symbolPath("circle.fill"), s.color()));
    b->setIconSize(QSize(10, 10));
    b->setAccessibleName(b->text());
    b->setStyleSheet("text-align: left; padding: 4px 8px;");
    const qint64 id = s.speakerId;
    connect(b, &QPushButton::clicked, this, [this, id] { selectSpeaker(id); });
    m_speakerButtons << b;
    reassign->addWidget(b);
  }
  m_add = new QPushButton("Add New Speaker", this);
  m_add->setFlat(true);
  m_add->setAutoDefault(false);
  workspace::followSymbol(m_add, "plus.circle.fill", [](const QPalette& p) {
    return withContrast(QColor(0x34, 0xC7, 0x59), p.color(QPalette::Window), Theme::textContrast);
  });
  m_add->setAccessibleName("Add New Speaker");
  m_add->setStyleSheet("text-align: left; padding: 4px 8px;");
  reassign->addWidget(m_add);
  m_apply = new QCheckBox("Apply to this segment only", this);
  m_apply->setChecked(applyToThisOnly);
  m_apply->setAccessibleName("Apply to this segment only");
  reassign->addWidget(m_apply);
  m_reassign = new QPushButton(this);
  m_reassign->setAutoDefault(false);
  reassign->addWidget(m_reassign);
  layout->addLayout(reassign);
  layout->addWidget(new Divider(this));
  m_cancel = new QPushButton("Cancel", this);
  m_cancel->setAutoDefault(false);
  m_cancel->setAccessibleName("Cancel");
  layout->addWidget(m_cancel);

  connect(m_name, &QLineEdit::textChanged, this, &SpeakerEditPopover::refresh);
  connect(m_save, &QPushButton::clicked, this, [this] {
    if (canSave()) emit renameRequested(m_name->text());
  });
  connect(m_add, &QPushButton::clicked, this, &SpeakerEditPopover::addNewSpeakerRequested);
  connect(m_apply, &QCheckBox::toggled, this, [this](bool on) {
    refresh();
    emit applyToThisOnlyChanged(on);
  });
  connect(m_reassign, &QPushButton::clicked, this, [this] {
    if (m_selected) emit reassignRequested(*m_selected, !m_apply->isChecked());
  });
  connect(m_cancel, &QPushButton::clicked, this, &SpeakerEditPopover::cancelRequested);
  refresh();
}

bool SpeakerEditPopover::canSave() const {
  const QString text = m_name->text();
  return !text.isEmpty() && text != m_currentName;
}

void SpeakerEditPopover::setApplyToThisOnly(bool value) {
  if (m_apply->isChecked() == value) return;
  QSignalBlocker block(m_apply);
  m_apply->setChecked(value);
  refresh();
}

void SpeakerEditPopover::selectSpeaker(qint64 speakerId) {
  m_selected = speakerId;
  refresh();
}

void SpeakerEditPopover::refresh() {
  m_save->setEnabled(canSave());
  for (int i = 0; i < m_speakerButtons.size(); ++i) {
    m_speakerButtons[i]->setChecked(m_selected && *m_selected == m_others[i].speakerId);
  }
  m_reassign->setVisible(m_selected.has_value());
  m_reassign->setText(m_apply->isChecked() ? "Reassign This Segment" : "Reassign All Segments");
  m_reassign->setAccessibleName(m_reassign->text());
}

void SpeakerEditPopover::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    emit cancelRequested();
    event->accept();
    return;
  }
  // Return in the name field saves nothing (and never reaches a button).
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  QFrame::keyPressEvent(event);
}

}  // namespace parlowvista
