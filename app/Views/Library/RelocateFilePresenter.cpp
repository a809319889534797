#include "Views/Library/RelocateFilePresenter.h"

#include "Models/AudioSource.h"
#include "Services/FileAccessManager.h"
#include "Services/LibraryActions.h"
#include "Views/Common/SheetPlacement.h"
#include "Views/Library/RelocateFileDialog.h"

namespace parlowvista {

RelocateFilePresenter::RelocateFilePresenter(FileAccessManager& fileAccess, LibraryActions& actions, QWidget* window,
                                             LibraryPrompts prompts, QObject* parent)
    : QObject(parent), m_fileAccess(fileAccess), m_actions(actions), m_window(window), m_prompts(std::move(prompts)) {
  connect(&m_fileAccess, &FileAccessManager::showRelocateDialogChanged, this, &RelocateFilePresenter::update);
  connect(&m_fileAccess, &FileAccessManager::pendingRelocateChanged, this, &RelocateFilePresenter::update);
}

void RelocateFilePresenter::update() {
  AudioSource* source = m_fileAccess.pendingRelocate();
  const bool wanted = m_fileAccess.showRelocateDialog() && source;
  if (m_dialog && (!wanted || m_dialog->property("sourceId").toUuid() != source->id())) {
    m_dialog->hide();
    m_dialog->deleteLater();
    m_dialog = nullptr;
  }
  if (!wanted || m_dialog) return;
  m_dialog = new RelocateFileDialog(source, m_prompts, m_window);
  m_dialog->setProperty("sourceId", source->id());
  m_dialog->setWindowModality(Qt::WindowModal);
  QPointer<AudioSource> target(source);
  connect(m_dialog, &RelocateFileDialog::relocateRequested, this, [this, target](const QUrl& file) {
    if (target) m_actions.relocate(target, file);  // clears the pending state, then saves
    finish();
  });
  connect(m_dialog, &RelocateFileDialog::cancelRequested, this, &RelocateFilePresenter::finish);
  connect(m_dialog, &RelocateFileDialog::deleteRequested, this, [this, target] {
    if (!target) return finish();
    const QString message = QStringLiteral("Delete \"%1\" and all its transcriptions?").arg(target->filename());
    if (!m_prompts.confirmDelete(m_dialog, QStringLiteral("Delete Audio?"), message)) return;
    m_fileAccess.setPendingRelocate(nullptr);
    m_actions.deleteAudioSource(target);
    finish();
  });
  m_dialog->show();
  centreOverParentWindow(m_dialog);
}

void RelocateFilePresenter::finish() {
  m_fileAccess.setPendingRelocate(nullptr);
  m_fileAccess.setShowRelocateDialog(false);
}

}  // namespace parlowvista
