#include "Views/Shell/SidePanel.h"

#include "Models/DiarizationPreset.h"
#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Common/Divider.h"
#include "Views/Common/Icons.h"
#include "Views/Common/ProgressValue.h"
#include "Views/Common/ScrollFollowsFocus.h"
#include "Views/Common/Theme.h"
#include "Views/Common/WheelNeedsFocus.h"
#include "Views/Shell/ActivityLogView.h"
#include "Views/Shell/BusySpinner.h"
#include "Views/Shell/ProcessingScreens.h"
#include "Views/Workspace/SpeakersPanel.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include <cmath>

namespace parlowvista {

namespace {

// An 8-point filled circle. Decoration only: the text beside it says the same in words.
class Dot : public QWidget {
 public:
  explicit Dot(QWidget* parent) : QWidget(parent) { setFixedSize(8, 8); }
  void setColor(const QColor& color) {
    m_color = color;
    update();
  }
  QColor color() const { return m_color; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_color);
    painter.drawEllipse(rect());
  }

 private:
  QColor m_color;
};

QLabel* caption(const QString& text, QWidget* parent, const char* name = nullptr) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  if (name) label->setObjectName(QString::fromLatin1(name));
  return label;
}

// A preview button: its name and a play symbol, or "Stop" with a stop symbol in red while its
// preview plays.
void showPreviewButton(QPushButton* button, const QString& name, bool playing) {
  const QPalette palette = button->parentWidget()->palette();
  const QColor red = Theme::color(ThemeColor::error, palette, QPalette::Button);
  button->setText(playing ? QStringLiteral("Stop") : name);
  button->setIcon(playing ? Icons::icon(QStringLiteral("stop"), red)
                          : Icons::icon(QStringLiteral("play"), palette, QPalette::ButtonText));
  if (playing)
    Theme::setTextColor(button, red);
  else
    button->setPalette(QPalette());
}

QSlider* slider(QWidget* parent, int minimum, int maximum, const QString& name) {
  auto* control = new QSlider(Qt::Horizontal, parent);
  control->setRange(minimum, maximum);
  control->setSingleStep(1);
  control->setPageStep(1);
  control->setAccessibleName(name);
  return control;
}

QWidget* labelledValue(QWidget* parent, QLabel* label, QLabel* value) {
  auto* row = new QWidget(parent);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(label);
  layout->addStretch();
  layout->addWidget(value);
  return row;
}

QString presetDescription(DiarizationPreset preset) {
  switch (preset) {
    case DiarizationPreset::autoDetect: return QStringLiteral("Automatic detection");
    case DiarizationPreset::moreSpeakers: return QStringLiteral("Better separation, may over-segment");
    case DiarizationPreset::balanced: return QStringLiteral("Default balanced settings");
    case DiarizationPreset::fewerSpeakers: return QStringLiteral("Merge similar voices");
    case DiarizationPreset::custom: return QStringLiteral("Manual threshold control");
  }
  return {};
}

}  // namespace

QString SidePanel::strengthLabel(double strength) {
  if (strength < 0.3) return QStringLiteral("Light");
  if (strength < 0.7) return QStringLiteral("Medium");
  return QStringLiteral("Heavy");
}

