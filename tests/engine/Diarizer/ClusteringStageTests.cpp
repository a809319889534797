#include "Diarizer/Offline/Clustering/AHCClustering.h"
#include "Diarizer/Offline/Clustering/KMeansClustering.h"
#include "Diarizer/Offline/Clustering/SpeakerClusteringStage.h"
#include "Diarizer/Offline/Clustering/SpeakerCountConstraints.h"
#include "Diarizer/Offline/Clustering/VBxClustering.h"
#include "Diarizer/Offline/Core/OfflineReconstruction.h"
#include "Diarizer/Offline/Utils/VDSPOperations.h"
#include "engine/Diarizer/MeetingEmbeddings.h"

#include <voxtrellis/OfflineDiarizationError.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>

using namespace voxtrellis;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(SpeakerCountConstraints, ResolvesBounds) {
  struct Case {
    int n;
    std::optional<int> exactly, min, max;
    int lower, upper;
    std::optional<int> fixed;
  };
  const std::vector<Case> cases = {
      {2, 3, std::nullopt, std::nullopt, 2, 2, 2},  // more speakers than embeddings
      {10, std::nullopt, 5, 3, 3, 3, 3},            // contradictory bounds
      {10, std::nullopt, std::nullopt, 4, 1, 4, std::nullopt},
      {10, std::nullopt, 0, std::nullopt, 1, 10, std::nullopt},
      {10, std::nullopt, -4, 2, 1, 2, std::nullopt},
      {1, std::nullopt, 3, 8, 1, 1, 1},
      {10, 4, 1, 9, 4, 4, 4},  // an exact count overrides the bounds
  };
  for (const auto& c : cases) {
    const auto r = SpeakerCountConstraints::resolve(c.n, c.exactly, c.min, c.max);
    EXPECT_EQ(r.minSpeakers, c.lower);
    EXPECT_EQ(r.maxSpeakers, c.upper);
    EXPECT_EQ(r.numSpeakers, c.fixed);
  }
}

TEST(KMeansClustering, GeneratorAndShuffleFollowTheirDefinition) {
  KMeansClustering::SeededRNG rng(1);
  EXPECT_EQ(rng.next(), 6364136223846793005ull + 1442695040888963407ull);
  // Multiply-and-reject: the high word of x·m.
  KMeansClustering::SeededRNG a(42), b(42);
  const uint64_t x = b.next();
  EXPECT_EQ(a.uniform(10), static_cast<uint64_t>((static_cast<unsigned __int128>(x) * 10) >> 64));
  KMeansClustering::SeededRNG s1(7), s2(7);
  const auto order = KMeansClustering::shuffledIndices(6, s1);
  // Recomputed by hand from the generator.
  std::vector<std::size_t> expected = {0, 1, 2, 3, 4, 5};
  for (std::size_t i = 0; i + 1 < 6; ++i) std::swap(expected[i], expected[i + s2.uniform(6 - i)]);
  EXPECT_EQ(order, expected);
}

TEST(KMeansClustering, ForcesTheRequestedCount) {
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < 12; ++i) rows.push_back({i < 6 ? 1.0 : 0.0, i < 6 ? 0.0 : 2.0, 0.01 * i});
  const auto first = KMeansClustering::clusterWithCentroids(rows, 2, 100, 99);
  const auto second = KMeansClustering::clusterWithCentroids(rows, 2, 100, 99);
  EXPECT_EQ(first.clusters, second.clusters);
  EXPECT_EQ(first.centroids, second.centroids);
  ASSERT_EQ(first.clusters.size(), 12u);
  for (int i = 1; i < 6; ++i) EXPECT_EQ(first.clusters[i], first.clusters[0]);
  for (int i = 7; i < 12; ++i) EXPECT_EQ(first.clusters[i], first.clusters[6]);
  EXPECT_NE(first.clusters[0], first.clusters[6]);

  const auto identity = KMeansClustering::clusterWithCentroids({{3, 4}, {6, 8}}, 2, 100, 1);
  EXPECT_EQ(identity.clusters, (std::vector<int>{0, 1}));
  EXPECT_EQ(identity.centroids, (std::vector<std::vector<double>>{{3, 4}, {6, 8}}));
  EXPECT_EQ(KMeansClustering::clusterWithCentroids(rows, 0, 100, 1).clusters, std::vector<int>(12, 0));
  EXPECT_TRUE(KMeansClustering::clusterWithCentroids({}, 2, 100, 1).clusters.empty());
}

