// Segment and speaker editing of TranscriptionViewModel. Every edit changes the current
// version's own result (the `completed` state) and never a translation shown in its tab.

#include "Models/StoredSegment.h"
#include "Models/StoredSpeaker.h"
#include "Models/TextGraphemes.h"
#include "Models/Transcription.h"
#include "Services/SpeechEngine.h"
#include "ViewModels/BackgroundJob.h"
#include "ViewModels/LogFormat.h"
#include "ViewModels/SpeakerList.h"
#include "ViewModels/TranscriptionViewModel.h"

#include <set>

namespace parlowvista {

namespace {

QString displayName(const Speaker& speaker) {
  return speaker.customName ? *speaker.customName : QString("Speaker %1").arg(speaker.speakerId + 1);
}

}  // namespace

bool TranscriptionViewModel::refuseOnTranslationTab() {
  // A translation's rows are not the version's: an index there names another segment.
  if (m_activeTab.isOriginal()) return false;
  addLog("Cannot edit a translation");
  return true;
}

void TranscriptionViewModel::updateSegmentText(qsizetype index, const QString& newText) {
  if (refuseOnTranslationTab()) return;
  TranscriptionResult* current = m_state.result();
  if (!current) return;
  const QList<TranscribedSegment> before = current->segments;
  TranscriptionResult result = *current;
  const bool inRange = index >= 0 && index < result.segments.size();
  if (inRange) result.segments[index].text = newText;
  setState(ProcessingState::completed(std::move(result)));
  if (inRange) m_segmentEdits.edited(before, m_state.result()->segments, index);
  noteShownEdited();
}

std::optional<qsizetype> TranscriptionViewModel::splitSegment(qsizetype index, const QString& withText,
                                                              qint64 cursorPosition) {
  if (refuseOnTranslationTab()) return std::nullopt;
  TranscriptionResult* current = m_state.result();
  if (!current) {
    addLog("Split failed: not in completed state");
    return std::nullopt;
  }
  if (index < 0 || index >= current->segments.size()) {
    addLog(QString("Split failed: index %1 out of bounds").arg(index));
    return std::nullopt;
  }
  TranscriptionResult result = *current;
  const bool textChanged = result.segments[index].text != withText;
  result.segments[index].text = withText;
  addLog(QString("Splitting segment %1 at cursor %2, text length: %3")
             .arg(index)
             .arg(cursorPosition)
             .arg(graphemeCount(withText)));
  const auto split = result.splitSegment(index, cursorPosition);
  const qsizetype total = result.segments.size();
  setState(ProcessingState::completed(std::move(result)));
  if (!split) {
    addLog("Split returned nil");
    // The typed text stays in the segment: it must reach the store like any other edit.
    if (textChanged) noteShownEdited();
    return std::nullopt;
  }
  addLog(QString("Split success: new segment at index %1, total: %2").arg(*split).arg(total));
  noteShownEdited();
  return split;
}

std::optional<qsizetype> TranscriptionViewModel::mergeWithPrevious(qsizetype index, const QString& currentText) {
  if (refuseOnTranslationTab()) return std::nullopt;
  TranscriptionResult* current = m_state.result();
  if (!current) {
    addLog("Merge failed: not in completed state");
    return std::nullopt;
  }
  if (index < 1) {
    addLog("Merge failed: cannot merge first segment");
    // Backspace at the start of the first row: nothing to merge into, but what was typed there
    // stays in the segment as an edit, as a refused split keeps it.
    if (index == 0 && !current->segments.isEmpty() && current->segments[0].text != currentText)
      updateSegmentText(0, currentText);
    return std::nullopt;
  }
  addLog(QString("Merging segment %1 with previous, total segments: %2").arg(index).arg(current->segments.size()));
  TranscriptionResult result = *current;
  const auto merged = result.mergeWithPrevious(index, currentText);
  const qsizetype total = result.segments.size();
  setState(ProcessingState::completed(std::move(result)));
  if (!merged) {
    addLog("Merge returned nil");
    return std::nullopt;
  }
  addLog(QString("Merge success: combined at index %1, total: %2").arg(*merged).arg(total));
  noteShownEdited();
  return merged;
}

QList<Speaker> TranscriptionViewModel::speakersOf(const Transcription& transcription) {
  // Only speakers with a name or a colour are stored: the others come back from the segments,
  // also when some speaker of the version is stored.
  QList<Speaker> speakers;
  std::set<qint64> stored;
  for (const StoredSpeaker* speaker : transcription.speakers()) {
    stored.insert(speaker->speakerId());
    insertSpeakerSorted(speakers, Speaker(speaker->speakerId(), speaker->customName(), speaker->colorHex()));
  }
  std::set<qint64> spoken;
  for (const StoredSegment* segment : transcription.sortedSegments()) spoken.insert(segment->speakerId());
  for (qint64 id : spoken) {
    if (!stored.count(id)) insertSpeakerSorted(speakers, Speaker(id));
  }
  return speakers;
}

void TranscriptionViewModel::loadSpeakers(Transcription* transcription) {
  const QList<Speaker> speakers = speakersOf(*transcription);
  setSpeakers(speakers);
  addLog(QString("Loaded %1 speakers").arg(speakers.size()));
}

void TranscriptionViewModel::renameSpeaker(qint64 speakerId, const QString& name) {
  if (refuseOnTranslationTab()) return;
  addLog(QString("Rename request: speaker %1 to '%2'").arg(speakerId).arg(name));
  QList<Speaker> speakers = m_speakers;
  for (Speaker& speaker : speakers) {
    if (speaker.speakerId != speakerId) continue;
    const QString trimmed = name.trimmed();
    speaker.customName = trimmed.isEmpty() ? std::nullopt : std::optional<QString>(trimmed);
    const QString label = displayName(speaker);
    setSpeakers(speakers);
    noteShownEdited();
    addLog(QString("Renamed speaker %1 to: %2").arg(speakerId).arg(label));
    return;
  }
  QStringList ids;
  for (const Speaker& speaker : m_speakers) ids << QString::number(speaker.speakerId);
  addLog(QString("Speaker %1 not found in speakers: [%2]").arg(speakerId).arg(ids.join(", ")));
}

std::optional<Speaker> TranscriptionViewModel::addNewSpeaker() {
  // The translation's speakers are those of its rows: a speaker added there is one no row has.
  if (refuseOnTranslationTab()) return std::nullopt;
  qint64 next = 0;
  for (const Speaker& speaker : m_speakers) next = std::max(next, speaker.speakerId + 1);
  const Speaker added(next);
  QList<Speaker> speakers = m_speakers;
  insertSpeakerSorted(speakers, added);
  setSpeakers(speakers);
  noteShownEdited();
  addLog("Added new speaker: " + displayName(added));
  return added;
}

void TranscriptionViewModel::reassignSegment(qsizetype index, qint64 speakerId, bool applyToAll) {
  if (refuseOnTranslationTab()) return;
  TranscriptionResult* current = m_state.result();
  if (!current || index < 0 || index >= current->segments.size()) return;
  const QList<TranscribedSegment> before = current->segments;
  TranscriptionResult result = *current;
  if (!applyToAll) {
    result.segments[index].speakerId = speakerId;
    addLog(QString("Reassigned segment %1 to speaker %2").arg(index).arg(speakerId));
  } else {
    const qint64 old = result.segments[index].speakerId;
    for (auto& segment : result.segments) {
      if (segment.speakerId == old) segment.speakerId = speakerId;
    }
    addLog(QString("Reassigned all segments from speaker %1 to %2").arg(old).arg(speakerId));
  }
  setState(ProcessingState::completed(std::move(result)));
  if (!applyToAll) m_segmentEdits.edited(before, m_state.result()->segments, index);
  noteShownEdited();
  const bool listed =
      std::any_of(m_speakers.begin(), m_speakers.end(), [&](const Speaker& s) { return s.speakerId == speakerId; });
  if (!listed) {
    QList<Speaker> speakers = m_speakers;
    insertSpeakerSorted(speakers, Speaker(speakerId));
    setSpeakers(speakers);
  }
}

SpeakerStats TranscriptionViewModel::speakerStats(qint64 speakerId) const {
  SpeakerStats stats;
  const TranscriptionResult* result = shownResult();
  if (!result) return stats;
  for (const auto& segment : result->segments) {
    if (segment.speakerId != speakerId) continue;
    ++stats.segmentCount;
    stats.totalDuration += segment.endTime - segment.startTime;
  }
  return stats;
}

void TranscriptionViewModel::retranscribeSegment(qsizetype index) {
  if (refuseOnTranslationTab()) return;
  const TranscriptionResult* result = m_state.result();
  if (!result) {
    addLog("Cannot re-transcribe: not in completed state");
    return;
  }
  if (index < 0 || index >= result->segments.size()) {
    addLog("Cannot re-transcribe: invalid segment index");
    return;
  }
  const TranscribedSegment segment = result->segments[index];
  // The stretch of the cached samples under the segment, cut at the end of the audio.
  std::optional<std::pair<std::size_t, std::size_t>> range;
  if (m_cachedSamples) {
    const auto start = static_cast<qint64>(segment.startTime * 16000);
    const auto end = std::min(static_cast<qint64>(segment.endTime * 16000), qint64(m_cachedSamples->size()));
    if (start >= 0 && start < end) range = std::make_pair(std::size_t(start), std::size_t(end));
  }
  if (!range) {
    addLog("Cannot re-transcribe: no cached audio samples");
    return;
  }
  if (!m_recognizer) {
    addLog("Cannot re-transcribe: ASR not initialized");
    return;
  }
  if (!beginRun()) {
    addLog("Cannot re-transcribe: system busy");
    return;
  }
  const quint64 generation = m_generation;
  setRetranscribingSegmentIndex(index);
  addLog(QString("Re-transcribing segment %1 [%2-%3s]...")
             .arg(index)
             .arg(formatFixed1(segment.startTime), formatFixed1(segment.endTime)));
  auto recognizer = m_recognizer;
  auto samples = m_cachedSamples;
  QPointer<Transcription> version = m_currentTranscription;
  const QUuid segmentId = segment.id;
  runJob<QString>(
      m_jobs, this,
      [recognizer, samples, range, stop = m_jobs.stopToken()] {
        const std::span<const float> stretch(samples->data() + range->first, range->second - range->first);
        return QString::fromStdString(recognizer->transcribe(stretch, {}, stop).text).trimmed();
      },
      [this, generation, version, segmentId, index](JobResult<QString> recognized) {
        setRetranscribingSegmentIndex(std::nullopt);
        endRun();
        if (m_generation != generation) return;
        if (!recognized.value) {
          addLog("Re-transcription failed: " + recognized.error);
          return;
        }
        if (recognized.value->isEmpty()) {
          addLog("Re-transcription returned empty text");
          return;
        }
        // Written into the segment with the same id, and only while its version is current.
        const TranscriptionResult* current = m_state.result();
        const qsizetype at = current ? std::find_if(current->segments.begin(), current->segments.end(),
                                                    [&](const TranscribedSegment& s) { return s.id == segmentId; }) -
                                           current->segments.begin()
                                     : -1;
        if (!current || m_currentTranscription != version || at >= current->segments.size()) {
          addLog("Re-transcription dropped: the segment is no longer shown");
          return;
        }
        const QList<TranscribedSegment> before = current->segments;
        TranscriptionResult result = *current;
        result.segments[at].text = *recognized.value;
        setState(ProcessingState::completed(std::move(result)));
        m_segmentEdits.edited(before, m_state.result()->segments, at);
        noteShownEdited();
        addLog(QString("Re-transcribed segment %1: \"%2...\"").arg(index).arg(recognized.value->left(50)));
      });
}

}  // namespace parlowvista
