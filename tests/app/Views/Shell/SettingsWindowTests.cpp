#include "Views/Shell/SettingsWindow.h"

#include "Models/AppSettings.h"
#include "Views/Common/Theme.h"
#include "Views/Library/AddGroupSheet.h"
#include "Views/Shell/OnboardingSheet.h"
#include "support/QtWindowAudit.h"
#include "support/TempDir.h"

#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using namespace parlowvista;

class ShellSettingsTest : public testsupport::TempDirTest {
 protected:
  QString path(const char* name) const { return QString::fromStdString((tempDir / name).string()); }
  std::unique_ptr<AppSettings> makeSettings() {
    return std::make_unique<AppSettings>(std::make_unique<QSettings>(path("settings.ini"), QSettings::IniFormat),
                                         path("support"));
  }
  static QPushButton* button(QWidget& root, const QString& text) {
    for (auto* candidate : root.findChildren<QPushButton*>()) {
      if (candidate->text() == text) return candidate;
    }
    return nullptr;
  }
};

TEST_F(ShellSettingsTest, EditsAreStoredAtOnceAndResetRestoresTheDefaults) {
  auto settings = makeSettings();
  QString opened;
  SettingsWindow window(*settings, [&](const QString& folder) { opened = folder; });
  EXPECT_EQ(window.size(), QSize(500, 350));
  EXPECT_EQ(window.tabs()->tabText(0), "General");
  EXPECT_EQ(window.tabs()->tabText(1), "Transcription");
  EXPECT_FALSE(window.tabs()->tabIcon(0).isNull());
  EXPECT_FALSE(window.tabs()->tabIcon(1).isNull());
  // Where the library is: whole, or in two lines shortened in the middle when it needs more.
  window.show();
  auto* location = window.findChild<QLabel*>("libraryLocation");
  EXPECT_EQ(QString(location->text()).remove('\n'), settings->libraryLocation());
  const QString deep = path("support") + "/" + QString("a folder of the library's own/").repeated(8) + "Parlowvista";
  settings->setLibraryLocation(deep);
  QApplication::processEvents();
  const QStringList lines = location->text().split('\n');
  ASSERT_EQ(lines.size(), 2) << location->text().toStdString();
  EXPECT_TRUE(lines[0].startsWith(path("support"))) << lines[0].toStdString();
  EXPECT_TRUE(location->text().contains(QChar(0x2026)));
  EXPECT_TRUE(lines[1].endsWith("Parlowvista")) << lines[1].toStdString();
  EXPECT_EQ(location->toolTip(), deep);
  const QStringList clipped = testsupport::QtWindowAudit::checkClippedText(&window);
  EXPECT_TRUE(clipped.isEmpty()) << clipped.join('\n').toStdString();
  button(window, "Open in File Manager")->click();
  EXPECT_EQ(opened, deep);

  auto* interval = window.findChild<QComboBox*>("saveInterval");
  auto* preset = window.findChild<QComboBox*>("diarizationPreset");
  EXPECT_EQ(interval->currentText(), "2 seconds");
  interval->activated(interval->findText("10 seconds"));
  EXPECT_EQ(settings->autoSaveInterval(), 10.0);
  EXPECT_EQ(makeSettings()->autoSaveInterval(), 10.0);  // stored, not only held

  window.show();
  window.tabs()->setCurrentIndex(1);
  auto* thresholdValue = window.findChild<QLabel*>("thresholdValue");
  EXPECT_FALSE(thresholdValue->isVisibleTo(&window));
  preset->activated(preset->findText("Custom"));
  EXPECT_EQ(settings->defaultDiarizationPreset(), DiarizationPreset::custom);
  EXPECT_TRUE(thresholdValue->isVisibleTo(&window));
  EXPECT_EQ(thresholdValue->text(), "0.50");
  auto* slider = window.findChild<QSlider*>();
  slider->setValue(slider->maximum());
  EXPECT_NEAR(settings->defaultCustomThreshold(), 0.8, 1e-9);
  EXPECT_EQ(thresholdValue->text(), "0.80");

  QList<QLineEdit*> fields{window.findChild<QLineEdit*>("maxChars"), window.findChild<QLineEdit*>("maxDuration")};
  fields[0]->setFocus();
  fields[0]->selectAll();
  QTest::keyClicks(fields[0], "42");
  EXPECT_EQ(settings->defaultMaxSubtitleChars(), 42);

  button(window, "Reset to Defaults")->click();
  EXPECT_EQ(settings->autoSaveInterval(), 2.0);
  EXPECT_EQ(preset->currentText(), "Balanced");
  EXPECT_FALSE(thresholdValue->isVisibleTo(&window));
  EXPECT_EQ(interval->currentText(), "2 seconds");
  EXPECT_EQ(fields[1]->text(), "10");
}

