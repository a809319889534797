#include "Views/Workspace/SpeakerRowView.h"

#include "Views/Common/ColorContrast.h"
#include "Views/Common/Icons.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Common/TimeText.h"
#include "Views/Workspace/WorkspaceStyle.h"

#include <QBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace parlowvista {

QString SpeakerRowView::formatDuration(double seconds) {
  return minutesSeconds(seconds);
}

QString SpeakerRowView::statsText(qint64 segmentCount, double totalDuration) {
  return QString("%1 segments, %2").arg(segmentCount).arg(formatDuration(totalDuration));
}

SpeakerRowView::SpeakerRowView(QWidget* parent) : QWidget(parent) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 2, 0, 2);
  column->setSpacing(2);
  auto* line = new QHBoxLayout;
  m_dot = new QLabel(this);
  m_dot->setFixedSize(10, 10);
  // Redrawn when the palette changes: the dot is lifted to 3:1 against the background.
  Theme::followPalette(m_dot, [this] { paintDot(); });
  m_name = new QLabel(this);
  m_name->setTextFormat(Qt::PlainText);
  m_field = new QLineEdit(this);
  m_field->setPlaceholderText("Speaker name");
  m_field->setAccessibleName("Speaker name");
  m_field->setFont(captionFont(font()));
  m_field->hide();
  m_field->installEventFilter(this);
  m_pencil = new QToolButton(this);
  m_pencil->setAutoRaise(true);
  workspace::followSymbol(m_pencil, "pencil", workspace::secondaryText, 12);
  m_pencil->setToolTip("Rename speaker");
  // Invisible while the row edits, but keeping its place so the row does not shift.
  QSizePolicy keep = m_pencil->sizePolicy();
  keep.setRetainSizeWhenHidden(true);
  m_pencil->setSizePolicy(keep);
  line->addWidget(m_dot);
  line->addWidget(m_name);
  line->addWidget(m_field, 1);
  line->addStretch(1);
  line->addWidget(m_pencil);
  column->addLayout(line);
  m_stats = captionLabel(QString(), this);
  setCaptionFont(m_stats, 0.92);
  m_stats->setContentsMargins(18, 0, 0, 0);
  column->addWidget(m_stats);
  connect(m_pencil, &QToolButton::clicked, this, &SpeakerRowView::startEditRequested);
  // Return only (not editingFinished): a focus loss neither saves nor closes.
  connect(m_field, &QLineEdit::returnPressed, this, [this] { emit endEditRequested(true, m_field->text()); });
}

void SpeakerRowView::setSpeaker(const Speaker& speaker, qint64 segmentCount, double totalDuration) {
  const QString name = Speaker::displayLabel(speaker.speakerId, {speaker});
  if (m_name->text() != name) m_name->setText(name);
  QFont f = captionFont(font());
  f.setWeight(speaker.customName ? QFont::Medium : QFont::Normal);
  m_name->setFont(f);
  const QColor colour = speaker.color();
  if (colour != m_colour) {
    m_colour = colour;
    paintDot();
  }
  const QString stats = statsText(segmentCount, totalDuration);
  if (m_stats->text() != stats) m_stats->setText(stats);
  m_pencil->setAccessibleName("Rename " + name);
  setAccessibleName(name);
}

void SpeakerRowView::paintDot() {
  if (!m_colour.isValid()) return;
  // A speaker colour can be too light (or too dark) to see on the window: moved just far enough.
  const QColor background = palette().color(QPalette::Window);
  // A little above 3:1: the group box the rows sit in is drawn a shade off the window colour.
  const QColor colour = withContrast(m_colour, background, Theme::largeContrast + 0.3);
  m_dot->setPixmap(Icons::pixmap(workspace::symbolPath("circle.fill"), colour, 10, m_dot->devicePixelRatioF()));
}

void SpeakerRowView::setEditing(bool editing, const QString& name) {
  if (editing == m_editing) return;
  m_editing = editing;
  m_name->setVisible(!editing);
  m_field->setVisible(editing);
  m_pencil->setVisible(!editing);
  if (!editing) return;
  m_field->setText(name);
  // The name is typed at once: the pencil that opened the field hands it the keyboard.
  m_field->selectAll();
  m_field->setFocus(Qt::OtherFocusReason);
}

void SpeakerRowView::setRenamable(bool renamable) {
  if (renamable == m_pencil->isEnabled()) return;
  m_pencil->setEnabled(renamable);
  m_pencil->setToolTip(renamable ? QStringLiteral("Rename speaker")
                                 : QStringLiteral("Speakers are renamed on the Original tab"));
}

bool SpeakerRowView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_field && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    emit endEditRequested(false, m_field->text());
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace parlowvista
