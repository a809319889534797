#include "Diarizer/Offline/Clustering/SpeakerClusteringStage.h"
#include "engine/Diarizer/MeetingEmbeddings.h"
#include "engine/Diarizer/RealMeeting.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using diarizertest::RealMeeting;

// The clustering stage on a real four-person meeting (two of the men sound
// alike, one person speaks for almost half of it), under the application's
// presets, and on the same meeting heard two and four times over: nothing new
// is said, so no preset may find many more or fewer speakers than in the
// meeting heard once.
class RealMeetingSpeakers : public testing::Test {
 protected:
  struct Found {
    int fewer = 0, balanced = 0, more = 0;
    double balancedError = 0;  // of the first hearing
  };

  static void SetUpTestSuite() {
    if (RealMeeting::available()) s_meeting = std::make_unique<RealMeeting>();
  }
  static void TearDownTestSuite() { s_meeting.reset(); }

  void SetUp() override {
    if (!s_meeting) GTEST_SKIP() << RealMeeting::missingMessage();
  }

  static Found cluster(int copies, double noise) {
    const auto embeddings = s_meeting->heard(copies, noise, 7);
    const auto speakers = [&](const diarizertest::Preset& preset, double* error = nullptr) {
      const auto result = voxtrellis::SpeakerClusteringStage::run(embeddings, RealMeeting::windowsOf(embeddings),
                                                                  diarizertest::configOf(preset), s_meeting->psi);
      if (error) *error = s_meeting->diarizationError(result.assignments);
      return static_cast<int>(result.centroids.size());
    };
    Found found;
    found.fewer = speakers(diarizertest::kFewerSpeakers);
    found.balanced = speakers(diarizertest::kBalanced, &found.balancedError);
    found.more = speakers(diarizertest::kMoreSpeakers);
    return found;
  }

  static void expectInOrder(const Found& found) {
    EXPECT_LE(found.fewer, found.balanced);
    EXPECT_LE(found.balanced, found.more);
    EXPECT_LE(found.more, 2 * RealMeeting::kVoices) << "More Speakers may find at most twice the voices";
    EXPECT_LE(found.balancedError, 0.10) << "Balanced's diarization error";
  }

  static std::unique_ptr<RealMeeting> s_meeting;
};

std::unique_ptr<RealMeeting> RealMeetingSpeakers::s_meeting;

TEST_F(RealMeetingSpeakers, HeardOnceBalancedFindsThreeAtLowError) {
  const Found once = cluster(1, 0.0);
  // The two alike men are one speaker under "Balanced"; the error is the
  // one that costs (collar 0.25 s, overlap not scored).
  EXPECT_EQ(once.balanced, 3);
  expectInOrder(once);
}

// Exact copies, and copies each with 2 % noise of every vector's root mean
// square (which blurs the voices a little: the PLDA features of one window
// move by about a fifth of a voice's spread).
class RealMeetingHeardAgain : public RealMeetingSpeakers, public testing::WithParamInterface<std::pair<int, double>> {};

TEST_P(RealMeetingHeardAgain, EveryPresetFindsAboutTheSpeakersOfTheMeetingHeardOnce) {
  const auto [copies, noise] = GetParam();
  const Found once = cluster(1, 0.0);
  const Found again = cluster(copies, noise);
  const auto expectNear = [](int found, int heardOnce, const char* preset) {
    EXPECT_GE(found, heardOnce - 1) << preset << ": heard once " << heardOnce;
    EXPECT_LE(found, heardOnce + 2) << preset << ": heard once " << heardOnce;
  };
  expectNear(again.fewer, once.fewer, "Fewer Speakers");
  expectNear(again.balanced, once.balanced, "Balanced");
  expectNear(again.more, once.more, "More Speakers");
  expectInOrder(again);
}

INSTANTIATE_TEST_SUITE_P(Copies, RealMeetingHeardAgain,
                         testing::Values(std::pair{2, 0.02}, std::pair{4, 0.02}, std::pair{2, 0.0}, std::pair{4, 0.0}),
                         [](const auto& info) {
                           return std::to_string(info.param.first) + "Times" +
                                  (info.param.second > 0 ? "WithNoise" : "Exactly");
                         });

}  // namespace