TEST(VBxClustering, EdgeCases) {
  const VBxClustering vbx(OfflineDiarizerConfig{}, std::vector<double>(2, 1.0));
  const auto one = vbx.refine({{1, 2}, {1, 2.1}}, {0, 0});
  EXPECT_EQ(one.numClusters, 1);
  EXPECT_EQ(one.pi, std::vector<double>{1.0});
  EXPECT_EQ(one.hardClusters[0], (std::vector<int>{0, 0}));

  // Labels 0 and 2 only: two speakers, label 2 lands in column 1.
  const auto clamped = vbx.refine({{30, 0}, {0, 30}}, {0, 2});
  EXPECT_EQ(clamped.numClusters, 2);
  EXPECT_EQ(clamped.hardClusters[0], (std::vector<int>{0, 1}));

  OfflineDiarizerConfig single;
  single.vbx.maxIterations = 1;
  EXPECT_EQ(VBxClustering(single, {1, 1}).refine({{1, 0}, {0, 1}}, {0, 1}).elbos.size(), 1u);

  // Convergence can only be declared from the second iteration on.
  OfflineDiarizerConfig loose;
  loose.vbx.convergenceTolerance = 1e300;
  EXPECT_EQ(VBxClustering(loose, {1, 1}).refine({{30, 0}, {0, 30}, {29, 1}}, {0, 1, 0}).elbos.size(), 2u);
  const auto full = vbx.refine({{30, 0}, {0, 30}, {29, 1}}, {0, 1, 0});
  ASSERT_GE(full.elbos.size(), 2u);
  EXPECT_LT(std::fabs(full.elbos.back() - full.elbos[full.elbos.size() - 2]), 1e-4);

  EXPECT_EQ(vbx.refine({}, {}).numClusters, 0);
  EXPECT_TRUE(vbx.refine({{}, {}}, {0, 1}).gamma.empty());
  // A psi of the wrong length falls back to an identity prior and still runs.
  EXPECT_EQ(VBxClustering(OfflineDiarizerConfig{}, {1, 2, 3}).refine({{30, 0}, {0, 30}}, {0, 1}).numClusters, 2);
}

TEST(VBxClustering, CountOutsideBoundsIsForcedByKMeans) {
  const VBxClustering vbx(OfflineDiarizerConfig{}, std::vector<double>(2, 1.0));
  std::vector<std::vector<double>> rho, embeddings;
  std::vector<int> labels;
  for (int i = 0; i < 10; ++i) {
    rho.push_back({30.0 * (i % 5), 1});
    embeddings.push_back({std::cos(i % 5), std::sin(i % 5), 0.1});
    labels.push_back(i % 5);
  }
  const auto bounded =
      vbx.refineWithConstraints(rho, embeddings, labels, SpeakerCountConstraints::resolve(10, {}, 2, 4));
  EXPECT_TRUE(bounded.wasAdjusted);
  EXPECT_EQ(bounded.numClusters, 4);
  EXPECT_EQ(bounded.originalClusterCount, 5);
  EXPECT_EQ(bounded.centroids.size(), 4u);

  const auto raised = vbx.refineWithConstraints({{1, 1}, {1, 1}, {1, 1}}, {{1, 0}, {0, 1}, {1, 0.1}}, {0, 0, 0},
                                                SpeakerCountConstraints::resolve(3, {}, 2, {}));
  EXPECT_EQ(raised.numClusters, 2);
  EXPECT_TRUE(raised.wasAdjusted);
  EXPECT_FALSE(vbx.refineWithConstraints(rho, embeddings, labels, std::nullopt).wasAdjusted);
}