TEST_F(ShellSettingsTest, GetStartedRecordsOnboardingAndTheSheetNamesOnlyTheFormatsThereAre) {
  auto settings = makeSettings();
  OnboardingSheet sheet(*settings);
  EXPECT_EQ(sheet.size(), QSize(500, 520));
  QStringList texts;
  for (auto* label : sheet.findChildren<QLabel*>()) texts << label->text();
  EXPECT_TRUE(texts.contains("Export to SRT, TXT, and JSON")) << texts.join('|').toStdString();
  EXPECT_FALSE(texts.join('|').contains("VTT"));
  // The header's symbol and one symbol per feature, all drawn.
  int symbols = 0;
  for (auto* label : sheet.findChildren<QLabel*>()) symbols += label->pixmap().isNull() ? 0 : 1;
  EXPECT_EQ(symbols, 5);
  sheet.open();
  button(sheet, "Get Started")->click();
  EXPECT_TRUE(settings->hasCompletedOnboarding());
  EXPECT_TRUE(makeSettings()->hasCompletedOnboarding());
  EXPECT_FALSE(sheet.isVisible());
}

TEST_F(ShellSettingsTest, SheetsDrawAThinEdgeRoundThemselvesInEitherPalette) {
  // Without a window manager nothing frames a sheet; its own edge stands over its controls.
  auto settings = makeSettings();
  const std::function<std::unique_ptr<QWidget>()> sheets[] = {
      [&] { return std::make_unique<OnboardingSheet>(*settings); }, [] { return std::make_unique<AddGroupSheet>(); }};
  for (const auto& make : sheets) {
    for (const QPalette& palette :
         {testsupport::QtWindowAudit::lightPalette(), testsupport::QtWindowAudit::darkPalette()}) {
      auto sheet = make();
      sheet->setPalette(palette);
      sheet->resize(sheet->sizeHint().expandedTo(QSize(200, 100)));
      const QImage shot = sheet->grab().toImage();
      const QColor edge = Theme::color(ThemeColor::controlEdge, sheet->palette());
      SCOPED_TRACE(sheet->windowTitle().toStdString());
      for (const QPoint& point :
           {QPoint(shot.width() / 2, 0), QPoint(0, shot.height() / 2), QPoint(shot.width() - 1, shot.height() - 1),
            QPoint(shot.width() / 2, shot.height() - 1)})
        EXPECT_EQ(shot.pixelColor(point).rgb(), edge.rgb()) << point.x() << "," << point.y();
    }
  }
}

TEST_F(ShellSettingsTest, BothPassTheAudit) {
  auto settings = makeSettings();
  QStringList findings = testsupport::QtWindowAudit::checkInBothPalettes(
      [&] { return std::make_unique<SettingsWindow>(*settings, [](const QString&) {}); });
  findings += testsupport::QtWindowAudit::checkInBothPalettes(
      [&] { return std::make_unique<SettingsWindow>(*settings, [](const QString&) {}); },
      [](QWidget& window) { static_cast<SettingsWindow&>(window).tabs()->setCurrentIndex(1); });
  findings +=
      testsupport::QtWindowAudit::checkInBothPalettes([&] { return std::make_unique<OnboardingSheet>(*settings); });
  EXPECT_TRUE(findings.isEmpty()) << findings.join('\n').toStdString();
}

}  // namespace
