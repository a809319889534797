#include "Views/Library/FileDropZone.h"

#include "Views/Common/ColorContrast.h"
#include "Views/Common/Icons.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Library/AudioFileTypes.h"
#include "Views/Library/DropOutline.h"

#include <QDragEnterEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace parlowvista {

namespace {
template <typename Label>
Label* centred(Label* label) {
  label->setAlignment(Qt::AlignCenter);
  return label;
}

}  // namespace

FileDropZone::FileDropZone(bool enabled, bool youTubeAvailable, LibraryPrompts prompts, QWidget* parent)
    : QWidget(parent), m_enabled(enabled), m_youTubeAvailable(youTubeAvailable), m_prompts(std::move(prompts)) {
  setAcceptDrops(true);
  setAccessibleName(QStringLiteral("Drop Audio File Here"));
  m_logo = new QLabel(this);
  m_logo->setAlignment(Qt::AlignCenter);
  auto* title = centred(plainLabel(QStringLiteral("Drop Audio File Here"), this));
  QFont titleFont = title->font();
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
  titleFont.setWeight(QFont::Medium);
  title->setFont(titleFont);
  m_formats = centred(captionLabel(AudioFileTypes::formatsText(), this));

  m_choose = new QPushButton(QStringLiteral("Choose File..."), this);
  m_or = new ThemedLabel(QStringLiteral("or"), ThemeColor::secondaryText, this);
  m_fromURL = new QPushButton(QStringLiteral("From URL"), this);
  m_choose->setEnabled(enabled);
  m_fromURL->setEnabled(enabled);
  auto* actions = new QHBoxLayout;
  actions->setSpacing(16);
  actions->addStretch();
  actions->addWidget(m_choose);
  actions->addWidget(m_or);
  actions->addWidget(m_fromURL);
  actions->addStretch();

  m_urlSection = new QWidget(this);
  m_urlField = new QLineEdit(m_urlSection);
  m_urlField->setPlaceholderText(QStringLiteral("YouTube or video URL"));
  m_urlField->setAccessibleName(QStringLiteral("YouTube or video URL"));
  m_submit = new QToolButton(m_urlSection);
  m_submit->setAutoRaise(true);
  m_submit->setIconSize({24, 24});
  m_submit->setFixedSize(34, 34);
  m_submit->setAccessibleName(QStringLiteral("Transcribe from URL"));
  m_submit->setToolTip(QStringLiteral("Transcribe from URL"));
  // Below the field: what the downloader takes, or, without it, how to install it.
  auto* hint = new QHBoxLayout;
  hint->setSpacing(4);
  hint->addStretch();
  if (youTubeAvailable) {
    m_hint = new ThemedLabel(QStringLiteral("Supports YouTube, Vimeo, SoundCloud, and 1000+ other sites"),
                             ThemeColor::secondaryText, m_urlSection);
    m_hint->setWordWrap(true);
    m_hint->setAlignment(Qt::AlignCenter);
  } else {
    hint->addWidget(ThemedLabel::icon(QStringLiteral("warning-fill"), ThemeColor::warning, 14, m_urlSection));
    m_hint = new ThemedLabel(QStringLiteral("yt-dlp not found. Install: "), ThemeColor::secondaryText, m_urlSection);
    m_installCommand = new ThemedLabel(QStringLiteral("sudo apt install yt-dlp"), ThemeColor::warning, m_urlSection);
    QFont medium = m_installCommand->font();
    medium.setWeight(QFont::Medium);
    m_installCommand->setFont(medium);
    m_installCommand->setTextInteractionFlags(Qt::TextSelectableByMouse);
  }
  hint->addWidget(m_hint);
  if (m_installCommand) hint->addWidget(m_installCommand);
  hint->addStretch();
  m_error = centred(new ThemedLabel(QStringLiteral("Enter an http or https address"), ThemeColor::error, m_urlSection));
  m_error->hide();
  auto* field = new QHBoxLayout;
  field->setSpacing(8);
  field->addWidget(m_urlField, 1);
  field->addWidget(m_submit);
  auto* section = new QVBoxLayout(m_urlSection);
  section->setContentsMargins(40, 0, 40, 0);
  section->setSpacing(12);
  section->addLayout(field);
  section->addLayout(hint);
  section->addWidget(m_error);
  m_urlSection->hide();

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 24, 24, 24);
  layout->setSpacing(16);
  layout->addStretch();
  layout->addWidget(m_logo);
  layout->addWidget(title);
  layout->addWidget(m_formats);
  layout->addLayout(actions);
  layout->addWidget(m_urlSection);
  layout->addStretch();

  connect(m_choose, &QPushButton::clicked, this, &FileDropZone::chooseFile);
  connect(m_fromURL, &QPushButton::clicked, this, &FileDropZone::toggleURLInput);
  connect(m_submit, &QToolButton::clicked, this, &FileDropZone::submitURL);
  connect(m_urlField, &QLineEdit::returnPressed, this, &FileDropZone::submitURL);
  connect(m_urlField, &QLineEdit::textChanged, this, [this] {
    m_error->hide();
    updateSubmitButton();
  });
  Theme::followPalette(this, [this] { updateColors(); });
  updateSubmitButton();
}

