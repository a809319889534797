#include <voxtrellis/AudioConverter.h>
#include <voxtrellis/AudioFrameConverter.h>
#include <voxtrellis/AudioWAV.h>
#include <voxtrellis/WorkStopped.h>

#include "AudioTestFiles.h"
#include "LogCapture.h"
#include "support/FixturePaths.h"
#include "support/Mp3Header.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
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
  // A stop asked for once decoding is under way ends it at the next frame.
  std::stop_source stop;
  EXPECT_THROW(AudioConverter().resampleAudioFile(
                   dir / "a.wav", [&](double) { stop.request_stop(); }, stop.get_token()),
               WorkStopped);
}

TEST(AudioConverterTest, AHeaderThatMisstatesTheLengthCutsNothingOffAndAddsNothing) {
  testsupport::TempDir dir;
  for (const uint32_t frames : {10u, 0xfffffff0u}) {
    SCOPED_TRACE(frames);
    const auto file = dir / ("tone-" + std::to_string(frames) + ".mp3");
    ASSERT_TRUE(test::makeTone(file, 2.0));
    ASSERT_TRUE(testsupport::setMp3FrameCount(file, frames));
    const auto samples = AudioConverter().resampleAudioFile(file);
    // Two seconds, give or take the codec's priming and padding the header no longer describes.
    EXPECT_NEAR(static_cast<double>(samples.size()), 32000.0, 1152.0);
    EXPECT_NEAR(test::risingCrossingsPerSecond(samples, 4000, 28000, 16000.0), 440.0, 2.0);
  }
}

// Files holding other than their first part's header says, as the ffmpeg tool decodes them: a
// part appended after an MP3 whose header counts its own frames is kept (only the padding the
// header states goes; the 8 kHz part was dropped as padding past the count), and bytes after the
// last packet that are none, with nothing decodable after them, end the file there, the log
// saying where (ADTS AAC followed by MP3 bytes was refused whole).
TEST(AudioConverterTest, WhatDecodesPastAHeadersCountIsKeptAndDamageAfterSoundEndsTheFile) {
  testsupport::TempDir dir;
  const auto joined = [&](const std::string& name, const std::filesystem::path& first,
                          const std::filesystem::path& second) {
    testsupport::writeFile(dir / name, testsupport::readFile(first) + testsupport::readFile(second));
    return AudioConverter().resampleAudioFile(dir / name).size() / 16000.0;
  };
  ASSERT_TRUE(test::makeTone(dir / "five.mp3", 5.0, 48000, 2));
  ASSERT_TRUE(test::makeTone(dir / "narrow.mp3", 1.8, 8000, 1, 660));
  // The tool: 6.88 s (the second part's own priming and padding stay); and the second part's
  // first frame, which FFmpeg's decoder labels with the first part's rate, lasts its own 72 ms
  // rather than 12.
  EXPECT_NEAR(joined("appended.mp3", dir / "five.mp3", dir / "narrow.mp3"), 6.94, 0.02);

  ASSERT_TRUE(test::makeTone(dir / "six.aac", 6.0, 44100, 2, 440, "-c:a aac"));
  test::LogCapture logs;
  // The tool: 6.04 s.
  EXPECT_NEAR(joined("then-mp3.aac", dir / "six.aac", dir / "five.mp3"), 6.04, 0.01);
  EXPECT_TRUE(logs.contains(AppLogger::Level::warning, "then-mp3.aac is damaged after 6.0")) << logs.messages().size();
}

// 2 kB of random bytes in the middle of a file (tools/fixtures/damaged.py) cost a FLAC all the
// rest of its sound: its decoder's error ended the stream there. Damage costs only the damaged
// frames, in every format: the rest is kept, every second's tone in its own second, and where the
// container says where its frames lie (FLAC, Ogg, MP4) at its own time, silence standing for
// what was lost; where the damage was and what it cost is told.
class DamagedFileTest : public ::testing::TestWithParam<std::string> {};