TEST(VBxClustering, BoundsHoldForTheSpeakersVBxKept) {
  // One voice; the warm start split one frame off it, and VBx empties that
  // cluster. With at least two speakers asked for, K-means must make them.
  const VBxClustering vbx(OfflineDiarizerConfig{}, std::vector<double>(2, 1.0));
  std::vector<std::vector<double>> rho, embeddings;
  std::vector<int> labels;
  for (int i = 0; i < 20; ++i) {
    rho.push_back({30.0 + 0.01 * i, 0});
    embeddings.push_back({i < 10 ? 1.0 : 0.0, i < 10 ? 0.0 : 1.0});
    labels.push_back(i == 7 ? 1 : 0);
  }
  const auto plain = vbx.refine(rho, labels);
  ASSERT_EQ(plain.numClusters, 2);
  ASSERT_EQ(VBxClustering::keptSpeakers(plain), 1) << "the data should make VBx drop the split-off cluster";
  const auto raised =
      vbx.refineWithConstraints(rho, embeddings, labels, SpeakerCountConstraints::resolve(20, {}, 2, {}));
  EXPECT_TRUE(raised.wasAdjusted);
  EXPECT_EQ(raised.numClusters, 2);
  EXPECT_EQ(raised.originalClusterCount, 1);

  // Three starting clusters of which VBx keeps one: an upper bound of 2 holds.
  std::vector<int> three = labels;
  three[3] = 2;
  const auto kept = vbx.refineWithConstraints(rho, embeddings, three, SpeakerCountConstraints::resolve(20, {}, 1, 2));
  ASSERT_EQ(VBxClustering::keptSpeakers(kept), 1);
  EXPECT_FALSE(kept.wasAdjusted);
}

TEST(VBxClustering, ForcedCountIsTheSameEveryRunAndTheBestOfSeveralStarts) {
  // Four tight groups of unequal size; a single K-means start often puts two
  // first centroids in one group and ends with a split group and a merged pair.
  std::vector<std::vector<double>> rho, embeddings;
  std::vector<int> labels, truth;
  const int sizes[] = {30, 12, 8, 5};
  for (int g = 0; g < 4; ++g) {
    for (int i = 0; i < sizes[g]; ++i) {
      std::vector<double> e(8, 0.0);
      e[static_cast<std::size_t>(g)] = 1.0;
      e[4 + static_cast<std::size_t>(i % 4)] = 0.02 * (i % 3);
      embeddings.push_back(e);
      rho.push_back({1, 1});
      labels.push_back(0);
      truth.push_back(g);
    }
  }
  int poorStarts = 0;
  for (uint64_t seed = 0; seed < 20; ++seed) {
    const auto single = KMeansClustering::clusterWithCentroids(embeddings, 4, 100, seed);
    poorStarts += AHCClustering::remapClusterIds(single.clusters) != truth ? 1 : 0;
  }
  ASSERT_GT(poorStarts, 0) << "some single starts should end poorly on this data";

  const VBxClustering vbx(OfflineDiarizerConfig{}, std::vector<double>(2, 1.0));
  const auto constraints = SpeakerCountConstraints::resolve(static_cast<int>(embeddings.size()), 4, {}, {});
  const auto first = vbx.refineWithConstraints(rho, embeddings, labels, constraints);
  ASSERT_TRUE(first.wasAdjusted);
  ASSERT_EQ(first.hardClusters.size(), 1u);
  EXPECT_EQ(AHCClustering::remapClusterIds(first.hardClusters[0]), truth);
  for (int run = 0; run < 3; ++run) {
    const auto again = vbx.refineWithConstraints(rho, embeddings, labels, constraints);
    EXPECT_EQ(again.hardClusters, first.hardClusters);
    EXPECT_EQ(again.centroids, first.centroids);
  }
}

