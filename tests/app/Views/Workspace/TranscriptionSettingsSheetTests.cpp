// The settings sheet as a form over the view model's live settings.

#include "Views/Workspace/TranscriptionSettingsSheet.h"
#include "app/Views/Workspace/WorkspaceTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>

#include <gtest/gtest.h>

using namespace workspacetest;

namespace {

class SettingsSheetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sheet = std::make_unique<TranscriptionSettingsSheet>(*vm, "talk.wav");
    sheet->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet.get()));
  }
  pipelinetest::Harness h;
  TranscriptionViewModel* vm = h.vm.get();
  std::unique_ptr<TranscriptionSettingsSheet> sheet;
};

TEST_F(SettingsSheetTest, OpensWithTheViewModelsValues) {
  EXPECT_EQ(sheet->sourceLabel()->text(), "talk.wav");
  EXPECT_FALSE(sheet->enhanceToggle()->isChecked());
  // The settings' transcription defaults.
  EXPECT_EQ(sheet->presetPicker()->currentText(), "Balanced");
  EXPECT_EQ(sheet->presetDescriptionLabel()->text(), "Default balanced settings");
  EXPECT_FALSE(sheet->thresholdRow()->isVisible());
  EXPECT_TRUE(sheet->exactCountButton()->isChecked());
  EXPECT_EQ(sheet->speakerNumberPicker()->currentText(), "2");
  EXPECT_EQ(sheet->charsValue()->text(), "150");
  EXPECT_EQ(sheet->durationValue()->text(), "10");
}

TEST_F(SettingsSheetTest, StrengthLabelsAtTheEdges) {
  const std::vector<std::pair<double, const char*>> cases = {{0.0, "Light"},  {0.29, "Light"}, {0.3, "Medium"},
                                                             {0.5, "Medium"}, {0.7, "Heavy"},  {1.0, "Heavy"}};
  for (auto [value, text] : cases) EXPECT_EQ(TranscriptionSettingsSheet::strengthLabel(value), text) << value;
}

TEST_F(SettingsSheetTest, EnhancementOptionsNeedTheToolAndTheSwitch) {
  if (!vm->isEnhancerAvailable()) {
    AudioEnhancementSettings on = vm->audioEnhancement();
    on.enabled = true;
    vm->setAudioEnhancement(on);
    EXPECT_FALSE(sheet->enhanceToggle()->isEnabled());
    EXPECT_TRUE(sheet->ffmpegRequiredLabel()->isVisible());
    EXPECT_FALSE(sheet->enhancementOptions()->isVisible());
    GTEST_SKIP() << "ffmpeg is not installed";
  }
  EXPECT_FALSE(sheet->enhancementOptions()->isVisible());
  sheet->enhanceToggle()->click();
  EXPECT_TRUE(vm->audioEnhancement().enabled);
  EXPECT_FALSE(sheet->ffmpegRequiredLabel()->isVisible());
  EXPECT_TRUE(sheet->enhancementOptions()->isVisible());
  const bool normalize = vm->audioEnhancement().normalizeVolume;
  sheet->normalizeToggle()->click();
  EXPECT_EQ(vm->audioEnhancement().normalizeVolume, !normalize);
  EXPECT_EQ(sheet->compressionValue()->text(), "Medium");
  sheet->compressionSlider()->setValue(2);
  EXPECT_DOUBLE_EQ(vm->audioEnhancement().compressionStrength, 0.2);
  EXPECT_EQ(sheet->compressionValue()->text(), "Light");
  EXPECT_FALSE(sheet->noiseRow()->isVisible());
  sheet->noiseToggle()->click();
  EXPECT_TRUE(vm->audioEnhancement().noiseReduction);
  EXPECT_TRUE(sheet->noiseRow()->isVisible());
  sheet->noiseSlider()->setValue(8);
  EXPECT_DOUBLE_EQ(vm->audioEnhancement().noiseReductionStrength, 0.8);
  EXPECT_EQ(sheet->noiseValue()->text(), "Heavy");
  sheet->compressionToggle()->click();
  EXPECT_FALSE(sheet->compressionRow()->isVisible());
}