TEST_P(DamagedFileTest, DamageInTheMiddleCostsOnlyTheDamagedFrames) {
  const auto folder = testsupport::fixturesDir() / "damaged";
  const std::string format = GetParam();
  std::vector<SkippedDamage> skipped;
  const auto samples = AudioConverter().resampleAudioFile(folder / ("damaged." + format), {}, {}, &skipped);
  const auto whole = AudioConverter().resampleAudioFile(folder / ("whole." + format));
  const bool positioned = format != "mp3" && format != "aac";
  // The frames' own times: to the sample. Counted frames: less what could not be decoded.
  EXPECT_NEAR(static_cast<double>(samples.size()), static_cast<double>(whole.size()), positioned ? 2.0 : 0.5 * 16000);
  ASSERT_FALSE(skipped.empty());
  EXPECT_GT(skipped.front().at, 2.5);
  EXPECT_LT(skipped.back().at, 6.5);
  for (const SkippedDamage& stretch : skipped) {
    if (!positioned) continue;
    EXPECT_GT(stretch.seconds, 0.02);
    const auto from = static_cast<std::size_t>((stretch.at + 0.01) * 16000);
    EXPECT_LT(test::rms(samples, from, from + static_cast<std::size_t>((stretch.seconds - 0.02) * 16000)), 0.001f);
  }
  for (int second = 0; second < 11; ++second) {
    const bool damaged = std::any_of(skipped.begin(), skipped.end(), [&](const SkippedDamage& stretch) {
      return stretch.at < second + 1 && stretch.at + stretch.seconds + 0.2 > second;
    });
    if (damaged) continue;
    const auto from = static_cast<std::size_t>((second + 0.25) * 16000);
    EXPECT_NEAR(test::risingCrossingsPerSecond(samples, from, from + 6400, 16000.0), 300.0 + 200 * second,
                0.03 * (300.0 + 200 * second))
        << format << ", second " << second;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DamagedFileTest, ::testing::Values("flac", "ogg", "m4a", "mp3", "aac"));

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

TEST(AudioConverterTest, ThreeOrMoreChannelsAreMixedExactlyByTheirMean) {
  std::vector<std::vector<float>> channels(5, std::vector<float>(1000));
  for (int ch = 0; ch < 5; ++ch) {
    for (int i = 0; i < 1000; ++i) channels[ch][i] = std::sin(0.001f * i * (ch + 1)) * 0.3f + 0.01f * ch;
  }
  test::LogCapture logs;
  const auto out = AudioConverter(std::nullopt, true).resampleBuffer(AudioPCMBuffer::fromChannels(16000, channels));
  ASSERT_EQ(out.size(), 1000u);
  for (int i = 0; i < 1000; ++i) {
    float sum = 0.0f;
    for (int ch = 0; ch < 5; ++ch) sum += channels[ch][i];
    ASSERT_EQ(out[i], 0.2f * sum) << i;  // bit-exact: summed in channel order, then scaled
  }
  EXPECT_TRUE(logs.records().empty());  // no rate change, nothing to report
}

// A 12 kHz tone is above what 16 kHz can hold: a resampler with a low-pass
// filter removes it, plain interpolation folds it onto a loud 4 kHz tone.
TEST(AudioConverterTest, ThreeOrMoreChannelsChangeRateWithoutFoldingHighTones) {
  std::vector<std::vector<float>> channels(3, std::vector<float>(48000));
  for (auto& channel : channels) {
    for (std::size_t i = 0; i < channel.size(); ++i) channel[i] = 0.5f * std::sin(2.0 * M_PI * 12000.0 * i / 48000.0);
  }
  channels[2].assign(48000, 0.0f);
  test::LogCapture logs;
  const auto fromBuffer =
      AudioConverter(std::nullopt, true).resampleBuffer(AudioPCMBuffer::fromChannels(48000, channels));
  EXPECT_NEAR(static_cast<double>(fromBuffer.size()), 16000.0, 2.0);
  EXPECT_LT(test::rms(fromBuffer, 1000, 15000), 0.01f);
  EXPECT_TRUE(logs.contains("Manual resampling: 3 channels → mono, 48000.0Hz → 16000.0Hz"));

  testsupport::TempDir dir;
  ASSERT_TRUE(test::makeTone(dir / "high.wav", 1.0, 48000, 3, 12000));
  const auto fromFile = AudioConverter().resampleAudioFile(dir / "high.wav");
  EXPECT_EQ(fromFile.size(), 16000u);
  EXPECT_LT(test::rms(fromFile, 1000, 15000), 0.002f);
  // Speech-band content passes at its level.
  ASSERT_TRUE(test::makeTone(dir / "low.wav", 1.0, 44100, 4, 1000));
  const auto low = AudioConverter().resampleAudioFile(dir / "low.wav");
  EXPECT_NEAR(test::risingCrossingsPerSecond(low, 1000, 15000, 16000.0), 1000.0, 2.0);
  // The tool puts a mono tone on the centre of four channels; their mean is a quarter of it.
  EXPECT_NEAR(test::rms(low, 1000, 15000), 0.125f / std::sqrt(2.0f) / 4, 0.002f);
}

// A WAV (RF64) header announcing 2^40 frames in front of one second of audio.
std::string wavAnnouncing(uint64_t frames, int channels, int rate, int seconds) {
  std::string out;
  auto put = [&out](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
  };
  out += "RF64";
  put(0xFFFFFFFFu, 4);
  out += "WAVEds64";
  put(28, 4);
  put(0xFFFFFFFFu, 8);
  put(frames * 2 * channels, 8);
  put(frames, 8);
  put(0, 4);
  out += "fmt ";
  put(16, 4);
  put(1, 2);
  put(channels, 2);
  put(rate, 4);
  put(rate * 2 * channels, 4);
  put(2 * channels, 2);
  put(16, 2);
  out += "data";
  put(0xFFFFFFFFu, 4);
  for (int i = 0; i < rate * seconds * channels; ++i) put(static_cast<uint16_t>(i % 200 < 100 ? 4000 : -4000), 2);
  return out;
}

TEST(AudioConverterTest, AnAnnouncedLengthIsNeverTrustedForMemory) {
  testsupport::TempDir dir;
  for (const int channels : {1, 2, 3}) {
    SCOPED_TRACE(std::to_string(channels) + " channels");
    testsupport::writeFile(dir / "claims.wav", wavAnnouncing(uint64_t{1} << 40, channels, 16000, 1));
    const auto samples = AudioConverter().resampleAudioFile(dir / "claims.wav");
    EXPECT_EQ(samples.size(), 16000u);
  }
}

TEST(AudioConverterTest, RatesTooLowToResampleAreRefused) {
  testsupport::TempDir dir;
  std::string wav = wavAnnouncing(100, 1, 1, 100);
  testsupport::writeFile(dir / "one-hertz.wav", wav);
  EXPECT_THROW(AudioConverter().resampleAudioFile(dir / "one-hertz.wav"), AudioFileError);
  EXPECT_THROW(AudioConverter().resampleBuffer(AudioPCMBuffer::fromChannels(1, {std::vector<float>(100, 0.1f)})),
               AudioConverterError);
  EXPECT_THROW(
      AudioConverter().resampleBuffer(AudioPCMBuffer::fromChannels(1, std::vector<std::vector<float>>(3, {0.1f}))),
      AudioConverterError);
  // 1 kHz to 16 kHz is still a rate change the decoder makes.
  EXPECT_NEAR(
      AudioConverter().resampleBuffer(AudioPCMBuffer::fromChannels(1000, {std::vector<float>(100, 0.1f)})).size(),
      1600u, 2);
}

// A stream whose layout and rate change midway loses nothing where they do: what the resampler
// still held for one format comes out before the next is converted.
TEST(AudioFrameConverterTest, NothingIsLostWhereTheFormatChanges) {
  AudioFrameConverter converter(AudioFrameConverter::Target{});
  std::size_t converted = 0;
  for (const auto& [rate, channels] : {std::pair{44100, 2}, {22050, 1}, {48000, 2}, {8000, 1}}) {
    AVFrame* second = av_frame_alloc();  // one second of it
    second->format = AV_SAMPLE_FMT_FLTP;
    second->sample_rate = rate;
    second->nb_samples = rate;
    av_channel_layout_default(&second->ch_layout, channels);
    ASSERT_EQ(av_frame_get_buffer(second, 0), 0);
    for (int c = 0; c < channels; ++c) std::fill_n(reinterpret_cast<float*>(second->extended_data[c]), rate, 0.25f);
    converted += static_cast<std::size_t>(converter.convert(*second, 0, rate).frames);
    av_frame_free(&second);
  }
  converted += static_cast<std::size_t>(converter.drain().frames);
  EXPECT_NEAR(static_cast<double>(converted), 4 * 16000.0, 2.0);
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