TEST(VBxClustering, AWarmStartTooLargeToHoldIsATypedErrorBeforeAllocating) {
  // As many starting clusters as embeddings (a threshold of 1.0): frames ×
  // clusters just above the bound.
  const std::size_t n = 4097;
  ASSERT_GT(n * n, VBxClustering::kMaxResponsibilities);
  std::vector<std::vector<double>> rho(n, std::vector<double>{1.0});
  std::vector<int> labels(n);
  for (std::size_t i = 0; i < n; ++i) labels[i] = static_cast<int>(i);
  const VBxClustering vbx(OfflineDiarizerConfig{}, {1.0});
  try {
    vbx.refine(rho, labels);
    FAIL() << "expected OfflineDiarizationError";
  } catch (const OfflineDiarizationError& error) {
    EXPECT_EQ(error.kind(), OfflineDiarizationError::Kind::processingFailed);
    EXPECT_NE(std::string(error.what()).find("4097"), std::string::npos) << error.what();
  }
  // Just under the bound still runs.
  labels.assign(n, 0);
  EXPECT_EQ(vbx.refine(rho, labels).numClusters, 1);
}

TimedEmbedding timed(int chunk, int slot, std::vector<float> embedding) {
  TimedEmbedding e;
  e.chunkIndex = chunk;
  e.speakerIndex = slot;
  e.embedding256 = std::move(embedding);
  e.rho128 = {e.embedding256.empty() ? 0.0 : 30.0 * e.embedding256[0],
              e.embedding256.size() > 1 ? 30.0 * e.embedding256[1] : 0.0};
  return e;
}

SegmentationOutput windowsFor(const std::vector<TimedEmbedding>& embeddings) {
  SegmentationOutput segmentation;
  segmentation.numChunks = static_cast<int>(embeddings.size() / 3 + 1);
  segmentation.numSpeakers = 3;
  return segmentation;
}

// Eight voices in a tree: two clans of two families of two voices. Between
// unit-length embeddings two turns of one voice lie about 0.17 apart, two
// voices of a family 0.6, two families of a clan 0.95, two clans 1.4. The
// PLDA features carry the same tree, as VBx models them.
std::vector<TimedEmbedding> voiceTree(int turns, unsigned seed) {
  std::mt19937_64 generator(seed);
  std::normal_distribution<float> normal;
  auto add = [&](std::vector<float> v, float scale) {
    for (auto& x : v) x += scale * normal(generator);
    return v;
  };
  std::vector<TimedEmbedding> result;
  for (int clan = 0; clan < 2; ++clan) {
    const auto clanCentre = add(std::vector<float>(256), 1.0f);
    const auto clanRho = add(std::vector<float>(128), 3.0f);
    for (int family = 0; family < 2; ++family) {
      const auto familyCentre = add(clanCentre, 0.71f);
      const auto familyRho = add(clanRho, 2.0f);
      for (int voice = 0; voice < 2; ++voice) {
        const auto centre = add(familyCentre, 0.58f);
        const auto rho = add(familyRho, 2.0f);
        for (int turn = 0; turn < turns; ++turn) {
          TimedEmbedding e;
          e.chunkIndex = static_cast<int>(result.size() / 3);
          e.speakerIndex = static_cast<int>(result.size() % 3);
          e.embedding256 = add(centre, 0.164f);
          const auto features = add(rho, 0.3f);
          e.rho128.assign(features.begin(), features.end());
          result.push_back(std::move(e));
        }
      }
    }
  }
  return result;
}

TEST(SpeakerClusteringStage, PresetsFindMoreSpeakersTheLowerTheirThreshold) {
  for (unsigned seed = 1; seed <= 3; ++seed) {
    const auto voices = voiceTree(12, seed);
    std::size_t previous = 0;
    for (const auto* preset : {&diarizertest::kFewerSpeakers, &diarizertest::kBalanced, &diarizertest::kMoreSpeakers}) {
      const auto found = SpeakerClusteringStage::run(voices, windowsFor(voices), diarizertest::configOf(*preset),
                                                     std::vector<double>(128, 1.0))
                             .centroids.size();
      EXPECT_GE(found, previous) << preset->name << ", seed " << seed;
      previous = found;
    }
    EXPECT_EQ(previous, 8u) << "More Speakers should tell all eight voices apart, seed " << seed;
  }
}

