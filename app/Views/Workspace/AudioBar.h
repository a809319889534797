#pragma once

#include "Views/Common/SeekSlider.h"

#include <QWidget>

class QLabel;
class QToolButton;

namespace parlowvista {

class AudioPlayerService;

// The playback row above a transcript of a local file: play or pause, the elapsed time,
// the position slider and the total time. The slider shows the player's progress; only a
// move by the user seeks, never the sync from the player's clock. Under the row, when the
// player has one, the reason the file cannot be played or is not heard.
class AudioBar : public QWidget {
  Q_OBJECT

 public:
  explicit AudioBar(AudioPlayerService& player, QWidget* parent = nullptr);

  QToolButton* playButton() const { return m_play; }
  SeekSlider* slider() const { return m_slider; }
  QLabel* elapsedLabel() const { return m_elapsed; }
  QLabel* totalLabel() const { return m_total; }
  QLabel* problemLabel() const { return m_problem; }

 private:
  void sync();

  AudioPlayerService& m_player;
  QToolButton* m_play = nullptr;
  QLabel* m_elapsed = nullptr;
  SeekSlider* m_slider = nullptr;
  QLabel* m_total = nullptr;
  QWidget* m_problemRow = nullptr;
  QLabel* m_problem = nullptr;
};

}  // namespace parlowvista
