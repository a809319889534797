#pragma once

#include "Models/AudioEnhancementSettings.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

namespace parlowvista {

class AudioEnhancer;
class AudioPlayerService;

// The enhancement preview: a short excerpt of one file as it is and as given enhancement
// settings make it, to be heard one after the other before a run is started with them.
//
// Threads: lives on the UI thread, where the enhancer answers too.
//
// Files: the excerpts are the enhancer's temporary files. Making a new pair, cleanup(), drop()
// and the destructor remove them; an excerpt that arrives after its preview was dropped (or
// after this object went) is removed as it arrives.
//
// Playback: one excerpt at a time, in a player of its own (the transcript's player and clock are
// not touched), and it stops by itself after the auto-stop interval.
class EnhancementPreview : public QObject {
  Q_OBJECT

 public:
  // `log` takes the preview's activity-log lines.
  EnhancementPreview(std::shared_ptr<AudioEnhancer> enhancer, std::function<void(const QString&)> log,
                     QObject* parent = nullptr);
  // Stops the playback and removes the excerpts, and announces none of it.
  ~EnhancementPreview() override;

  bool isGenerating() const { return m_generating; }
  QUrl originalURL() const { return m_originalURL; }
  QUrl enhancedURL() const { return m_enhancedURL; }
  bool playingOriginal() const { return m_playingOriginal; }
  bool playingEnhanced() const { return m_playingEnhanced; }
  // A pair is there or being made (the original's excerpt comes first).
  bool isMadeOrBeingMade() const { return m_generating || !m_originalURL.isEmpty(); }
  // The file that pair is (being) made of; empty after drop().
  const QUrl& source() const { return m_source; }

  // Makes the pair of the local file `source` with `settings` in place of the one before.
  // Nothing while a pair is being made.
  void generate(const QUrl& source, const AudioEnhancementSettings& settings);
  void stopPlayback();
  // Removes the excerpts.
  void cleanup();
  void play(bool original);
  // Stops and removes the pair, and drops one still being made.
  void drop();
  // Interval after which a playback stops by itself (11 s).
  void setAutoStopInterval(int milliseconds) { m_autoStopMs = milliseconds; }

 signals:
  void generatingChanged();
  void originalURLChanged();
  void enhancedURLChanged();
  void playingOriginalChanged();
  void playingEnhancedChanged();

 private:
  // Removes the excerpts' files, announcing nothing.
  void removeExcerpts() const;
  void setGenerating(bool value);
  void setURLs(const QUrl& original, const QUrl& enhanced);
  void setPlaying(bool original, bool enhanced);

  std::shared_ptr<AudioEnhancer> m_enhancer;
  std::function<void(const QString&)> m_log;
  AudioPlayerService* m_player = nullptr;  // made for the first playback
  QTimer m_stopTimer;
  int m_autoStopMs = 11000;
  bool m_generating = false;
  QUrl m_originalURL;
  QUrl m_enhancedURL;
  bool m_playingOriginal = false;
  bool m_playingEnhanced = false;
  QUrl m_source;
  quint64 m_run = 0;  // counts generations; an outdated one's excerpts are removed
};

}  // namespace parlowvista
