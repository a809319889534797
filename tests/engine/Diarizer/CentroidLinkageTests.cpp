#include "Diarizer/FastClusterWrapper/FastClusterWrapper.h"
#include "Diarizer/Offline/Clustering/AHCClustering.h"
#include "support/TempDir.h"

#include <voxtrellis/OfflineDiarizerConfig.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>

using namespace voxtrellis;

namespace {

std::vector<double> randomRows(std::size_t n, std::size_t dim, unsigned seed) {
  std::mt19937_64 generator(seed);
  std::normal_distribution<double> normal;
  std::vector<double> data(n * dim);
  for (auto& v : data) v = normal(generator);
  return data;
}

std::vector<double> linkage(const std::vector<double>& data, std::size_t n, std::size_t dim) {
  std::vector<double> out(4 * (n - 1), 0.0);
  EXPECT_EQ(fastcluster_compute_centroid_linkage(data.data(), n, dim, out.data(), out.size()), kFastClusterOk);
  return out;
}

// Textbook centroid linkage: every step scans every pair of live clusters.
std::vector<double> bruteForceLinkage(const std::vector<double>& data, std::size_t n, std::size_t dim) {
  std::vector<std::vector<double>> centroid(2 * n - 1);
  std::vector<double> size(2 * n - 1, 1.0);
  std::vector<std::size_t> live;
  for (std::size_t i = 0; i < n; ++i) {
    centroid[i].assign(data.begin() + static_cast<std::ptrdiff_t>(i * dim),
                       data.begin() + static_cast<std::ptrdiff_t>((i + 1) * dim));
    live.push_back(i);
  }
  std::vector<double> out;
  for (std::size_t k = 0; k + 1 < n; ++k) {
    double best = std::numeric_limits<double>::infinity();
    std::size_t bi = 0, bj = 0;
    for (std::size_t x = 0; x < live.size(); ++x) {
      for (std::size_t y = x + 1; y < live.size(); ++y) {
        double d = 0;
        for (std::size_t c = 0; c < dim; ++c) d += std::pow(centroid[live[x]][c] - centroid[live[y]][c], 2);
        if (d < best) {
          best = d;
          bi = x;
          bj = y;
        }
      }
    }
    const std::size_t a = live[bi], b = live[bj], m = n + k;
    centroid[m].resize(dim);
    for (std::size_t c = 0; c < dim; ++c) {
      centroid[m][c] = (centroid[a][c] * size[a] + centroid[b][c] * size[b]) / (size[a] + size[b]);
    }
    size[m] = size[a] + size[b];
    out.insert(out.end(),
               {static_cast<double>(std::min(a, b)), static_cast<double>(std::max(a, b)), std::sqrt(best), size[m]});
    live.erase(live.begin() + static_cast<std::ptrdiff_t>(bj));
    live.erase(live.begin() + static_cast<std::ptrdiff_t>(bi));
    live.push_back(m);
  }
  return out;
}

void expectSameDendrogram(const std::vector<double>& actual, const std::vector<double>& expected, double tolerance) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t k = 0; k < actual.size() / 4; ++k) {
    SCOPED_TRACE("merge " + std::to_string(k));
    ASSERT_EQ(actual[4 * k], expected[4 * k]);
    ASSERT_EQ(actual[4 * k + 1], expected[4 * k + 1]);
    ASSERT_NEAR(actual[4 * k + 2], expected[4 * k + 2], tolerance);
    ASSERT_EQ(actual[4 * k + 3], expected[4 * k + 3]);
  }
}

TEST(CentroidLinkage, MatchesBruteForceOnRandomRows) {
  struct Case {
    std::size_t n, dim;
    unsigned seed;
  };
  for (const Case c :
       {Case{2, 3, 1}, Case{3, 1, 2}, Case{17, 4, 3}, Case{60, 8, 4}, Case{120, 16, 5}, Case{90, 256, 6}}) {
    SCOPED_TRACE("n=" + std::to_string(c.n) + " dim=" + std::to_string(c.dim));
    const auto data = randomRows(c.n, c.dim, c.seed);
    expectSameDendrogram(linkage(data, c.n, c.dim), bruteForceLinkage(data, c.n, c.dim), 1e-9);
  }
}

