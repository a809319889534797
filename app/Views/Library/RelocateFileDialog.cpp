#include "Views/Library/RelocateFileDialog.h"

#include "Models/AudioSource.h"
#include "Views/Common/Icons.h"
#include "Views/Common/SheetEdge.h"
#include "Views/Common/SheetPlacement.h"
#include "Views/Common/Theme.h"
#include "Views/Library/AudioFileTypes.h"

#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace parlowvista {

namespace {
QLabel* centred(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignCenter);
  label->setWordWrap(true);
  return label;
}
}  // namespace

RelocateFileDialog::RelocateFileDialog(AudioSource* source, LibraryPrompts prompts, QWidget* parent)
    : QDialog(parent), m_prompts(std::move(prompts)) {
  setWindowTitle(QStringLiteral("File Not Found"));
  setAccessibleName(QStringLiteral("File Not Found"));
  drawEdgeAroundSheet(this);
  auto* icon = new QLabel(this);
  icon->setAlignment(Qt::AlignCenter);
  auto* title = centred(QStringLiteral("File Not Found"), this);
  QFont titleFont = title->font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.4);
  title->setFont(titleFont);
  auto* filename = centred(source ? source->filename() : QString(), this);
  QFont bold = filename->font();
  bold.setBold(true);
  filename->setFont(bold);
  auto* path = centred(source ? source->originalPath() : QString(), this);
  path->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  path->setAccessibleName(QStringLiteral("Original location"));

  m_locate = new QPushButton(QStringLiteral("Locate File..."), this);
  m_locate->setDefault(true);
  m_skip = new QPushButton(QStringLiteral("Skip"), this);
  m_skip->setAutoDefault(false);
  m_delete = new QPushButton(QStringLiteral("Delete Transcriptions"), this);
  m_delete->setAutoDefault(false);
  auto* divider = new QFrame(this);
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Plain);

  auto* row = new QHBoxLayout;
  row->setSpacing(12);
  row->addWidget(m_skip);
  row->addWidget(m_delete);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 24, 24, 24);
  layout->setSpacing(12);
  layout->addWidget(icon);
  layout->addWidget(title);
  layout->addWidget(centred(QStringLiteral("The audio file cannot be located:"), this));
  layout->addWidget(filename);
  layout->addWidget(centred(QStringLiteral("Original location:"), this));
  layout->addWidget(path);
  layout->addWidget(divider);
  layout->addWidget(m_locate);
  layout->addLayout(row);
  growWithFont(this, 400);

  // The icons are tinted from the palette, again whenever the desktop changes theme.
  Theme::followPalette(this, [this, icon] {
    icon->setPixmap(Icons::pixmap(QStringLiteral("folder-question"), Theme::color(ThemeColor::warning, palette()), 48,
                                  devicePixelRatioF()));
    m_locate->setIcon(Icons::icon(QStringLiteral("folder-question"), palette()));
  });
  connect(m_locate, &QPushButton::clicked, this, &RelocateFileDialog::locateFile);
  connect(m_skip, &QPushButton::clicked, this, &RelocateFileDialog::cancelRequested);
  connect(m_delete, &QPushButton::clicked, this, &RelocateFileDialog::deleteRequested);
}

bool RelocateFileDialog::isAcceptedFile(const QUrl& url) {
  return AudioFileTypes::hasAudioExtension(url.path());
}

void RelocateFileDialog::locateFile() {
  if (!m_prompts.chooseAudioFiles) return;
  const QList<QUrl> chosen = m_prompts.chooseAudioFiles(this, false);
  if (chosen.isEmpty() || !isAcceptedFile(chosen.first())) return;
  emit relocateRequested(chosen.first());
}

void RelocateFileDialog::reject() {
  emit cancelRequested();
}

void RelocateFileDialog::closeEvent(QCloseEvent* event) {
  event->ignore();
  emit cancelRequested();
}

}  // namespace parlowvista
