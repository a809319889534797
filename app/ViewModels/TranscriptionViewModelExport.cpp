// Export and the hand-off to translation.

#include "Models/AudioSource.h"
#include "Models/StoredSegment.h"
#include "Models/StoredSpeaker.h"
#include "Models/SupportedLanguage.h"
#include "Models/Transcription.h"
#include "Services/Translation/TranslationService.h"
#include "Store/ModelContext.h"
#include "Store/StoreError.h"
#include "ViewModels/FileDialogs.h"
#include "ViewModels/LogFormat.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "ViewModels/TranslationCost.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextBoundaryFinder>

#include <algorithm>

#include <cstdio>

namespace parlowvista {

namespace {

// `base` followed by `suffix`, cut (at a character's end) so that the whole fits a file name
// with its extension: the suffix is never what is cut.
QString fittingWithSuffix(const QString& base, const QString& suffix) {
  QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, base);
  characters.toEnd();
  qsizetype end = base.size();
  while (end > 0 && ExportService::fittingBaseName(base.left(end) + suffix) != base.left(end) + suffix) {
    end = characters.toPreviousBoundary();
  }
  return base.left(std::max<qsizetype>(end, 0)) + suffix;
}

}  // namespace

QString TranscriptionViewModel::exportFileName(ExportFormat format) const {
  const QString base =
      m_currentFile.isEmpty() ? QString("transcript") : QFileInfo(m_currentFile.path()).completeBaseName();
  // A translation's export says its language, and so never takes the name of the original's.
  const Transcription* translation = m_activeTab.isTranslation() ? m_activeTab.transcription() : nullptr;
  if (!translation) return ExportService::fittingBaseName(base) + "." + fileExtension(format);
  const QString code = translation->targetLanguage().value_or(translation->name());
  const auto language = SupportedLanguage::find(code);
  return fittingWithSuffix(base, " (" + (language ? language->name : code) + ")") + "." + fileExtension(format);
}

void TranscriptionViewModel::exportTranscript(ExportFormat format) {
  commitOpenEdit();
  const std::optional<TranscriptionResult> shown = activeResult();
  if (!m_state.result() || !shown) return;
  QPointer<TranscriptionViewModel> self(this);
  m_deps.dialogs->chooseSaveFile(exportFileName(format), fileExtension(format),
                                 [self, result = *shown, speakers = activeSpeakers(), format](const QString& path) {
                                   if (self) self->performExport(result, speakers, format, path);
                                 });
}

void TranscriptionViewModel::performExport(const TranscriptionResult& result, ExportFormat format,
                                           const QString& filePath) {
  performExport(result, m_speakers, format, filePath);
}

void TranscriptionViewModel::performExport(const TranscriptionResult& result, const QList<Speaker>& speakers,
                                           ExportFormat format, const QString& filePath) {
  try {
    ExportService().exportResult(result, speakers, format, filePath);
    addLog("Exported " + fileExtension(format).toUpper() + " to: " + QFileInfo(filePath).fileName());
  } catch (const ExportService::ExportError& error) {
    addLog("Export failed: " + error.localizedDescription());
  }
}

void TranscriptionViewModel::exportAll() {
  commitOpenEdit();
  const std::optional<TranscriptionResult> shown = activeResult();
  if (!m_state.result() || !shown) return;
  QPointer<TranscriptionViewModel> self(this);
  m_deps.dialogs->chooseFolder(
      "Choose a folder to save all export formats",
      [self, result = *shown, speakers = activeSpeakers(),
       base = QFileInfo(exportFileName(ExportFormat::txt)).completeBaseName()](const QString& folder) {
        if (self) self->performExportAll(result, speakers, base, folder);
      });
}

void TranscriptionViewModel::performExportAll(const TranscriptionResult& result, const QString& folder) {
  performExportAll(result, m_speakers, QFileInfo(exportFileName(ExportFormat::txt)).completeBaseName(), folder);
}

void TranscriptionViewModel::performExportAll(const TranscriptionResult& result, const QList<Speaker>& speakers,
                                              const QString& base, const QString& folder) {
  QStringList failed;
  for (ExportFormat format : allExportFormats()) {
    const QString path = QDir(folder).filePath(base + "." + fileExtension(format));
    try {
      ExportService().exportResult(result, speakers, format, path);
    } catch (const ExportService::ExportError& error) {
      addLog("Failed to export " + fileExtension(format) + ": " + error.localizedDescription());
      failed << fileExtension(format);
    }
  }
  const QString folderName = QFileInfo(QDir::cleanPath(folder)).fileName() + "/";
  if (failed.isEmpty()) {
    addLog("Exported all formats to: " + folderName);
  } else if (failed.size() == allExportFormats().size()) {
    addLog("Export failed: no format could be written to " + folderName);
  } else {
    addLog("Exported to " + folderName + " except: " + failed.join(", "));
  }
}

