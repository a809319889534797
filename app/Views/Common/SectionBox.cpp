#include "Views/Common/SectionBox.h"

#include "Views/Common/ThemedLabel.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace parlowvista {

SectionBox::SectionBox(const QString& title, const QString& iconName, QWidget* parent) : QGroupBox(parent) {
  setAccessibleName(title);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(8, 8, 8, 8);
  column->setSpacing(10);
  auto* header = new QHBoxLayout;
  header->setSpacing(6);
  const int iconSize = QFontMetrics(font()).height();
  m_icon = ThemedLabel::icon(iconName, ThemeColor::text, iconSize, this);
  header->addWidget(m_icon);
  QLabel* titleLabel = headlineLabel(title, this);
  titleLabel->setObjectName(QStringLiteral("sectionTitle"));
  header->addWidget(titleLabel);
  header->addStretch();
  column->addLayout(header);
  m_rows = new QVBoxLayout;
  m_rows->setSpacing(12);
  m_rows->setContentsMargins(4, 4, 4, 4);
  column->addLayout(m_rows);
}

void SectionBox::setIconName(const QString& iconName) {
  m_icon->setIconName(iconName);
}

}  // namespace parlowvista
