#include "Views/Shell/SkippedFilesNotice.h"

#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"

#include <QHBoxLayout>
#include <QPushButton>

namespace parlowvista {

SkippedFilesNotice::SkippedFilesNotice(QWidget* parent) : QFrame(parent) {
  setObjectName(QStringLiteral("skippedFilesNotice"));
  setAccessibleName(QStringLiteral("Files not transcribed"));
  Theme::setStripBackground(this);
  auto* layout = new QHBoxLayout(this);
  auto* symbol = ThemedLabel::icon(QStringLiteral("warning-fill"), ThemeColor::warning, 16, this);
  layout->addWidget(symbol, 0, Qt::AlignTop);
  m_text = plainLabel(QString(), this);
  m_text->setObjectName(QStringLiteral("skippedFiles"));
  m_text->setWordWrap(true);
  m_text->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(m_text, 1);
  m_dismiss = new QPushButton(QStringLiteral("Dismiss"), this);
  m_dismiss->setAccessibleName(QStringLiteral("Dismiss the files not transcribed"));
  layout->addWidget(m_dismiss, 0, Qt::AlignTop);
  connect(m_dismiss, &QPushButton::clicked, this, [this] {
    m_lines.clear();
    m_text->clear();
    hide();
  });
  hide();
}

void SkippedFilesNotice::add(const QString& fileName, const QString& reason) {
  m_lines << QStringLiteral("%1 was not transcribed: %2").arg(fileName, reason);
  m_text->setText(m_lines.join('\n'));
  show();
}

}  // namespace parlowvista