TEST(CentroidLinkage, NearTiesBelowSinglePrecisionAreOrderedExactly) {
  // Pairs closer than single precision can tell apart, each pair a different
  // (tiny) distance; and rows too large for single precision.
  const std::size_t base = 40, dim = 8;
  auto data = randomRows(base, dim, 9);
  for (std::size_t i = 0; i < base; ++i) {
    std::vector<double> copy(data.begin() + static_cast<std::ptrdiff_t>(i * dim),
                             data.begin() + static_cast<std::ptrdiff_t>((i + 1) * dim));
    copy[i % dim] += 1e-9 * static_cast<double>(i + 1);
    data.insert(data.end(), copy.begin(), copy.end());
  }
  const std::size_t n = 2 * base;
  expectSameDendrogram(linkage(data, n, dim), bruteForceLinkage(data, n, dim), 1e-12);

  // Rounded to single precision, row 0 looks nearer to row 2 than row 1 does;
  // exactly, row 1 is nearer. The first merge must be (1, 2).
  const std::vector<double> inverted = {1.0 + 5.0e-8, 0, 1.0 - 4.0e-8, 0, 1.0, 0, 5.0, 5.0};
  const auto first = linkage(inverted, 4, 2);
  EXPECT_EQ(first[0], 1);
  EXPECT_EQ(first[1], 2);
  expectSameDendrogram(first, bruteForceLinkage(inverted, 4, 2), 1e-15);

  auto huge = randomRows(50, dim, 10);
  for (auto& v : huge) v *= 1e20;
  const auto ours = linkage(huge, 50, dim);
  const auto reference = bruteForceLinkage(huge, 50, dim);
  for (std::size_t k = 0; k < 49; ++k) {
    ASSERT_EQ(ours[4 * k], reference[4 * k]);
    ASSERT_EQ(ours[4 * k + 1], reference[4 * k + 1]);
    ASSERT_NEAR(ours[4 * k + 2] / reference[4 * k + 2], 1.0, 1e-9);
  }
}

TEST(CentroidLinkage, ThreadedScansGiveTheSameDendrogram) {
  const std::size_t n = 300, dim = 16;
  const auto data = randomRows(n, dim, 77);
  std::vector<double> threaded(4 * (n - 1));
  ASSERT_EQ(fastclusterCentroidLinkage(data.data(), n, dim, threaded.data(), threaded.size(), 64), kFastClusterOk);
  expectSameDendrogram(threaded, bruteForceLinkage(data, n, dim), 1e-9);
  auto withNaN = data;
  withNaN[dim * 200 + 3] = std::nan("");
  EXPECT_EQ(fastclusterCentroidLinkage(withNaN.data(), n, dim, threaded.data(), threaded.size(), 64), kFastClusterNaN);
}

TEST(CentroidLinkage, MatchesScipyOnRandomRows) {
  if (std::system("/usr/bin/python3 -c 'import scipy.cluster.hierarchy' 2>/dev/null") != 0) {
    GTEST_SKIP() << "SciPy is not installed for /usr/bin/python3";
  }
  testsupport::TempDir dir;
  // Enough rows for the candidate lists to go stale and inversions to occur.
  const std::size_t n = 400, dim = 24;
  const auto data = randomRows(n, dim, 42);
  const auto input = dir.path() / "rows.bin";
  const auto output = dir.path() / "linkage.bin";
  std::ofstream(input, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size() * sizeof(double)));
  const std::string script =
      "import numpy as np, sys; from scipy.cluster.hierarchy import linkage; "
      "x = np.fromfile(sys.argv[1], dtype=np.float64).reshape(-1, " +
      std::to_string(dim) +
      "); "
      "linkage(x, method='centroid').astype(np.float64).tofile(sys.argv[2])";
  const std::string command =
      "/usr/bin/python3 -c \"" + script + "\" '" + input.string() + "' '" + output.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::vector<double> scipy(4 * (n - 1));
  std::ifstream(output, std::ios::binary)
      .read(reinterpret_cast<char*>(scipy.data()), static_cast<std::streamsize>(scipy.size() * sizeof(double)));
  const auto ours = linkage(data, n, dim);
  bool inversion = false;
  for (std::size_t k = 1; k + 1 < n; ++k) inversion |= ours[4 * k + 2] < ours[4 * (k - 1) + 2];
  EXPECT_TRUE(inversion) << "the data should exercise non-monotone merges";
  expectSameDendrogram(ours, scipy, 1e-9);
}

