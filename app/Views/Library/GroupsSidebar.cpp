#include "Views/Library/GroupsSidebar.h"

#include "Models/AppSettings.h"
#include "Models/TranscriptGroup.h"
#include "Services/LibraryActions.h"
#include "Views/Common/Divider.h"
#include "Views/Common/Icons.h"
#include "Views/Common/ItemViewFocus.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Library/AddGroupSheet.h"
#include "Views/Library/GroupListModel.h"
#include "Views/Library/GroupRowDelegate.h"
#include "Views/Library/LibrarySelection.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <functional>

namespace parlowvista {

namespace {
// Qt's list view repaints its whole viewport for any changed row. Group rows all have one height
// (the delegate's), so a changed group repaints its own row only. F2 renames as the sidebar does.
class GroupListView : public QListView {
 public:
  using QListView::QListView;
  std::function<void(const QModelIndex&)> renameRequested;

 protected:
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override {
    if (trigger == EditKeyPressed && index.isValid() && renameRequested) {
      renameRequested(index);
      return true;
    }
    return QListView::edit(index, trigger, event);
  }
  void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles) override {
    QAbstractItemView::dataChanged(topLeft, bottomRight, roles);
  }
  void paintEvent(QPaintEvent* event) override {
    QListView::paintEvent(event);
    paintFocusWhereNoRowShowsIt(*this);
  }
};
}  // namespace

GroupsSidebar::GroupsSidebar(ModelContext& context, LibraryActions& actions, AppSettings& settings,
                             LibrarySelection& selection, LibraryPrompts prompts, QWidget* parent)
    : QWidget(parent),
      m_actions(actions),
      m_settings(settings),
      m_selection(selection),
      m_prompts(std::move(prompts)),
      m_model(new GroupListModel(context, actions, this)),
      m_list(new GroupListView(this)),
      m_addButton(new QToolButton(this)) {
  setMinimumWidth(180);
  auto* title = headlineLabel(QStringLiteral("Groups"), this);
  m_addButton->setAutoRaise(true);
  m_addButton->setAccessibleName(QStringLiteral("Add Group"));
  m_addButton->setToolTip(QStringLiteral("Add Group"));

  auto* header = new QHBoxLayout;
  header->setContentsMargins(12, 8, 8, 8);
  header->addWidget(title);
  header->addStretch();
  header->addWidget(m_addButton);
  auto* divider = new Divider(this);

  m_list->setModel(m_model);
  auto* delegate = new GroupRowDelegate(m_list);
  m_list->setItemDelegate(delegate);
  static_cast<GroupListView*>(m_list)->renameRequested = [this](const QModelIndex& index) {
    startRename(m_model->groupAt(index.row()));
  };
  m_list->setAccessibleName(QStringLiteral("Groups"));
  m_list->setFrameShape(QFrame::NoFrame);
  m_list->setSelectionMode(QAbstractItemView::SingleSelection);
  m_list->setDragDropMode(QAbstractItemView::InternalMove);
  m_list->setDefaultDropAction(Qt::MoveAction);
  m_list->setEditTriggers(QAbstractItemView::EditKeyPressed);
  m_list->setContextMenuPolicy(Qt::CustomContextMenu);
  m_list->setUniformItemSizes(true);
  // A narrow column shortens the names (the rows elide them) rather than scroll sideways.
  m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addLayout(header);
  layout->addWidget(divider);
  layout->addWidget(m_list);

  connect(m_addButton, &QToolButton::clicked, this, &GroupsSidebar::showAddGroupSheet);
  // Return (after the name is handed to the model) or Escape in the field.
  connect(delegate, &QAbstractItemDelegate::closeEditor, this, &GroupsSidebar::endRename);
  connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this, &GroupsSidebar::onCurrentChanged);
  connect(m_list, &QListView::customContextMenuRequested, this, &GroupsSidebar::showContextMenu);
  connect(&m_selection, &LibrarySelection::groupChanged, this, &GroupsSidebar::syncFromSelection);
  // A row moved or inserted: keep the selected group's row current.
  connect(m_model, &QAbstractItemModel::rowsMoved, this, &GroupsSidebar::syncFromSelection);
  connect(m_model, &QAbstractItemModel::rowsInserted, this, &GroupsSidebar::syncFromSelection);
  Theme::followPalette(this, [this] { updateColors(); });
  syncFromSelection();  // a group the host already holds shows as chosen
}

GroupsSidebar::~GroupsSidebar() = default;

AddGroupSheet* GroupsSidebar::addGroupSheet() const {
  return m_sheet;
}

void GroupsSidebar::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!m_initialDone) {
    m_initialDone = true;
    selectInitialGroup();
  }
}

void GroupsSidebar::updateColors() {
  m_addButton->setIcon(Icons::icon(QStringLiteral("plus"), palette()));
  // The selected row stands out from the list and carries its name and count readably.
  QPalette list = m_list->palette();
  const QPalette own = palette();
  if (const auto selected = Theme::emphasis(own, own.color(QPalette::Base))) {
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
      list.setColor(group, QPalette::Highlight, selected->fill);
      list.setColor(group, QPalette::HighlightedText, selected->text);
    }
  }
  m_list->setPalette(list);
}

