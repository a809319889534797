#include "Models/ContentTab.h"

#include "Models/Transcription.h"

#include <QHash>
#include <QString>

namespace parlowvista {

ContentTab ContentTab::translation(Transcription* transcription) {
  ContentTab tab;
  if (!transcription) return tab;
  tab.m_id = transcription->id();
  tab.m_transcription = transcription;
  return tab;
}

size_t qHash(const ContentTab& tab, size_t seed) {
  if (tab.isOriginal()) return qHash(QStringLiteral("original"), seed);
  return qHash(tab.translationId(), seed);
}

}  // namespace parlowvista
