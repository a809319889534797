#include "Views/Workspace/AudioBar.h"

#include "Services/AudioPlayerService.h"
#include "Views/Common/Icons.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Common/TimeText.h"
#include "Views/Workspace/WorkspaceStyle.h"

#include <QBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QToolButton>

#include <algorithm>
#include <cmath>
#include <limits>

namespace parlowvista {

namespace {
// The slider counts milliseconds of the file: a key's step of seconds is that many seconds on
// a file of any length, and the time shown after it is the time stepped to.
constexpr double kStepsPerSecond = 1000;
}  // namespace

AudioBar::AudioBar(AudioPlayerService& player, QWidget* parent) : QWidget(parent), m_player(player) {
  Theme::setStripBackground(this);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(16, 12, 16, 12);
  column->setSpacing(6);
  auto* row = new QHBoxLayout;
  row->setSpacing(16);
  column->addLayout(row);
  m_play = new QToolButton(this);
  m_play->setAutoRaise(true);
  m_play->setIconSize(QSize(28, 28));
  m_play->setFixedSize(44, 44);
  m_elapsed = new QLabel(this);
  m_total = new QLabel(this);
  for (QLabel* l : {m_elapsed, m_total}) {
    l->setFont(monospacedCaptionFont(font()));
    l->setFixedWidth(std::max(60, l->fontMetrics().horizontalAdvance("000:00") + 4));
  }
  m_elapsed->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  m_total->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_slider = new SeekSlider(this);
  m_slider->setRange(0, 0);
  m_slider->setAccessibleName("Playback position");
  row->addWidget(m_play);
  row->addWidget(m_elapsed);
  row->addWidget(m_slider, 1);
  row->addWidget(m_total);

  m_problemRow = new QWidget(this);
  auto* problemLine = new QHBoxLayout(m_problemRow);
  problemLine->setContentsMargins(0, 0, 0, 0);
  problemLine->setSpacing(6);
  problemLine->addWidget(ThemedLabel::icon(QStringLiteral("warning"), ThemeColor::error, 14, m_problemRow));
  auto* problem = new ThemedLabel(QString(), ThemeColor::error, m_problemRow);
  problem->setWordWrap(true);
  problem->setTextInteractionFlags(Qt::TextSelectableByMouse);
  problem->setAccessibleName("Playback problem");
  m_problem = problem;
  problemLine->addWidget(m_problem, 1);
  column->addWidget(m_problemRow);
  m_problemRow->hide();

  connect(m_play, &QToolButton::clicked, this, [this] {
    if (m_player.isPlaying())
      m_player.pause();
    else
      m_player.play();
  });
  // Only the user's moves seek: the clock's updates are written with the signals blocked.
  connect(m_slider, &QSlider::valueChanged, this, [this](int value) { m_player.seek(value / kStepsPerSecond); });
  connect(&m_player, &AudioPlayerService::isPlayingChanged, this, &AudioBar::sync);
  connect(&m_player, &AudioPlayerService::currentTimeChanged, this, &AudioBar::sync);
  connect(&m_player, &AudioPlayerService::durationChanged, this, &AudioBar::sync);
  connect(&m_player, &AudioPlayerService::isLoadedChanged, this, &AudioBar::sync);
  connect(&m_player, &AudioPlayerService::problemChanged, this, &AudioBar::sync);
  // The play icon is drawn in the palette's text colour: again when the palette changes.
  Theme::followPalette(m_play, [this] { sync(); });
}

void AudioBar::sync() {
  const bool playing = m_player.isPlaying();
  m_play->setIcon(
      Icons::icon(workspace::symbolPath(playing ? "pause.fill" : "play.fill"), palette(), QPalette::WindowText));
  m_play->setAccessibleName(playing ? "Pause" : "Play");
  m_play->setToolTip(playing ? "Pause" : "Play");
  m_play->setEnabled(m_player.isLoaded());
  m_slider->setEnabled(m_player.isLoaded());
  const double duration = m_player.duration();
  const auto steps = [](double seconds) {
    return int(std::lround(std::clamp(seconds * kStepsPerSecond, 0.0, double(std::numeric_limits<int>::max()))));
  };
  if (m_slider->maximum() != steps(duration)) {
    QSignalBlocker block(m_slider);
    m_slider->setRange(0, steps(duration));
    m_slider->setLength(duration);
  }
  if (!m_slider->isSliderDown()) {
    QSignalBlocker block(m_slider);
    m_slider->setValue(steps(m_player.currentTime()));
  }
  // Assistive technology reads what each time is, and the time itself.
  const auto show = [](QLabel* label, const QString& what, double seconds) {
    const QString time = minutesSeconds(seconds);
    if (label->text() == time) return;
    label->setText(time);
    label->setAccessibleName(what + ' ' + time);
  };
  show(m_elapsed, QStringLiteral("Elapsed time"), m_player.currentTime());
  show(m_total, QStringLiteral("Total time"), m_player.duration());
  const QString& problem = m_player.problem();
  if (m_problem->text() != problem) {
    m_problem->setText(problem);
    m_problem->setAccessibleName(problem.isEmpty() ? QStringLiteral("Playback problem")
                                                   : QStringLiteral("Playback problem: ") + problem);
  }
  m_problemRow->setVisible(!problem.isEmpty());
}

}  // namespace parlowvista
