#include "Views/Shell/SidePanel.h"

#include "Views/Common/Theme.h"
#include "Views/Shell/ActivityLogView.h"
#include "Views/Workspace/TranscriptionSettingsSheet.h"
#include "app/ViewModels/PipelineTestSupport.h"
#include "support/QtWait.h"
#include "support/QtWindowAudit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

namespace {

using namespace parlowvista;
using pipelinetest::FakeEngine;
using pipelinetest::Harness;

QLabel* label(QWidget& root, const char* name) {
  return root.findChild<QLabel*>(QString::fromLatin1(name));
}
// The first child of type T whose property (read by `get`) equals `value`.
template <typename T, typename Getter>
T* childWhere(QWidget& root, Getter get, const QString& value) {
  for (auto* widget : root.findChildren<T*>()) {
    if ((widget->*get)() == value) return widget;
  }
  return nullptr;
}
template <typename T>
T* withName(QWidget& root, const QString& name) {
  return childWhere<T>(root, &QWidget::accessibleName, name);
}
QGroupBox* box(QWidget& root, const QString& title) {
  return childWhere<QGroupBox>(root, &QGroupBox::title, title);
}
QPushButton* button(QWidget& root, const QString& text) {
  return childWhere<QPushButton>(root, &QAbstractButton::text, text);
}

TEST(SidePanelLabels, StrengthNamesChangeAtThreeAndSevenTenths) {
  const struct {
    double strength;
    const char* text;
  } rows[] = {{0.0, "Light"}, {0.29, "Light"}, {0.3, "Medium"}, {0.69, "Medium"}, {0.7, "Heavy"}, {1.0, "Heavy"}};
  for (const auto& row : rows) EXPECT_EQ(SidePanel::strengthLabel(row.strength), row.text) << row.strength;
}

class SidePanelTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeEngine> engine = std::make_shared<FakeEngine>();
  Harness harness{engine};
};

TEST_F(SidePanelTest, OptionsWriteTheViewModelAndFollowIt) {
  SidePanel panel(*harness.vm);
  panel.show();
  auto* mode = withName<QComboBox>(panel, "Mode");
  auto* count = withName<QComboBox>(panel, "Count");
  harness.vm->setNumSpeakers(std::nullopt);
  EXPECT_FALSE(count->isVisible());
  emit mode->activated(1);
  EXPECT_EQ(harness.vm->numSpeakers(), 2);
  EXPECT_EQ(harness.vm->minSpeakers(), std::nullopt);
  EXPECT_TRUE(count->isVisible());
  EXPECT_EQ(count->currentText(), "2 speakers");
  harness.vm->setNumSpeakers(5);
  EXPECT_EQ(count->currentText(), "5 speakers");
  emit mode->activated(0);
  EXPECT_EQ(harness.vm->numSpeakers(), std::nullopt);
  EXPECT_EQ(harness.vm->minSpeakers(), 1);
  EXPECT_FALSE(count->isVisible());

  auto* preset = withName<QComboBox>(panel, "Preset");
  emit preset->activated(preset->findText("Custom"));
  EXPECT_EQ(harness.vm->diarizationPreset(), DiarizationPreset::custom);
  EXPECT_EQ(label(panel, "presetDescription")->text(), "Manual threshold control");
  EXPECT_TRUE(label(panel, "thresholdValue")->isVisible());
  withName<QSlider>(panel, "Threshold")->setValue(0);
  EXPECT_NEAR(harness.vm->customThreshold(), 0.3, 1e-9);
  EXPECT_EQ(label(panel, "thresholdValue")->text(), "0.30");

  withName<QSlider>(panel, "Max characters")->setValue(30);
  EXPECT_EQ(harness.vm->maxSubtitleChars(), 300);
  EXPECT_EQ(label(panel, "maxCharsValue")->text(), "300");
  harness.vm->setMaxSubtitleDuration(12.0);
  EXPECT_EQ(label(panel, "maxDurationValue")->text(), "12");
  EXPECT_EQ(withName<QSlider>(panel, "Max duration (sec)")->value(), 12);

  auto* enhance = panel.findChild<QCheckBox*>();
  EXPECT_EQ(enhance->text(), "Enhance audio");
  EXPECT_EQ(enhance->isEnabled(), harness.vm->isEnhancerAvailable());
  EXPECT_EQ(label(panel, "ffmpegRequired")->isVisible(), !harness.vm->isEnhancerAvailable());
  if (harness.vm->isEnhancerAvailable()) {
    enhance->setChecked(true);
    EXPECT_TRUE(harness.vm->audioEnhancement().enabled);
    EXPECT_TRUE(button(panel, "Generate Preview")->isVisible());
    EXPECT_FALSE(button(panel, "Generate Preview")->isEnabled());  // no file yet
  }
}