void GroupsSidebar::selectInitialGroup() {
  if (m_selection.group()) return;
  const QList<TranscriptGroup*> groups = m_actions.groups();
  TranscriptGroup* chosen = groups.isEmpty() ? nullptr : groups.first();
  if (const auto lastUsed = m_settings.lastUsedGroupId()) {
    for (TranscriptGroup* group : groups) {
      if (group->id() == *lastUsed) {
        chosen = group;
        break;
      }
    }
  }
  m_selection.setGroup(chosen);
}

void GroupsSidebar::onCurrentChanged() {
  if (m_syncing) return;
  TranscriptGroup* group = m_model->groupAt(m_list->currentIndex().row());
  if (!group) return;
  m_selection.setGroup(group);
  // Every choice of the user, by mouse or by keyboard, decides where new files go.
  m_settings.setLastUsedGroupId(group->id());
}

void GroupsSidebar::syncFromSelection() {
  const int row = m_model->rowOf(m_selection.group());
  m_syncing = true;
  if (row < 0) {
    m_list->selectionModel()->clear();
  } else {
    m_list->selectionModel()->setCurrentIndex(m_model->index(row), QItemSelectionModel::ClearAndSelect);
  }
  m_syncing = false;
}

void GroupsSidebar::showContextMenu(const QPoint& position) {
  TranscriptGroup* group = m_model->groupAt(m_list->indexAt(position).row());
  if (!group) return;
  QPointer<TranscriptGroup> target(group);
  QMenu menu(this);
  // The field opens once the menu has gone: opened while the menu is closing, it would lose the
  // focus the menu hands back and close again at once.
  menu.addAction(QStringLiteral("Rename"), this,
                 [this, target] { QTimer::singleShot(0, this, [this, target] { startRename(target); }); });
  menu.addSeparator();
  QAction* remove = menu.addAction(QStringLiteral("Delete"), this, [this, target] { requestDelete(target); });
  // While a run holds one of its files the group cannot go: the entry says why.
  const QString refusal = m_actions.deletionRefusal(group);
  remove->setEnabled(refusal.isEmpty());
  remove->setToolTip(refusal);
  menu.setToolTipsVisible(true);
  menu.exec(m_list->viewport()->mapToGlobal(position));
}

void GroupsSidebar::startRename(TranscriptGroup* group) {
  const int row = m_model->rowOf(group);
  if (row < 0) return;
  endRename();  // another row's field closes, and what was typed there with it
  // A persistent editor: the list closes an ordinary one when the focus leaves it or another
  // row becomes current, and rename mode ends only with Return or Escape.
  m_renaming = QPersistentModelIndex(m_model->index(row));
  m_list->openPersistentEditor(m_renaming);
  if (auto* field = qobject_cast<QLineEdit*>(m_list->indexWidget(m_renaming))) {
    field->selectAll();
    field->setFocus(Qt::OtherFocusReason);
  }
}

QLineEdit* GroupsSidebar::renameField() const {
  return m_renaming.isValid() ? qobject_cast<QLineEdit*>(m_list->indexWidget(m_renaming)) : nullptr;
}

void GroupsSidebar::endRename() {
  if (m_renaming.isValid()) m_list->closePersistentEditor(m_renaming);
  m_renaming = QPersistentModelIndex();
}

void GroupsSidebar::requestDelete(TranscriptGroup* group) {
  if (!group || group->isDeleted()) return;
  const QString message =
      QStringLiteral("Delete \"%1\" and all its transcriptions? This cannot be undone.").arg(group->name());
  // A deletion that would be refused (a run holds one of its files, perhaps since the question
  // was asked) is not asked about and moves nothing: the library refuses it and says why.
  if (m_actions.deletionRefusal(group).isEmpty() &&
      !m_prompts.confirmDelete(this, QStringLiteral("Delete Group?"), message)) {
    return;
  }
  if (!m_actions.deletionRefusal(group).isEmpty()) {
    m_actions.deleteGroup(group);
    return;
  }
  if (m_selection.group() == group) {
    TranscriptGroup* next = nullptr;
    for (TranscriptGroup* other : m_actions.groups()) {
      if (other != group) {
        next = other;
        break;
      }
    }
    m_selection.setGroup(next);
    if (next) m_settings.setLastUsedGroupId(next->id());
  }
  m_actions.deleteGroup(group);
}

void GroupsSidebar::showAddGroupSheet() {
  if (!m_sheet) {
    m_sheet = new AddGroupSheet(this);
    m_sheet->setWindowModality(Qt::WindowModal);
    connect(m_sheet, &AddGroupSheet::cancelRequested, this, &GroupsSidebar::closeSheet);
    connect(m_sheet, &AddGroupSheet::addRequested, this, [this](const QString& name) {
      if (name.trimmed().isEmpty()) return;  // line breaks only: the sheet stays open
      // A saved group becomes the last used one (LibraryActions) and the selected one.
      if (TranscriptGroup* group = m_actions.addGroup(name)) m_selection.setGroup(group);
      closeSheet();
    });
  }
  m_sheet->nameField()->clear();
  m_sheet->show();
  m_sheet->raise();
}

void GroupsSidebar::closeSheet() {
  if (m_sheet) m_sheet->hide();
}

}  // namespace parlowvista
