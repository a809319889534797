#pragma once

#include <QPointer>
#include <QUuid>

#include <cstddef>

namespace parlowvista {

class Transcription;

// Which workspace tab is shown: the current version's own transcript, or one of its stored
// translations. Two translation tabs are equal when their versions have the same id (two
// fetches of one version compare equal); `original` never equals a translation.
class ContentTab {
 public:
  ContentTab() = default;  // original
  static ContentTab original() { return {}; }
  static ContentTab translation(Transcription* transcription);

  bool isOriginal() const { return m_id.isNull(); }
  bool isTranslation() const { return !m_id.isNull(); }
  // The translation version; null for `original` or once the version is gone.
  Transcription* transcription() const { return m_transcription; }
  QUuid translationId() const { return m_id; }

  bool operator==(const ContentTab& other) const { return m_id == other.m_id; }

 private:
  QUuid m_id;
  QPointer<Transcription> m_transcription;
};

// "original" for the original tab, the translation's id otherwise.
size_t qHash(const ContentTab& tab, size_t seed = 0);

}  // namespace parlowvista
