#include "Diarizer/Offline/Clustering/VBxClustering.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace voxtrellis;

namespace {

// Two groups of identical 128-value vectors along orthogonal directions.
std::vector<std::vector<double>> twoGroups(int a, int b, double scale) {
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < a + b; ++i) {
    std::vector<double> row(128, 0.0);
    row[i < a ? 0 : 1] = scale;
    rows.push_back(row);
  }
  return rows;
}

VBxClustering makeVBx(OfflineDiarizerConfig config = {}) {
  return VBxClustering(config, std::vector<double>(128, 1.0));
}

TEST(VBxClustering, SeparatedGroupsKeepTheirSpeakers) {
  const auto features = twoGroups(26, 22, 24.0);
  std::vector<int> initial(48, 0);
  for (int i = 26; i < 48; ++i) initial[i] = 1;
  const auto out = makeVBx().refine(features, initial);
  ASSERT_EQ(out.pi.size(), 2u);
  EXPECT_NEAR(out.pi[0], 26.0 / 48, 0.05);
  EXPECT_NEAR(out.pi[1], 22.0 / 48, 0.05);
  ASSERT_EQ(out.hardClusters.size(), 1u);
  EXPECT_EQ(out.hardClusters[0], initial);
  EXPECT_EQ(out.numClusters, 2);
  EXPECT_FALSE(out.elbos.empty());
}

}  // namespace