SidePanel::SidePanel(TranscriptionViewModel& viewModel, QWidget* parent) : QScrollArea(parent), m_viewModel(viewModel) {
  setWidgetResizable(true);
  setFrameShape(QFrame::NoFrame);
  setFixedWidth(280);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFocusPolicy(Qt::NoFocus);
  // A control reached with Tab below the fold scrolls into view, whole.
  scrollFollowsFocus(this, 8);
  auto* content = new QWidget(this);
  auto* layout = new QVBoxLayout(content);
  layout->setSpacing(16);
  layout->addWidget(buildStatus());
  layout->addWidget(buildEnhancement());
  layout->addWidget(buildSpeakerDetection());
  m_speakersPanel = new SpeakersPanel(m_viewModel, content);
  layout->addWidget(m_speakersPanel);
  layout->addWidget(buildSubtitles());
  layout->addWidget(buildResult());
  layout->addWidget(buildSaveStatus());
  layout->addSpacing(16);
  layout->addStretch();
  auto* logBox = new QGroupBox(QStringLiteral("Activity Log"), content);
  auto* logLayout = new QVBoxLayout(logBox);
  m_log = new ActivityLogView(m_viewModel, logBox);
  logLayout->addWidget(m_log);
  layout->addWidget(logBox);
  setWidget(content);
  wheelNeedsFocus(this);

  for (auto signal :
       {&TranscriptionViewModel::stateChanged, &TranscriptionViewModel::audioEnhancementChanged,
        &TranscriptionViewModel::isEnhancerAvailableChanged, &TranscriptionViewModel::isGeneratingPreviewChanged,
        &TranscriptionViewModel::previewOriginalURLChanged, &TranscriptionViewModel::previewPlayingOriginalChanged,
        &TranscriptionViewModel::previewPlayingEnhancedChanged, &TranscriptionViewModel::currentFileChanged,
        &TranscriptionViewModel::currentAudioSourceChanged, &TranscriptionViewModel::diarizationPresetChanged,
        &TranscriptionViewModel::customThresholdChanged, &TranscriptionViewModel::numSpeakersChanged,
        &TranscriptionViewModel::minSpeakersChanged, &TranscriptionViewModel::maxSubtitleCharsChanged,
        &TranscriptionViewModel::maxSubtitleDurationChanged, &TranscriptionViewModel::hasUnsavedChangesChanged,
        &TranscriptionViewModel::lastSaveTimeChanged, &TranscriptionViewModel::activeTabChanged}) {
    connect(&m_viewModel, signal, this, &SidePanel::refresh);
  }
  connect(&m_viewModel, &TranscriptionViewModel::progressChanged, this,
          [this] { setProgressValue(m_statusProgress, static_cast<int>(m_viewModel.progress() * 1000)); });
  refresh();
}

QGroupBox* SidePanel::buildStatus() {
  auto* box = new QGroupBox(QStringLiteral("Status"));
  auto* layout = new QVBoxLayout(box);
  auto* row = new QHBoxLayout;
  m_statusDot = new Dot(box);
  m_statusDot->setObjectName(QStringLiteral("statusDot"));
  m_statusMessage = caption(QString(), box, "statusMessage");
  row->addWidget(m_statusDot);
  row->addWidget(m_statusMessage, 1);
  layout->addLayout(row);
  m_statusProgress = new QProgressBar(box);
  m_statusProgress->setRange(0, 1000);
  m_statusProgress->setTextVisible(false);
  m_statusProgress->setAccessibleName(QStringLiteral("Progress"));
  layout->addWidget(m_statusProgress);
  return box;
}

