#pragma once

#include <QScrollArea>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSlider;
class QWidget;

namespace parlowvista {

class ActivityLogView;
class TranscriptionViewModel;

// The main window's right-hand column, 280 wide: the status, the options of the next run
// (audio enhancement with its 10-second preview, speaker detection, subtitle limits), the
// figures and save status of a finished transcript, and the activity log. Every control reads
// and writes the view model; the panel keeps nothing of its own. The options stay editable
// while a run is in progress: a change is stored for the next run.
class SidePanel : public QScrollArea {
  Q_OBJECT

 public:
  explicit SidePanel(TranscriptionViewModel& viewModel, QWidget* parent = nullptr);

  ActivityLogView* activityLog() const { return m_log; }
  // "Light" below 0.3, "Medium" below 0.7, else "Heavy".
  static QString strengthLabel(double strength);

 private:
  QGroupBox* buildStatus();
  QGroupBox* buildEnhancement();
  QGroupBox* buildSpeakerDetection();
  QGroupBox* buildSubtitles();
  QGroupBox* buildResult();
  QGroupBox* buildSaveStatus();
  void refresh();
  void showPreviewButtons();

  TranscriptionViewModel& m_viewModel;
  bool m_refreshing = false;
  // Status
  QWidget* m_statusDot = nullptr;
  QLabel* m_statusMessage = nullptr;
  QProgressBar* m_statusProgress = nullptr;
  // Audio enhancement
  QCheckBox* m_enhance = nullptr;
  QLabel* m_ffmpegRequired = nullptr;
  QWidget* m_enhanceOptions = nullptr;
  QCheckBox* m_normalize = nullptr;
  QCheckBox* m_compression = nullptr;
  QWidget* m_compressionBlock = nullptr;
  QLabel* m_compressionLabel = nullptr;
  QSlider* m_compressionSlider = nullptr;
  QCheckBox* m_noise = nullptr;
  QWidget* m_noiseBlock = nullptr;
  QLabel* m_noiseLabel = nullptr;
  QSlider* m_noiseSlider = nullptr;
  QWidget* m_generating = nullptr;
  QPushButton* m_generatePreview = nullptr;
  QWidget* m_previewPair = nullptr;
  QPushButton* m_playOriginal = nullptr;
  QPushButton* m_playEnhanced = nullptr;
  // Speaker detection
  QComboBox* m_preset = nullptr;
  QLabel* m_presetDescription = nullptr;
  QWidget* m_thresholdBlock = nullptr;
  QLabel* m_thresholdValue = nullptr;
  QSlider* m_threshold = nullptr;
  QComboBox* m_countMode = nullptr;
  QComboBox* m_count = nullptr;
  // Subtitles
  QLabel* m_maxCharsValue = nullptr;
  QSlider* m_maxChars = nullptr;
  QLabel* m_maxDurationValue = nullptr;
  QSlider* m_maxDuration = nullptr;
  // Result and save status
  QGroupBox* m_result = nullptr;
  QLabel* m_duration = nullptr;
  QLabel* m_speakers = nullptr;
  QLabel* m_segments = nullptr;
  QLabel* m_speed = nullptr;
  QGroupBox* m_saveStatus = nullptr;
  QWidget* m_saveDot = nullptr;
  QLabel* m_saveText = nullptr;
  QLabel* m_lastSaved = nullptr;
  QPushButton* m_saveNow = nullptr;
  ActivityLogView* m_log = nullptr;
  QWidget* m_speakersPanel = nullptr;
};

}  // namespace parlowvista
