// The int8 network's kernels: the vector code and the portable code give the
// same reply, within their buffers (the sanitizers watch), and shapes that do
// not fit are refused.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "int8_network.h"

namespace tilora_zero::int8 {
namespace {

QuantizedLayer random_layer(unsigned inputs, unsigned outputs, unsigned taps, std::mt19937& rng) {
  std::uniform_int_distribution<int> weight(-127, 127);
  std::uniform_real_distribution<float> scale(1e-4f, 4e-3f), bias(-0.3f, 0.3f);
  QuantizedLayer layer;
  layer.inputs = inputs;
  layer.outputs = outputs;
  layer.taps = taps;
  for (std::size_t i = 0; i < std::size_t{outputs} * taps * inputs; ++i)
    layer.weights.push_back(static_cast<std::int8_t>(weight(rng)));
  for (unsigned o = 0; o < outputs; ++o) {
    layer.scale.push_back(scale(rng));
    layer.bias.push_back(bias(rng));
  }
  return layer;
}

// A stem over the padded input, `blocks` residual blocks of `channels`, and
// both heads, with random weights.
Network random_network(unsigned blocks, unsigned channels, std::mt19937& rng) {
  Network network;
  network.tower.push_back({random_layer(8, channels, 9, rng), 0.02f, false, 0.0f});
  for (unsigned b = 0; b < blocks; ++b) {
    network.tower.push_back({random_layer(channels, channels, 9, rng), 0.02f, false, 0.0f});
    network.tower.push_back({random_layer(channels, channels, 9, rng), 0.03f, true, 0.02f});
  }
  network.heads = random_layer(channels, 16, 1, rng);
  network.policy_channels = 2;
  network.value_channels = 8;
  network.policy_scale = 0.01f;
  network.policy = random_layer(2 * kCells, kCells, 1, rng);
  std::normal_distribution<float> normal(0.0f, 0.05f);
  FloatLayer hidden{8 * kCells, 3, {}, {0.1f, -0.2f, 0.0f}, true};
  for (unsigned i = 0; i < hidden.inputs * hidden.outputs; ++i) hidden.weights.push_back(normal(rng));
  FloatLayer logits{3, kPlayers, {}, {0.0f, 0.1f, 0.2f, 0.3f}, false};
  for (unsigned i = 0; i < logits.inputs * logits.outputs; ++i) logits.weights.push_back(normal(rng));
  network.value = {hidden, logits};
  return network;
}

// Random stones on the four own/other planes and random legal cells; seat
// `mover`'s start corner marked legal so that the planes name one mover.
std::vector<float> random_planes(unsigned mover, std::mt19937& rng) {
  std::vector<float> planes(kInputPlanes * kCells, 0.0f);
  std::bernoulli_distribution stone(0.2), legal(0.1);
  for (unsigned cell = 0; cell < kCells; ++cell) {
    for (unsigned plane = 0; plane < kLegalPlane; ++plane) planes[plane * kCells + cell] = stone(rng);
    planes[kLegalPlane * kCells + cell] = legal(rng);
  }
  const unsigned corners[kPlayers] = {0, kSide - 1, kCells - 1, kCells - kSide};
  for (unsigned seat = 0; seat < kPlayers; ++seat) {
    planes[kOwnPlane * kCells + corners[seat]] = 0.0f;
    planes[kLegalPlane * kCells + corners[seat]] = seat == mover;
  }
  return planes;
}

class Int8Network : public ::testing::TestWithParam<std::pair<unsigned, unsigned>> {};

TEST_P(Int8Network, VectorAndPortableKernelsGiveTheSameReply) {
  std::mt19937 rng(7);
  const auto [blocks, channels] = GetParam();
  const Network network = random_network(blocks, channels, rng);
  check(network);
  constexpr std::size_t kBatch = 5;
  std::vector<float> planes;
  for (unsigned i = 0; i < kBatch; ++i) {
    const auto position = random_planes(i % kPlayers, rng);
    planes.insert(planes.end(), position.begin(), position.end());
  }
  std::vector<float> policy(kBatch * kCells), shares(kBatch * kPlayers), movers(kBatch);
  std::vector<float> policy_p(policy.size()), shares_p(shares.size()), movers_p(movers.size());
  evaluate(network, planes.data(), kBatch, policy.data(), shares.data(), movers.data(), Kernel::automatic);
  evaluate(network, planes.data(), kBatch, policy_p.data(), shares_p.data(), movers_p.data(), Kernel::portable);
  EXPECT_EQ(policy, policy_p);
  EXPECT_EQ(shares, shares_p);
  EXPECT_EQ(movers, movers_p);
  for (std::size_t i = 0; i < kBatch; ++i) {
    double total = 0.0, share_total = 0.0;
    for (unsigned cell = 0; cell < kCells; ++cell) {
      const float legal = planes[(i * kInputPlanes + kLegalPlane) * kCells + cell];
      if (legal == 0.0f) EXPECT_EQ(policy[i * kCells + cell], kIllegalLogit);
      else total += std::exp(double{policy[i * kCells + cell]});
    }
    for (unsigned p = 0; p < kPlayers; ++p) share_total += shares[i * kPlayers + p];
    EXPECT_NEAR(total, 1.0, 1e-4);  // float32 log-probabilities of logits in the hundreds
    EXPECT_NEAR(share_total, 1.0, 1e-5);
    EXPECT_EQ(movers[i], 1.0f);
  }
}

INSTANTIATE_TEST_SUITE_P(Towers, Int8Network,
                         ::testing::Values(std::pair{0u, 16u}, std::pair{2u, 16u}, std::pair{1u, 32u},
                                           std::pair{1u, 48u}));

TEST(Int8NetworkCheck, RefusesLayersThatDoNotFitTogether) {
  std::mt19937 rng(3);
  Network even = random_network(1, 16, rng);
  even.tower.pop_back();
  EXPECT_THROW(check(even), std::invalid_argument);
  Network narrow = random_network(1, 16, rng);
  narrow.heads = random_layer(32, 16, 1, rng);
  EXPECT_THROW(check(narrow), std::invalid_argument);
  Network no_residual = random_network(1, 16, rng);
  no_residual.tower.back().residual = false;
  EXPECT_THROW(check(no_residual), std::invalid_argument);
}

}  // namespace
}  // namespace tilora_zero::int8
