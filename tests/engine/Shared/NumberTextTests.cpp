#include <voxtrellis/AudioFormat.h>
#include <voxtrellis/PerformanceMonitor.h>

#include "Diarizer/Offline/Utils/NumberFormat.h"
#include "Shared/NumberText.h"
#include "Shared/SystemInfo.h"
#include "engine/Shared/ScopedNumericLocale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace voxtrellis {
namespace {

using test::ScopedNumericLocale;

TEST(NumberTextTest, FixedFormattingMatchesPrintfInTheCLocale) {
  for (const double value : {0.0, -0.0, 12.345, 0.0005, 2.5, 3.5, -7.25, 123456789.987654, 1e-9, 1e20}) {
    for (const int decimals : {0, 1, 3}) {
      char expected[128];
      std::snprintf(expected, sizeof expected, "%.*f", decimals, value);
      EXPECT_EQ(formatFixed(value, decimals), expected) << value << " " << decimals;
    }
  }
  EXPECT_EQ(formatFixed(std::nan(""), 2), "nan");
  EXPECT_EQ(formatFixed(-INFINITY, 2), "-inf");
  EXPECT_EQ(formatFixed(1e300, 2).size(), 304u);
}

TEST(NumberTextTest, EngineTextsKeepAFullStopUnderADecimalCommaLocale) {
  ScopedNumericLocale german("de_DE.UTF-8");
  if (!german.active()) {
    GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed (tools/install-deps generates it)";
  }
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 12.3);
  ASSERT_STREQ(probe, "12,3") << "the locale should use a decimal comma";

  EXPECT_EQ(formatFixed(12.3, 1), "12.3");
  EXPECT_EQ(shortestDecimal(0.5), "0.5");
  EXPECT_EQ(diarization::fixed(1.25, 2), "1.25");
  EXPECT_EQ(diarization::shortest(2.5), "2.5");
  EXPECT_EQ(SystemInfo::formatMemory((31ull << 30) / 2), "15.5 GB");
  EXPECT_EQ((AggregatedMetrics{12.25f, 0.5, 100.5f, 2}.summary()),
            "Aggregated Metrics (2 samples):\n- Average RTFx: 12.2x real-time\n"
            "- Average Processing Time: 0.500s\n- Max Memory Usage: 100.5 MB");
  ASRPerformanceMetrics metrics;
  metrics.totalProcessingTime = 1.5;
  metrics.rtfx = 20.25f;
  metrics.gpuUtilization = 40.5f;
  const std::string summary = metrics.summary();
  EXPECT_NE(summary.find("- Total: 1.500s"), std::string::npos) << summary;
  EXPECT_NE(summary.find("- GPU Utilization: 40.5%"), std::string::npos) << summary;
  EXPECT_EQ(summary.find(','), std::string::npos) << summary;
  EXPECT_NE(AudioFormat{}.description().find("16000 Hz"), std::string::npos) << AudioFormat{}.description();
}

}  // namespace
}  // namespace voxtrellis
