#include "Shared/SystemInfo.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace voxtrellis {
namespace {

TEST(SystemInfoTest, SummaryDescribesThisLinuxHost) {
  const std::string summary = SystemInfo::summary();
  EXPECT_TRUE(std::regex_match(summary, std::regex(R"(Linux \S+, arch=\S+, chip=.+, cores=\d+/\d+, mem=[\d.]+ \w+)")))
      << summary;
  EXPECT_FALSE(SystemInfo::isAppleSilicon());
  EXPECT_FALSE(SystemInfo::isIntelMac());
}

TEST(SystemInfoTest, ChipNameFallsBackInOrder) {
  EXPECT_EQ(SystemInfo::chipName("processor\t: 0\nmodel name\t: Example CPU @ 3GHz\n"), "Example CPU @ 3GHz");
  EXPECT_EQ(SystemInfo::chipName("processor : 0\nHardware : BCM2835\n"), "BCM2835");
  EXPECT_EQ(SystemInfo::chipName("processor : 0\n"), "UnknownChip");
}

TEST(SystemInfoTest, MemoryFiguresAndFormatting) {
  const auto current = SystemInfo::currentResidentMemoryBytes();
  const auto peak = SystemInfo::peakResidentMemoryBytes();
  ASSERT_TRUE(current && peak);
  EXPECT_GT(*current, 0u);
  EXPECT_GE(*peak, *current);
  EXPECT_EQ(SystemInfo::formatMemory(16ull << 30), "16 GB");
  EXPECT_EQ(SystemInfo::formatMemory((31ull << 30) / 2), "15.5 GB");
  EXPECT_EQ(SystemInfo::formatMemory(512ull << 20), "512 MB");
}

TEST(SystemInfoTest, HostLineIsLoggedExactlyOnce) {
  test::LogCapture logs;
  SystemInfo::HostLine line;
  std::vector<std::thread> threads;
  AppLogger logger("DownloadUtils");
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { line.logOnce(logger); });
  for (auto& t : threads) t.join();
  line.logOnce(logger);
  EXPECT_EQ(logs.countStartingWith("Host environment: Linux "), 1);
  // The process-wide line may have been logged by an earlier test; never twice.
  SystemInfo::logOnce(logger);
  SystemInfo::logOnce(logger);
  EXPECT_LE(logs.countStartingWith("Host environment: Linux "), 2);
}

TEST(ASRConstantsTest, EncoderFrames) {
  EXPECT_EQ(ASRConstants::samplesPerEncoderFrame, 1280);
  EXPECT_EQ(ASRConstants::calculateEncoderFrames(1280), 1);
  EXPECT_EQ(ASRConstants::calculateEncoderFrames(1281), 2);
  EXPECT_EQ(ASRConstants::calculateEncoderFrames(16000), 13);
  EXPECT_EQ(ASRConstants::calculateEncoderFrames(0), 0);
}

}  // namespace
}  // namespace voxtrellis