// `count` embeddings, three to a window, of `voices` voices taking turns of
// five: each turn its voice's centre plus noise (0.6 per value against 1 for
// the centre, which spreads a voice's turns wider than the lowest preset
// threshold), its PLDA features its own centre (4 per value) plus unit noise.
std::vector<TimedEmbedding> scatteredVoices(std::size_t voices, std::size_t count, std::size_t dim, std::size_t rhoDim,
                                            unsigned seed) {
  std::mt19937_64 generator(seed);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> centres(voices, std::vector<float>(dim));
  std::vector<std::vector<double>> rhoCentres(voices, std::vector<double>(rhoDim));
  for (std::size_t v = 0; v < voices; ++v) {
    for (auto& x : centres[v]) x = normal(generator);
    for (auto& x : rhoCentres[v]) x = 4.0 * normal(generator);
  }
  std::vector<TimedEmbedding> embeddings(count);
  for (std::size_t i = 0; i < count; ++i) {
    auto& e = embeddings[i];
    e.chunkIndex = static_cast<int>(i / 3);
    e.speakerIndex = static_cast<int>(i % 3);
    e.embedding256 = centres[(i / 5) % voices];
    for (auto& x : e.embedding256) x += 0.6f * normal(generator);
    e.rho128 = rhoCentres[(i / 5) % voices];
    for (auto& x : e.rho128) x += normal(generator);
  }
  return embeddings;
}

// An hour of speech: 1,800 windows of three local speakers. Under "More
// Speakers" (0.3) hardly two embeddings merge in the warm start, and
// embeddings × starting clusters would pass what VBx can hold.
TEST(SpeakerClusteringStage, AnHourUnderMoreSpeakersRunsWithinVBxsBound) {
  const auto embeddings = scatteredVoices(12, 5400, 32, 16, 5);
  const auto config = diarizertest::configOf(diarizertest::kMoreSpeakers);
  std::vector<std::vector<double>> rows;
  for (const auto& e : embeddings) rows.emplace_back(e.embedding256.begin(), e.embedding256.end());
  const std::size_t unbounded = AHCClustering::clusterCount(AHCClustering().cluster(rows, 0.3));
  ASSERT_GT(unbounded * embeddings.size(), VBxClustering::kMaxResponsibilities) << unbounded;
  const auto result =
      SpeakerClusteringStage::run(embeddings, windowsFor(embeddings), config, std::vector<double>(16, 1.0));
  // VBx, started from the warm start merged down along its own tree, still
  // finds the twelve voices.
  EXPECT_EQ(result.centroids.size(), 12u);
}

// A stop of the run (the pipeline's cancellation) ends the clustering at the next step of the
// linkage, of VBx and of K-means, which on a recording of hours take seconds each; VBx does not
// take it for a failure to fall back from.
TEST(SpeakerClusteringStage, ACancellationEndsEveryStepAtItsNextCheck) {
  const auto voices = scatteredVoices(4, 300, 32, 16, 3);
  std::vector<std::vector<double>> rows, rho;
  for (const auto& e : voices) {
    rows.emplace_back(e.embedding256.begin(), e.embedding256.end());
    rho.push_back(e.rho128);
  }
  const auto labels = AHCClustering().cluster(rows, 0.5);
  CancellationFlag cancelled;
  cancelled.cancel();
  const auto config = diarizertest::configOf(diarizertest::kBalanced);
  EXPECT_THROW(AHCClustering().cluster(rows, 0.5, rows.size(), &cancelled), DiarizationCancelled);
  EXPECT_THROW(VBxClustering(config, std::vector<double>(16, 1.0), &cancelled).refine(rho, labels),
               DiarizationCancelled);
  EXPECT_THROW(KMeansClustering::clusterBestOfStarts(rows, 3, 100, 5, &cancelled), DiarizationCancelled);
  EXPECT_THROW(
      SpeakerClusteringStage::run(voices, windowsFor(voices), config, std::vector<double>(16, 1.0), &cancelled),
      DiarizationCancelled);
}