QGroupBox* SidePanel::buildEnhancement() {
  auto* box = new QGroupBox(QStringLiteral("Audio Enhancement"));
  auto* layout = new QVBoxLayout(box);
  auto* row = new QHBoxLayout;
  m_enhance = new QCheckBox(QStringLiteral("Enhance audio"), box);
  m_ffmpegRequired = caption(QStringLiteral("FFmpeg required"), box, "ffmpegRequired");
  row->addWidget(m_enhance);
  row->addStretch();
  row->addWidget(m_ffmpegRequired);
  layout->addLayout(row);

  m_enhanceOptions = new QWidget(box);
  auto* options = new QVBoxLayout(m_enhanceOptions);
  options->setContentsMargins(0, 0, 0, 0);
  m_normalize = new QCheckBox(QStringLiteral("Normalize volume"), m_enhanceOptions);
  m_compression = new QCheckBox(QStringLiteral("Dynamic compression"), m_enhanceOptions);
  m_noise = new QCheckBox(QStringLiteral("Noise reduction"), m_enhanceOptions);
  auto strengthBlock = [&](QWidget*& block, QLabel*& label, QSlider*& control, const QString& name) {
    block = new QWidget(m_enhanceOptions);
    auto* blockLayout = new QVBoxLayout(block);
    blockLayout->setContentsMargins(20, 0, 0, 0);
    label = caption(QString(), block);
    blockLayout->addWidget(labelledValue(block, caption(QStringLiteral("Strength"), block), label));
    control = slider(block, 0, 10, name);
    blockLayout->addWidget(control);
  };
  options->addWidget(m_normalize);
  options->addWidget(m_compression);
  strengthBlock(m_compressionBlock, m_compressionLabel, m_compressionSlider, QStringLiteral("Compression strength"));
  options->addWidget(m_compressionBlock);
  options->addWidget(m_noise);
  strengthBlock(m_noiseBlock, m_noiseLabel, m_noiseSlider, QStringLiteral("Noise reduction strength"));
  options->addWidget(m_noiseBlock);
  options->addWidget(caption(QStringLiteral("Preview (10 sec)"), m_enhanceOptions));
  m_generating = new QWidget(m_enhanceOptions);
  auto* generatingRow = new QHBoxLayout(m_generating);
  generatingRow->setContentsMargins(0, 0, 0, 0);
  generatingRow->addWidget(new BusySpinner(14, m_generating));
  generatingRow->addWidget(caption(QStringLiteral("Generating..."), m_generating), 1);
  options->addWidget(m_generating);
  m_generatePreview = new QPushButton(QStringLiteral("Generate Preview"), m_enhanceOptions);
  Theme::followPalette(m_generatePreview, [button = m_generatePreview] {
    button->setIcon(Icons::icon(QStringLiteral("waveform"), button->palette()));
  });
  options->addWidget(m_generatePreview);
  m_previewPair = new QWidget(m_enhanceOptions);
  auto* pair = new QHBoxLayout(m_previewPair);
  pair->setContentsMargins(0, 0, 0, 0);
  m_playOriginal = new QPushButton(m_previewPair);
  m_playEnhanced = new QPushButton(m_previewPair);
  pair->addWidget(m_playOriginal, 1);
  pair->addWidget(m_playEnhanced, 1);
  Theme::followPalette(m_previewPair, [this] { showPreviewButtons(); });
  options->addWidget(m_previewPair);
  layout->addWidget(m_enhanceOptions);

  auto edit = [this](auto change) {
    return [this, change](auto value) {
      if (m_refreshing) return;
      AudioEnhancementSettings settings = m_viewModel.audioEnhancement();
      change(settings, value);
      m_viewModel.setAudioEnhancement(settings);
    };
  };
  connect(m_enhance, &QCheckBox::toggled, this, edit([](AudioEnhancementSettings& s, bool on) { s.enabled = on; }));
  connect(m_normalize, &QCheckBox::toggled, this,
          edit([](AudioEnhancementSettings& s, bool on) { s.normalizeVolume = on; }));
  connect(m_compression, &QCheckBox::toggled, this,
          edit([](AudioEnhancementSettings& s, bool on) { s.dynamicCompression = on; }));
  connect(m_noise, &QCheckBox::toggled, this,
          edit([](AudioEnhancementSettings& s, bool on) { s.noiseReduction = on; }));
  connect(m_compressionSlider, &QSlider::valueChanged, this,
          edit([](AudioEnhancementSettings& s, int step) { s.compressionStrength = step / 10.0; }));
  connect(m_noiseSlider, &QSlider::valueChanged, this,
          edit([](AudioEnhancementSettings& s, int step) { s.noiseReductionStrength = step / 10.0; }));
  connect(m_generatePreview, &QPushButton::clicked, &m_viewModel, &TranscriptionViewModel::generateEnhancementPreview);
  connect(m_playOriginal, &QPushButton::clicked, this, [this] {
    if (m_viewModel.previewPlayingOriginal()) {
      m_viewModel.stopPreviewPlayback();
    } else {
      m_viewModel.playPreviewOriginal();
    }
  });
  connect(m_playEnhanced, &QPushButton::clicked, this, [this] {
    if (m_viewModel.previewPlayingEnhanced()) {
      m_viewModel.stopPreviewPlayback();
    } else {
      m_viewModel.playPreviewEnhanced();
    }
  });
  return box;
}