TEST(CentroidLinkage, StatusCodes) {
  const std::vector<double> rows = {0, 0, 1, 1, 5, 5};
  std::vector<double> out(8, 0.0);
  EXPECT_EQ(fastcluster_compute_centroid_linkage(nullptr, 3, 2, out.data(), 8), kFastClusterMissingBuffer);
  EXPECT_EQ(fastcluster_compute_centroid_linkage(rows.data(), 3, 2, nullptr, 8), kFastClusterMissingBuffer);
  EXPECT_EQ(fastcluster_compute_centroid_linkage(rows.data(), 0, 0, out.data(), 0), kFastClusterOk);
  EXPECT_EQ(fastcluster_compute_centroid_linkage(rows.data(), 3, 0, out.data(), 8), kFastClusterMissingBuffer);
  EXPECT_EQ(fastcluster_compute_centroid_linkage(rows.data(), std::size_t{1} << 31, 2, out.data(), 8),
            kFastClusterTooLarge);
  EXPECT_EQ(fastcluster_compute_centroid_linkage(rows.data(), 3, 2, out.data(), 7), kFastClusterOutputTooSmall);
  EXPECT_EQ(fastcluster_compute_centroid_linkage(rows.data(), 1, 2, out.data(), 0), kFastClusterOk);
  EXPECT_EQ(fastcluster_compute_centroid_linkage(rows.data(), 3, 2, out.data(), 8), kFastClusterOk);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 1);
  EXPECT_NEAR(out[2], std::sqrt(2.0), 1e-12);
  EXPECT_EQ(out[4], 2);
  EXPECT_EQ(out[5], 3);
  EXPECT_EQ(out[7], 3);
  const std::vector<double> withNaN = {0, 0, std::nan(""), 1, 5, 5};
  EXPECT_EQ(fastcluster_compute_centroid_linkage(withNaN.data(), 3, 2, out.data(), 8), kFastClusterNaN);
}

TEST(AHCClustering, ThresholdIsTheCutDistanceWithinTheCheckedRange) {
  const AHCClustering ahc;
  const double root2 = OfflineDiarizerConfig::Clustering::maxThreshold;
  struct Case {
    double threshold, distance;
  };
  for (const Case c :
       {Case{0.6, 0.6}, Case{0.3, 0.3}, Case{root2, root2}, Case{1.5, root2}, Case{0.0, 0.0}, Case{-1.0, 0.0}}) {
    EXPECT_EQ(ahc.convertThresholdToDistance(c.threshold), c.distance) << c.threshold;
  }
  EXPECT_TRUE(std::isinf(ahc.convertThresholdToDistance(std::nan(""))));
}

TEST(AHCClustering, ClustersByDirection) {
  const AHCClustering ahc;
  // Rows 0, 2 and 3 point one way (lengths differ), row 1 another way.
  const std::vector<std::vector<double>> rows = {{1, 0.05, 0}, {0, 1, 0}, {3, 0, 0.1}, {0.5, 0.02, 0}};
  EXPECT_EQ(ahc.cluster(rows, 0.6), (std::vector<int>{0, 1, 0, 0}));
  EXPECT_EQ(ahc.cluster(rows, 0.005), (std::vector<int>{0, 1, 2, 3}));
  // Too many clusters at the threshold: the same tree, cut just high enough.
  EXPECT_EQ(ahc.cluster(rows, 0.005, 3), (std::vector<int>{0, 1, 2, 0}));
  EXPECT_EQ(ahc.cluster(rows, 0.005, 2), (std::vector<int>{0, 1, 0, 0}));
  EXPECT_EQ(ahc.cluster(rows, 0.005, 0), (std::vector<int>{0, 0, 0, 0}));
  EXPECT_EQ(ahc.cluster(rows, OfflineDiarizerConfig::Clustering::maxThreshold), (std::vector<int>{0, 0, 0, 0}));
  EXPECT_EQ(ahc.cluster(rows, std::nan("")), (std::vector<int>{0, 0, 0, 0}));
  EXPECT_EQ(ahc.cluster({{1, 0}, {1, 0}}, 0.0), (std::vector<int>{0, 0}));
  EXPECT_EQ(ahc.cluster({{1, 2}}, 0.6), (std::vector<int>{0}));
  EXPECT_EQ(ahc.cluster({{}, {}}, 0.6), (std::vector<int>{0, 0}));
  EXPECT_EQ(ahc.cluster({{1, std::nan("")}, {1, 0}, {0, 1}}, 0.6), (std::vector<int>{0, 1, 2}));
}

