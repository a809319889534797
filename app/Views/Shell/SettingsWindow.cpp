#include "Views/Shell/SettingsWindow.h"

#include "Models/AppSettings.h"
#include "Models/DiarizationPreset.h"
#include "Views/Common/CloseKeys.h"
#include "Views/Common/Icons.h"
#include "Views/Common/SheetPlacement.h"
#include "Views/Common/Theme.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QDoubleValidator>
#include <QEvent>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace parlowvista {

namespace {

constexpr double kIntervals[] = {1.0, 2.0, 5.0, 10.0};

// The threshold slider moves in steps of 0.05 from 0.3 to 0.8: positions 0...10.
int thresholdPosition(double value) {
  return static_cast<int>(std::lround((value - 0.3) / 0.05));
}
double thresholdValue(int position) {
  return 0.3 + position * 0.05;
}

// A path in at most two lines, shortened in its middle when it needs more: a path, unlike
// prose, breaks anywhere. The whole path is its tooltip.
class TwoLinePath : public QLabel {
 public:
  using QLabel::QLabel;

  void setPath(const QString& path) {
    m_path = path;
    setToolTip(path);
    fit();
  }
  // Room for two lines, in whatever width the window gives.
  QSize minimumSizeHint() const override {
    const QFontMetrics metrics(font());
    const QMargins m = contentsMargins();
    return {8 * metrics.averageCharWidth() + m.left() + m.right(), 2 * metrics.lineSpacing() + m.top() + m.bottom()};
  }
  QSize sizeHint() const override { return minimumSizeHint(); }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QLabel::resizeEvent(event);
    fit();
  }
  void changeEvent(QEvent* event) override {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) fit();
  }

 private:
  void fit() {
    const QFontMetrics metrics(font());
    const int width = contentsRect().width();
    QString shown = m_path;
    // The least shortening whose two halves each fit a line.
    for (int budget = 2 * width; budget > 0 && width > 0; budget -= std::max(1, width / 20)) {
      const QString elided = metrics.elidedText(m_path, Qt::ElideMiddle, budget);
      qsizetype cut = elided.size();
      while (cut > 0 && metrics.horizontalAdvance(elided.left(cut)) > width) --cut;
      const QString rest = elided.mid(cut);
      if (metrics.horizontalAdvance(rest) > width) continue;
      shown = rest.isEmpty() ? elided : elided.left(cut) + QLatin1Char('\n') + rest;
      break;
    }
    if (text() != shown) QLabel::setText(shown);
  }

  QString m_path;
};

}  // namespace

SettingsWindow::SettingsWindow(AppSettings& settings, std::function<void(const QString&)> openFolder, QWidget* parent)
    : QWidget(parent), m_settings(settings), m_openFolder(std::move(openFolder)) {
  setWindowTitle(QStringLiteral("Settings"));
  setFixedSize(500, 350);
  keepOnScreen(this);
  closeWithEscapeOrCtrlW(this);
  if (!m_openFolder) {
    m_openFolder = [](const QString& folder) { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); };
  }
  auto* layout = new QVBoxLayout(this);
  m_tabs = new QTabWidget(this);
  m_tabs->addTab(buildGeneral(), QStringLiteral("General"));
  m_tabs->addTab(buildTranscription(), QStringLiteral("Transcription"));
  Theme::followPalette(m_tabs, [tabs = m_tabs] {
    tabs->setTabIcon(0, Icons::icon(QStringLiteral("gear"), tabs->palette(), QPalette::WindowText));
    tabs->setTabIcon(1, Icons::icon(QStringLiteral("waveform"), tabs->palette(), QPalette::WindowText));
  });
  // The tabs switch with Ctrl+Tab; Tab moves between the controls.
  m_tabs->tabBar()->setFocusPolicy(Qt::NoFocus);
  layout->addWidget(m_tabs);
  for (auto signal : {&AppSettings::libraryLocationChanged, &AppSettings::autoSaveIntervalChanged,
                      &AppSettings::defaultDiarizationPresetChanged, &AppSettings::defaultCustomThresholdChanged,
                      &AppSettings::defaultMaxSubtitleCharsChanged, &AppSettings::defaultMaxSubtitleDurationChanged}) {
    connect(&m_settings, signal, this, &SettingsWindow::refresh);
  }
  refresh();
}

QWidget* SettingsWindow::buildGeneral() {
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);

  auto* storage = new QGroupBox(QStringLiteral("Data Storage"), page);
  auto* storageLayout = new QVBoxLayout(storage);
  m_location = new TwoLinePath(storage);
  m_location->setTextFormat(Qt::PlainText);
  m_location->setObjectName(QStringLiteral("libraryLocation"));
  m_location->setTextInteractionFlags(Qt::TextSelectableByMouse);
  storageLayout->addWidget(m_location);
  auto* open = new QPushButton(QStringLiteral("Open in File Manager"), storage);
  connect(open, &QPushButton::clicked, this, [this] { m_openFolder(m_settings.libraryLocation()); });
  storageLayout->addWidget(open, 0, Qt::AlignLeft);
  layout->addWidget(storage);

  auto* autoSave = new QGroupBox(QStringLiteral("Auto-Save"), page);
  auto* autoSaveLayout = new QFormLayout(autoSave);
  m_interval = new QComboBox(autoSave);
  m_interval->setObjectName(QStringLiteral("saveInterval"));
  for (double seconds : kIntervals) {
    m_interval->addItem(seconds == 1.0 ? QStringLiteral("1 second") : QStringLiteral("%1 seconds").arg(seconds),
                        seconds);
  }
  autoSaveLayout->addRow(QStringLiteral("Save interval"), m_interval);
  connect(m_interval, &QComboBox::activated, this,
          [this](int index) { m_settings.setAutoSaveInterval(m_interval->itemData(index).toDouble()); });
  layout->addWidget(autoSave);

  auto* reset = new QPushButton(QStringLiteral("Reset to Defaults"), page);
  connect(reset, &QPushButton::clicked, &m_settings, &AppSettings::resetToDefaults);
  layout->addWidget(reset, 0, Qt::AlignLeft);
  layout->addStretch();
  return page;
}