QString FileDropZone::acceptedAddress(const QString& text) {
  const QString trimmed = text.trimmed();
  const QUrl url(trimmed, QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) || url.host().isEmpty()) {
    return {};
  }
  return trimmed;
}

bool FileDropZone::isURLInputShown() const {
  return !m_urlSection->isHidden();
}

void FileDropZone::chooseFile() {
  if (!m_enabled || !m_prompts.chooseAudioFiles) return;
  const QList<QUrl> chosen = m_prompts.chooseAudioFiles(this, false);
  if (!chosen.isEmpty()) emit fileDropped(chosen.first());
}

void FileDropZone::toggleURLInput() {
  const bool show = !isURLInputShown();
  m_urlSection->setVisible(show);
  if (show) {
    m_urlField->setFocus();
  } else {
    m_urlField->clear();
  }
}

void FileDropZone::submitURL() {
  if (m_urlField->text().trimmed().isEmpty()) return;
  const QString address = acceptedAddress(m_urlField->text());
  if (address.isEmpty()) {
    // Only web addresses go to the downloader; anything else stays in the field.
    m_error->show();
    return;
  }
  emit youTubeURLSubmitted(address);
  m_urlField->clear();
  m_urlSection->hide();
}

bool FileDropZone::acceptDrop(const QMimeData* data) {
  if (!m_enabled) return false;
  const QList<QUrl> files = AudioFileTypes::audioFiles(data);
  QList<RefusedFile> refused = AudioFileTypes::refusedFiles(data);
  for (qsizetype i = 1; i < files.size(); ++i) {
    refused.append({QFileInfo(files[i].toLocalFile()).fileName(),
                    QStringLiteral("Only one file is taken here at a time; drop several on the file list to "
                                   "transcribe them one after another.")});
  }
  if (!refused.isEmpty()) emit filesRefused(refused);
  if (files.isEmpty()) return false;
  emit fileDropped(files.first());
  return true;
}

void FileDropZone::setTargeted(bool targeted) {
  if (m_targeted == targeted) return;
  m_targeted = targeted;
  updateColors();
  update();
}

void FileDropZone::dragEnterEvent(QDragEnterEvent* event) {
  // A drag of files is let in so that its drop can say what is not taken; the zone lights up
  // only for a file it will take.
  if (!m_enabled || !AudioFileTypes::hasLocalFiles(event->mimeData())) {
    event->ignore();
    return;
  }
  setTargeted(!AudioFileTypes::audioFiles(event->mimeData()).isEmpty());
  event->acceptProposedAction();
}

void FileDropZone::dragLeaveEvent(QDragLeaveEvent* event) {
  setTargeted(false);
  QWidget::dragLeaveEvent(event);
}

void FileDropZone::dropEvent(QDropEvent* event) {
  setTargeted(false);
  if (acceptDrop(event->mimeData())) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void FileDropZone::updateColors() {
  const QPalette& p = palette();
  // Dimmed while nothing hovers, never below 3:1.
  QColor logo = DropOutline::accent(p);
  if (!m_targeted) {
    logo.setAlphaF(0.8f);
    const QColor window = p.color(QPalette::Active, QPalette::Window);
    logo = withContrast(composited(logo, window), window, Theme::largeContrast);
  }
  m_logo->setPixmap(Icons::pixmap(QStringLiteral("waveform"), logo, 80, devicePixelRatioF()));
  m_fromURL->setIcon(Icons::icon(QStringLiteral("link"), p));
  // Blue once there is something to send, the secondary colour (disabled) while the field is empty.
  // The arrow is cut out of a filled disc, so the disc keeps text contrast with the window
  // showing through it.
  const QColor ready = withContrast(p.color(QPalette::Active, QPalette::Highlight),
                                    p.color(QPalette::Active, QPalette::Window), Theme::textContrast);
  m_submit->setIcon(Icons::icon(QStringLiteral("arrow-right"), ready, Theme::color(ThemeColor::secondaryText, p)));
}

void FileDropZone::updateSubmitButton() {
  m_submit->setEnabled(!m_urlField->text().isEmpty());
}

void FileDropZone::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QColor idle = Theme::color(ThemeColor::secondaryText, palette());
  idle.setAlphaF(0.3f);
  DropOutline::paint(painter, rect(), 16, palette(), m_targeted, idle);
}

}  // namespace parlowvista