TEST(AHCClustering, CutClosesWhereTheWholeSubtreeIsWithinTheCut) {
  // Root (node 4) at 0.5 sits on an inner merge (node 3) at 0.9, as centroid
  // linkage makes them: the root holds a merge above the cut, so it does not
  // close a cluster, and neither does node 3.
  const std::vector<double> link = {0, 1, 0.9, 2, 2, 3, 0.5, 3};
  EXPECT_EQ(AHCClustering::assignmentsFromDendrogram(link, 3, 0.6), (std::vector<int>{1, 0, 2}));
  EXPECT_EQ(AHCClustering::assignmentsFromDendrogram(link, 3, 0.9), (std::vector<int>{0, 0, 0}));
  // Root above the cut: its right child (node 3, leaves 0 and 1) is labelled first.
  const std::vector<double> high = {0, 1, 0.2, 2, 2, 3, 1.5, 3};
  EXPECT_EQ(AHCClustering::assignmentsFromDendrogram(high, 3, 0.6), (std::vector<int>{0, 0, 1}));
  const std::vector<double> highSwapped = {0, 1, 0.2, 2, 3, 2, 1.5, 3};
  EXPECT_EQ(AHCClustering::assignmentsFromDendrogram(highSwapped, 3, 0.6), (std::vector<int>{1, 1, 0}));
  // A NaN merge closes nothing above it.
  const std::vector<double> withNaN = {0, 1, std::nan(""), 2, 2, 3, 0.1, 3};
  EXPECT_EQ(AHCClustering::assignmentsFromDendrogram(withNaN, 3, 0.6), (std::vector<int>{1, 0, 2}));
  EXPECT_EQ(AHCClustering::remapClusterIds({1, 1, 0}), (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(AHCClustering::remapClusterIds({5, 2, 5, 9}), (std::vector<int>{0, 1, 0, 2}));
}

TEST(AHCClustering, FlatClustersMatchScipyFclusterOnANonMonotoneTree) {
  if (std::system("/usr/bin/python3 -c 'import scipy.cluster.hierarchy' 2>/dev/null") != 0) {
    GTEST_SKIP() << "SciPy is not installed for /usr/bin/python3";
  }
  testsupport::TempDir dir;
  // Forty tight groups around random centres: late merges of large groups
  // fall below merges inside them, the case a top-down cut gets wrong.
  const std::size_t groups = 40, perGroup = 12, n = groups * perGroup, dim = 16;
  const auto centres = randomRows(groups, dim, 7);
  const auto noise = randomRows(n, dim, 8);
  std::vector<double> data(n * dim);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t d = 0; d < dim; ++d)
      data[i * dim + d] = 3.0 * centres[(i % groups) * dim + d] + noise[i * dim + d];
  }
  const auto ours = linkage(data, n, dim);
  bool inversion = false;
  for (std::size_t k = 0; k + 1 < n; ++k) {
    for (const std::size_t column : {0, 1}) {
      const auto child = static_cast<std::size_t>(ours[4 * k + column]);
      if (child >= n) inversion |= ours[4 * k + 2] < ours[4 * (child - n) + 2];
    }
  }
  ASSERT_TRUE(inversion) << "the data should make a merge lower than one inside it";

  const std::vector<double> cuts = {0.5, 1.0, 2.0, 3.0, 4.0, 6.0, 9.0};
  const auto rowsFile = dir.path() / "rows.bin";
  const auto labelsFile = dir.path() / "labels.bin";
  std::ofstream(rowsFile, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size() * sizeof(double)));
  std::string cutList;
  for (double cut : cuts) cutList += (cutList.empty() ? "" : ",") + std::to_string(cut);
  const std::string script =
      "import numpy as np, sys; from scipy.cluster.hierarchy import linkage, fcluster; "
      "x = np.fromfile(sys.argv[1], dtype=np.float64).reshape(-1, " +
      std::to_string(dim) +
      "); z = linkage(x, method='centroid'); "
      "np.concatenate([fcluster(z, t, 'distance') for t in [" +
      cutList + "]]).astype(np.int64).tofile(sys.argv[2])";
  const std::string command =
      "/usr/bin/python3 -c \"" + script + "\" '" + rowsFile.string() + "' '" + labelsFile.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::vector<int64_t> scipy(n * cuts.size());
  std::ifstream(labelsFile, std::ios::binary)
      .read(reinterpret_cast<char*>(scipy.data()), static_cast<std::streamsize>(scipy.size() * sizeof(int64_t)));

  for (std::size_t c = 0; c < cuts.size(); ++c) {
    SCOPED_TRACE("cut " + std::to_string(cuts[c]));
    const std::vector<int> expected(scipy.begin() + static_cast<std::ptrdiff_t>(c * n),
                                    scipy.begin() + static_cast<std::ptrdiff_t>((c + 1) * n));
    // Same partition: both numberings renumbered in order of first appearance.
    EXPECT_EQ(
        AHCClustering::remapClusterIds(AHCClustering::assignmentsFromDendrogram(ours, static_cast<int>(n), cuts[c])),
        AHCClustering::remapClusterIds(expected));
  }
}

}  // namespace
