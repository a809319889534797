#include "Views/Workspace/TranscriptionSettingsSheet.h"

#include "ViewModels/TranscriptionViewModel.h"
#include "Views/Common/Divider.h"
#include "Views/Common/Icons.h"
#include "Views/Common/ScrollFollowsFocus.h"
#include "Views/Common/SectionBox.h"
#include "Views/Common/SheetEdge.h"
#include "Views/Common/SheetPlacement.h"
#include "Views/Common/Theme.h"
#include "Views/Common/ThemedLabel.h"
#include "Views/Common/WheelNeedsFocus.h"
#include "Views/Workspace/WorkspaceStyle.h"

#include <QBoxLayout>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSlider>

namespace parlowvista {

namespace {

QLabel* secondaryCaption(QWidget* parent, bool monospaced = false) {
  QLabel* label = captionLabel(QString(), parent);
  if (monospaced) label->setFont(monospacedCaptionFont(parent->font()));
  return label;
}

// A column with no margins of its own, filling `owner`.
QVBoxLayout* columnOn(QWidget* owner, int spacing) {
  auto* column = new QVBoxLayout(owner);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(spacing);
  return column;
}

// One row of the form: `start` at the leading edge, `end` at the trailing one. A label at the
// start names the control at the end for a screen reader.
QHBoxLayout* formRow(QWidget* start, QWidget* end) {
  auto* row = new QHBoxLayout;
  row->setContentsMargins(0, 0, 0, 0);
  row->addWidget(start);
  row->addStretch(1);
  row->addWidget(end);
  if (auto* label = qobject_cast<QLabel*>(start); label && end->focusPolicy() != Qt::NoFocus) label->setBuddy(end);
  return row;
}

// A labelled slider: the label and the value text in one row above the slider.
QWidget* sliderBlock(QWidget* parent, const QString& label, QSlider*& slider, QLabel*& value, int min, int max,
                     bool captionTitle) {
  auto* block = new QWidget(parent);
  auto* column = columnOn(block, 4);
  QLabel* title = plainLabel(label, block);
  if (captionTitle) setCaptionFont(title);
  value = secondaryCaption(block, true);
  column->addLayout(formRow(title, value));
  slider = new QSlider(Qt::Horizontal, block);
  slider->setRange(min, max);
  slider->setPageStep(1);
  slider->setAccessibleName(label);
  column->addWidget(slider);
  return block;
}

}  // namespace

QString TranscriptionSettingsSheet::strengthLabel(double value) {
  if (value < 0.3) return "Light";
  if (value < 0.7) return "Medium";
  return "Heavy";
}

QString TranscriptionSettingsSheet::presetDescription(int presetIndex) {
  static const QStringList texts = {"Automatic detection", "Better separation, may over-segment",
                                    "Default balanced settings", "Merge similar voices", "Manual threshold control"};
  return presetIndex >= 0 && presetIndex < texts.size() ? texts[presetIndex] : QString();
}

TranscriptionSettingsSheet::TranscriptionSettingsSheet(TranscriptionViewModel& viewModel,
                                                       const QString& sourceDescription, QWidget* parent)
    : QDialog(parent), m_vm(viewModel) {
  setWindowTitle("Transcription Settings");
  setAccessibleName("Transcription Settings");
  // The sheet is 480 by 600 at the standard font and grows with a larger one; on a screen with
  // less room it is smaller, and its form scrolls between the fixed header and footer.
  setMinimumSize(480, 600);
  keepOnScreen(this);
  drawEdgeAroundSheet(this);
  auto* column = columnOn(this, 0);
  column->addWidget(buildHeader(sourceDescription));
  column->addWidget(new Divider(this));

  auto* scroll = makeScrollingColumn(this);
  auto* body = new QWidget(scroll);
  auto* groups = new QVBoxLayout(body);
  groups->setContentsMargins(24, 24, 24, 24);
  groups->setSpacing(20);
  struct Group {
    const char* title;
    const char* symbol;
    QWidget* content;
  };
  for (const Group& g : {Group{"Audio Enhancement", "waveform.circle.fill", buildEnhancement()},
                         Group{"Speaker Detection", "play.circle", buildDiarization()},
                         Group{"Subtitle Settings", "doc.on.doc", buildSubtitles()}}) {
    auto* box = new SectionBox(g.title, workspace::symbolPath(g.symbol), body);
    g.content->setParent(box);
    box->rows()->addWidget(g.content);
    groups->addWidget(box);
  }
  groups->addStretch(1);
  scroll->setWidget(body);
  column->addWidget(scroll, 1);
  wheelNeedsFocus(scroll);
  column->addWidget(new Divider(this));
  column->addWidget(buildFooter());

  for (auto signal :
       {&TranscriptionViewModel::audioEnhancementChanged, &TranscriptionViewModel::isEnhancerAvailableChanged,
        &TranscriptionViewModel::diarizationPresetChanged, &TranscriptionViewModel::customThresholdChanged,
        &TranscriptionViewModel::numSpeakersChanged, &TranscriptionViewModel::minSpeakersChanged,
        &TranscriptionViewModel::maxSubtitleCharsChanged, &TranscriptionViewModel::maxSubtitleDurationChanged}) {
    connect(&m_vm, signal, this, &TranscriptionSettingsSheet::sync);
  }
  sync();
}

QWidget* TranscriptionSettingsSheet::buildHeader(const QString& sourceDescription) {
  auto* header = new QWidget(this);
  auto* column = new QVBoxLayout(header);
  column->setContentsMargins(16, 20, 16, 20);
  column->setSpacing(8);
  auto* symbol = new QLabel(header);
  symbol->setPixmap(
      Icons::pixmap(workspace::symbolPath("waveform.circle.fill"), QColor(0x00, 0x7A, 0xFF), 48, devicePixelRatioF()));
  symbol->setAlignment(Qt::AlignCenter);
  auto* title = plainLabel("Transcription Settings", header);
  QFont f = font();
  f.setPointSizeF(f.pointSizeF() * 1.4);
  f.setWeight(QFont::DemiBold);
  title->setFont(f);
  title->setAlignment(Qt::AlignCenter);
  m_source = secondaryCaption(header);
  m_source->setAlignment(Qt::AlignCenter);
  m_source->setWordWrap(true);
  // At most two lines; the rest is cut off.
  m_source->setMaximumHeight(m_source->fontMetrics().lineSpacing() * 2 + 2);
  m_source->setText(sourceDescription);
  column->addWidget(symbol);
  column->addWidget(title);
  column->addWidget(m_source);
  return header;
}

QWidget* TranscriptionSettingsSheet::buildEnhancement() {
  auto* section = new QWidget(this);
  auto* column = columnOn(section, 12);
  m_enhance = new QCheckBox("Enhance audio before transcription", section);
  m_ffmpegRequired = new ThemedLabel("FFmpeg required", ThemeColor::warning, section);
  setCaptionFont(m_ffmpegRequired);
  column->addLayout(formRow(m_enhance, m_ffmpegRequired));

  m_enhanceOptions = new QWidget(section);
  auto* options = columnOn(m_enhanceOptions, 12);
  options->addWidget(new Divider(m_enhanceOptions));
  m_normalize = new QCheckBox("Normalize volume", m_enhanceOptions);
  m_compression = new QCheckBox("Dynamic compression", m_enhanceOptions);
  m_compressionRow =
      sliderBlock(m_enhanceOptions, "Compression strength", m_compressionSlider, m_compressionValue, 0, 10, true);
  m_compressionRow->setContentsMargins(24, 0, 0, 0);
  m_noise = new QCheckBox("Noise reduction", m_enhanceOptions);
  m_noiseRow = sliderBlock(m_enhanceOptions, "Noise reduction strength", m_noiseSlider, m_noiseValue, 0, 10, true);
  m_noiseRow->setContentsMargins(24, 0, 0, 0);
  for (QWidget* w : {static_cast<QWidget*>(m_normalize), static_cast<QWidget*>(m_compression), m_compressionRow,
                     static_cast<QWidget*>(m_noise), m_noiseRow})
    options->addWidget(w);
  column->addWidget(m_enhanceOptions);

  auto edit = [this](auto change) {
    AudioEnhancementSettings s = m_vm.audioEnhancement();
    change(s);
    m_vm.setAudioEnhancement(s);
  };
  connect(m_enhance, &QCheckBox::toggled, this, [edit](bool on) { edit([on](auto& s) { s.enabled = on; }); });
  connect(m_normalize, &QCheckBox::toggled, this, [edit](bool on) { edit([on](auto& s) { s.normalizeVolume = on; }); });
  connect(m_compression, &QCheckBox::toggled, this,
          [edit](bool on) { edit([on](auto& s) { s.dynamicCompression = on; }); });
  connect(m_noise, &QCheckBox::toggled, this, [edit](bool on) { edit([on](auto& s) { s.noiseReduction = on; }); });
  connect(m_compressionSlider, &QSlider::valueChanged, this,
          [edit](int v) { edit([v](auto& s) { s.compressionStrength = v / 10.0; }); });
  connect(m_noiseSlider, &QSlider::valueChanged, this,
          [edit](int v) { edit([v](auto& s) { s.noiseReductionStrength = v / 10.0; }); });
  return section;
}

QWidget* TranscriptionSettingsSheet::buildDiarization() {
  auto* section = new QWidget(this);
  auto* column = columnOn(section, 12);
  m_preset = new QComboBox(section);
  m_preset->setAccessibleName("Detection mode");
  m_preset->setFixedWidth(160);
  for (DiarizationPreset p : allDiarizationPresets()) m_preset->addItem(rawValue(p));
  column->addLayout(formRow(plainLabel("Detection mode:", section), m_preset));
  m_presetDescription = secondaryCaption(section);
  column->addWidget(m_presetDescription);

  m_thresholdRow = new QWidget(section);
  auto* threshold = columnOn(m_thresholdRow, 4);
  threshold->addWidget(new Divider(m_thresholdRow));
  // 0.3 ... 0.8 in steps of 0.05: slider units of 1/20.
  threshold->addWidget(
      sliderBlock(m_thresholdRow, "Clustering threshold", m_threshold, m_thresholdValue, 6, 16, false));
  threshold->addLayout(
      formRow(captionLabel("More speakers", m_thresholdRow), captionLabel("Fewer speakers", m_thresholdRow)));
  column->addWidget(m_thresholdRow);
  column->addWidget(new Divider(section));

  auto* count = new QVBoxLayout;
  count->setSpacing(8);
  count->addWidget(plainLabel("Speaker count:", section));
  auto* modeRow = new QHBoxLayout;
  modeRow->addWidget(plainLabel("Mode", section));
  m_autoDetect = new QRadioButton("Auto-detect", section);
  m_exactCount = new QRadioButton("Exact count", section);
  m_mode = new QButtonGroup(section);
  m_mode->addButton(m_autoDetect, 0);
  m_mode->addButton(m_exactCount, 1);
  modeRow->addWidget(m_autoDetect);
  modeRow->addWidget(m_exactCount);
  modeRow->addStretch(1);
  count->addLayout(modeRow);
  m_numberRow = new QWidget(section);
  m_number = new QComboBox(m_numberRow);
  m_number->setAccessibleName("Number of speakers");
  m_number->setFixedWidth(80);
  for (int n = 1; n <= 8; ++n) m_number->addItem(QString::number(n), qint64(n));
  m_numberRow->setLayout(formRow(plainLabel("Number of speakers:", m_numberRow), m_number));
  count->addWidget(m_numberRow);
  column->addLayout(count);

  connect(m_preset, &QComboBox::currentIndexChanged, this, [this](int i) {
    if (i >= 0 && i < allDiarizationPresets().size()) m_vm.setDiarizationPreset(allDiarizationPresets()[i]);
  });
  connect(m_threshold, &QSlider::valueChanged, this, [this](int v) { m_vm.setCustomThreshold(v * 0.05); });
  connect(m_mode, &QButtonGroup::idClicked, this, [this](int id) {
    // Clicking the mode already shown is not a change (it would reset the number).
    const int shown = m_vm.numSpeakers() ? 1 : 0;
    if (id == shown) return;
    if (id == 0) {
      m_vm.setNumSpeakers(std::nullopt);
      m_vm.setMinSpeakers(1);
    } else {
      m_vm.setNumSpeakers(2);
      m_vm.setMinSpeakers(std::nullopt);
    }
  });
  connect(m_number, &QComboBox::currentIndexChanged, this, [this](int i) {
    if (i >= 0) m_vm.setNumSpeakers(m_number->itemData(i).toLongLong());
  });
  return section;
}

QWidget* TranscriptionSettingsSheet::buildSubtitles() {
  auto* section = new QWidget(this);
  auto* column = columnOn(section, 12);
  // Characters 50 ... 300 in steps of 10 (slider units of 10), seconds 5 ... 30.
  column->addWidget(sliderBlock(section, "Max characters per subtitle", m_chars, m_charsValue, 5, 30, false));
  column->addWidget(sliderBlock(section, "Max duration (seconds)", m_duration, m_durationValue, 5, 30, false));
  connect(m_chars, &QSlider::valueChanged, this, [this](int v) { m_vm.setMaxSubtitleChars(qint64(v) * 10); });
  connect(m_duration, &QSlider::valueChanged, this, [this](int v) { m_vm.setMaxSubtitleDuration(v); });
  return section;
}

QWidget* TranscriptionSettingsSheet::buildFooter() {
  auto* footer = new QWidget(this);
  auto* row = new QHBoxLayout(footer);
  row->setContentsMargins(16, 16, 16, 16);
  m_cancel = new QPushButton("Cancel", footer);
  m_cancel->setAutoDefault(false);
  m_start = new QPushButton("Start Transcription", footer);
  workspace::followSymbol(
      m_start, "play.fill", [](const QPalette& p) { return p.color(QPalette::ButtonText); }, 14);
  // The one default button: Return presses it. No field of the sheet has its own Return.
  m_start->setDefault(true);
  m_start->setAutoDefault(true);
  row->addWidget(m_cancel);
  row->addStretch(1);
  row->addWidget(m_start);
  connect(m_cancel, &QPushButton::clicked, this, &TranscriptionSettingsSheet::cancelRequested);
  connect(m_start, &QPushButton::clicked, this, &TranscriptionSettingsSheet::startRequested);
  return footer;
}

void TranscriptionSettingsSheet::reject() {
  emit cancelRequested();
}

void TranscriptionSettingsSheet::closeEvent(QCloseEvent* event) {
  event->ignore();
  emit cancelRequested();
}

void TranscriptionSettingsSheet::sync() {
  const AudioEnhancementSettings e = m_vm.audioEnhancement();
  const bool available = m_vm.isEnhancerAvailable();
  const QList<QObject*> controls = {m_enhance, m_normalize, m_compression, m_noise, m_compressionSlider, m_noiseSlider,
                                    m_preset,  m_threshold, m_number,      m_chars, m_duration};
  QList<std::shared_ptr<QSignalBlocker>> blockers;
  for (QObject* c : controls) blockers << std::make_shared<QSignalBlocker>(c);

  m_enhance->setChecked(e.enabled);
  m_enhance->setEnabled(available);
  m_ffmpegRequired->setVisible(!available);
  m_enhanceOptions->setVisible(e.enabled && available);
  m_normalize->setChecked(e.normalizeVolume);
  m_compression->setChecked(e.dynamicCompression);
  m_compressionRow->setVisible(e.dynamicCompression);
  m_compressionSlider->setValue(int(std::lround(e.compressionStrength * 10)));
  m_compressionValue->setText(strengthLabel(e.compressionStrength));
  m_noise->setChecked(e.noiseReduction);
  m_noiseRow->setVisible(e.noiseReduction);
  m_noiseSlider->setValue(int(std::lround(e.noiseReductionStrength * 10)));
  m_noiseValue->setText(strengthLabel(e.noiseReductionStrength));

  const int preset = int(allDiarizationPresets().indexOf(m_vm.diarizationPreset()));
  m_preset->setCurrentIndex(preset);
  m_presetDescription->setText(presetDescription(preset));
  m_thresholdRow->setVisible(m_vm.diarizationPreset() == DiarizationPreset::custom);
  m_threshold->setValue(int(std::lround(m_vm.customThreshold() * 20)));
  m_thresholdValue->setText(QString::asprintf("%.2f", m_vm.customThreshold()));

  const auto count = m_vm.numSpeakers();
  m_autoDetect->setChecked(!count);
  m_exactCount->setChecked(count.has_value());
  m_numberRow->setVisible(count.has_value());
  m_number->setCurrentIndex(m_number->findData(QVariant::fromValue(qint64(count.value_or(2)))));

  m_chars->setValue(int(m_vm.maxSubtitleChars() / 10));
  m_charsValue->setText(QString::number(m_vm.maxSubtitleChars()));
  m_duration->setValue(int(std::lround(m_vm.maxSubtitleDuration())));
  m_durationValue->setText(QString::asprintf("%.0f", m_vm.maxSubtitleDuration()));
}

}  // namespace parlowvista