TEST_F(SidePanelTest, AFinishedRunShowsItsFiguresAndSaveStatus) {
  SidePanel panel(*harness.vm);
  panel.show();
  EXPECT_FALSE(box(panel, "Result")->isVisible());
  ASSERT_TRUE(harness.startModels());
  const QString file = harness.path("talk.wav");
  pipelinetest::writeFloatWav(file.toStdString(), pipelinetest::twoVoices(3.0));
  harness.vm->processFile(QUrl::fromLocalFile(file));
  ASSERT_TRUE(harness.settle());
  ASSERT_EQ(harness.vm->state().kind(), ProcessingState::Kind::completed);
  EXPECT_TRUE(box(panel, "Result")->isVisible());
  EXPECT_EQ(label(panel, "resultDuration")->text(), "0:03");
  EXPECT_EQ(label(panel, "resultSegments")->text(), "2");
  EXPECT_EQ(label(panel, "resultSpeakers")->text(), "2");
  EXPECT_TRUE(label(panel, "resultSpeed")->text().endsWith("x"));
  harness.vm->updateSegmentText(0, QStringLiteral("changed"));
  EXPECT_EQ(label(panel, "saveText")->text(), "Unsaved changes");
  ASSERT_TRUE(button(panel, "Save Now")->isVisible());
  button(panel, "Save Now")->click();
  EXPECT_EQ(label(panel, "saveText")->text(), "Saved");
  EXPECT_FALSE(button(panel, "Save Now")->isVisible());
  EXPECT_TRUE(label(panel, "lastSaved")->text().startsWith("Last saved: "));
  harness.vm->reset();
  EXPECT_FALSE(box(panel, "Save Status")->isVisible());
}

TEST_F(SidePanelTest, ATextKeptWithoutItsSpeakersShowsTheWarningDotUntilTheNextGoodRun) {
  SidePanel panel(*harness.vm);
  panel.show();
  ASSERT_TRUE(harness.startModels());
  const QString file = harness.path("talk.wav");
  pipelinetest::writeFloatWav(file.toStdString(), pipelinetest::twoVoices(3.0));
  auto run = [&] {
    harness.vm->processFile(QUrl::fromLocalFile(file));
    return harness.settle() && harness.vm->state().kind() == ProcessingState::Kind::completed;
  };
  auto dot = [&] { return panel.findChild<QWidget*>("statusDot")->grab().toImage().pixelColor(4, 4); };
  engine->diarize = [](std::span<const float>) -> voxtrellis::DiarizationResult {
    throw std::runtime_error("embedding model crashed");
  };
  ASSERT_TRUE(run());
  EXPECT_EQ(dot(), QColor(0xFF, 0x95, 0x00));
  engine->diarize = FakeEngine().diarize;
  ASSERT_TRUE(run());
  EXPECT_EQ(dot(), QColor(0x34, 0xC7, 0x59));
}