void SidePanel::showPreviewButtons() {
  showPreviewButton(m_playOriginal, QStringLiteral("Original"), m_viewModel.previewPlayingOriginal());
  showPreviewButton(m_playEnhanced, QStringLiteral("Enhanced"), m_viewModel.previewPlayingEnhanced());
}

QGroupBox* SidePanel::buildSpeakerDetection() {
  auto* box = new QGroupBox(QStringLiteral("Speaker Detection"));
  auto* layout = new QVBoxLayout(box);
  m_preset = new QComboBox(box);
  m_preset->setAccessibleName(QStringLiteral("Preset"));
  for (DiarizationPreset preset : allDiarizationPresets()) m_preset->addItem(rawValue(preset), rawValue(preset));
  layout->addWidget(m_preset);
  m_presetDescription = caption(QString(), box, "presetDescription");
  layout->addWidget(m_presetDescription);

  m_thresholdBlock = new QWidget(box);
  auto* threshold = new QVBoxLayout(m_thresholdBlock);
  threshold->setContentsMargins(0, 0, 0, 0);
  m_thresholdValue = caption(QString(), m_thresholdBlock, "thresholdValue");
  threshold->addWidget(
      labelledValue(m_thresholdBlock, caption(QStringLiteral("Threshold"), m_thresholdBlock), m_thresholdValue));
  m_threshold = slider(m_thresholdBlock, 0, 10, QStringLiteral("Threshold"));
  threshold->addWidget(m_threshold);
  threshold->addWidget(labelledValue(m_thresholdBlock, caption(QStringLiteral("More speakers"), m_thresholdBlock),
                                     caption(QStringLiteral("Fewer speakers"), m_thresholdBlock)));
  layout->addWidget(m_thresholdBlock);

  auto* line = new Divider(box);
  layout->addWidget(line);
  auto* modeLabel = caption(QStringLiteral("Speaker count:"), box);
  layout->addWidget(modeLabel);
  m_countMode = new QComboBox(box);
  m_countMode->addItems({QStringLiteral("Auto-detect"), QStringLiteral("Exact count")});
  m_countMode->setAccessibleName(QStringLiteral("Mode"));
  layout->addWidget(m_countMode);
  m_count = new QComboBox(box);
  m_count->setAccessibleName(QStringLiteral("Count"));
  for (int n = 1; n <= 8; ++n) m_count->addItem(QStringLiteral("%1 speaker%2").arg(n).arg(n == 1 ? "" : "s"), n);
  layout->addWidget(m_count);

  connect(m_preset, &QComboBox::activated, this, [this](int index) {
    if (auto preset = diarizationPresetFromRawValue(m_preset->itemData(index).toString())) {
      m_viewModel.setDiarizationPreset(*preset);
    }
  });
  connect(m_threshold, &QSlider::valueChanged, this, [this](int step) {
    if (!m_refreshing) m_viewModel.setCustomThreshold(0.3 + step * 0.05);
  });
  connect(m_countMode, &QComboBox::activated, this, [this](int mode) {
    if (mode == 0) {
      m_viewModel.setNumSpeakers(std::nullopt);
      m_viewModel.setMinSpeakers(1);
    } else {
      m_viewModel.setNumSpeakers(2);
      m_viewModel.setMinSpeakers(std::nullopt);
    }
  });
  connect(m_count, &QComboBox::activated, this,
          [this](int index) { m_viewModel.setNumSpeakers(m_count->itemData(index).toLongLong()); });
  return box;
}