TEST(SpeakerClusteringStage, FortyVoicesAreFortySpeakersUnderEveryPresetThreshold) {
  const auto embeddings = scatteredVoices(40, 1000, 256, 128, 12345);
  for (const double threshold : {0.7, 0.5, 0.3}) {
    OfflineDiarizerConfig config;
    config.clustering.threshold = threshold;
    const auto result =
        SpeakerClusteringStage::run(embeddings, windowsFor(embeddings), config, std::vector<double>(128, 1.0));
    EXPECT_EQ(result.centroids.size(), 40u) << threshold;
  }
}

// A meeting of four voices, two of them alike, at 20 minutes, an hour and
// longer, each in several conversations (seeds), under the application's
// three presets.
class MeetingSpeakerCount : public testing::TestWithParam<std::pair<double, unsigned>> {};

// The long meetings below (suite "LongMeeting", which ctest starts first and
// gives more time) are as long as they must be to reach the bound on what VBx
// may hold, and no longer: under "More Speakers", whose warm start keeps
// nearly every embedding apart, the bound merges that start down to less
// than half. Three hours and more are bench_diarizer_clustering's.
void expectTheBoundMergesTheWarmStart(const diarizertest::Meeting& meeting) {
  const std::size_t n = meeting.embeddings.size();
  ASSERT_GT(n, 2 * VBxClustering::maxStartingClusters(n)) << n << " embeddings";
}

// The alike voices share two thirds of their spread (two turns of one of
// them are hardly closer than a turn of each): "Balanced" may hear them as
// one, "More Speakers" is there to part them. No preset invents a voice.
void expectPresetsInOrder(int fewer, int balanced, int more, int voices) {
  EXPECT_GE(balanced, voices - 1);
  EXPECT_LE(balanced, voices);
  EXPECT_LE(fewer, balanced);
  EXPECT_GE(more, balanced);
  EXPECT_LE(more, 2 * voices);
}

TEST_P(MeetingSpeakerCount, BalancedFindsTheVoicesAndThePresetsKeepTheirOrder) {
  const auto [minutes, seed] = GetParam();
  const auto meeting = diarizertest::meeting(minutes, seed);
  if (minutes > 60) expectTheBoundMergesTheWarmStart(meeting);
  const auto speakers = [&](const diarizertest::Preset& preset) {
    return static_cast<int>(diarizertest::cluster(meeting, preset).centroids.size());
  };
  expectPresetsInOrder(speakers(diarizertest::kFewerSpeakers), speakers(diarizertest::kBalanced),
                       speakers(diarizertest::kMoreSpeakers), meeting.speakers);
}

std::string minutesAndSeed(const testing::TestParamInfo<std::pair<double, unsigned>>& info) {
  return std::to_string(static_cast<int>(info.param.first)) + "MinutesSeed" + std::to_string(info.param.second);
}

INSTANTIATE_TEST_SUITE_P(Lengths, MeetingSpeakerCount,
                         testing::Values(std::pair{20.0, 1u}, std::pair{20.0, 2u}, std::pair{20.0, 3u},
                                         std::pair{20.0, 5u}, std::pair{60.0, 1u}, std::pair{60.0, 4u}),
                         minutesAndSeed);
INSTANTIATE_TEST_SUITE_P(LongMeeting, MeetingSpeakerCount, testing::Values(std::pair{105.0, 2u}), minutesAndSeed);

// The same twenty minutes played three and six times over (an hour's and two
// hours' embeddings): nothing new is said, and no preset may find many more
// or fewer voices than in the meeting heard once.
class RepeatedMeetingSpeakerCount : public testing::TestWithParam<std::pair<int, unsigned>> {};

