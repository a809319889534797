#include "Views/Library/AudioSourceRow.h"

#include "Models/AudioSource.h"
#include "Models/Transcription.h"
#include "Services/FileAccessManager.h"
#include "Views/Common/ColorContrast.h"
#include "Views/Common/FlowLayout.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Common/TimeText.h"
#include "Views/Library/VersionChip.h"

#include <QContextMenuEvent>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

namespace parlowvista {

namespace {
const QString kShowInFileManager = QStringLiteral("Show in File Manager");
const QString kLocateFile = QStringLiteral("Locate File...");
const QString kDelete = QStringLiteral("Delete");
constexpr int kIconSize = 16;

QString dateText(const AudioSource& source) {
  return QLocale().toString(source.createdAt().date(), QLocale::ShortFormat);
}
}  // namespace

AudioSourceRow::AudioSourceRow(AudioSource* source, FileAccessManager& fileAccess, QWidget* parent)
    : QWidget(parent),
      m_source(source),
      m_fileAccess(fileAccess),
      m_icon(ThemedLabel::icon(QStringLiteral("waveform"), ThemeColor::secondaryText, kIconSize, this)),
      m_name(plainLabel(QString(), this)),
      m_details(new ThemedLabel(QString(), ThemeColor::secondaryText, this)),
      m_missing(new ThemedLabel(QStringLiteral("Missing"), ThemeColor::warning, this)),
      m_chipStrip(new QWidget(this)),
      m_chipLayout(new FlowLayout(m_chipStrip, 4)) {
  setAccessibleName(source->filename());
  m_name->setObjectName(QStringLiteral("sourceName"));
  QFont nameFont = m_name->font();
  nameFont.setWeight(QFont::Medium);
  m_name->setFont(nameFont);
  // However long the name, the row stays as wide as the column.
  m_name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  m_name->installEventFilter(this);
  setCaptionFont(m_details);
  setCaptionFont(m_missing);
  m_missing->hide();

  auto* details = new QHBoxLayout;
  details->setSpacing(8);
  details->addWidget(m_details);
  details->addWidget(m_missing);
  details->addStretch();
  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  texts->addWidget(m_name);
  texts->addLayout(details);
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
  // Looked at again when the file is found missing elsewhere (opening a version asks for it to
  // be located) and when it has been located.
  connect(&m_fileAccess, &FileAccessManager::pendingRelocateChanged, this, [this] {
    if (m_source && m_fileAccess.pendingRelocate() == m_source) refreshAvailability();
  });
  connect(&m_fileAccess, &FileAccessManager::fileRelocated, this, [this](AudioSource* relocated) {
    if (relocated == m_source) refreshAvailability();
  });
  updateTexts();
  syncChips();
  updateIcon();
  applyColors();
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

QString AudioSourceRow::formatDuration(double seconds) {
  // A stored duration below zero is a broken record, not a length: it reads like none.
  return minutesSeconds(seconds, NegativeTime::AsZero);
}

void AudioSourceRow::setSelected(bool selected) {
  if (m_selected == selected) return;
  m_selected = selected;
  updateIcon();
  applyColors();
  // Chosen again, the row looks for its file again: it may have come back (or gone) since.
  if (selected) refreshAvailability();
}

void AudioSourceRow::setSelectedTranscription(Transcription* transcription) {
  m_selectedTranscription = transcription;
  updateChipStates();
}

void AudioSourceRow::refreshAvailability() {
  if (!m_source) return;
  // One check at a time; a request meanwhile asks again once it is answered.
  if (m_checking) {
    m_checkAgain = true;
    return;
  }
  m_checking = true;
  m_fileAccess.checkAvailability(m_source, this, [this](bool available) {
    m_checking = false;
    if (std::exchange(m_checkAgain, false)) return refreshAvailability();
    if (available == m_fileAvailable) return;
    m_fileAvailable = available;
    updateTexts();
    updateIcon();
  });
}

void AudioSourceRow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  refreshAvailability();
}

bool AudioSourceRow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_name && event->type() == QEvent::Resize) elideName();
  return QWidget::eventFilter(watched, event);
}

void AudioSourceRow::elideName() {
  if (!m_source) return;
  const QString name = m_source->filename();
  const QString shown = m_name->fontMetrics().elidedText(name, Qt::ElideRight, m_name->width());
  if (m_name->text() != shown) m_name->setText(shown);
  m_name->setToolTip(shown == name ? QString() : name);
}

void AudioSourceRow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) applyColors();
}

QString AudioSourceRow::detailsText() const {
  if (!m_source) return {};
  QStringList parts{formatDuration(m_source->duration()), dateText(*m_source)};
  if (!m_fileAvailable) parts << QStringLiteral("Missing");
  return parts.join(QStringLiteral("  "));
}

void AudioSourceRow::updateTexts() {
  if (!m_source || m_source->isDeleted()) return;
  elideName();
  m_details->setText(formatDuration(m_source->duration()) + QStringLiteral("  ") + dateText(*m_source));
  m_missing->setVisible(!m_fileAvailable);
  m_details->setAccessibleName(detailsText());
}

void AudioSourceRow::updateIcon() {
  // The row's own text colour on a selected row, which is filled with the emphasis colour.
  m_icon->setIconName(m_fileAvailable ? QStringLiteral("waveform") : QStringLiteral("warning-fill"));
  m_icon->setThemeColor(!m_fileAvailable ? ThemeColor::warning
                        : m_selected     ? ThemeColor::text
                                         : ThemeColor::secondaryText);
}