QWidget* SettingsWindow::buildTranscription() {
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);

  auto* defaults = new QGroupBox(QStringLiteral("Default Settings"), page);
  auto* defaultsLayout = new QFormLayout(defaults);
  m_preset = new QComboBox(defaults);
  m_preset->setObjectName(QStringLiteral("diarizationPreset"));
  for (DiarizationPreset preset : allDiarizationPresets()) m_preset->addItem(rawValue(preset), rawValue(preset));
  defaultsLayout->addRow(QStringLiteral("Diarization Preset"), m_preset);
  connect(m_preset, &QComboBox::activated, this, [this](int index) {
    if (auto preset = diarizationPresetFromRawValue(m_preset->itemData(index).toString())) {
      m_settings.setDefaultDiarizationPreset(*preset);
    }
  });
  m_thresholdRow = new QWidget(defaults);
  auto* row = new QHBoxLayout(m_thresholdRow);
  row->setContentsMargins(0, 0, 0, 0);
  auto* thresholdLabel = new QLabel(QStringLiteral("Threshold"), m_thresholdRow);
  m_threshold = new QSlider(Qt::Horizontal, m_thresholdRow);
  m_threshold->setRange(0, 10);
  m_threshold->setPageStep(1);
  thresholdLabel->setBuddy(m_threshold);
  m_thresholdValue = new QLabel(m_thresholdRow);
  m_thresholdValue->setObjectName(QStringLiteral("thresholdValue"));
  m_thresholdValue->setFixedWidth(40);
  row->addWidget(thresholdLabel);
  row->addWidget(m_threshold, 1);
  row->addWidget(m_thresholdValue);
  connect(m_threshold, &QSlider::valueChanged, this,
          [this](int position) { m_settings.setDefaultCustomThreshold(thresholdValue(position)); });
  defaultsLayout->addRow(m_thresholdRow);
  layout->addWidget(defaults);

  auto* subtitles = new QGroupBox(QStringLiteral("Subtitles"), page);
  auto* subtitlesLayout = new QFormLayout(subtitles);
  m_maxChars = new QLineEdit(subtitles);
  m_maxChars->setObjectName(QStringLiteral("maxChars"));
  m_maxChars->setFixedWidth(60);
  m_maxChars->setValidator(new QIntValidator(0, 1000000, m_maxChars));
  subtitlesLayout->addRow(QStringLiteral("Max characters per line"), m_maxChars);
  connect(m_maxChars, &QLineEdit::textEdited, this, [this](const QString& text) {
    bool ok = false;
    const qint64 value = QLocale().toLongLong(text, &ok);
    if (ok) m_settings.setDefaultMaxSubtitleChars(value);
  });
  m_maxDuration = new QLineEdit(subtitles);
  m_maxDuration->setObjectName(QStringLiteral("maxDuration"));
  m_maxDuration->setFixedWidth(60);
  auto* durationValidator = new QDoubleValidator(0, 1e6, 3, m_maxDuration);
  durationValidator->setNotation(QDoubleValidator::StandardNotation);
  m_maxDuration->setValidator(durationValidator);
  subtitlesLayout->addRow(QStringLiteral("Max duration (seconds)"), m_maxDuration);
  connect(m_maxDuration, &QLineEdit::textEdited, this, [this](const QString& text) {
    bool ok = false;
    const double value = QLocale().toDouble(text, &ok);
    if (ok) m_settings.setDefaultMaxSubtitleDuration(value);
  });
  layout->addWidget(subtitles);
  layout->addStretch();
  return page;
}

void SettingsWindow::refresh() {
  static_cast<TwoLinePath*>(m_location)->setPath(m_settings.libraryLocation());
  {
    const QSignalBlocker block(m_interval);
    m_interval->setCurrentIndex(m_interval->findData(m_settings.autoSaveInterval()));
  }
  const DiarizationPreset preset = m_settings.defaultDiarizationPreset();
  m_preset->setCurrentIndex(m_preset->findData(rawValue(preset)));
  m_thresholdRow->setVisible(preset == DiarizationPreset::custom);
  {
    const QSignalBlocker block(m_threshold);
    m_threshold->setValue(thresholdPosition(m_settings.defaultCustomThreshold()));
  }
  m_thresholdValue->setText(QString::asprintf("%.2f", m_settings.defaultCustomThreshold()));
  // A field being typed in keeps its text; others follow the settings.
  if (!m_maxChars->hasFocus()) m_maxChars->setText(QLocale().toString(m_settings.defaultMaxSubtitleChars()));
  if (!m_maxDuration->hasFocus()) {
    m_maxDuration->setText(
        QLocale().toString(m_settings.defaultMaxSubtitleDuration(), 'g', QLocale::FloatingPointShortest));
  }
}

}  // namespace parlowvista
