// Evaluation and expansion of search nodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>

#include "search_fake_network.h"
#include "simulation/evaluate.h"

namespace tilora::self_play {
namespace {

using testing::FakeNetwork;

// The legal cells of player 0's first move.
const std::vector<unsigned> kOpeningCells = {0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80};

std::map<unsigned, float> priors_by_cell(const Node& node) {
  std::map<unsigned, float> out;
  for (const Node& c : node.children) out[c.tile] = c.prior;
  return out;
}

// A finished game: random legal moves until nobody can move.
game::Game finished_game(Rng& rng) {
  game::Game game = game::Game::reset();
  while (!game.is_over()) {
    const auto cells = game.legal_tiles();
    (void)game.apply(cells[rng() % cells.size()]);
  }
  return game;
}

TEST(SearchEvaluate, OpeningGetsOneChildPerLegalTileWithNormalisedPriors) {
  Rng rng(1);
  FakeNetwork network;
  Node node;
  const auto values = evaluate(node, game::Game::reset(), network, rng);
  ASSERT_TRUE(values);
  EXPECT_EQ(*values, (Values{0.1f, 0.2f, 0.3f, 0.4f}));
  EXPECT_EQ(network.calls, 1u);
  EXPECT_EQ(node.to_play, 0u);
  const auto priors = priors_by_cell(node);
  ASSERT_EQ(priors.size(), kOpeningCells.size());
  for (unsigned cell : kOpeningCells) EXPECT_EQ(priors.at(cell), 1.0f / 15.0f) << cell;
  for (const Node& c : node.children) {
    EXPECT_EQ(c.visit_count, 0u);
    EXPECT_EQ(c.value_sum, 0.0f);
    EXPECT_EQ(c.to_play, 0u);
    EXPECT_TRUE(c.children.empty());
  }
}

TEST(SearchEvaluate, IllegalCellsGetNoChildWhateverTheirLogits) {
  Rng rng(2);
  FakeNetwork network;
  network.answer = [](const StateRepr& planes, Reply& reply) {
    for (unsigned i = 0; i < kBoardCells; ++i)
      reply.policy[i] = planes[kLegalPlane * kBoardCells + i] == 1.0f ? 0.0f : 1000.0f;
    reply.policy_size = kBoardCells;
  };
  Node node;
  ASSERT_TRUE(evaluate(node, game::Game::reset(), network, rng));
  for (const auto& [cell, prior] : priors_by_cell(node)) EXPECT_EQ(prior, 1.0f / 15.0f) << cell;
  EXPECT_EQ(node.children.size(), 15u);
}

TEST(SearchEvaluate, ShortPolicyCoversOnlyTheCellsItReaches) {
  Rng rng(3);
  FakeNetwork network;
  network.answer = [](const StateRepr&, Reply& reply) {
    reply.policy_size = 21;
    for (unsigned i = 0; i < 21; ++i) reply.policy[i] = std::log(static_cast<float>(i + 1));
  };
  Node node;
  ASSERT_TRUE(evaluate(node, game::Game::reset(), network, rng));
  // Cells 0 to 4 and 20, weights e^ln(i + 1): 1, 2, 3, 4, 5, 21 of 36.
  const auto priors = priors_by_cell(node);
  ASSERT_EQ(priors.size(), 6u);
  const std::array<std::pair<unsigned, float>, 6> expected = {
      {{0, 1.0f}, {1, 2.0f}, {2, 3.0f}, {3, 4.0f}, {4, 5.0f}, {20, 21.0f}}};
  for (const auto& [cell, weight] : expected) EXPECT_NEAR(priors.at(cell), weight / 36.0f, 1e-6);
}

TEST(SearchEvaluate, EmptyPolicySetsToPlayButMakesNoChild) {
  Rng rng(4);
  FakeNetwork network;
  network.answer = [](const StateRepr&, Reply& reply) { reply.policy_size = 0; };
  game::Game game = game::Game::reset();
  ASSERT_FALSE(game.apply(80));  // player 0 keeps the turn
  ASSERT_FALSE(game.apply(0));
  ASSERT_FALSE(game.apply(20));
  ASSERT_FALSE(game.apply(40));
  ASSERT_FALSE(game.apply(60));  // the five-in-a-row ends; player 1 to move
  ASSERT_EQ(game.current_player(), 1u);
  Node node;
  ASSERT_TRUE(evaluate(node, game, network, rng));
  EXPECT_TRUE(node.children.empty());
  EXPECT_EQ(node.to_play, 1u);
}

TEST(SearchEvaluate, ReexpansionReplacesChildrenUnderNewKeysAndKeepsTheRest) {
  Rng rng(5);
  Node node;
  node.children.push_back({});
  node.children.back().tile = 1;
  node.children.back().visit_count = 7;
  node.children.back().children.resize(3);
  node.children.push_back({});
  node.children.back().tile = 399;
  node.children.back().visit_count = 4;

  const std::array<CellPrior, 2> priors = {{{1, 0.25f}, {5, 0.75f}}};
  expand(node, 3, priors, rng);
  EXPECT_EQ(node.to_play, 3u);
  ASSERT_EQ(node.children.size(), 3u);
  std::map<unsigned, const Node*> by_cell;
  for (const Node& c : node.children) by_cell[c.tile] = &c;
  EXPECT_EQ(by_cell.at(1)->visit_count, 0u);
  EXPECT_TRUE(by_cell.at(1)->children.empty());
  EXPECT_EQ(by_cell.at(1)->prior, 0.25f);
  EXPECT_EQ(by_cell.at(5)->prior, 0.75f);
  EXPECT_EQ(by_cell.at(399)->visit_count, 4u);
}

TEST(SearchEvaluate, FinishedGameReturnsPayoffWithoutAskingTheNetwork) {
  Rng rng(6);
  const game::Game game = finished_game(rng);
  FakeNetwork network;
  Node node;
  node.prior = 0.5f;
  const auto values = evaluate(node, game, network, rng);
  ASSERT_TRUE(values);
  EXPECT_EQ(*values, game.get_payoff());
  EXPECT_EQ(network.calls, 0u);
  EXPECT_TRUE(node.children.empty());
  EXPECT_EQ(node.to_play, 0u);
  EXPECT_EQ(node.prior, 0.5f);
}

TEST(SearchEvaluate, NetworkFailureLeavesTheNodeUnchanged) {
  Rng rng(7);
  FakeNetwork network;
  network.fail_on_call = 0;
  Node node;
  node.children.emplace_back().tile = 9;
  EXPECT_FALSE(evaluate(node, game::Game::reset(), network, rng));
  ASSERT_EQ(node.children.size(), 1u);
  EXPECT_EQ(node.children[0].tile, 9u);
  EXPECT_EQ(network.last_error, "fake failure on call 0");
}

// Logits above about 88 overflow a 32-bit exp; the priors are then computed
// from logits shifted by their maximum.
TEST(SearchPriors, OverflowingLogitsAreShiftedByTheirMaximum) {
  Rng rng(8);
  FakeNetwork network;
  network.answer = [](const StateRepr&, Reply& reply) {
    reply.policy.fill(0.0f);
    reply.policy_size = kBoardCells;
    reply.policy[1] = 100.0f;
    reply.policy[20] = 100.0f;
    reply.policy[80] = 99.0f;
  };
  Node node;
  ASSERT_TRUE(evaluate(node, game::Game::reset(), network, rng));
  const auto priors = priors_by_cell(node);
  const float e = std::exp(-1.0f);
  EXPECT_NEAR(priors.at(1), 1.0f / (2.0f + e), 1e-6);
  EXPECT_NEAR(priors.at(20), 1.0f / (2.0f + e), 1e-6);
  EXPECT_NEAR(priors.at(80), e / (2.0f + e), 1e-6);
  float sum = 0.0f;
  for (const auto& [cell, prior] : priors) {
    EXPECT_TRUE(std::isfinite(prior)) << cell;
    sum += prior;
  }
  EXPECT_NEAR(sum, 1.0f, 1e-6);
}

TEST(SearchPriors, UnshiftedWhenTheSumIsFinite) {
  // 80 is below the overflow limit: the weights are e^logit unshifted (a
  // shift would change the rounding of the result).
  const std::array<float, 3> logits = {80.0f, 79.0f, 0.0f};
  std::array<float, kBoardCells> mask{};
  mask.fill(1.0f);
  Priors priors;
  ASSERT_TRUE(compute_priors(logits, mask, priors));
  const float w0 = std::exp(80.0f), w1 = std::exp(79.0f), w2 = 1.0f;
  const float sum = 0.0f + w0 + w1 + w2;
  EXPECT_EQ(priors.entries[0].prior, w0 / sum);
  EXPECT_EQ(priors.entries[1].prior, w1 / sum);
  EXPECT_EQ(priors.entries[2].prior, w2 / sum);
}

class SearchPriorsRejected : public ::testing::TestWithParam<float> {};

TEST_P(SearchPriorsRejected, LogitWithoutFinitePriorsIsAnEvaluationError) {
  Rng rng(9);
  FakeNetwork network;
  const float bad = GetParam();
  network.answer = [bad](const StateRepr&, Reply& reply) {
    reply.policy.fill(0.0f);
    reply.policy_size = kBoardCells;
    reply.policy[21] = bad;
  };
  Node node;
  EXPECT_FALSE(evaluate(node, game::Game::reset(), network, rng));
  EXPECT_EQ(network.rejections, 1u);
  EXPECT_NE(network.last_error.find("no finite priors"), std::string::npos);
  EXPECT_TRUE(node.children.empty());
}

INSTANTIATE_TEST_SUITE_P(Logits, SearchPriorsRejected,
                         ::testing::Values(std::numeric_limits<float>::quiet_NaN(),
                                           std::numeric_limits<float>::infinity()));

TEST(SearchPriors, NaNOnAnIllegalCellIsIgnored) {
  std::array<float, 4> logits = {0.0f, std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f};
  std::array<float, kBoardCells> mask{};
  mask[0] = mask[2] = 1.0f;
  Priors priors;
  ASSERT_TRUE(compute_priors(logits, mask, priors));
  ASSERT_EQ(priors.size, 2u);
  EXPECT_EQ(priors.entries[0].prior, 0.5f);
  EXPECT_EQ(priors.entries[1].prior, 0.5f);
}

TEST(SearchPriors, AllMinusInfinityIsRejected) {
  const float m = -std::numeric_limits<float>::infinity();
  std::array<float, 2> logits = {m, m};
  std::array<float, kBoardCells> mask{};
  mask[0] = mask[1] = 1.0f;
  Priors priors;
  EXPECT_FALSE(compute_priors(logits, mask, priors));
}

// The children's order is a uniformly random permutation, fixed at expansion.
TEST(SearchExpand, ChildOrderIsUniformlyShuffled) {
  Rng rng(10);
  const std::array<CellPrior, 3> priors = {{{7, 0.2f}, {8, 0.3f}, {9, 0.5f}}};
  std::map<std::array<unsigned, 3>, unsigned> orders;
  constexpr unsigned kTrials = 6000;
  for (unsigned t = 0; t < kTrials; ++t) {
    Node node;
    expand(node, 0, priors, rng);
    ++orders[{node.children[0].tile, node.children[1].tile, node.children[2].tile}];
  }
  ASSERT_EQ(orders.size(), 6u);
  // Each of the six orders 1000 times in expectation; 5 sigma is about 144.
  for (const auto& [order, count] : orders) {
    EXPECT_GT(count, 850u);
    EXPECT_LT(count, 1150u);
  }
}

}  // namespace
}  // namespace tilora::self_play