void TranscriptionViewModel::createTranslation(const QString& targetLanguage) {
  commitOpenEdit();
  QPointer<Transcription> version = m_currentTranscription;
  const TranscriptionResult* current = m_state.result();
  m_translation.setError(std::nullopt);
  if (!m_deps.translationService) {
    m_translation.setError("Translation is not available");
    addLog(*m_translation.error());
    return;
  }
  if (!version || !m_modelContext || !current || current->segments.isEmpty()) {
    std::fprintf(stderr, "[Translation] No transcription or segments to translate\n");
    m_translation.setError("No segments to translate");
    addLog(*m_translation.error());
    return;
  }
  const TranscriptionResult result = *current;
  const auto language = SupportedLanguage::find(targetLanguage);
  const QString displayName = language ? language->name : targetLanguage;
  std::fprintf(stderr, "[Translation] Starting translation of %lld segments to %s\n",
               static_cast<long long>(result.segments.size()), qPrintable(displayName));
  m_translation.setTranslating(true);
  m_translation.setProgress(0);
  m_translation.setStatus("Starting translation...");
  addLog("Starting translation to " + displayName + "...");

  // A newer hand-off supersedes this one: its outcome is then dropped, never stored.
  const quint64 run = m_translation.supersede();
  TranslationService* service = m_deps.translationService;
  const auto mirror = [this, service] {
    m_translation.setProgress(service->progress());
    m_translation.setStatus(service->statusMessage());
  };
  m_translation.mirror({connect(service, &TranslationService::progressChanged, this, mirror),
                        connect(service, &TranslationService::statusMessageChanged, this, mirror)});
  QPointer<TranscriptionViewModel> self(this);
  service->translate(result.segments, targetLanguage, std::nullopt,
                     [self, run, version, result](const TranslationOutcome& outcome) {
                       if (self) self->finishTranslation(run, outcome, version, result);
                     });
}

void TranscriptionViewModel::finishTranslation(quint64 run, const TranslationOutcome& outcome,
                                               QPointer<Transcription> version, TranscriptionResult result) {
  if (!m_translation.isCurrent(run)) return;
  m_translation.stopMirroring();
  const auto fail = [this](const QString& description) {
    // The service's own failures already begin with the words: they are said once.
    const QString prefix = QStringLiteral("Translation failed: ");
    const QString reason = description.startsWith(prefix) ? description.mid(prefix.size()) : description;
    m_translation.setError(prefix + reason);
    m_translation.setTranslating(false);
    m_translation.setProgress(0);
    m_translation.setStatus("Translation failed");
    std::fprintf(stderr, "[Translation] Failed: %s\n", qPrintable(reason));
    addLog(*m_translation.error());
  };
  if (!outcome.result) {
    fail(outcome.error ? outcome.error->localizedDescription() : QString("Translation was cancelled"));
    return;
  }
  if (!version || version->isDeleted() || !m_modelContext) {
    fail("the version to translate is gone");
    return;
  }
  const TranslationResult& translated = *outcome.result;
  const QString code = translated.targetLanguage;
  const auto language = SupportedLanguage::find(code);
  const QString displayName = language ? language->name : code;

  auto* translation =
      new Transcription(displayName, translated.processingTime, version->preset(), version->customThreshold(),
                        version->minSpeakers(), version->maxSubtitleChars(), version->maxSubtitleDuration());
  translation->setIsTranslation(true);
  translation->setTargetLanguage(code);
  translation->setSourceTranscription(version);
  translation->setAudioSource(version->audioSource());
  m_modelContext->insert(translation);
  qint64 order = 0;
  for (const TranslatedSegment& segment : translated.segments) {
    qint64 speakerId = 0;
    double start = 0;
    double end = 0;
    for (const TranscribedSegment& original : result.segments) {
      if (original.id != segment.originalSegmentId) continue;
      speakerId = original.speakerId;
      start = original.startTime;
      end = original.endTime;
      break;
    }
    translation->appendSegment(new StoredSegment(order++, speakerId, start, end, segment.translatedText));
  }
  for (const StoredSpeaker* speaker : version->speakers()) {
    translation->appendSpeaker(new StoredSpeaker(speaker->speakerId(), speaker->customName(), speaker->colorHex()));
  }
  try {
    m_modelContext->save();
  } catch (const StoreError& error) {
    m_modelContext->remove(translation);
    fail(error.localizedDescription());
    return;
  }
  m_translation.setTranslating(false);
  m_translation.setProgress(1.0);
  m_translation.setStatus("Translation complete");
  std::fprintf(stderr, "[Translation] Complete: %lld segments\n", static_cast<long long>(translated.segments.size()));
  addLog(QString("Translation to %1 complete: %2 segments in %3s%4")
             .arg(displayName)
             .arg(translated.segments.size())
             .arg(formatFixed1(translated.processingTime))
             .arg(translationCostNote(translated)));
  // Shown only where it was asked for: a user who moved on is not pulled back.
  if (version == m_currentTranscription) setActiveTab(ContentTab::translation(translation));
}

void TranscriptionViewModel::cancelTranslation() {
  if (!m_translation.isTranslating()) return;
  m_translation.supersede();  // whatever the provider still answers is dropped
  if (m_deps.translationService) m_deps.translationService->cancel();
  m_translation.setError(std::nullopt);
  m_translation.setTranslating(false);
  m_translation.setProgress(0);
  m_translation.setStatus("Translation cancelled");
  addLog("Translation cancelled");
}

void TranscriptionViewModel::deleteTranslation(Transcription* translation) {
  if (!m_modelContext || !translation) return;
  const QString name = translation->name();
  commitOpenEdit();
  saveIfNeeded();
  if (m_activeTab.isTranslation() && m_activeTab.translationId() == translation->id()) {
    setActiveTab(ContentTab::original());
  }
  m_modelContext->remove(translation);
  try {
    m_modelContext->save();
  } catch (const StoreError& error) {
    addLog("Failed to delete translation: " + name + " (" + error.localizedDescription() + ")");
    return;
  }
  addLog("Deleted translation: " + name);
}

}  // namespace parlowvista
