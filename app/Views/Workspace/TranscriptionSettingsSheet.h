#pragma once

#include <QDialog>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSlider;
class QWidget;

namespace parlowvista {

class TranscriptionViewModel;

// The sheet shown after a file or address is chosen and before its run starts: a form over
// the view model's live settings (audio enhancement, speaker detection, subtitle limits).
// Every control writes the view model at once; there is no local copy and nothing is
// stored elsewhere. The sheet never closes itself: "Cancel" (or Escape) and
// "Start Transcription" (or Return, once) only report the choice; the presenter closes it.
//
// Controls are synced from the view model with their signals blocked, so a slider that
// cannot show a value exactly never writes its rounded value back, and re-choosing the
// speaker-count mode already shown changes nothing.
class TranscriptionSettingsSheet : public QDialog {
  Q_OBJECT

 public:
  TranscriptionSettingsSheet(TranscriptionViewModel& viewModel, const QString& sourceDescription,
                             QWidget* parent = nullptr);

  // "Light" below 0.3, "Medium" below 0.7, else "Heavy".
  static QString strengthLabel(double value);
  static QString presetDescription(int presetIndex);

  QCheckBox* enhanceToggle() const { return m_enhance; }
  QLabel* ffmpegRequiredLabel() const { return m_ffmpegRequired; }
  QWidget* enhancementOptions() const { return m_enhanceOptions; }
  QCheckBox* normalizeToggle() const { return m_normalize; }
  QCheckBox* compressionToggle() const { return m_compression; }
  QSlider* compressionSlider() const { return m_compressionSlider; }
  QLabel* compressionValue() const { return m_compressionValue; }
  QWidget* compressionRow() const { return m_compressionRow; }
  QCheckBox* noiseToggle() const { return m_noise; }
  QSlider* noiseSlider() const { return m_noiseSlider; }
  QLabel* noiseValue() const { return m_noiseValue; }
  QWidget* noiseRow() const { return m_noiseRow; }
  QComboBox* presetPicker() const { return m_preset; }
  QLabel* presetDescriptionLabel() const { return m_presetDescription; }
  QWidget* thresholdRow() const { return m_thresholdRow; }
  QSlider* thresholdSlider() const { return m_threshold; }
  QLabel* thresholdValue() const { return m_thresholdValue; }
  QRadioButton* autoDetectButton() const { return m_autoDetect; }
  QRadioButton* exactCountButton() const { return m_exactCount; }
  QWidget* speakerNumberRow() const { return m_numberRow; }
  QComboBox* speakerNumberPicker() const { return m_number; }
  QSlider* charsSlider() const { return m_chars; }
  QLabel* charsValue() const { return m_charsValue; }
  QSlider* durationSlider() const { return m_duration; }
  QLabel* durationValue() const { return m_durationValue; }
  QPushButton* cancelButton() const { return m_cancel; }
  QPushButton* startButton() const { return m_start; }
  QLabel* sourceLabel() const { return m_source; }

 signals:
  void cancelRequested();
  void startRequested();

 public slots:
  // Escape and the window's close button report a cancel; the presenter closes the sheet.
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QWidget* buildHeader(const QString& sourceDescription);
  QWidget* buildEnhancement();
  QWidget* buildDiarization();
  QWidget* buildSubtitles();
  QWidget* buildFooter();
  void sync();

  TranscriptionViewModel& m_vm;
  QLabel* m_source = nullptr;
  QCheckBox* m_enhance = nullptr;
  QLabel* m_ffmpegRequired = nullptr;
  QWidget* m_enhanceOptions = nullptr;
  QCheckBox* m_normalize = nullptr;
  QCheckBox* m_compression = nullptr;
  QWidget* m_compressionRow = nullptr;
  QSlider* m_compressionSlider = nullptr;
  QLabel* m_compressionValue = nullptr;
  QCheckBox* m_noise = nullptr;
  QWidget* m_noiseRow = nullptr;
  QSlider* m_noiseSlider = nullptr;
  QLabel* m_noiseValue = nullptr;
  QComboBox* m_preset = nullptr;
  QLabel* m_presetDescription = nullptr;
  QWidget* m_thresholdRow = nullptr;
  QSlider* m_threshold = nullptr;
  QLabel* m_thresholdValue = nullptr;
  QButtonGroup* m_mode = nullptr;
  QRadioButton* m_autoDetect = nullptr;
  QRadioButton* m_exactCount = nullptr;
  QWidget* m_numberRow = nullptr;
  QComboBox* m_number = nullptr;
  QSlider* m_chars = nullptr;
  QLabel* m_charsValue = nullptr;
  QSlider* m_duration = nullptr;
  QLabel* m_durationValue = nullptr;
  QPushButton* m_cancel = nullptr;
  QPushButton* m_start = nullptr;
};

}  // namespace parlowvista
