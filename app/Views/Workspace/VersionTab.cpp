#include "Views/Workspace/VersionTab.h"

#include "Models/Transcription.h"
#include "Views/Common/ColorContrast.h"
#include "Views/Common/FocusRing.h"
#include "Views/Common/Icons.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Workspace/WorkspaceStyle.h"

#include <QBoxLayout>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace parlowvista {

VersionTab::VersionTab(Transcription* transcription, QWidget* parent)
    : QAbstractButton(parent), m_transcription(transcription) {
  setFocusPolicy(Qt::StrongFocus);
  FocusRing::setShownOn(this, false);  // the tab draws its own, on its face
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(12, 6, 12, 6);
  m_globe = new QLabel(this);
  m_globe->setVisible(transcription->isTranslation());
  m_label = new QLabel(this);
  m_label->setTextFormat(Qt::PlainText);
  m_label->setFont(captionFont(font()));
  m_field = new QLineEdit(this);
  m_field->setPlaceholderText("Version name");
  m_field->setAccessibleName("Version name");
  m_field->setFrame(false);
  m_field->setMinimumWidth(60);
  m_field->setMaximumWidth(120);
  m_field->setFont(captionFont(font()));
  m_field->hide();
  m_field->installEventFilter(this);
  row->setSpacing(4);
  row->addWidget(m_globe);
  row->addWidget(m_label);
  row->addWidget(m_field);
  // Return commits; editingFinished is not used, so a focus loss leaves the field open.
  connect(m_field, &QLineEdit::returnPressed, this, [this] { emit commitRequested(m_field->text()); });
  connect(this, &QAbstractButton::clicked, this, &VersionTab::selectRequested);
  refreshName();
  // The text colours are derived from the palette: again when it changes.
  Theme::followPalette(this, [this] { applyLook(); });
}

void VersionTab::refreshName() {
  m_label->setText(m_transcription->name());
  setAccessibleName(m_transcription->isTranslation() ? "Translation " + m_transcription->name()
                                                     : m_transcription->name());
  setToolTip(m_transcription->isTranslation() && m_transcription->sourceTranscription()
                 ? "Translation of " + m_transcription->sourceTranscription()->name()
                 : QString());
}

void VersionTab::setSelected(bool selected) {
  if (selected == m_selected) return;
  m_selected = selected;
  applyLook();
}

void VersionTab::setEditing(bool editing, const QString& name) {
  m_editing = editing;
  m_label->setVisible(!editing);
  m_field->setVisible(editing);
  if (editing) {
    m_field->setText(name);
    m_field->setFocus(Qt::OtherFocusReason);
    m_field->selectAll();
  }
  applyLook();
}

void VersionTab::applyLook() {
  const QPalette base = palette();
  // The selected face is Theme::selectionColor, which carries the highlighted text at 4.5:1.
  const QColor ink = m_selected ? base.color(QPalette::HighlightedText) : base.color(QPalette::WindowText);
  // Inside a button the label draws in ButtonText (its background role is the button's), so
  // every text role is set, not only WindowText.
  for (QWidget* w : {static_cast<QWidget*>(m_label), static_cast<QWidget*>(m_field)}) {
    Theme::setTextColor(w, ink);
    QPalette p = w->palette();
    p.setColor(QPalette::Base, Qt::transparent);
    w->setPalette(p);
  }
  m_globe->setPixmap(Icons::pixmap("globe", ink, QFontMetrics(captionFont(font())).height() - 2, devicePixelRatioF()));
  QFont f = captionFont(font());
  f.setWeight(m_editing ? QFont::Medium : (m_selected ? QFont::DemiBold : QFont::Normal));
  m_label->setFont(f);
  m_field->setFont(f);
  update();
}

void VersionTab::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
  const QColor window = palette().color(QPalette::Window);
  const QColor tertiary = mixed(window, palette().color(QPalette::WindowText), 0.26);
  const QColor face = m_selected ? Theme::selectionColor(palette()) : mixed(window, tertiary, 0.3);
  p.fillPath(path, face);
  // The keyboard focus: a ring that reads on the face it is drawn on (the selected face carries
  // the highlighted text colour at 4.5:1), in place of the application's ring, which would not.
  if (hasFocus() && this->window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
    const QColor ring = m_selected ? palette().color(QPalette::HighlightedText)
                                   : withContrast(Theme::focusColor(palette()), face, Theme::largeContrast);
    QPainterPath inner;
    inner.addRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 5, 5);
    p.strokePath(inner, QPen(ring, 2));
  }
}

void VersionTab::keyPressEvent(QKeyEvent* event) {
  if (!m_editing && (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return)) {
    emit selectRequested();
    return;
  }
  QAbstractButton::keyPressEvent(event);
}

bool VersionTab::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_field && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    emit cancelRequested();
    return true;
  }
  return QAbstractButton::eventFilter(watched, event);
}

void VersionTab::contextMenuEvent(QContextMenuEvent* event) {
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->addAction("Rename", this, &VersionTab::renameRequested);
  menu->addSeparator();
  menu->addAction("Delete", this, &VersionTab::deleteRequested);
  menu->popup(event->globalPos());
}

}  // namespace parlowvista
