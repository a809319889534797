#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/AudioWAV.h>

#include "AudioTestFiles.h"
#include "LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace voxtrellis {
namespace {

class AudioFormatsTest : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() {
    s_dir = std::make_unique<testsupport::TempDir>("audio-formats");
    for (const char* ext : {"wav", "mp3", "m4a", "aac", "flac", "aiff", "caf"}) {
      ASSERT_TRUE(test::makeTone(s_dir->path() / (std::string("tone.") + ext), 2.0)) << ext;
    }
  }
  static void TearDownTestSuite() { s_dir.reset(); }
  static std::unique_ptr<testsupport::TempDir> s_dir;
};
std::unique_ptr<testsupport::TempDir> AudioFormatsTest::s_dir;

TEST_P(AudioFormatsTest, LoadsAs16kMonoToneOfTheRightLengthAndPitch) {
  const auto samples = AudioConverter().resampleAudioFile(s_dir->path() / ("tone." + GetParam()));
  // Two seconds, to a sample per second. Raw ADTS AAC states neither its
  // encoder priming nor its padding, so it may carry up to a codec frame
  // (1024 samples at 44.1 kHz) more per second.
  const double tolerance = GetParam() == "aac" ? 2 * 372.0 : 2.0;
  EXPECT_NEAR(static_cast<double>(samples.size()), 32000.0, tolerance) << GetParam();
  EXPECT_NEAR(test::risingCrossingsPerSecond(samples, 4000, 28000, 16000.0), 440.0, 2.0);
  // The tool spreads its 1/8-amplitude tone over both channels at -3 dB; the
  // mean of the two keeps that level (a sum would double it).
  EXPECT_NEAR(test::rms(samples, 4000, 28000), 0.125f * std::sqrt(0.5f) / std::sqrt(2.0f), 0.004f);
}

INSTANTIATE_TEST_SUITE_P(Formats, AudioFormatsTest,
                         ::testing::Values("wav", "mp3", "m4a", "aac", "flac", "aiff", "caf"));

TEST(AudioConverterTest, LosslessFormatsKeepTheExactLength) {
  testsupport::TempDir dir;
  ASSERT_TRUE(test::makeTone(dir / "a.wav", 3.0, 48000, 1));
  ASSERT_TRUE(test::makeTone(dir / "b.flac", 3.0, 8000, 2));
  EXPECT_NEAR(AudioConverter().resampleAudioFile(dir / "a.wav").size(), 48000u, 1);
  EXPECT_NEAR(AudioConverter().resampleAudioFile(dir / "b.flac").size(), 48000u, 1);
}

TEST(AudioConverterTest, SixChannelFileTakesTheOwnRoad) {
  testsupport::TempDir dir;
  ASSERT_TRUE(test::makeTone(dir / "six.wav", 1.0, 48000, 6));
  test::LogCapture logs;
  const auto samples = AudioConverter(std::nullopt, true).resampleAudioFile(dir / "six.wav");
  EXPECT_EQ(samples.size(), 16000u);  // trunc(48000 / 3)
  EXPECT_TRUE(logs.contains("Manual resampling: 6 channels → mono, 48000.0Hz → 16000.0Hz"));
  EXPECT_NEAR(test::risingCrossingsPerSecond(samples, 1000, 15000, 16000.0), 440.0, 2.0);
}

TEST(AudioConverterTest, MissingOrBrokenFilesThrowTheDecoderError) {
  testsupport::TempDir dir;
  EXPECT_THROW(AudioConverter().resampleAudioFile(dir / "none.wav"), AudioFileError);
  testsupport::writeFile(dir / "junk.mp3", std::string(5000, 'j'));
  EXPECT_THROW(AudioConverter().resampleAudioFile(dir / "junk.mp3"), AudioFileError);
}

TEST(AudioConverterTest, TargetFormatBufferIsReturnedSampleForSample) {
  auto buffer = AudioPCMBuffer::fromChannels(16000, {{0.1f, -0.2f, 0.3f}});
  test::LogCapture logs;
  EXPECT_EQ(AudioConverter(std::nullopt, true).resampleBuffer(buffer), (std::vector<float>{0.1f, -0.2f, 0.3f}));
  EXPECT_TRUE(logs.records().empty());
}

TEST(AudioConverterTest, StereoBecomesTheMeanOfBothChannels) {
  std::vector<float> left(16000), right(16000);
  for (std::size_t i = 0; i < left.size(); ++i) {
    left[i] = 0.6f * std::sin(2.0f * 3.14159265f * 440.0f * i / 16000.0f);
    right[i] = 0.2f;
  }
  // Same rate, different layout: channel mix only.
  const auto samples = AudioConverter().resampleBuffer(AudioPCMBuffer::fromChannels(16000, {left, right}));
  ASSERT_NEAR(samples.size(), 16000u, 1);
  for (std::size_t i = 100; i < 15900; i += 97) EXPECT_NEAR(samples[i], (left[i] + right[i]) / 2, 1e-4f) << i;

  const auto down = AudioConverter().resampleBuffer(
      AudioPCMBuffer::fromChannels(48000, {std::vector<float>(48000, 0.5f), std::vector<float>(48000, 0.1f)}));
  ASSERT_NEAR(down.size(), 16000u, 2);
  EXPECT_NEAR(down[8000], 0.3f, 1e-3f);
}

struct OwnRoadCase {
  int channels;
  double rate;
  int frames;
  std::size_t expected;
};