TEST_P(RepeatedMeetingSpeakerCount, NoPresetFindsOtherVoicesThanInTheMeetingHeardOnce) {
  const auto [copies, seed] = GetParam();
  const auto once = diarizertest::meeting(20, seed);
  const auto meeting = diarizertest::repeated(once, copies, 2);
  if (copies > 3) expectTheBoundMergesTheWarmStart(meeting);
  std::map<const diarizertest::Preset*, int> found;
  for (const auto* preset : {&diarizertest::kFewerSpeakers, &diarizertest::kBalanced, &diarizertest::kMoreSpeakers}) {
    const auto heardOnce = static_cast<int>(diarizertest::cluster(once, *preset).centroids.size());
    found[preset] = static_cast<int>(diarizertest::cluster(meeting, *preset).centroids.size());
    EXPECT_LE(found[preset], heardOnce + 1) << preset->name;
    EXPECT_GE(found[preset], heardOnce - 1) << preset->name;
  }
  expectPresetsInOrder(found[&diarizertest::kFewerSpeakers], found[&diarizertest::kBalanced],
                       found[&diarizertest::kMoreSpeakers], meeting.speakers);
}

std::string copiesAndSeed(const testing::TestParamInfo<std::pair<int, unsigned>>& info) {
  return std::to_string(info.param.first) + "TimesSeed" + std::to_string(info.param.second);
}

INSTANTIATE_TEST_SUITE_P(Copies, RepeatedMeetingSpeakerCount,
                         testing::Values(std::pair{3, 1u}, std::pair{3, 3u}, std::pair{3, 5u}), copiesAndSeed);
INSTANTIATE_TEST_SUITE_P(LongMeeting, RepeatedMeetingSpeakerCount, testing::Values(std::pair{6, 2u}), copiesAndSeed);

TEST(SpeakerClusteringStage, NonFiniteEmbeddingsStayUnassigned) {
  SegmentationOutput segmentation;
  segmentation.numChunks = 3;
  segmentation.numSpeakers = 3;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<TimedEmbedding> embeddings = {timed(0, 0, {1, 0}), timed(0, 1, {0, 1}), timed(1, 0, {nan, 1}),
                                                  timed(2, 0, {1, 0.05f}), timed(7, 0, {1, 0})};
  const auto result = SpeakerClusteringStage::run(embeddings, segmentation, OfflineDiarizerConfig{}, {1, 1});
  EXPECT_EQ(result.centroids.size(), 2u);
  EXPECT_EQ(result.assignments, (std::vector<int>{0, 1, -1, 0, 0}));
  // The NaN slot and the out-of-grid chunk leave their cells empty.
  EXPECT_EQ(result.chunkAssignments, (std::vector<std::vector<int>>{{0, 1, -2}, {-2, -2, -2}, {0, -2, -2}}));
  EXPECT_EQ(SpeakerClusteringStage::selectTrainingEmbeddings(embeddings), (std::vector<int>{0, 1, 3, 4}));
  EXPECT_TRUE(SpeakerClusteringStage::selectTrainingEmbeddings({timed(0, 0, {nan})}).empty());
}

TEST(SpeakerClusteringStage, NoFiniteEmbeddingMeansNoSpeakers) {
  SegmentationOutput segmentation;
  segmentation.numChunks = 2;
  segmentation.numSpeakers = 2;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<TimedEmbedding> embeddings = {timed(0, 0, {nan, nan}), timed(0, 1, {nan, 1}),
                                                  timed(1, 0, {nan, 0})};
  const auto result = SpeakerClusteringStage::run(embeddings, segmentation, OfflineDiarizerConfig{}, {1, 1});
  EXPECT_TRUE(result.centroids.empty());
  EXPECT_EQ(result.assignments, (std::vector<int>{-1, -1, -1}));
  EXPECT_EQ(result.chunkAssignments, (std::vector<std::vector<int>>{{-2, -2}, {-2, -2}}));
  // Reconstruction then finds speech in every frame but no speaker for it.
  segmentation.numFrames = 50;
  segmentation.frameDuration = 0.1;
  segmentation.chunkOffsets = {0.0, 5.0};
  segmentation.speakerWeights.assign(2, std::vector<std::vector<float>>(50, {1.0f, 0.0f}));
  EXPECT_TRUE(OfflineReconstruction(OfflineDiarizerConfig{})
                  .buildSegments(segmentation, result.chunkAssignments, result.centroids)
                  .empty());
  // A NaN row never reaches the one fallback voice either.
  EXPECT_EQ(SpeakerClusteringStage::computeFallbackCentroids({{1, 2}, {kNaN, 0}, {3, 4}}),
            (std::vector<std::vector<double>>{{2, 3}}));
  EXPECT_TRUE(SpeakerClusteringStage::computeFallbackCentroids({{kNaN, 0}}).empty());
}

