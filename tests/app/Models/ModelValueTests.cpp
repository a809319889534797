#include "Models/DiarizationPreset.h"
#include "Models/ProcessingState.h"
#include "Models/Speaker.h"

#include <gtest/gtest.h>

using namespace parlowvista;

TEST(ColorFromHex, ReadsThreeSixAndEightDigitForms) {
  struct Case {
    const char* hex;
    int r, g, b, a;
  };
  const Case cases[] = {
      {"#FFF", 255, 255, 255, 255}, {"00FF00", 0, 255, 0, 255}, {"80FF0000", 255, 0, 0, 128},
      {"#12345", 0, 0, 0, 255},     {"", 0, 0, 0, 255},         {"  #0a0B0c!! ", 10, 11, 12, 255},
      {"#F0G", 0, 255, 0, 255},     {"#1z2", 0, 0, 17, 255},    {"0x00FF", 0, 0, 255, 255},
  };
  for (const auto& c : cases) {
    const QColor color = colorFromHex(c.hex);
    EXPECT_EQ(color.red(), c.r) << c.hex;
    EXPECT_EQ(color.green(), c.g) << c.hex;
    EXPECT_EQ(color.blue(), c.b) << c.hex;
    EXPECT_EQ(color.alpha(), c.a) << c.hex;
  }
}

TEST(Speaker, DefaultColorsCycleAndCustomColourWins) {
  const auto& palette = Speaker::defaultColors();
  ASSERT_EQ(palette.size(), 8);
  EXPECT_EQ(Speaker(0).color(), palette[0]);
  EXPECT_EQ(Speaker(7).color(), palette[7]);
  EXPECT_EQ(Speaker(8).color(), palette[0]);
  EXPECT_EQ(Speaker(15).color(), palette[7]);
  EXPECT_EQ(Speaker(3, std::nullopt, QString("#FFF")).color(), QColor(255, 255, 255));
}

TEST(Speaker, DisplayLabels) {
  const QList<Speaker> speakers{Speaker(0, QString("Host")), Speaker(1), Speaker(2, QString("")),
                                Speaker(0, QString("Second entry"))};
  EXPECT_EQ(Speaker::displayLabel(0, speakers), "Host");
  EXPECT_EQ(Speaker::displayLabel(1, speakers), "Speaker 2");
  EXPECT_EQ(Speaker::displayLabel(2, speakers), "");
  EXPECT_EQ(Speaker::displayLabel(9, speakers), "Speaker 10");
  EXPECT_EQ(Speaker::displayLabel(0, {}), "Speaker 1");
}

TEST(ProcessingState, EqualityByCaseAndPayload) {
  EXPECT_EQ(ProcessingState::loadingModels(0.5), ProcessingState::loadingModels(0.5));
  EXPECT_NE(ProcessingState::loadingModels(0.5), ProcessingState::loadingModels(0.51));
  EXPECT_EQ(ProcessingState::idle(), ProcessingState());
  EXPECT_NE(ProcessingState::idle(), ProcessingState::modelsReady());
  EXPECT_EQ(ProcessingState::processing(ProcessingStage::merging),
            ProcessingState::processing(ProcessingStage::merging));
  EXPECT_NE(ProcessingState::processing(ProcessingStage::merging),
            ProcessingState::processing(ProcessingStage::diarizing));
  EXPECT_NE(ProcessingState::failed({"x", std::nullopt}), ProcessingState::failed({"x", QString("")}));
  EXPECT_EQ(ProcessingState::failed({"x", QString("d")}), ProcessingState::failed({"x", QString("d")}));

  const TranscriptionResult a({TranscribedSegment(0, 0, 1, "same")}, 1, 0);
  const TranscriptionResult b({TranscribedSegment(0, 0, 1, "same")}, 1, 0);
  EXPECT_NE(ProcessingState::completed(a), ProcessingState::completed(b));
  EXPECT_EQ(ProcessingState::completed(a), ProcessingState::completed(a));

  auto state = ProcessingState::completed(a);
  ASSERT_NE(state.result(), nullptr);
  state.result()->segments[0].text = "edited";
  EXPECT_EQ(state.result()->segments[0].text, "edited");
  EXPECT_EQ(ProcessingState::modelsReady().result(), nullptr);
}

TEST(ProcessingStage, TextsReadBackExactly) {
  ASSERT_EQ(allProcessingStages().size(), 7);
  for (auto stage : allProcessingStages()) EXPECT_EQ(processingStageFromRawValue(rawValue(stage)), stage);
  EXPECT_EQ(processingStageFromRawValue("Exporting..."), ProcessingStage::exporting);
  EXPECT_FALSE(processingStageFromRawValue("exporting..."));
  EXPECT_EQ(rawValue(ProcessingStage::diarizing), "Identifying speakers...");
}

TEST(DiarizationPreset, TextsReadBackExactly) {
  const char* texts[] = {"Auto", "More Speakers", "Balanced", "Fewer Speakers", "Custom"};
  ASSERT_EQ(allDiarizationPresets().size(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(rawValue(allDiarizationPresets()[i]), texts[i]);
    EXPECT_EQ(diarizationPresetFromRawValue(texts[i]), allDiarizationPresets()[i]);
  }
  EXPECT_FALSE(diarizationPresetFromRawValue("fewer speakers"));
  EXPECT_FALSE(diarizationPresetFromRawValue("Balanced "));
}
