#include "Views/Library/AudioSourceRow.h"

#include "Models/AudioSource.h"
#include "Models/Transcription.h"
#include "Services/FileAccessManager.h"
#include "Views/Library/LibraryIcons.h"
#include "Views/Library/LibraryStyle.h"

#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace parlowvista {

namespace {
const QString kShowInFileManager = QStringLiteral("Show in File Manager");
const QString kLocateFile = QStringLiteral("Locate File...");
const QString kDelete = QStringLiteral("Delete");
constexpr int kIconSize = 16;
}  // namespace

AudioSourceRow::AudioSourceRow(AudioSource* source, FileAccessManager& fileAccess, QWidget* parent)
    : QWidget(parent),
      m_source(source),
      m_fileAccess(fileAccess),
      m_icon(new QLabel(this)),
      m_name(new QLabel(this)),
      m_details(new QLabel(this)),
      m_chipStrip(new QWidget(this)),
      m_chipLayout(new QHBoxLayout(m_chipStrip)) {
  setAccessibleName(source->filename());
  m_name->setTextFormat(Qt::PlainText);
  m_details->setTextFormat(Qt::RichText);  // escaped below; colours "Missing"
  QFont nameFont = m_name->font();
  nameFont.setWeight(QFont::Medium);
  m_name->setFont(nameFont);
  QFont small = m_details->font();
  small.setPointSizeF(small.pointSizeF() * 0.85);
  m_details->setFont(small);
  m_icon->setFixedSize(kIconSize, kIconSize);
  m_chipLayout->setContentsMargins(0, 0, 0, 0);
  m_chipLayout->setSpacing(4);
  m_chipLayout->addStretch();

  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  texts->addWidget(m_name);
  texts->addWidget(m_details);
  auto* header = new QHBoxLayout;
  header->addWidget(m_icon, 0, Qt::AlignVCenter);
  header->addLayout(texts, 1);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 4, 8, 4);
  layout->setSpacing(6);
  layout->addLayout(header);
  layout->addWidget(m_chipStrip);

  connect(source, &PersistentModel::changed, this, [this] {
    updateTexts();
    syncChips();
  });
  updateTexts();
  syncChips();
  updateIcon();
}

QList<Transcription*> AudioSourceRow::versionsNewestFirst(const AudioSource* source) {
  QList<Transcription*> versions;
  for (Transcription* t : source->transcriptions()) {
    if (!t->isDeleted()) versions << t;
  }
  std::stable_sort(versions.begin(), versions.end(),
                   [](const Transcription* a, const Transcription* b) { return a->createdAt() > b->createdAt(); });
  return versions;
}

void AudioSourceRow::setSelected(bool selected) {
  if (m_selected == selected) return;
  m_selected = selected;
  updateIcon();
}

void AudioSourceRow::setSelectedTranscription(Transcription* transcription) {
  m_selectedTranscription = transcription;
  updateChipStyles();
}

void AudioSourceRow::refreshAvailability() {
  if (!m_source) return;
  const bool available = !m_fileAccess.resolveURL(m_source).isEmpty();
  if (available == m_fileAvailable) return;
  m_fileAvailable = available;
  updateTexts();
  updateIcon();
}

void AudioSourceRow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  refreshAvailability();
}

void AudioSourceRow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::PaletteChange) {
    updateIcon();
    updateTexts();
    updateChipStyles();
  }
}

QString AudioSourceRow::detailsText() const {
  if (!m_source) return {};
  QStringList parts{LibraryStyle::formatDuration(m_source->duration()),
                    QLocale().toString(m_source->createdAt().date(), QLocale::ShortFormat)};
  if (!m_fileAvailable) parts << QStringLiteral("Missing");
  return parts.join(QStringLiteral("  "));
}

void AudioSourceRow::updateTexts() {
  if (!m_source || m_source->isDeleted()) return;
  m_name->setText(m_source->filename());
  const QString secondary = LibraryStyle::secondaryText(palette()).name();
  QString html = QStringLiteral("<span style=\"color:%1\">%2&nbsp;&nbsp;%3</span>")
                     .arg(secondary, LibraryStyle::formatDuration(m_source->duration()).toHtmlEscaped(),
                          QLocale().toString(m_source->createdAt().date(), QLocale::ShortFormat).toHtmlEscaped());
  if (!m_fileAvailable) {
    html += QStringLiteral("&nbsp;&nbsp;<span style=\"color:%1\">Missing</span>")
                .arg(LibraryStyle::warning(palette()).name());
  }
  m_details->setText(html);
  m_details->setAccessibleName(detailsText());
}