TEST(SpeakerClusteringStage, CentroidsWithoutWeightAreNotSpeakers) {
  VBxOutput vbx;
  vbx.gamma = {{1.0, 0.0}, {1.0, 0.0}};
  vbx.pi = {0.5, 0.5};  // speaker 1 has weight but no responsibility on these frames
  const auto centroids = SpeakerClusteringStage::computeCentroids({{2, 0}, {4, 0}}, vbx, {0, 0});
  EXPECT_EQ(centroids, (std::vector<std::vector<double>>{{3, 0}}));

  vbx.pi = {1e-8, 1e-8};  // no active speaker: plain means of the warm start
  EXPECT_EQ(SpeakerClusteringStage::computeCentroids({{2, 0}, {4, 0}, {0, 6}}, vbx, {0, 0, 1}),
            (std::vector<std::vector<double>>{{3, 0}, {0, 6}}));
  EXPECT_EQ(SpeakerClusteringStage::computeFallbackCentroids({{1, 2}, {3, 4}}),
            (std::vector<std::vector<double>>{{2, 3}}));
  EXPECT_TRUE(SpeakerClusteringStage::computeFallbackCentroids({}).empty());
}

TEST(SpeakerClusteringStage, AssignmentByCosineSimilarity) {
  const std::vector<std::vector<double>> centroids = {{1, 0}, {1, 0}, {0, 5}};
  EXPECT_EQ(SpeakerClusteringStage::assignEmbeddings({{2, 0.1}, {0.1, 9}, {1, 1e-9}}, centroids),
            (std::vector<int>{0, 2, 0}));
  EXPECT_EQ(SpeakerClusteringStage::assignEmbeddings({{1, 2}}, {}), (std::vector<int>{0}));
  EXPECT_EQ(SpeakerClusteringStage::assignEmbeddings({{1, kNaN}}, centroids), (std::vector<int>{-1}));
}

TEST(VDSPOperations, Helpers) {
  EXPECT_EQ(VDSPOperations::l2Normalize({3, 4}), (std::vector<float>{0.6f, 0.8f}));
  EXPECT_EQ(VDSPOperations::l2Normalize({0, 0}), (std::vector<float>{0, 0}));
  EXPECT_TRUE(VDSPOperations::l2Normalize({}).empty());
  EXPECT_NEAR(VDSPOperations::logSumExp({0, 0}), std::log(2.0f), 1e-6);
  EXPECT_NEAR(VDSPOperations::logSumExp({1000, 1000}), 1000 + std::log(2.0f), 1e-3);
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(VDSPOperations::logSumExp({}), -inf);
  // All −∞ must stay −∞ (not NaN from −∞ − −∞).
  EXPECT_EQ(VDSPOperations::logSumExp({-inf, -inf}), -inf);
  EXPECT_EQ(VDSPOperations::logSumExp({-inf, 0}), 0.0f);
  EXPECT_EQ(VDSPOperations::matrixVectorMultiply({{}, {}}, {}), (std::vector<float>{0, 0}));
  EXPECT_TRUE(VDSPOperations::matrixVectorMultiply({}, {1}).empty());
  EXPECT_EQ(VDSPOperations::matrixVectorMultiply({{1, 2}, {3, 4}}, {1, 1}), (std::vector<float>{3, 7}));
}

}  // namespace
