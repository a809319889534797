#pragma once

#include "Models/TranscribedSegment.h"
#include "Models/Transcription.h"

#include <QList>
#include <QPointer>

namespace parlowvista {

// The editor's account of how its transcript of a version differs from what the version's rows
// hold: the rows took one list (ModelContext::updateSegments, which starts the account), and
// each later list was made from the one before by a change to a single segment, whose position
// is noted. With it the next update touches those rows alone. The lists are told apart by
// identity, so a change the account does not hear of (a split, a merge, another transcript
// shown) ends it: that update compares every row, as without an account.
class SegmentEdits {
 public:
  // `after` was made from `before` by changing the segment at `position` alone.
  void edited(const QList<TranscribedSegment>& before, const QList<TranscribedSegment>& after, qsizetype position) {
    if (!m_version || before.constData() != m_current.constData() || before.size() != after.size()) {
      m_version = nullptr;
      return;
    }
    m_current = after;
    m_positions.append(position);
  }

 private:
  friend class ModelContext;
  QPointer<Transcription> m_version;    // null: no account
  quint64 m_rowChanges = 0;             // the store's count of row changes when the rows took the list
  QList<TranscribedSegment> m_current;  // the newest list (shared with the editor's transcript)
  QList<qsizetype> m_positions;
};

}  // namespace parlowvista
