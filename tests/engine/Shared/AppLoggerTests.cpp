#include <voxtrellis/AppLogger.h>
#include <voxtrellis/DiarizerError.h>

#include "LogCapture.h"
#include "StderrCapture.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace voxtrellis {
namespace {

struct LevelCase {
  AppLogger::Level level;
  const char* tag;
  bool toStderr;
};

void PrintTo(const LevelCase& c, std::ostream* os) {
  *os << c.tag;
}

class AppLoggerLevelTest : public ::testing::TestWithParam<LevelCase> {};

TEST_P(AppLoggerLevelTest, WritesOnlyWarningsAndWorseToStandardError) {
  const LevelCase c = GetParam();
  test::StderrCapture capture;
  AppLogger("ASR").log(c.level, "hello");
  const std::string text = capture.text();
  if (!c.toStderr) {
    EXPECT_EQ(text, "");
    return;
  }
  const std::regex line(std::string(R"(^\[\d{2}:\d{2}:\d{2}\.\d{3}\] \[)") + c.tag +
                        R"(\] \[Voxtrellis\.ASR\] hello\n$)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

INSTANTIATE_TEST_SUITE_P(Levels, AppLoggerLevelTest,
                         ::testing::Values(LevelCase{AppLogger::Level::debug, "DEBUG", false},
                                           LevelCase{AppLogger::Level::info, "INFO", false},
                                           LevelCase{AppLogger::Level::notice, "NOTICE", false},
                                           LevelCase{AppLogger::Level::warning, "WARN", true},
                                           LevelCase{AppLogger::Level::error, "ERROR", true},
                                           LevelCase{AppLogger::Level::fault, "FAULT", true}));

TEST(AppLoggerTest, ConsolePrefixIgnoresSubsystemAndEmptyMessageEndsInBlank) {
  test::StderrCapture capture;
  AppLogger("org.other", "Disk").warning("");
  const std::string text = capture.text();
  EXPECT_NE(text.find("] [WARN] [Voxtrellis.Disk] \n"), std::string::npos) << text;
  EXPECT_EQ(AppLogger::consoleLine("14:03:07.512", AppLogger::Level::error, "ASR", "boom"),
            "[14:03:07.512] [ERROR] [Voxtrellis.ASR] boom\n");
}

TEST(AppLoggerTest, DefaultSubsystemIsReadWhenTheLoggerIsMade) {
  EXPECT_EQ(AppLogger::defaultSubsystem(), "com.quillbrookline");
  AppLogger before("A");
  const std::string saved = AppLogger::defaultSubsystem();
  AppLogger::defaultSubsystem() = "com.example";
  AppLogger after("B");
  AppLogger::defaultSubsystem() = saved;
  EXPECT_EQ(before.subsystem(), "com.quillbrookline");
  EXPECT_EQ(after.subsystem(), "com.example");
}

TEST(AppLoggerTest, LevelFromRawValue) {
  for (int raw = 0; raw <= 5; ++raw) {
    ASSERT_TRUE(AppLogger::levelFromRawValue(raw).has_value());
    EXPECT_EQ(static_cast<int>(*AppLogger::levelFromRawValue(raw)), raw);
  }
  EXPECT_FALSE(AppLogger::levelFromRawValue(6).has_value());
  EXPECT_FALSE(AppLogger::levelFromRawValue(-1).has_value());
}

TEST(AppLoggerTest, SinkReceivesEveryLevelAndConcurrentLinesStayWhole) {
  test::LogCapture logs;
  test::StderrCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      AppLogger logger("T" + std::to_string(t));
      for (int i = 0; i < 50; ++i) {
        logger.info("i");
        logger.error(std::string(200, 'x'));
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(logs.records().size(), 400u);
  const std::string text = capture.text();
  std::size_t lines = 0, pos = 0;
  const std::regex line(R"(^\[\d{2}:\d{2}:\d{2}\.\d{3}\] \[ERROR\] \[Voxtrellis\.T\d\] x{200}$)");
  while (pos < text.size()) {
    const auto end = text.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(std::regex_match(text.substr(pos, end - pos), line));
    pos = end + 1;
    ++lines;
  }
  EXPECT_EQ(lines, 200u);
}

TEST(DiarizerErrorTest, DescriptionsAreFixed) {
  const std::vector<std::pair<DiarizerError, std::string>> cases = {
      {DiarizerError::processingFailed("bad"), "Processing failed: bad"},
      {DiarizerError::notInitialized(), "Diarization system not initialized. Call initialize() first."},
      {DiarizerError::modelDownloadFailed(), "Failed to download required models."},
      {DiarizerError::modelCompilationFailed(), "Failed to compile ONNX models."},
      {DiarizerError::embeddingExtractionFailed(), "Failed to extract speaker embedding from audio."},
      {DiarizerError::invalidAudioData(), "Invalid audio data provided."},
      {DiarizerError::memoryAllocationFailed(), "Failed to allocate ANE-aligned memory."},
      {DiarizerError::invalidArrayBounds(), "Array bounds exceeded for zero-copy view."},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.errorDescription(), text);
  EXPECT_EQ(DiarizerError::processingFailed("bad").message(), "bad");
}

}  // namespace
}  // namespace voxtrellis
