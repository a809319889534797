#include <voxtrellis/ASRError.h>
#include <voxtrellis/NeMoMelSpectrogram.h>

#include "ASR/Streaming/RealFft.h"
#include "support/FixturePaths.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>

namespace voxtrellis::test {
namespace {

TEST(NeMoMelSpectrogramTests, CountsFramesForEveryChunkSize) {
  NeMoMelSpectrogram mel;
  struct Case {
    int samples;
    int numFrames;
    int melLength;
  };
  for (const Case c : {Case{0, 1, 0}, Case{1, 1, 1}, Case{2560, 17, 17}, Case{10080, 64, 64}, Case{50928, 320, 320}}) {
    SCOPED_TRACE(c.samples);
    const auto r = mel.computeFlat(std::vector<float>(c.samples, 0.0f));
    EXPECT_EQ(r.numFrames, c.numFrames);
    EXPECT_EQ(r.melLength, c.melLength);
    ASSERT_EQ(r.mel.size(), static_cast<std::size_t>(128 * c.numFrames));
    // Silence holds no energy in any band.
    EXPECT_TRUE(std::all_of(r.mel.begin(), r.mel.end(), [](float v) { return std::abs(v - (-16.635532f)) < 1e-5f; }));
  }
  for (const auto& [samples, frames] : std::vector<std::pair<int, int>>{{240, 0}, {241, 1}, {559, 1}, {560, 2}}) {
    const auto r = mel.compute(std::vector<float>(samples, 0.0f));
    EXPECT_EQ(r.melLength, frames) << samples;
    if (frames > 0) {
      ASSERT_EQ(r.mel.size(), 1u);
      ASSERT_EQ(r.mel[0].size(), 128u);
      EXPECT_NEAR(r.mel[0][5][frames - 1], std::log(1e-10f), 1e-4);
    }
  }
}

TEST(NeMoMelSpectrogramTests, BuildsTheWindowAndSlaneyFilterbank) {
  NeMoMelSpectrogram mel;
  const auto& w = mel.getHannWindow();
  ASSERT_EQ(w.size(), 400u);
  EXPECT_NEAR(w[0], 0.0f, 1e-6);
  EXPECT_NEAR(w[399], 0.0f, 1e-6);
  EXPECT_NEAR(w[199], 0.999985f, 1e-5);
  EXPECT_EQ(std::max_element(w.begin(), w.end()) - w.begin(), 199);

  const auto& bank = mel.getFilterbank();
  ASSERT_EQ(bank.size(), 128u);
  const auto nonZero = [](const std::vector<float>& row) {
    std::vector<int> bins;
    for (int k = 0; k < static_cast<int>(row.size()); ++k) {
      if (row[k] != 0.0f) bins.push_back(k);
    }
    return bins;
  };
  EXPECT_EQ(nonZero(bank[0]), std::vector<int>{1});
  EXPECT_NEAR(bank[0][1], 0.02838f, 1e-4);
  EXPECT_EQ(nonZero(bank[1]), (std::vector<int>{1, 2}));
  const auto last = nonZero(bank[127]);
  EXPECT_EQ(last.front(), 244);
  EXPECT_EQ(last.back(), 255);
  EXPECT_EQ(bank[127][256], 0.0f);
  for (const auto& row : bank) {
    EXPECT_TRUE(std::all_of(row.begin(), row.end(), [](float v) { return v >= 0.0f; }));
  }
}

TEST(NeMoMelSpectrogramTests, MatchesAnIndependentNumpyReference) {
  testsupport::TempDir dir;
  std::mt19937 random(11);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<float> signal(10080);
  for (std::size_t i = 0; i < signal.size(); ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    signal[i] =
        static_cast<float>(0.3 * std::sin(2 * M_PI * 440 * t) + 0.2 * std::sin(2 * M_PI * 3150 * t)) + noise(random);
  }
  const auto input = dir / "signal.f32";
  const auto output = dir / "mel.f32";
  std::ofstream(input, std::ios::binary)
      .write(reinterpret_cast<const char*>(signal.data()), static_cast<std::streamsize>(signal.size() * 4));
  const std::string script = (testsupport::sourceDir() / "tests/engine/ASR/Streaming/mel_reference.py").string();
  const std::string command = "/usr/bin/python3 '" + script + "' '" + input.string() + "' '" + output.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << "the numpy reference failed: " << command;

  NeMoMelSpectrogram mel;
  const auto ours = mel.computeFlat(signal);
  std::vector<float> reference(ours.mel.size());
  std::ifstream in(output, std::ios::binary);
  in.read(reinterpret_cast<char*>(reference.data()), static_cast<std::streamsize>(reference.size() * 4));
  ASSERT_EQ(in.gcount(), static_cast<std::streamsize>(reference.size() * 4)) << "the reference has another shape";
  double worst = 0;
  for (std::size_t i = 0; i < reference.size(); ++i)
    worst = std::max(worst, std::abs(double(ours.mel[i]) - reference[i]));
  EXPECT_LT(worst, 2e-3) << "largest difference in log energy";
}

TEST(NeMoMelSpectrogramTests, ReportsARefusedFftSetUp) {
  // kissfft refuses odd lengths for real input; that must not become silent features.
  EXPECT_THROW(RealFft(511), ASRError);
  EXPECT_THROW(RealFft(0), ASRError);
  EXPECT_NO_THROW(RealFft(512));
}

}  // namespace
}  // namespace voxtrellis::test
