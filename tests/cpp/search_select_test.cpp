// Child selection and backup.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "simulation/mcts.h"

namespace tilora::self_play {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Node child(std::uint16_t tile, float prior, float value_sum = 0.0f, std::uint32_t visits = 0) {
  Node n;
  n.tile = tile;
  n.prior = prior;
  n.value_sum = value_sum;
  n.visit_count = visits;
  return n;
}

template <class... Children>
Node parent(std::uint32_t visits, Children&&... children) {
  Node n;
  n.visit_count = visits;
  (n.children.push_back(std::forward<Children>(children)), ...);
  return n;
}

TEST(SearchSelect, ExplorationCoefficientAddsTheReciprocalOfCBaseWithoutSquareRoot) {
  // c_base 2, c_init 0, N = 2: C = ln(2 + 2 + 0.5) = ln 4.5.
  EXPECT_FLOAT_EQ(exploration_coefficient(2, 2.0f, 0.5f, 0.0f), 1.5040774f);
  // The root is never visited: C = ln 2.5.
  EXPECT_FLOAT_EQ(exploration_coefficient(0, 2.0f, 0.5f, 0.0f), 0.91629076f);
  EXPECT_FLOAT_EQ(exploration_coefficient(0, 2.0f, 0.5f, 1.25f), 0.91629076f + 1.25f);
}

TEST(SearchSelect, WorkedExampleScores) {
  const float c = exploration_coefficient(2, 2.0f, 0.5f, 0.0f);
  EXPECT_NEAR(selection_score(child(7, 0.2f, 1.5f, 3), c), 0.800815, 1e-6);
  const float root_c = exploration_coefficient(0, 2.0f, 0.5f, 0.0f);
  EXPECT_NEAR(selection_score(child(7, 0.2f), root_c), 0.183258, 1e-6);
  // The child's own visits do not scale the exploration term.
  EXPECT_FLOAT_EQ(selection_score(child(7, 0.2f, 0.0f, 100), root_c), 0.2f * root_c);
}

TEST(SearchSelect, PicksTheHighestScore) {
  // Scores with C = ln 4.5: 0.3 + 0.15 C = 0.5256, 0.5 + 0.2 C = 0.8008, 0.1 + 0.4 C = 0.7016.
  const Node node = parent(2, child(3, 0.15f, 0.6f, 2), child(9, 0.2f, 1.5f, 3),
                               child(11, 0.4f, 0.1f, 1));
  EXPECT_EQ(select_child(node, 2.0f, 0.5f, 0.0f), 1u);
}

TEST(SearchSelect, FirstChildInOrderWinsTies) {
  const Node node = parent(0, child(5, 0.1f), child(8, 0.3f), child(2, 0.3f));
  EXPECT_EQ(select_child(node, 2.0f, 0.5f, 0.0f), 1u);
}

struct NonPositiveCase {
  std::vector<float> q;  // one visit each, prior 0
  std::size_t expected;
};

class SearchSelectNonPositive : public ::testing::TestWithParam<NonPositiveCase> {};

// Every score at or below 0.0: the true maximum is followed, whether or not
// tile 0 is among the children.
TEST_P(SearchSelectNonPositive, TakesTheTrueMaximum) {
  Node node = parent(3);
  std::uint16_t tile = 4;
  for (float q : GetParam().q) node.children.push_back(child(tile++, 0.0f, q, 1));
  EXPECT_EQ(select_child(node, 2.0f, 0.5f, 0.0f), GetParam().expected);
  node.children[0].tile = 0;  // tile 0 present but not the best
  EXPECT_EQ(select_child(node, 2.0f, 0.5f, 0.0f), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Scores, SearchSelectNonPositive,
    ::testing::Values(NonPositiveCase{{-0.5f, -0.2f, -0.9f}, 1},
                      NonPositiveCase{{-0.5f, -0.7f, 0.0f}, 2},
                      NonPositiveCase{{-0.3f, -0.3f, -0.8f}, 0},
                      NonPositiveCase{{-std::numeric_limits<float>::infinity(), -1.0f}, 1}));

TEST(SearchSelect, NaNScoreNeverWins) {
  const Node node = parent(1, child(1, 0.5f, kNaN, 1), child(2, 0.1f, -0.4f, 1),
                               child(3, 0.0f, kNaN, 2));
  EXPECT_EQ(select_child(node, 2.0f, 0.5f, 0.0f), 1u);
}

TEST(SearchSelect, AllNaNScoresTakeTheFirstChild) {
  const Node node = parent(1, child(6, kNaN), child(2, kNaN), child(3, kNaN));
  EXPECT_EQ(select_child(node, 2.0f, 0.5f, 0.0f), 0u);
}

// Player 1 lays the last cell of a piece (b -> leaf); the turn passes to
// player 2, but the leaf is credited to player 1, who chose it.
TEST(SearchBackup, EachNodeAddsItsChoosersComponent) {
  Node root = parent(0, child(1, 0.5f));
  root.to_play = 1;
  Node& a = root.children[0];
  a.chooser = 1;
  a.to_play = 1;
  a.children.push_back(child(2, 1.0f));
  Node& b = a.children[0];
  b.chooser = 1;
  b.to_play = 1;
  b.children.push_back(child(3, 1.0f));
  Node& leaf = b.children[0];
  leaf.chooser = 1;
  leaf.to_play = 2;

  const std::vector<Node*> path = {&a, &b, &leaf};
  backup(path, {0.1f, 0.2f, 0.3f, 0.4f});
  backup(path, {0.0f, 0.5f, -1.0f, 0.0f});
  EXPECT_EQ(root.visit_count, 0u);
  EXPECT_EQ(root.value_sum, 0.0f);
  EXPECT_EQ(a.visit_count, 2u);
  EXPECT_FLOAT_EQ(a.value_sum, 0.7f);
  EXPECT_EQ(b.visit_count, 2u);
  EXPECT_FLOAT_EQ(b.value_sum, 0.7f);
  EXPECT_EQ(leaf.visit_count, 2u);
  EXPECT_FLOAT_EQ(leaf.value_sum, 0.7f);
}

// PUCT at a node with N = 4: C(4) * sqrt(4) = (ln(7 / 2) + 0.5) * 2 = 3.5055.
// A: 0.5 + 3.5055 * 0.5 / 3 = 1.0843; B: 0.9 + 3.5055 * 0.3 / 2 = 1.4258;
// C (unvisited): fpv + 3.5055 * 0.2 = fpv + 0.7011.
TEST(SearchPuct, HandComputedScoresAndFirstPlayValue) {
  const Node node = parent(4, child(3, 0.5f, 1.0f, 2), child(9, 0.3f, 0.9f, 1), child(11, 0.2f));
  const float c = puct_exploration(4, 2.0f, 0.5f);
  EXPECT_NEAR(c, 3.505526f, 1e-5);
  EXPECT_NEAR(puct_score(node.children[0], c, 0.0f), 1.084254f, 1e-5);
  EXPECT_NEAR(puct_score(node.children[1], c, 0.0f), 1.425829f, 1e-5);
  EXPECT_NEAR(puct_score(node.children[2], c, 0.7f), 1.401105f, 1e-5);

  Config config;
  config.sims_per_move = 10;
  config.c_base = 2.0f;
  config.c_init = 0.5f;
  config.rule = SearchRule::kPuct;
  for (const auto& [fpv, expected] : {std::pair{0.0f, 1u}, std::pair{0.8f, 2u}}) {
    config.first_play_value = fpv;
    EXPECT_EQ(PuctRule(SearchParams::from(config)).select(node, node.visit_count), expected) << fpv;
  }
  // With no simulation through the node yet, only Q counts: the best mean wins.
  EXPECT_EQ(PuctRule(SearchParams::from(config)).select(node, 0), 1u);
}

}  // namespace
}  // namespace tilora::self_play