QGroupBox* SidePanel::buildSubtitles() {
  auto* box = new QGroupBox(QStringLiteral("Subtitle Settings"));
  auto* layout = new QVBoxLayout(box);
  m_maxCharsValue = caption(QString(), box, "maxCharsValue");
  layout->addWidget(labelledValue(box, caption(QStringLiteral("Max characters"), box), m_maxCharsValue));
  m_maxChars = slider(box, 5, 30, QStringLiteral("Max characters"));  // tens of characters
  layout->addWidget(m_maxChars);
  m_maxDurationValue = caption(QString(), box, "maxDurationValue");
  layout->addWidget(labelledValue(box, caption(QStringLiteral("Max duration (sec)"), box), m_maxDurationValue));
  m_maxDuration = slider(box, 5, 30, QStringLiteral("Max duration (sec)"));
  layout->addWidget(m_maxDuration);
  connect(m_maxChars, &QSlider::valueChanged, this, [this](int tens) {
    if (!m_refreshing) m_viewModel.setMaxSubtitleChars(tens * 10);
  });
  connect(m_maxDuration, &QSlider::valueChanged, this, [this](int seconds) {
    if (!m_refreshing) m_viewModel.setMaxSubtitleDuration(seconds);
  });
  return box;
}

QGroupBox* SidePanel::buildResult() {
  m_result = new QGroupBox(QStringLiteral("Result"));
  auto* layout = new QVBoxLayout(m_result);
  const struct {
    const char* label;
    QLabel** value;
    const char* name;
  } rows[] = {{"Duration", &m_duration, "resultDuration"},
              {"Speakers", &m_speakers, "resultSpeakers"},
              {"Segments", &m_segments, "resultSegments"},
              {"Speed", &m_speed, "resultSpeed"}};
  for (const auto& row : rows) {
    *row.value = caption(QString(), m_result, row.name);
    layout->addWidget(labelledValue(m_result, caption(QString::fromLatin1(row.label), m_result), *row.value));
  }
  return m_result;
}

QGroupBox* SidePanel::buildSaveStatus() {
  m_saveStatus = new QGroupBox(QStringLiteral("Save Status"));
  auto* layout = new QVBoxLayout(m_saveStatus);
  auto* row = new QHBoxLayout;
  m_saveDot = new Dot(m_saveStatus);
  m_saveText = caption(QString(), m_saveStatus, "saveText");
  row->addWidget(m_saveDot);
  row->addWidget(m_saveText, 1);
  layout->addLayout(row);
  m_lastSaved = caption(QString(), m_saveStatus, "lastSaved");
  layout->addWidget(m_lastSaved);
  m_saveNow = new QPushButton(QStringLiteral("Save Now"), m_saveStatus);
  connect(m_saveNow, &QPushButton::clicked, &m_viewModel, &TranscriptionViewModel::saveCurrentTranscription);
  layout->addWidget(m_saveNow);
  return m_saveStatus;
}