TEST_F(SidePanelTest, APreviewOfTheEnhancementCanBeMadeForTheFileOnScreen) {
  SidePanel panel(*harness.vm);
  panel.resize(280, 1600);
  panel.show();
  ASSERT_TRUE(harness.startModels());
  if (!harness.vm->isEnhancerAvailable()) GTEST_SKIP() << "FFmpeg is not installed";
  const QString file = harness.path("talk.wav");
  pipelinetest::writeFloatWav(file.toStdString(), pipelinetest::twoVoices(3.0));
  harness.vm->processFile(QUrl::fromLocalFile(file));
  ASSERT_TRUE(harness.settle());
  panel.findChild<QCheckBox*>()->setChecked(true);
  QPushButton* generate = button(panel, "Generate Preview");
  ASSERT_TRUE(generate->isEnabled());
  generate->click();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !harness.vm->isGeneratingPreview(); }, 30000));
  ASSERT_FALSE(harness.vm->previewEnhancedURL().isEmpty()) << harness.vm->statusMessage().toStdString();
  ASSERT_NE(button(panel, "Original"), nullptr);
  EXPECT_TRUE(button(panel, "Original")->isVisible());
  EXPECT_TRUE(button(panel, "Enhanced")->isVisible());
  EXPECT_FALSE(button(panel, "Original")->icon().isNull());
  // Playing, the button turns into a red "Stop"; stopped, it is "Original" in the usual colour again.
  button(panel, "Original")->click();
  if (harness.vm->previewPlayingOriginal()) {
    QPushButton* stop = button(panel, "Stop");
    ASSERT_NE(stop, nullptr);
    EXPECT_EQ(stop->palette().color(QPalette::ButtonText),
              Theme::color(ThemeColor::error, stop->parentWidget()->palette(), QPalette::Button));
    stop->click();
  }
  ASSERT_NE(button(panel, "Original"), nullptr);
  EXPECT_EQ(button(panel, "Original")->palette().color(QPalette::ButtonText),
            panel.palette().color(QPalette::ButtonText));

  // The pair previews that file with those settings: another file, or other settings, and it
  // goes (its excerpts too), so that a new preview can be made.
  const auto previewGoes = [&](const std::function<void()>& change) {
    const QStringList excerpts{harness.vm->previewOriginalURL().toLocalFile(),
                               harness.vm->previewEnhancedURL().toLocalFile()};
    change();
    EXPECT_TRUE(harness.vm->previewOriginalURL().isEmpty());
    for (const QString& excerpt : excerpts) EXPECT_FALSE(QFileInfo::exists(excerpt)) << excerpt.toStdString();
    EXPECT_TRUE(button(panel, "Generate Preview")->isVisible());
    EXPECT_FALSE(button(panel, "Original")->isVisible());
  };
  const QString other = harness.path("other.wav");
  pipelinetest::writeFloatWav(other.toStdString(), pipelinetest::twoVoices(2.0));
  previewGoes([&] {
    harness.vm->processFile(QUrl::fromLocalFile(other));
    ASSERT_TRUE(harness.settle());
  });
  button(panel, "Generate Preview")->click();
  ASSERT_TRUE(testsupport::waitUntil([&] { return !harness.vm->isGeneratingPreview(); }, 30000));
  ASSERT_FALSE(harness.vm->previewEnhancedURL().isEmpty());
  previewGoes([&] { childWhere<QCheckBox>(panel, &QAbstractButton::text, "Noise reduction")->click(); });
}

// Scrolling down the panel over the subtitle sliders changed the next run's limits.
TEST_F(SidePanelTest, TheWheelScrollsPastSlidersAndBoxesThatHaveNoFocus) {
  SidePanel panel(*harness.vm);
  panel.resize(280, 240);
  TranscriptionSettingsSheet sheet(*harness.vm, QStringLiteral("talk.wav"));
  sheet.resize(480, 600);
  harness.vm->setDiarizationPreset(DiarizationPreset::custom);  // the threshold slider shows in both
  for (QWidget* surface : {static_cast<QWidget*>(&panel), static_cast<QWidget*>(&sheet)}) {
    SCOPED_TRACE(surface == &panel ? "side panel" : "settings sheet");
    surface->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(surface));
    QScrollArea* area = surface == &panel ? &panel : surface->findChild<QScrollArea*>();
    ASSERT_TRUE(area->verticalScrollBar()->maximum() > 0);
    auto wheelDown = [](QWidget* control) {
      const QPointF at = QRectF(control->rect()).center();
      QWheelEvent event(at, control->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                        Qt::NoScrollPhase, false);
      QApplication::sendEvent(control, &event);
    };
    QList<QWidget*> controls;
    for (QWidget* control : surface->findChildren<QWidget*>()) {
      const bool takesTheWheel = qobject_cast<QSlider*>(control) || qobject_cast<QComboBox*>(control) ||
                                 qobject_cast<QAbstractSpinBox*>(control);
      if (takesTheWheel && control->isVisible()) controls << control;
    }
    ASSERT_GE(controls.size(), 3);
    for (QWidget* control : controls) {
      SCOPED_TRACE(control->accessibleName().toStdString());
      area->verticalScrollBar()->setValue(0);
      const QVariant before = control->property(qobject_cast<QComboBox*>(control) ? "currentIndex" : "value");
      wheelDown(control);
      EXPECT_EQ(control->property(qobject_cast<QComboBox*>(control) ? "currentIndex" : "value"), before);
      EXPECT_GT(area->verticalScrollBar()->value(), 0);
    }
    // With the focus the control takes the wheel.
    auto* threshold = withName<QSlider>(*surface, surface == &panel ? "Threshold" : "Clustering threshold");
    ASSERT_NE(threshold, nullptr);
    threshold->setFocus();
    const int before = threshold->value();
    wheelDown(threshold);
    EXPECT_NE(threshold->value(), before);
    surface->hide();
  }
}

