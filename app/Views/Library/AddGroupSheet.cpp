#include "Views/Library/AddGroupSheet.h"

#include "Views/Common/SheetEdge.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace parlowvista {

namespace {
// Trims spaces and tabs only: a name of line breaks passes here and is refused when stored.
QString trimSpacesAndTabs(const QString& text) {
  qsizetype start = 0;
  qsizetype end = text.size();
  auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
  while (start < end && blank(text[start])) ++start;
  while (end > start && blank(text[end - 1])) --end;
  return text.mid(start, end - start);
}
}  // namespace

AddGroupSheet::AddGroupSheet(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("New Group"));
  setAccessibleName(QStringLiteral("New Group"));
  drawEdgeAroundSheet(this);
  auto* title = new QLabel(QStringLiteral("New Group"), this);
  QFont titleFont = title->font();
  titleFont.setBold(true);
  title->setFont(titleFont);
  m_name = new QLineEdit(this);
  m_name->setPlaceholderText(QStringLiteral("Group name"));
  m_name->setAccessibleName(QStringLiteral("Group name"));
  m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
  m_cancel->setAutoDefault(false);
  m_add = new QPushButton(QStringLiteral("Add"), this);
  m_add->setDefault(true);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(m_cancel);
  buttons->addStretch();
  buttons->addWidget(m_add);
  auto* layout = new QVBoxLayout(this);
  layout->setSpacing(20);
  layout->addWidget(title);
  layout->addWidget(m_name);
  layout->addLayout(buttons);
  setMinimumWidth(300);

  connect(m_name, &QLineEdit::textChanged, this, &AddGroupSheet::updateAddButton);
  connect(m_cancel, &QPushButton::clicked, this, &AddGroupSheet::cancelRequested);
  connect(m_add, &QPushButton::clicked, this, [this] {
    if (m_add->isEnabled()) emit addRequested(m_name->text());
  });
  updateAddButton();
}

QString AddGroupSheet::groupName() const {
  return m_name->text();
}

void AddGroupSheet::updateAddButton() {
  m_add->setEnabled(!trimSpacesAndTabs(m_name->text()).isEmpty());
}

void AddGroupSheet::reject() {
  emit cancelRequested();
}

void AddGroupSheet::closeEvent(QCloseEvent* event) {
  event->ignore();
  emit cancelRequested();
}

void AddGroupSheet::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  m_name->setFocus();
}

}  // namespace parlowvista