void AudioSourceRow::applyColors() {
  if (m_applyingColors) return;
  m_applyingColors = true;
  const QPalette surroundings = parentWidget() ? parentWidget()->palette() : QPalette();
  const QColor listBackground = surroundings.color(QPalette::Active, QPalette::Window);
  const QColor listText = surroundings.color(QPalette::Active, QPalette::WindowText);
  QColor background = listBackground;
  QColor text = listText;
  if (m_selected) {
    const auto emphasis = Theme::emphasis(surroundings, listBackground);
    background = emphasis ? emphasis->fill : listText;
    text = emphasis ? emphasis->text : listBackground;
    QPalette own;
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
      own.setColor(group, QPalette::Window, background);
      own.setColor(group, QPalette::Base, background);
      own.setColor(group, QPalette::WindowText, text);
      own.setColor(group, QPalette::Text, text);
    }
    setPalette(own);
  } else {
    setPalette(QPalette());  // everything from the list again
  }
  setAutoFillBackground(m_selected);

  // Chips: a faint capsule in the row's text colour, the checked one in the row's emphasis (on a
  // selected row, the row's own colours swapped).
  QPalette chips = m_chipStrip->palette();
  QColor fill = mixed(background, text, 0.12);
  QColor checkedFill;
  QColor checkedText;
  if (m_selected) {
    // Away from the text, so the chip's text keeps the contrast it has on the row.
    fill = mixed(background, relativeLuminance(text) > 0.5 ? QColor(Qt::black) : QColor(Qt::white), 0.25);
    checkedFill = text;
    checkedText = background;
  } else if (const auto emphasis = Theme::emphasis(surroundings, fill)) {
    checkedFill = emphasis->fill;
    checkedText = emphasis->text;
  } else {
    checkedFill = text;
    checkedText = background;
  }
  for (const auto group : {QPalette::Active, QPalette::Inactive}) {
    chips.setColor(group, QPalette::Button, fill);
    chips.setColor(group, QPalette::ButtonText, withContrast(text, fill, Theme::textContrast));
    chips.setColor(group, QPalette::Highlight, checkedFill);
    chips.setColor(group, QPalette::HighlightedText, checkedText);
  }
  m_chipStrip->setPalette(chips);
  m_applyingColors = false;
}

QList<VersionChip*> AudioSourceRow::chips() const {
  QList<VersionChip*> result;
  for (const auto& chip : m_chips) result << chip.second;
  return result;
}

void AudioSourceRow::syncChips() {
  if (!m_source || m_source->isDeleted()) return;
  const QList<Transcription*> versions = versionsNewestFirst(m_source);
  QHash<QUuid, VersionChip*> existing;
  for (const auto& chip : m_chips) existing.insert(chip.first, chip.second);
  QList<QPair<QUuid, VersionChip*>> ordered;
  for (Transcription* version : versions) {
    VersionChip* chip = existing.take(version->id());
    if (!chip) {
      chip = new VersionChip(version->name(), m_chipStrip);
      QPointer<Transcription> target(version);
      connect(chip, &VersionChip::clicked, this, [this, target] {
        if (target) emit chipClicked(target);
      });
      // A rename (in the versions bar) changes the version, not its source.
      connect(version, &PersistentModel::changed, chip, [chip, target] {
        if (target) chip->setName(target->name());
      });
    }
    chip->setName(version->name());
    chip->setTranslation(version->isTranslation());
    chip->setProperty("transcriptionId", version->id());
    ordered << qMakePair(version->id(), chip);
  }
  for (VersionChip* gone : std::as_const(existing)) gone->deleteLater();
  // Keep the layout in the chips' order; widgets already in place are only moved.
  for (int i = 0; i < ordered.size(); ++i) {
    if (m_chipLayout->indexOf(ordered[i].second) != i) {
      m_chipLayout->removeWidget(ordered[i].second);
      m_chipLayout->insertWidget(i, ordered[i].second);
    }
  }
  m_chips = ordered;
  m_chipStrip->setVisible(!m_chips.isEmpty());
  updateChipStates();
}

void AudioSourceRow::updateChipStates() {
  for (const auto& [id, chip] : std::as_const(m_chips))
    chip->setChecked(m_selectedTranscription && m_selectedTranscription->id() == id);
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
    if (!url.isEmpty()) {
      emit showInFileManagerRequested(url);
      return;
    }
    // Gone since the row last looked: the row is checked again (as the source is now the one
    // pending) and the file can be located.
    triggerMenuEntry(kLocateFile);
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
  menu.setToolTipsVisible(true);  // a disabled "Delete" says why
  for (const QString& entry : menuEntries()) {
    if (entry.isEmpty()) {
      menu.addSeparator();
      continue;
    }
    QAction* action = menu.addAction(entry, this, [this, entry] { triggerMenuEntry(entry); });
    const QString refusal = entry == kDelete && m_deletionRefusal ? m_deletionRefusal() : QString();
    if (!refusal.isEmpty()) {
      action->setEnabled(false);
      action->setToolTip(refusal);
    }
  }
  menu.exec(event->globalPos());
}

}  // namespace parlowvista
