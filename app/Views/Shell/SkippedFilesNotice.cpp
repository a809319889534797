#include "Views/Shell/SkippedFilesNotice.h"

#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace parlowvista {

SkippedFilesNotice::SkippedFilesNotice(QWidget* parent) : QFrame(parent) {
  setObjectName(QStringLiteral("skippedFilesNotice"));
  setAccessibleName(QStringLiteral("Files not transcribed"));
  Theme::setStripBackground(this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(10, 8, 10, 8);
  layout->setSpacing(6);
  auto* message = new QHBoxLayout;
  message->setSpacing(6);
  auto* symbol = ThemedLabel::icon(QStringLiteral("warning-fill"), ThemeColor::warning, 16, this);
  message->addWidget(symbol, 0, Qt::AlignTop);
  m_text = plainLabel(QString(), this);
  m_text->setObjectName(QStringLiteral("skippedFiles"));
  m_text->setWordWrap(true);
  m_text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_text->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // A long list scrolls within the band rather than taking the column.
  m_scroll = new QScrollArea(this);
  m_scroll->setFrameShape(QFrame::NoFrame);
  m_scroll->setFocusPolicy(Qt::NoFocus);
  m_scroll->setWidgetResizable(true);
  m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_scroll->setWidget(m_text);
  m_scroll->viewport()->setAutoFillBackground(false);
  m_text->setAutoFillBackground(false);
  QScrollBar* bar = m_scroll->verticalScrollBar();
  connect(bar, &QScrollBar::rangeChanged, this, [this, bar] {
    if (m_showsNewest) bar->setValue(bar->maximum());
  });
  connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) { m_showsNewest = value == bar->maximum(); });
  message->addWidget(m_scroll, 1);
  layout->addLayout(message);
  m_dismiss = new QPushButton(QStringLiteral("Dismiss"), this);
  m_dismiss->setAccessibleName(QStringLiteral("Dismiss the files not transcribed"));
  layout->addWidget(m_dismiss, 0, Qt::AlignRight);
  connect(m_dismiss, &QPushButton::clicked, this, [this] {
    m_lines.clear();
    m_text->clear();
    hide();
  });
  limitHeight();
  hide();
}

void SkippedFilesNotice::add(const QString& fileName, const QString& reason) {
  m_lines << QStringLiteral("%1 was not transcribed: %2").arg(fileName, reason);
  m_text->setText(m_lines.join('\n'));
  m_showsNewest = true;
  m_scroll->verticalScrollBar()->setValue(m_scroll->verticalScrollBar()->maximum());
  show();
}

void SkippedFilesNotice::limitHeight() {
  // A few lines at least, a few more at most: what the column has to spare decides in between.
  const int line = m_text->fontMetrics().lineSpacing();
  m_scroll->setMinimumHeight(kLeastLines * line);
  m_scroll->setMaximumHeight(kShownLines * line);
}

void SkippedFilesNotice::changeEvent(QEvent* event) {
  QFrame::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) limitHeight();
}

}  // namespace parlowvista