void SidePanel::refresh() {
  m_refreshing = true;
  const ProcessingState& state = m_viewModel.state();
  const auto kind = state.kind();

  static_cast<Dot*>(m_statusDot)->setColor(ProcessingScreens::statusColor(state, m_viewModel.hasStatusWarning()));
  m_statusMessage->setText(m_viewModel.statusMessage());
  m_statusProgress->setVisible(kind == ProcessingState::Kind::loadingModels ||
                               kind == ProcessingState::Kind::processing);
  setProgressValue(m_statusProgress, static_cast<int>(m_viewModel.progress() * 1000));

  const AudioEnhancementSettings& enhancement = m_viewModel.audioEnhancement();
  const bool available = m_viewModel.isEnhancerAvailable();
  m_enhance->setChecked(enhancement.enabled);
  m_enhance->setEnabled(available);
  m_ffmpegRequired->setVisible(!available);
  m_enhanceOptions->setVisible(enhancement.enabled && available);
  m_normalize->setChecked(enhancement.normalizeVolume);
  m_compression->setChecked(enhancement.dynamicCompression);
  m_compressionBlock->setVisible(enhancement.dynamicCompression);
  m_compressionSlider->setValue(static_cast<int>(std::lround(enhancement.compressionStrength * 10)));
  m_compressionLabel->setText(strengthLabel(enhancement.compressionStrength));
  m_noise->setChecked(enhancement.noiseReduction);
  m_noiseBlock->setVisible(enhancement.noiseReduction);
  m_noiseSlider->setValue(static_cast<int>(std::lround(enhancement.noiseReductionStrength * 10)));
  m_noiseLabel->setText(strengthLabel(enhancement.noiseReductionStrength));
  const bool generating = m_viewModel.isGeneratingPreview();
  const bool hasPreview = !m_viewModel.previewOriginalURL().isEmpty();
  m_generating->setVisible(generating);
  m_generatePreview->setVisible(!generating && !hasPreview);
  m_generatePreview->setEnabled(!m_viewModel.currentFile().isEmpty() || m_viewModel.currentAudioSource());
  m_previewPair->setVisible(!generating && hasPreview);
  showPreviewButtons();

  const DiarizationPreset preset = m_viewModel.diarizationPreset();
  m_preset->setCurrentIndex(m_preset->findData(rawValue(preset)));
  m_presetDescription->setText(presetDescription(preset));
  m_thresholdBlock->setVisible(preset == DiarizationPreset::custom);
  m_threshold->setValue(static_cast<int>(std::lround((m_viewModel.customThreshold() - 0.3) / 0.05)));
  m_thresholdValue->setText(QString::asprintf("%.2f", m_viewModel.customThreshold()));
  const std::optional<qint64> count = m_viewModel.numSpeakers();
  m_countMode->setCurrentIndex(count ? 1 : 0);
  m_count->setVisible(count.has_value());
  m_count->setCurrentIndex(m_count->findData(count.value_or(2)));

  m_maxChars->setValue(static_cast<int>(m_viewModel.maxSubtitleChars() / 10));
  m_maxCharsValue->setText(QString::number(m_viewModel.maxSubtitleChars()));
  m_maxDuration->setValue(static_cast<int>(m_viewModel.maxSubtitleDuration()));
  m_maxDurationValue->setText(QString::asprintf("%.0f", m_viewModel.maxSubtitleDuration()));

  // The figures and speakers are the tab shown's, as its header and its export give them; the
  // save status stays the version's own.
  const std::optional<TranscriptionResult> result = m_viewModel.activeResult();
  m_result->setVisible(result.has_value());
  m_speakersPanel->setVisible(result.has_value());
  m_saveStatus->setVisible(state.result() != nullptr);
  if (result) {
    m_duration->setText(TranscriptionResult::formatDuration(result->audioDuration()));
    m_speakers->setText(QString::number(result->speakerCount()));
    m_segments->setText(QString::number(result->segments.size()));
    const double speed = result->processingTime() > 0 ? result->audioDuration() / result->processingTime() : 0;
    m_speed->setText(QString::asprintf("%.0fx", speed));
  }
  // The shown version's own state: another file's unsaved work is said where it is shown.
  const bool unsaved = m_viewModel.isShownWorkUnsaved();
  static_cast<Dot*>(m_saveDot)->setColor(unsaved ? QColor(0xFF, 0x95, 0x00) : QColor(0x34, 0xC7, 0x59));
  m_saveText->setText(unsaved ? QStringLiteral("Unsaved changes") : QStringLiteral("Saved"));
  const QDateTime saved = m_viewModel.lastSaveTime();
  m_lastSaved->setVisible(saved.isValid());
  m_lastSaved->setText(QStringLiteral("Last saved: ") +
                       QLocale().toString(saved.toLocalTime().time(), QLocale::ShortFormat));
  m_saveNow->setVisible(unsaved);
  m_refreshing = false;
}

}  // namespace parlowvista