TEST_F(SettingsSheetTest, PresetAndThresholdAreWrittenAtOnceAndKept) {
  sheet->presetPicker()->setCurrentText("Custom");
  EXPECT_EQ(vm->diarizationPreset(), DiarizationPreset::custom);
  EXPECT_TRUE(sheet->thresholdRow()->isVisible());
  EXPECT_EQ(sheet->thresholdValue()->text(), "0.50");
  sheet->thresholdSlider()->setValue(14);
  EXPECT_DOUBLE_EQ(vm->customThreshold(), 0.7);
  sheet->presetPicker()->setCurrentText("Balanced");
  EXPECT_EQ(sheet->presetDescriptionLabel()->text(), "Default balanced settings");
  sheet->presetPicker()->setCurrentText("Custom");
  EXPECT_EQ(sheet->thresholdValue()->text(), "0.70");
}

// Sliders that cannot show a value exactly must not write their rounded value back.
TEST_F(SettingsSheetTest, SyncingAControlNeverWritesTheViewModel) {
  vm->setDiarizationPreset(DiarizationPreset::custom);
  vm->setCustomThreshold(0.33);
  vm->setMaxSubtitleChars(155);
  vm->setMaxSubtitleDuration(40);
  EXPECT_DOUBLE_EQ(vm->customThreshold(), 0.33);
  EXPECT_EQ(vm->maxSubtitleChars(), 155);
  EXPECT_DOUBLE_EQ(vm->maxSubtitleDuration(), 40);
  EXPECT_EQ(sheet->thresholdValue()->text(), "0.33");
  EXPECT_EQ(sheet->charsValue()->text(), "155");
  sheet->charsSlider()->setValue(20);
  EXPECT_EQ(vm->maxSubtitleChars(), 200);
  sheet->durationSlider()->setValue(7);
  EXPECT_DOUBLE_EQ(vm->maxSubtitleDuration(), 7);
}

TEST_F(SettingsSheetTest, SpeakerCountModeAndNumber) {
  sheet->speakerNumberPicker()->setCurrentText("5");
  EXPECT_EQ(vm->numSpeakers(), 5);
  EXPECT_EQ(vm->minSpeakers(), std::nullopt);
  // Clicking the mode already chosen is not a switch: the number stays.
  QTest::mouseClick(sheet->exactCountButton(), Qt::LeftButton);
  EXPECT_EQ(vm->numSpeakers(), 5);
  QTest::mouseClick(sheet->autoDetectButton(), Qt::LeftButton);
  EXPECT_EQ(vm->numSpeakers(), std::nullopt);
  EXPECT_EQ(vm->minSpeakers(), 1);
  EXPECT_FALSE(sheet->speakerNumberRow()->isVisible());
  QTest::mouseClick(sheet->autoDetectButton(), Qt::LeftButton);
  EXPECT_EQ(vm->minSpeakers(), 1);
  QTest::mouseClick(sheet->exactCountButton(), Qt::LeftButton);
  EXPECT_EQ(vm->numSpeakers(), 2);
  EXPECT_EQ(vm->minSpeakers(), std::nullopt);
}

// Every option shown makes the form taller than the sheet: Tab into it from outside (the
// footer) scrolls as well as Tab within it, so the focused control is always in sight.
TEST_F(SettingsSheetTest, TabBringsEveryControlIntoView) {
  vm->setDiarizationPreset(DiarizationPreset::custom);
  sheet->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(sheet.get()));
  const auto inSight = [this](QWidget* w) {
    const QRect shown(w->mapTo(sheet.get(), QPoint(0, 0)), w->size());
    return sheet->rect().contains(shown) && !w->visibleRegion().isEmpty();
  };
  sheet->startButton()->setFocus();
  QStringList reached;
  for (int step = 0; step < 40 && !reached.contains("Start Transcription"); ++step) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QWidget* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr);
    EXPECT_TRUE(inSight(focused)) << focused->accessibleName().toStdString();
    reached << (focused->accessibleName().isEmpty() ? focused->property("text").toString() : focused->accessibleName());
  }
  EXPECT_TRUE(reached.contains("Max duration (seconds)"));
  EXPECT_TRUE(reached.contains("Clustering threshold"));
}

TEST_F(SettingsSheetTest, ReturnStartsOnceAndEscapeCancelsWithoutClosing) {
  QSignalSpy start(sheet.get(), &TranscriptionSettingsSheet::startRequested);
  QSignalSpy cancel(sheet.get(), &TranscriptionSettingsSheet::cancelRequested);
  sheet->speakerNumberPicker()->setCurrentText("3");
  QTest::keyClick(sheet.get(), Qt::Key_Return);
  EXPECT_EQ(start.size(), 1);
  QTest::keyClick(sheet.get(), Qt::Key_Escape);
  EXPECT_EQ(cancel.size(), 1);
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_EQ(vm->numSpeakers(), 3);  // a cancel keeps what was changed
}

}  // namespace
