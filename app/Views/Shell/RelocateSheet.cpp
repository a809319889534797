#include "Views/Shell/RelocateSheet.h"

#include "Models/AudioSource.h"
#include "Services/FileAccessManager.h"
#include "Services/SampleCache.h"
#include "Store/ModelContext.h"
#include "Store/StoreError.h"
#include "ViewModels/TranscriptionViewModel.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace parlowvista {

RelocateSheet::RelocateSheet(const QString& filename, Handlers handlers, PickFile pickFile, QWidget* parent)
    : QDialog(parent), m_handlers(std::move(handlers)), m_pickFile(std::move(pickFile)) {
  setWindowTitle(QStringLiteral("Audio File Not Found"));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  auto* title = new QLabel(QStringLiteral("Audio File Not Found"), this);
  QFont font = title->font();
  font.setBold(true);
  font.setPointSize(font.pointSize() + 2);
  title->setFont(font);
  layout->addWidget(title);
  auto* name = new QLabel(filename, this);
  name->setTextFormat(Qt::PlainText);
  name->setObjectName(QStringLiteral("filename"));
  layout->addWidget(name);
  auto* explanation = new QLabel(
      QStringLiteral("The audio file was moved or deleted. Locate it to keep using its transcriptions."), this);
  explanation->setWordWrap(true);
  layout->addWidget(explanation);
  auto* buttons = new QHBoxLayout;
  auto* remove = new QPushButton(QStringLiteral("Delete Transcriptions"), this);
  auto* skip = new QPushButton(QStringLiteral("Skip"), this);
  auto* locate = new QPushButton(QStringLiteral("Locate File..."), this);
  locate->setDefault(true);
  buttons->addWidget(remove);
  buttons->addStretch();
  buttons->addWidget(skip);
  buttons->addWidget(locate);
  layout->addLayout(buttons);
  if (!m_pickFile) {
    m_pickFile = [](QWidget* parent, std::function<void(const QUrl&)> chosen) {
      auto* dialog = new QFileDialog(parent, QStringLiteral("Locate Audio File"));
      dialog->setAttribute(Qt::WA_DeleteOnClose);
      dialog->setFileMode(QFileDialog::ExistingFile);
      dialog->setNameFilter(QStringLiteral("Audio files (*.wav *.mp3 *.m4a *.aac *.flac *.aiff *.caf)"));
      QObject::connect(dialog, &QFileDialog::urlSelected, dialog, [chosen](const QUrl& url) { chosen(url); });
      dialog->open();
    };
  }
  connect(remove, &QPushButton::clicked, this, [this] {
    if (m_handlers.onDelete) m_handlers.onDelete();
  });
  connect(skip, &QPushButton::clicked, this, [this] {
    if (m_handlers.onCancel) m_handlers.onCancel();
  });
  connect(locate, &QPushButton::clicked, this, [this] {
    QPointer<RelocateSheet> self(this);
    m_pickFile(this, [self](const QUrl& url) {
      if (self && isAcceptedAudioFile(url) && self->m_handlers.onRelocate) self->m_handlers.onRelocate(url);
    });
  });
}

bool RelocateSheet::isAcceptedAudioFile(const QUrl& url) {
  static const QStringList extensions = {"wav", "mp3", "m4a", "aac", "flac", "aiff", "caf"};
  return extensions.contains(QFileInfo(url.path()).suffix().toLower());
}

RelocateFlow::RelocateFlow(FileAccessManager& fileAccess, ModelContext& context, TranscriptionViewModel& viewModel,
                           std::shared_ptr<SampleCache> sampleCache, QWidget* window, RelocateSheet::PickFile pickFile)
    : QObject(window),
      m_fileAccess(fileAccess),
      m_context(context),
      m_viewModel(viewModel),
      m_sampleCache(std::move(sampleCache)),
      m_window(window),
      m_pickFile(std::move(pickFile)) {
  connect(&m_fileAccess, &FileAccessManager::showRelocateDialogChanged, this, &RelocateFlow::showIfAsked);
}

void RelocateFlow::showIfAsked() {
  if (!m_fileAccess.showRelocateDialog()) {
    if (m_sheet) m_sheet->close();
    return;
  }
  AudioSource* source = m_fileAccess.pendingRelocate();
  if (!source || m_sheet) return;
  QPointer<AudioSource> guarded(source);
  RelocateSheet::Handlers handlers;
  handlers.onRelocate = [this, guarded](const QUrl& url) {
    if (guarded) relocate(guarded, url);
  };
  handlers.onCancel = [this] { skip(); };
  handlers.onDelete = [this, guarded] {
    if (guarded) deleteSource(guarded);
  };
  m_sheet = new RelocateSheet(source->filename(), std::move(handlers), m_pickFile, m_window);
  m_sheet->setAttribute(Qt::WA_DeleteOnClose);
  // Closed any other way: only the flag goes back.
  connect(m_sheet, &QDialog::rejected, this, [this] {
    if (m_fileAccess.showRelocateDialog()) m_fileAccess.setShowRelocateDialog(false);
  });
  m_sheet->open();
}

void RelocateFlow::relocate(AudioSource* source, const QUrl& url) {
  m_fileAccess.handleRelocation(source, url);
}

void RelocateFlow::skip() {
  m_fileAccess.setPendingRelocate(nullptr);
  m_fileAccess.setShowRelocateDialog(false);
}

void RelocateFlow::deleteSource(AudioSource* source) {
  const QUuid id = source->id();
  // The view model must not go on holding (and autosaving) versions that are about to go.
  if (m_viewModel.currentAudioSource() == source) m_viewModel.clearResult();
  m_context.remove(source);
  try {
    m_context.save();
  } catch (const StoreError&) {
    // The deletion stays pending in the context and goes with the next save.
  }
  if (m_sampleCache) m_sampleCache->removeCachedSamples(id);
  skip();
}

}  // namespace parlowvista