void AudioSourceRow::updateIcon() {
  QColor color;
  if (!m_fileAvailable) {
    color = LibraryStyle::warning(palette());
  } else {
    color = m_selected ? palette().color(QPalette::Highlight) : LibraryStyle::secondaryText(palette());
  }
  m_icon->setPixmap(LibraryIcons::pixmap(m_fileAvailable ? QStringLiteral("waveform") : QStringLiteral("warning"),
                                         color, kIconSize, devicePixelRatioF()));
}

QList<QToolButton*> AudioSourceRow::chips() const {
  QList<QToolButton*> result;
  for (const auto& chip : m_chips) result << chip.second;
  return result;
}

void AudioSourceRow::syncChips() {
  if (!m_source || m_source->isDeleted()) return;
  const QList<Transcription*> versions = versionsNewestFirst(m_source);
  QHash<QUuid, QToolButton*> existing;
  for (const auto& chip : m_chips) existing.insert(chip.first, chip.second);
  QList<QPair<QUuid, QToolButton*>> ordered;
  for (Transcription* version : versions) {
    QToolButton* chip = existing.take(version->id());
    if (!chip) {
      chip = new QToolButton(m_chipStrip);
      chip->setAutoRaise(true);
      chip->setCheckable(true);  // checked marks the selected version
      chip->setCursor(Qt::PointingHandCursor);
      QPointer<Transcription> target(version);
      connect(chip, &QToolButton::clicked, this, [this, target] {
        if (target) emit chipClicked(target);
      });
    }
    chip->setText(version->name());
    chip->setAccessibleName(QStringLiteral("Version %1").arg(version->name()));
    chip->setProperty("transcriptionId", version->id());
    ordered << qMakePair(version->id(), chip);
  }
  for (QToolButton* gone : std::as_const(existing)) gone->deleteLater();
  // Keep the layout in the chips' order; widgets already in place are only moved.
  for (int i = 0; i < ordered.size(); ++i) {
    if (m_chipLayout->indexOf(ordered[i].second) != i) {
      m_chipLayout->removeWidget(ordered[i].second);
      m_chipLayout->insertWidget(i, ordered[i].second);
    }
  }
  m_chips = ordered;
  m_chipStrip->setVisible(!m_chips.isEmpty());
  updateChipStyles();
}

void AudioSourceRow::updateChipStyles() {
  const QPalette& p = palette();
  for (const auto& [id, chip] : std::as_const(m_chips)) {
    const bool selected = m_selectedTranscription && m_selectedTranscription->id() == id;
    chip->setChecked(selected);
    const QColor fill = selected ? p.color(QPalette::Highlight) : LibraryStyle::secondaryText(p);
    const QColor text = selected ? p.color(QPalette::HighlightedText) : p.color(QPalette::Text);
    QColor background = fill;
    if (!selected) background.setAlphaF(0.15f);
    chip->setStyleSheet(QStringLiteral("QToolButton { border-radius: 9px; padding: 2px 8px; background: %1; color: %2; "
                                       "font-size: %3pt; }")
                            .arg(background.name(QColor::HexArgb), text.name())
                            .arg(qMax(7.0, font().pointSizeF() * 0.85)));
  }
}

void AudioSourceRow::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) emit selectRequested();
  QWidget::mousePressEvent(event);
}

QStringList AudioSourceRow::menuEntries() const {
  return {m_fileAvailable ? kShowInFileManager : kLocateFile, QString(), kDelete};
}

void AudioSourceRow::triggerMenuEntry(const QString& entry) {
  if (!m_source) return;
  if (entry == kShowInFileManager) {
    const QUrl url = m_fileAccess.resolveURL(m_source);
    if (!url.isEmpty()) emit showInFileManagerRequested(url);
  } else if (entry == kLocateFile) {
    // The source first, so the sheet finds it when it opens.
    m_fileAccess.setPendingRelocate(m_source);
    m_fileAccess.setShowRelocateDialog(true);
  } else if (entry == kDelete) {
    emit deleteRequested();
  }
}

void AudioSourceRow::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  for (const QString& entry : menuEntries()) {
    if (entry.isEmpty()) {
      menu.addSeparator();
    } else {
      menu.addAction(entry, this, [this, entry] { triggerMenuEntry(entry); });
    }
  }
  menu.exec(event->globalPos());
}

}  // namespace parlowvista