void PrintTo(const OwnRoadCase& c, std::ostream* os) {
  *os << c.channels << "ch_" << static_cast<int>(c.rate) << "Hz_" << c.frames << "frames";
}

class OwnRoadTest : public ::testing::TestWithParam<OwnRoadCase> {};

TEST_P(OwnRoadTest, MixesExactlyAndInterpolatesLinearly) {
  const OwnRoadCase c = GetParam();
  std::vector<std::vector<float>> channels(static_cast<std::size_t>(c.channels), std::vector<float>(c.frames));
  for (int ch = 0; ch < c.channels; ++ch) {
    for (int i = 0; i < c.frames; ++i) channels[ch][i] = std::sin(0.001f * i * (ch + 1)) * 0.3f + 0.01f * ch;
  }
  std::vector<float> mix(c.frames);
  const float weight = 1.0f / static_cast<float>(c.channels);
  for (int i = 0; i < c.frames; ++i) {
    float sum = 0.0f;
    for (int ch = 0; ch < c.channels; ++ch) sum += channels[ch][i];
    mix[i] = weight * sum;
  }
  test::LogCapture logs;
  const auto out = AudioConverter(std::nullopt, true).resampleBuffer(AudioPCMBuffer::fromChannels(c.rate, channels));
  ASSERT_EQ(out.size(), c.expected);
  const double ratio = c.rate / 16000.0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double p = ratio * static_cast<double>(i);
    const auto k = static_cast<std::size_t>(p);
    const float f = static_cast<float>(p - static_cast<double>(k));
    volatile float a = (1.0f - f) * mix[k];
    volatile float b = k + 1 < mix.size() ? mix[k + 1] * f : 0.0f;
    const float expected = k + 1 < mix.size() ? a + b : mix[k];
    ASSERT_EQ(out[i], expected) << i;  // bit-exact
  }
  EXPECT_EQ(logs.records().size(), c.rate == 16000.0 ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, OwnRoadTest,
                         ::testing::Values(OwnRoadCase{6, 16000.0, 1000, 1000}, OwnRoadCase{3, 48000.0, 4800, 1600},
                                           OwnRoadCase{3, 44100.0, 441, 160}, OwnRoadCase{4, 8000.0, 10, 20}));

TEST(AudioConverterTest, OwnRoadHoldsTheLastFrame) {
  // 8 kHz -> 16 kHz: output 19 sits on input position 9.5, the last frame is 9.
  const auto out = AudioConverter().resampleBuffer(AudioPCMBuffer::fromChannels(
      8000,
      {std::vector<float>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, std::vector<float>(10, 0.0f), std::vector<float>(10, 0.0f)}));
  ASSERT_EQ(out.size(), 20u);
  EXPECT_FLOAT_EQ(out[18], 3.0f);
  EXPECT_FLOAT_EQ(out[19], 3.0f);
}

TEST(AudioConverterTest, ErrorDescriptions) {
  EXPECT_STREQ(AudioConverterError::conversionFailed(std::nullopt).what(), "Audio conversion failed: Unknown error");
  EXPECT_STREQ(AudioConverterError::conversionFailed("boom").what(), "Audio conversion failed: boom");
  // Said in this platform's words: no other system's buffer type is named.
  EXPECT_STREQ(AudioConverterError::sampleBufferCopyFailed(-12).what(),
               "Failed to copy samples from the audio buffer (status: -12)");
  EXPECT_STREQ(AudioConverterError::sampleBufferFormatMissing().what(),
               "The audio buffer is missing a valid audio format description.");
  EXPECT_STREQ(AudioConverterError::failedToCreateSourceFormat().what(),
               "Failed to create a source audio format description for the audio buffer.");
  EXPECT_STREQ(AudioConverterError::failedToCreateConverter().what(), "Failed to create audio converter");
  EXPECT_STREQ(AudioConverterError::failedToCreateBuffer().what(), "Failed to create conversion buffer");
}

TEST(AudioWAVTest, HeaderAndSamples) {
  const auto empty = AudioWAV::data({}, 16000);
  ASSERT_EQ(empty.size(), 44u);
  EXPECT_EQ(std::string(empty.begin(), empty.begin() + 4), "RIFF");
  EXPECT_EQ(empty[4], 36);
  EXPECT_EQ(empty[40], 0);
  EXPECT_EQ(empty[24] | (empty[25] << 8), 16000);
  EXPECT_EQ(empty[28] | (empty[29] << 8) | (empty[30] << 16), 32000);

  const auto wav = AudioWAV::data({0.5f, -0.25f}, 16000);
  ASSERT_EQ(wav.size(), 48u);
  EXPECT_EQ(static_cast<int16_t>(wav[44] | (wav[45] << 8)), 32767);
  EXPECT_EQ(static_cast<int16_t>(wav[46] | (wav[47] << 8)), -16383);

  const auto zeros = AudioWAV::data({0.0f, 0.0f}, 16000);
  EXPECT_EQ(zeros[44] | zeros[45] | zeros[46] | zeros[47], 0);

  for (double bad : {-5.0, std::nan(""), 1e12}) {
    const auto w = AudioWAV::data({0.1f}, bad);
    const uint32_t rate = w[24] | (w[25] << 8) | (w[26] << 16) | (uint32_t(w[27]) << 24);
    EXPECT_EQ(rate, bad > 1e11 ? 4294967295u : 0u);
  }
}

}  // namespace
}  // namespace voxtrellis
