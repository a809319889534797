#include "Views/Shell/ContentTabBar.h"

#include "Models/Transcription.h"
#include "Store/ModelContext.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Common/FlatButton.h"
#include "Views/Common/Icons.h"
#include "Views/Common/Theme.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>

#include <algorithm>

namespace parlowvista {

ContentTabBar::ContentTabBar(TranscriptionViewModel& viewModel, ModelContext& context,
                             std::function<void()> onCreateTranslation, QWidget* parent)
    : QWidget(parent), m_viewModel(viewModel), m_onCreateTranslation(std::move(onCreateTranslation)) {
  auto* outer = new QHBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* scroll = new QScrollArea(this);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setFocusPolicy(Qt::NoFocus);
  auto* strip = new QWidget(scroll);
  m_row = new QHBoxLayout(strip);
  m_row->setContentsMargins(12, 6, 12, 6);
  m_row->setSpacing(4);
  scroll->setWidget(strip);
  outer->addWidget(scroll);
  connect(&m_viewModel, &TranscriptionViewModel::currentTranscriptionChanged, this, &ContentTabBar::rebuild);
  connect(&m_viewModel, &TranscriptionViewModel::activeTabChanged, this, &ContentTabBar::rebuild);
  connect(&context, &ModelContext::objectsChanged, this, &ContentTabBar::rebuild, Qt::QueuedConnection);
  connect(&context, &ModelContext::didSave, this, &ContentTabBar::rebuild, Qt::QueuedConnection);
  rebuild();
}

QList<ContentTabBar::Tab> ContentTabBar::wantedTabs() const {
  const ContentTab active = m_viewModel.activeTab();
  QList<Tab> tabs{{{}, QStringLiteral("Original"), active.isOriginal(), false}};
  if (Transcription* version = m_viewModel.currentTranscription()) {
    QList<Transcription*> translations;
    for (Transcription* translation : version->translations()) {
      if (!translation->isDeleted()) translations.append(translation);
    }
    std::stable_sort(translations.begin(), translations.end(),
                     [](const Transcription* a, const Transcription* b) { return a->createdAt() < b->createdAt(); });
    for (Transcription* translation : translations) {
      const bool language = translation->targetLanguage().has_value();
      tabs.append({translation,
                   language ? translation->languageDisplayName().value_or(QString()) : QStringLiteral("Translation"),
                   active.isTranslation() && active.translationId() == translation->id(), language});
    }
  }
  return tabs;
}

void ContentTabBar::rebuild() {
  // Most changes of the library are not this bar's: it is made again only when its tabs differ.
  QList<Tab> tabs = wantedTabs();
  if (m_create && tabs == m_shown) return;
  m_shown = tabs;
  // The buttons are made again: the focus, when one of them has it, goes to its successor (to
  // the shown tab for a tab just chosen from the keyboard) rather than out of the window.
  QWidget* focused = QApplication::focusWidget();
  const bool tabHadFocus = focused && m_tabs.contains(focused);
  const bool createHadFocus = focused && focused == m_create;
  while (QLayoutItem* item = m_row->takeAt(0)) {
    if (QWidget* widget = item->widget()) widget->deleteLater();
    delete item;
  }
  m_tabs.clear();
  auto addTab = [&](const QString& title, bool selected, std::function<void()> action) {
    auto* tab = new FlatButton(title, m_row->parentWidget());
    tab->setCheckable(true);
    tab->setChecked(selected);
    tab->setFlat(!selected);
    QFont font = tab->font();
    font.setBold(selected);
    tab->setFont(font);
    connect(tab, &QPushButton::clicked, this, [tab, selected, action] {
      tab->setChecked(selected);  // the view model's tab decides
      action();
    });
    m_row->addWidget(tab);
    m_tabs.append(tab);
    return tab;
  };
  addTab(tabs[0].title, tabs[0].selected, [this] { m_viewModel.setActiveTab(ContentTab::original()); });
  for (const Tab& wanted : tabs.sliced(1)) {
    QPointer<Transcription> guarded = wanted.translation;
    QPushButton* tab = addTab(wanted.title, wanted.selected, [this, guarded] {
      if (guarded) m_viewModel.setActiveTab(ContentTab::translation(guarded));
    });
    if (wanted.language) tab->setIcon(Icons::icon(QStringLiteral("globe"), tab->palette()));
    tab->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tab, &QWidget::customContextMenuRequested, this, [this, tab, guarded](const QPoint& at) {
      auto* menu = new QMenu(tab);
      menu->setAttribute(Qt::WA_DeleteOnClose);
      QAction* remove = menu->addAction(
          Icons::icon(QStringLiteral("trash"), Theme::color(ThemeColor::error, menu->palette(), QPalette::Base)),
          QStringLiteral("Delete Translation"));
      connect(remove, &QAction::triggered, this, [this, guarded] {
        if (guarded) m_viewModel.deleteTranslation(guarded);
      });
      menu->popup(tab->mapToGlobal(at));
    });
  }

  m_create = new FlatButton(QStringLiteral("+"), m_row->parentWidget());
  m_create->setAccessibleName(QStringLiteral("New Translation"));
  m_create->setToolTip(QStringLiteral("New Translation"));
  connect(m_create, &QPushButton::clicked, this, [this] {
    if (m_onCreateTranslation) m_onCreateTranslation();
  });
  m_row->addWidget(m_create);
  m_row->addStretch();
  if (createHadFocus) m_create->setFocus(Qt::OtherFocusReason);
  if (tabHadFocus) {
    for (QPushButton* tab : std::as_const(m_tabs)) {
      if (tab->isChecked()) tab->setFocus(Qt::OtherFocusReason);
    }
  }
}

}  // namespace parlowvista
