#include "Views/Shell/ActivityLogView.h"

#include "ViewModels/TranscriptionViewModel.h"

#include <QListWidget>
#include <QVBoxLayout>

namespace parlowvista {

ActivityLogView::ActivityLogView(TranscriptionViewModel& viewModel, QWidget* parent)
    : QWidget(parent), m_viewModel(viewModel) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  m_list = new QListWidget(this);
  m_list->setAccessibleName(QStringLiteral("Activity Log"));
  m_list->setSelectionMode(QAbstractItemView::NoSelection);
  m_list->setWordWrap(true);
  m_list->setMinimumHeight(150);
  layout->addWidget(m_list);
  connect(&m_viewModel, &TranscriptionViewModel::logsChanged, this, &ActivityLogView::refresh);
  refresh();
}

void ActivityLogView::refresh() {
  const QList<LogEntry>& logs = m_viewModel.logs();
  // The log is short (at most 100 lines): rebuilt whole, so lines dropped at the top go too.
  m_list->clear();
  for (const LogEntry& entry : logs) {
    auto* item = new QListWidgetItem(entry.timestamp.toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("  ") +
                                     entry.message);
    m_list->addItem(item);
  }
  // Follows the newest line by its identity, not by the count, which stops growing at 100.
  const QUuid newest = logs.isEmpty() ? QUuid() : logs.last().id;
  if (newest != m_newest && m_list->count() > 0) m_list->scrollToItem(m_list->item(m_list->count() - 1));
  m_newest = newest;
}

}  // namespace parlowvista