TEST_F(SidePanelTest, TheActivityLogIsTitledOnceAndALongPathWrapsWithinIt) {
  SidePanel panel(*harness.vm);
  int titles = 0;
  for (auto* text : panel.findChildren<QLabel*>()) titles += text->text() == "Activity Log" ? 1 : 0;
  for (auto* group : panel.findChildren<QGroupBox*>()) titles += group->title() == "Activity Log" ? 1 : 0;
  EXPECT_EQ(titles, 1);

  // A file name without spaces (a path, a 250-byte name) wraps like the other lines instead
  // of widening every row past the panel.
  panel.resize(280, 1600);
  panel.show();
  ASSERT_TRUE(harness.startModels());
  harness.vm->processFile(QUrl::fromLocalFile(harness.path(QString(246, 'x') + ".wav")));
  ASSERT_TRUE(harness.settle());
  QListWidget* list = panel.activityLog()->list();
  const auto expectWrappedWithin = [&](const char* shownAs) {
    SCOPED_TRACE(shownAs);
    QApplication::processEvents();
    const int width = list->viewport()->width();
    EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0);
    for (int row = 0; row < list->count(); ++row) {
      const QRect shown = list->visualItemRect(list->item(row));
      EXPECT_LE(shown.right(), width) << list->item(row)->text().toStdString();
      EXPECT_GE(shown.height() * width,
                list->fontMetrics().horizontalAdvance(list->item(row)->text()) * 8 / 10 * list->fontMetrics().height())
          << list->item(row)->text().toStdString();
    }
  };
  expectWrappedWithin("as the panel opened");
  // A line's height is kept once measured, but only for the width and font it was measured in:
  // narrower, then in a larger font, every line is measured again.
  auto measuredAgain = [&, measured = panel.activityLog()->measuredLines()]() mutable {
    const bool again =
        testsupport::waitUntil([&] { return panel.activityLog()->measuredLines() - measured >= list->count(); }, 5000);
    measured = panel.activityLog()->measuredLines();
    return again;
  };
  const int wide = list->viewport()->width();
  panel.activityLog()->setFixedWidth(panel.activityLog()->width() * 2 / 3);
  ASSERT_TRUE(testsupport::waitUntil([&] { return list->viewport()->width() < wide; }));
  EXPECT_TRUE(measuredAgain());
  expectWrappedWithin("narrower");
  QFont larger = list->font();
  larger.setPointSizeF(larger.pointSizeF() * 1.5);
  list->setFont(larger);
  EXPECT_TRUE(measuredAgain());
  expectWrappedWithin("in a larger font");
}

TEST_F(SidePanelTest, PassesTheAudit) {
  const QStringList findings = testsupport::QtWindowAudit::checkInBothPalettes(
      [&] { return std::make_unique<SidePanel>(*harness.vm); },
      [&](QWidget& panel) {
        panel.resize(280, 1600);  // everything on screen, nothing scrolled away
        harness.vm->setDiarizationPreset(DiarizationPreset::custom);
      });
  EXPECT_TRUE(findings.isEmpty()) << findings.join('\n').toStdString();
}

}  // namespace
