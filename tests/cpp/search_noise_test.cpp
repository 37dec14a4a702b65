// Dirichlet root noise.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>

#include "simulation/noise.h"

namespace tilora::self_play {
namespace {

class SearchDirichlet : public ::testing::TestWithParam<float> {};

// A valid probability vector for every positive alpha, including those whose
// 32-bit Gamma variates would all underflow to 0.
TEST_P(SearchDirichlet, SampleIsAProbabilityVector) {
  Rng rng(11);
  for (unsigned n : {2u, 15u, 100u}) {
    for (int draw = 0; draw < 50; ++draw) {
      const std::vector<float> eta = dirichlet_sample(n, GetParam(), rng);
      ASSERT_EQ(eta.size(), n);
      double sum = 0.0;
      for (float x : eta) {
        ASSERT_TRUE(std::isfinite(x));
        ASSERT_GE(x, 0.0f);
        ASSERT_LE(x, 1.0f);
        sum += x;
      }
      EXPECT_NEAR(sum, 1.0, 1e-5) << "alpha " << GetParam() << " n " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Alphas, SearchDirichlet,
                         ::testing::Values(std::numeric_limits<float>::denorm_min(), 1e-30f,
                                           1e-3f, 0.03f, 0.3f, 1.0f, 2.5f, 1e6f,
                                           std::numeric_limits<float>::infinity()));

TEST(SearchDirichletMoments, MeanAndSpreadMatchTheDistribution) {
  // Symmetric Dirichlet(alpha) with n components: mean 1/n, variance
  // (n - 1) / (n^2 (n alpha + 1)).
  Rng rng(12);
  for (float alpha : {0.3f, 2.0f}) {
    constexpr unsigned n = 4;
    constexpr unsigned kDraws = 40000;
    double sum = 0.0, sum_sq = 0.0;
    for (unsigned d = 0; d < kDraws; ++d) {
      const float x = dirichlet_sample(n, alpha, rng)[d % n];
      sum += x;
      sum_sq += double{x} * x;
    }
    const double mean = sum / kDraws;
    const double variance = sum_sq / kDraws - mean * mean;
    const double expected_variance = (n - 1.0) / (n * n * (n * alpha + 1.0));
    EXPECT_NEAR(mean, 0.25, 0.005) << alpha;
    EXPECT_NEAR(variance, expected_variance, 0.08 * expected_variance) << alpha;
  }
}

TEST(SearchDirichletMoments, TinyAlphaPutsAlmostAllMassOnOneComponent) {
  Rng rng(13);
  for (int d = 0; d < 100; ++d) {
    const std::vector<float> eta = dirichlet_sample(10, 1e-4f, rng);
    EXPECT_GT(*std::max_element(eta.begin(), eta.end()), 0.999f);
  }
}

TEST(SearchRootNoise, KeepsThePriorsSum) {
  Rng rng(14);
  Node root;
  const std::vector<float> priors = {0.1f, 0.2f, 0.3f, 0.4f};
  for (unsigned j = 0; j < priors.size(); ++j) {
    root.children.emplace_back().tile = static_cast<std::uint16_t>(j);
    root.children.back().prior = priors[j];
  }
  Config config;
  config.dirichlet_alpha = 0.3f;
  config.exploration_fraction = 0.25f;
  config.c_base = 1.0f;
  const SearchParams params = SearchParams::from(config);

  Rng replay = rng;
  add_root_noise(root, params, rng);
  const std::vector<float> eta = dirichlet_sample(4, 0.3f, replay);
  float sum = 0.0f;
  for (unsigned j = 0; j < priors.size(); ++j) {
    EXPECT_EQ(root.children[j].prior, 0.25f * eta[j] + 0.75f * priors[j]) << j;
    sum += root.children[j].prior;
  }
  EXPECT_NEAR(sum, 1.0f, 1e-6);
}

}  // namespace
}  // namespace tilora::self_play
