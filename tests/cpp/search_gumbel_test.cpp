// The Gumbel root: sequential halving and the improved policy.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "search_fake_network.h"
#include "simulation/mcts.h"
#include "simulation/searching_player.h"

namespace tilora::self_play {
namespace {

using testing::FakeNetwork;

Config gumbel_config(std::uint32_t sims, std::uint32_t actions, SearchTree tree, bool noise) {
  Config config = testing::search_config(sims);
  config.tree = tree;
  config.gumbel_actions = actions;
  config.exploration_fraction = noise ? 0.25f : 0.0f;
  return config;
}

// Player 0's first cell laid: its next cell has 14 choices, its first turn
// several decisions.
game::Game opened() {
  game::Game game = game::Game::reset();
  EXPECT_FALSE(game.apply(0));
  return game;
}

// Logits that favour one cell; values that favour the mover (player 0)
// once another cell is laid.
class FavouredAndGood final : public Network {
 public:
  FavouredAndGood(unsigned favoured, unsigned good) : favoured_(favoured), good_(good) {}
  bool infer(const game::Game& position, const StateRepr&, Reply& reply) override {
    reply.policy.fill(0.0f);
    reply.policy[favoured_] = 3.0f;
    reply.policy_size = kBoardCells;
    bool laid = false;
    for (const game::Move& move : position.history()) laid |= move.cell == good_;
    reply.values = laid ? Values{0.8f, 0.1f, 0.05f, 0.05f} : Values{0.1f, 0.3f, 0.3f, 0.3f};
    return true;
  }
  void reject_reply(std::string_view) override {}
  std::string error_text() const override { return {}; }

 private:
  unsigned favoured_, good_;
};

struct Budget {
  std::uint32_t sims, actions;
};

class GumbelBudgets : public ::testing::TestWithParam<std::tuple<Budget, SearchTree, bool>> {};

TEST_P(GumbelBudgets, spend_every_simulation_on_the_considered_children_and_keep_a_visited_one) {
  const auto [budget, tree, noise] = GetParam();
  Rng rng(7 + budget.sims);
  FakeNetwork network;
  const game::Game game = opened();
  RootChoice choice;
  const Node root =
      run_mcts(game, SearchParams::from(gumbel_config(budget.sims, budget.actions, tree, noise)),
               network, rng, nullptr, &choice);
  ASSERT_GE(root.children.size(), 2u);
  std::uint32_t total = 0, visited = 0;
  for (const Node& child : root.children) {
    total += child.visit_count;
    visited += child.visit_count > 0;
  }
  EXPECT_EQ(total, budget.sims);
  EXPECT_LE(visited, std::min<std::size_t>(budget.actions, root.children.size()));
  ASSERT_EQ(choice.policy.size(), root.children.size());
  EXPECT_NEAR(std::accumulate(choice.policy.begin(), choice.policy.end(), 0.0), 1.0, 1e-5);
  ASSERT_LT(choice.child, root.children.size());
  EXPECT_GT(root.children[choice.child].visit_count, 0u);
  // Halving ends on the child with the most visits.
  for (const Node& child : root.children)
    EXPECT_LE(child.visit_count, root.children[choice.child].visit_count);
}

INSTANTIATE_TEST_SUITE_P(
    All, GumbelBudgets,
    ::testing::Combine(::testing::Values(Budget{32, 16}, Budget{32, 4}, Budget{100, 8}, Budget{5, 16},
                                         Budget{9, 1}),
                       ::testing::Values(SearchTree::kCells, SearchTree::kPlacements),
                       ::testing::Bool()));

TEST(GumbelRoot, plays_and_raises_the_child_whose_values_are_better_than_its_prior) {
  const game::Game game = opened();
  const std::vector<unsigned> cells = game.legal_tiles();
  ASSERT_EQ(cells.size(), 14u);
  const unsigned favoured = cells[0], good = cells[5];
  FavouredAndGood network(favoured, good);
  Rng rng(1);
  RootChoice choice;
  const Node root = run_mcts(game, SearchParams::from(gumbel_config(64, 16, SearchTree::kCells, false)),
                             network, rng, nullptr, &choice);
  ASSERT_EQ(root.children[choice.child].tile, good);
  for (std::size_t i = 0; i < root.children.size(); ++i) {
    const Node& child = root.children[i];
    if (child.tile == good) {
      EXPECT_GT(choice.policy[i], 0.9f);
      EXPECT_GT(choice.policy[i], 10.0f * child.prior);
    }
    if (child.tile == favoured) EXPECT_LT(choice.policy[i], child.prior);
  }
}

TEST(GumbelRoot, gives_an_unvisited_child_the_prior_weighted_mean_of_the_visited) {
  Node root;
  for (auto [prior, visits, sum] : {std::tuple{0.5f, 2u, 1.0f}, {0.25f, 1u, 0.25f}, {0.25f, 0u, 0.0f}}) {
    Node child;
    child.prior = prior;
    child.visit_count = visits;
    child.value_sum = sum;
    root.children.push_back(std::move(child));
  }
  const std::vector<float> q = completed_q(root);
  const float mixed = (0.5f * 0.5f + 0.25f * 0.25f) / 0.75f;
  EXPECT_FLOAT_EQ(q[2], mixed);
  // softmax(log prior + (50 + 2) * 0.5 * q)
  const std::vector<float> policy = improved_policy(root, 0.5f);
  const double logits[] = {std::log(0.5) + 26 * 0.5, std::log(0.25) + 26 * 0.25,
                           std::log(0.25) + 26 * mixed};
  double sum = 0;
  for (double l : logits) sum += std::exp(l);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(policy[i], std::exp(logits[i]) / sum, 1e-6) << i;
  // A scale of 0 keeps the priors.
  const std::vector<float> kept = improved_policy(root, 0.0f);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(kept[i], root.children[i].prior, 1e-6) << i;
}

TEST(GumbelRoot, records_its_improved_policy_as_the_moves_target) {
  for (SearchTree tree : {SearchTree::kCells, SearchTree::kPlacements}) {
    FakeNetwork network;
    Rng rng(5);
    TrainingRecord record;
    SearchingPlayer player;
    const game::Game game = opened();
    const Config config = gumbel_config(24, 8, tree, true);
    const unsigned cell =
        player.choose(game, SearchParams::from(config), config.sample_moves, network, rng, record);
    EXPECT_TRUE(game.legal_cells().contains(cell));
    ASSERT_EQ(record.policies.size(), 1u);
    double total = 0;
    unsigned positive = 0;
    for (const PolicyEntry& entry : record.policies[0]) {
      total += entry.share;
      positive += entry.share > 0.0f;
    }
    EXPECT_NEAR(total, 1.0, 1e-5);
    // Every child keeps a share: softmax gives none a zero.
    EXPECT_EQ(positive, record.policies[0].size());
  }
}

}  // namespace
}  // namespace tilora::self_play
