#pragma once

#include "Views/Library/LibraryPrompts.h"

#include <QPersistentModelIndex>
#include <QPointer>
#include <QWidget>

class QLineEdit;
class QListView;
class QToolButton;

namespace parlowvista {

class AddGroupSheet;
class AppSettings;
class GroupListModel;
class LibraryActions;
class LibrarySelection;
class ModelContext;
class TranscriptGroup;

// The left column: "Groups", a "+" button for a new group, and the list of groups by
// sortOrder. Choosing a group (click or keys) selects it and records it as the last used
// group, so new files land in the group on screen. Rename in place from the context menu or
// F2: Return keeps the typed name, Escape drops it, and nothing else ends the rename (the field
// stays open while the focus is elsewhere). Drag rows to reorder; "Delete" asks first and
// removes the group with its sources.
// Writes go through LibraryActions; the selection lives in the LibrarySelection it is given.
class GroupsSidebar : public QWidget {
  Q_OBJECT
 public:
  GroupsSidebar(ModelContext& context, LibraryActions& actions, AppSettings& settings, LibrarySelection& selection,
                LibraryPrompts prompts = LibraryPrompts::standard(), QWidget* parent = nullptr);
  // Out of line: the sheet is only declared here.
  ~GroupsSidebar() override;

  // Selects the last used group when it exists, else the first; keeps a selection the host
  // already holds. Writes no setting. Runs when the sidebar is first shown.
  void selectInitialGroup();

  // The user's intents, also reachable from the context menu and the "+" button.
  void showAddGroupSheet();
  void startRename(TranscriptGroup* group);
  void requestDelete(TranscriptGroup* group);
  // The open rename field, if any.
  QLineEdit* renameField() const;

  QListView* listView() const { return m_list; }
  GroupListModel* model() const { return m_model; }
  QToolButton* addButton() const { return m_addButton; }
  AddGroupSheet* addGroupSheet() const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void onCurrentChanged();
  void syncFromSelection();
  void showContextMenu(const QPoint& position);
  void closeSheet();
  void updateColors();
  void endRename();

  LibraryActions& m_actions;
  AppSettings& m_settings;
  LibrarySelection& m_selection;
  LibraryPrompts m_prompts;
  GroupListModel* m_model;
  QListView* m_list;
  QToolButton* m_addButton;
  QPointer<AddGroupSheet> m_sheet;
  QPersistentModelIndex m_renaming;  // the row whose rename field is open
  bool m_syncing = false;
  bool m_initialDone = false;
};

}  // namespace parlowvista
