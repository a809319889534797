#pragma once

#include "Views/Workspace/ConfirmationPresenter.h"

#include <QHash>
#include <QPointer>
#include <QUuid>
#include <QWidget>

class QHBoxLayout;
class QMenu;
class QToolButton;

namespace parlowvista {

class AudioSource;
class ModelContext;
class Transcription;
class VersionTab;

// The strip above the transcript: the versions of the source on screen as tabs, oldest
// first, with rename and delete (after confirmation) written straight to the store, and a
// menu asking the window to duplicate the current version or make a new one by
// re-processing. Tabs are kept by version id and updated in place.
//
// Entry point for the main window: construct it with the store context; give it the
// source and the selected version with `setAudioSource` / `setSelectedTranscription`
// (which emit nothing) and call `refresh()` after versions were added elsewhere. It emits
// `selectedTranscriptionChanged` when the user picks a tab or the selected version is
// deleted, and `duplicateRequested` / `createNewRequested` from its menu. `setBeforeStoreWrite`
// names what must happen before it writes the store (the window saves unsaved edits).
class TranscriptionVersionsBar : public QWidget {
  Q_OBJECT

 public:
  explicit TranscriptionVersionsBar(ModelContext* context, QWidget* parent = nullptr);

  void setAudioSource(AudioSource* source);
  AudioSource* audioSource() const { return m_source; }
  void setSelectedTranscription(Transcription* transcription);
  Transcription* selectedTranscription() const { return m_selected; }
  void setConfirmationPresenter(ConfirmationPresenter presenter) { m_confirm = std::move(presenter); }
  void setBeforeStoreWrite(std::function<void()> hook) { m_beforeWrite = std::move(hook); }

  // The versions shown: the source's transcriptions (translations too), oldest first.
  QList<Transcription*> transcriptions() const;
  void refresh();

  // Rename: start on a version, then commit the field's text (trimmed; blank keeps the old
  // name) or cancel.
  void startRename(Transcription* transcription);
  void commitEdit();
  void cancelEdit();
  Transcription* editingTranscription() const { return m_editing; }
  // Asks for confirmation, then deletes.
  void requestDelete(Transcription* transcription);
  void deleteTranscription(Transcription* transcription);

  VersionTab* tabFor(const QUuid& id) const { return m_tabs.value(id); }
  QList<VersionTab*> tabsInOrder() const;
  QMenu* versionMenu() const { return m_menu; }
  QAction* duplicateAction() const { return m_duplicate; }
  QAction* createNewAction() const { return m_createNew; }

  // "Delete \"<name>\"? This cannot be undone."
  static QString deleteMessage(const QString& name);

 signals:
  void selectedTranscriptionChanged(Transcription* transcription);
  void duplicateRequested();
  void createNewRequested();

 private:
  void select(Transcription* transcription);
  void syncSelection();

  QPointer<ModelContext> m_context;
  QPointer<AudioSource> m_source;
  QPointer<Transcription> m_selected;
  QPointer<Transcription> m_editing;
  QPointer<Transcription> m_pendingDelete;
  QString m_editingName;
  QHash<QUuid, VersionTab*> m_tabs;
  QWidget* m_strip = nullptr;
  QHBoxLayout* m_stripLayout = nullptr;
  QToolButton* m_menuButton = nullptr;
  QMenu* m_menu = nullptr;
  QAction* m_duplicate = nullptr;
  QAction* m_createNew = nullptr;
  ConfirmationPresenter m_confirm = messageBoxConfirmation();
  std::function<void()> m_beforeWrite;
};

}  // namespace parlowvista
