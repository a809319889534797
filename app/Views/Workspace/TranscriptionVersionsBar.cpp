#include "Views/Workspace/TranscriptionVersionsBar.h"

#include "Models/AudioSource.h"
#include "Models/Transcription.h"
#include "Store/ModelContext.h"
#include "Views/Common/Icons.h"
#include "Views/Common/ScrollFollowsFocus.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Workspace/VersionTab.h"
#include "Views/Workspace/WorkspaceStyle.h"

#include <QBoxLayout>
#include <QDateTime>
#include <QDebug>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScrollArea>
#include <QToolButton>

#include <algorithm>

namespace parlowvista {

TranscriptionVersionsBar::TranscriptionVersionsBar(ModelContext* context, QWidget* parent)
    : QWidget(parent), m_context(context) {
  setAccessibleName("Versions");
  Theme::setStripBackground(this);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(16, 8, 16, 8);
  row->setSpacing(8);
  QLabel* title = captionLabel("Versions:", this);
  row->addWidget(title);

  auto* scroll = new QScrollArea(this);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setWidgetResizable(true);
  scroll->setFocusPolicy(Qt::NoFocus);
  scroll->viewport()->setAutoFillBackground(false);
  m_strip = new QWidget(scroll);
  m_strip->setAutoFillBackground(false);
  m_stripLayout = new QHBoxLayout(m_strip);
  m_stripLayout->setContentsMargins(0, 0, 0, 0);
  m_stripLayout->setSpacing(6);
  m_stripLayout->addStretch(1);
  scroll->setWidget(m_strip);
  // Shift+Tab from the menu button enters the strip at its last tab, which may be out of view.
  scrollFollowsFocus(scroll, 0);
  // One line of tabs: the strip is as tall as a tab, never stretched by the window.
  scroll->setFixedHeight(QFontMetrics(captionFont(font())).height() + 14);
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  row->addWidget(scroll, 1);

  m_menuButton = new QToolButton(this);
  m_menuButton->setAutoRaise(true);
  m_menuButton->setPopupMode(QToolButton::InstantPopup);
  const auto ink = [](const QPalette& p) { return p.color(QPalette::WindowText); };
  workspace::followSymbol(m_menuButton, "plus.circle", ink, 20);
  m_menuButton->setAccessibleName("Version actions");
  m_menuButton->setToolTip("Version actions");
  m_menuButton->setFixedWidth(30);
  m_menu = new QMenu(m_menuButton);
  m_duplicate = m_menu->addAction("Duplicate Current", this, &TranscriptionVersionsBar::duplicateRequested);
  m_createNew = m_menu->addAction("New Version (Reprocess)", this, &TranscriptionVersionsBar::createNewRequested);
  Theme::followPalette(m_menu, [this, ink] {
    m_duplicate->setIcon(Icons::icon(workspace::symbolPath("doc.on.doc"), ink(m_menu->palette())));
    m_createNew->setIcon(Icons::icon(workspace::symbolPath("arrow.clockwise"), ink(m_menu->palette())));
  });
  m_menuButton->setMenu(m_menu);
  row->addWidget(m_menuButton);
  // A version or translation stored elsewhere (a finished translation, a copy) gets its tab.
  if (m_context) connect(m_context, &ModelContext::objectsChanged, this, &TranscriptionVersionsBar::refresh);
  refresh();
}

QString TranscriptionVersionsBar::deleteMessage(const QString& name) {
  return QString("Delete \"%1\"? This cannot be undone.").arg(name);
}

QList<Transcription*> TranscriptionVersionsBar::transcriptions() const {
  if (!m_source) return {};
  QList<Transcription*> list = m_source->transcriptions();
  std::stable_sort(list.begin(), list.end(),
                   [](const Transcription* a, const Transcription* b) { return a->createdAt() < b->createdAt(); });
  return list;
}

QList<VersionTab*> TranscriptionVersionsBar::tabsInOrder() const {
  QList<VersionTab*> out;
  for (auto* t : transcriptions()) {
    if (auto* tab = m_tabs.value(t->id())) out << tab;
  }
  return out;
}

void TranscriptionVersionsBar::setAudioSource(AudioSource* source) {
  if (source == m_source) return;
  m_source = source;
  m_editing = nullptr;
  refresh();
}

void TranscriptionVersionsBar::setSelectedTranscription(Transcription* transcription) {
  m_selected = transcription;
  syncSelection();
}

void TranscriptionVersionsBar::refresh() {
  const QList<Transcription*> list = transcriptions();
  QSet<QUuid> live;
  int position = 0;
  for (Transcription* t : list) {
    live.insert(t->id());
    VersionTab* tab = m_tabs.value(t->id());
    if (!tab) {
      tab = new VersionTab(t, m_strip);
      m_tabs.insert(t->id(), tab);
      connect(tab, &VersionTab::selectRequested, this, [this, t] { select(t); });
      connect(tab, &VersionTab::renameRequested, this, [this, t] { startRename(t); });
      connect(tab, &VersionTab::deleteRequested, this, [this, t] { requestDelete(t); });
      connect(tab, &VersionTab::commitRequested, this, [this](const QString& text) {
        m_editingName = text;
        commitEdit();
      });
      connect(tab, &VersionTab::cancelRequested, this, &TranscriptionVersionsBar::cancelEdit);
    } else {
      tab->refreshName();
    }
    // Only a tab out of place moves: the library's every change comes here, and moving a tab
    // lays the strip out again.
    if (m_stripLayout->indexOf(tab) != position) {
      m_stripLayout->removeWidget(tab);
      m_stripLayout->insertWidget(position, tab);
    }
    ++position;
    tab->show();
  }
  for (auto it = m_tabs.begin(); it != m_tabs.end();) {
    if (!live.contains(it.key())) {
      it.value()->deleteLater();
      it = m_tabs.erase(it);
    } else {
      ++it;
    }
  }
  syncSelection();
}

void TranscriptionVersionsBar::syncSelection() {
  for (auto it = m_tabs.begin(); it != m_tabs.end(); ++it) {
    it.value()->setSelected(m_selected && m_selected->id() == it.key());
    const bool editing = m_editing && m_editing->id() == it.key();
    if (it.value()->isEditing() != editing) it.value()->setEditing(editing, m_editingName);
  }
  m_duplicate->setEnabled(m_selected != nullptr);
}

void TranscriptionVersionsBar::select(Transcription* transcription) {
  if (m_selected == transcription) return;
  m_selected = transcription;
  syncSelection();
  emit selectedTranscriptionChanged(transcription);
}

void TranscriptionVersionsBar::startRename(Transcription* transcription) {
  // Another tab's field closes; its typed text is dropped.
  if (m_editing) {
    if (auto* old = m_tabs.value(m_editing->id())) old->setEditing(false);
  }
  m_editing = transcription;
  m_editingName = transcription->name();
  if (auto* tab = m_tabs.value(transcription->id())) tab->setEditing(true, m_editingName);
}

void TranscriptionVersionsBar::cancelEdit() {
  if (m_editing) {
    if (auto* tab = m_tabs.value(m_editing->id())) tab->setEditing(false);
  }
  m_editing = nullptr;
}

void TranscriptionVersionsBar::commitEdit() {
  if (!m_editing) return;
  Transcription* version = m_editing;
  if (auto* tab = m_tabs.value(version->id())) m_editingName = tab->nameField()->text();
  const QString name = m_editingName.trimmed();
  if (!name.isEmpty()) {
    if (m_beforeWrite) m_beforeWrite();
    version->setName(name);
    version->setUpdatedAt(QDateTime::currentDateTime());
    try {
      if (m_context) m_context->save();
    } catch (const std::exception& e) {
      qWarning().noquote() << "Failed to rename transcription: " + QString::fromUtf8(e.what());
    }
  }
  cancelEdit();
  if (auto* tab = m_tabs.value(version->id())) tab->refreshName();
}

void TranscriptionVersionsBar::requestDelete(Transcription* transcription) {
  m_pendingDelete = transcription;
  QPointer<Transcription> pending = transcription;
  m_confirm(window(), {"Delete Version?", deleteMessage(transcription->name()), "Delete"},
            [this, pending](bool confirmed) {
              if (confirmed && pending && pending == m_pendingDelete) deleteTranscription(pending);
              m_pendingDelete = nullptr;
            });
}

void TranscriptionVersionsBar::deleteTranscription(Transcription* transcription) {
  if (!transcription) return;
  // Unsaved edits of the version on screen reach the store before anything is removed.
  if (m_beforeWrite) m_beforeWrite();
  const QUuid id = transcription->id();
  if (m_selected && m_selected->id() == id) {
    Transcription* next = nullptr;
    for (Transcription* t : transcriptions()) {
      if (t->id() != id) {
        next = t;
        break;
      }
    }
    select(next);
  }
  if (m_editing && m_editing->id() == id) m_editing = nullptr;
  if (m_context) {
    m_context->remove(transcription);
    try {
      m_context->save();
    } catch (const std::exception& e) {
      qWarning().noquote() << "Failed to delete transcription: " + QString::fromUtf8(e.what());
    }
  }
  refresh();
}

}  // namespace parlowvista
