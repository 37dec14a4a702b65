// The search for one move.
#include <gtest/gtest.h>

#include <numeric>

#include "search_fake_network.h"
#include "simulation/evaluate.h"
#include "simulation/mcts.h"

namespace tilora::self_play {
namespace {

using testing::FakeNetwork;

SearchParams params(std::uint32_t sims, float alpha = 0.3f,
                    SearchRule rule = SearchRule::kClassic) {
  Config config;
  config.rule = rule;
  config.sims_per_move = sims;
  config.c_base = 19652.0f;
  config.c_init = 1.25f;
  config.dirichlet_alpha = alpha;
  config.exploration_fraction = 0.25f;
  return SearchParams::from(config);
}

std::uint32_t child_visits(const Node& node) {
  std::uint32_t total = 0;
  for (const Node& c : node.children) total += c.visit_count;
  return total;
}

// Walks a tree checking that every expanded node's visits are one more than
// its children's (the leaf visit itself) and that the root stays unvisited.
void check_visit_invariant(const Node& node, bool is_root) {
  if (is_root) {
    EXPECT_EQ(node.visit_count, 0u);
  } else if (node.expanded()) {
    EXPECT_EQ(node.visit_count, child_visits(node) + 1);
  }
  for (const Node& c : node.children) check_visit_invariant(c, false);
}

TEST(SearchExplorationTable, MatchesTheCoefficientWithinAndBeyondItsRange) {
  Config config;
  config.sims_per_move = 5;
  config.c_base = 2.0f;
  config.c_init = 0.75f;
  const SearchParams p = SearchParams::from(config);
  const ExplorationTable table(p);
  for (std::uint32_t n : {0u, 1u, 2u, 5u, 6u, 1000u, 4000000000u})
    EXPECT_EQ(table(n), exploration_coefficient(n, 2.0f, 0.5f, 0.75f)) << n;
  EXPECT_FLOAT_EQ(table(2), 1.5040774f + 0.75f);
}

class SearchRunMcts
    : public ::testing::TestWithParam<std::tuple<std::uint32_t, SearchRule>> {};

TEST_P(SearchRunMcts, RootChildrenVisitsSumToSimsPerMove) {
  const auto [sims, rule] = GetParam();
  Rng rng(20 + sims);
  FakeNetwork network({0.5f, 0.0f, 0.25f, 0.25f});
  game::Game game = game::Game::reset();
  ASSERT_FALSE(game.apply(0));
  const game::Game before = game;

  const std::optional<Node> root = run_mcts(game, params(sims, 0.3f, rule), network, rng);
  EXPECT_EQ(child_visits(*root), sims);
  EXPECT_EQ(root->visit_count, 0u);
  EXPECT_EQ(root->children.size(), 14u);
  EXPECT_EQ(network.calls, sims + 1);  // no finished position this early
  check_visit_invariant(*root, true);
  // The real game is not changed by the search.
  EXPECT_EQ(game.board(), before.board());
  EXPECT_EQ(game.history().size(), before.history().size());
  EXPECT_EQ(game.current_player(), before.current_player());
  EXPECT_EQ(game.legal_cells(), before.legal_cells());
}

INSTANTIATE_TEST_SUITE_P(SimsAndRules, SearchRunMcts,
                         ::testing::Combine(::testing::Values(0u, 1u, 7u, 64u, 200u),
                                            ::testing::Values(SearchRule::kClassic,
                                                              SearchRule::kPuct)));

// Every expanded node below the root keeps the position reached by applying
// the tiles of its path to the root game; the root keeps none.
void check_positions(const Node& node, const game::Game& position, unsigned& checked) {
  for (const Node& c : node.children) {
    game::Game next = position;
    ASSERT_FALSE(next.apply(c.tile));
    if (c.expanded()) {
      ASSERT_TRUE(c.position);
      EXPECT_EQ(c.position->board(), next.board());
      EXPECT_EQ(c.position->legal_cells(), next.legal_cells());
      EXPECT_EQ(c.position->current_player(), next.current_player());
      EXPECT_EQ(c.position->history().size(), next.history().size());
      EXPECT_EQ(c.to_play, *next.current_player());
      EXPECT_EQ(c.chooser, *position.current_player());
      ++checked;
    } else {
      EXPECT_FALSE(c.position);
    }
    check_positions(c, next, checked);
  }
}

TEST(SearchRunMcts, ExpandedNodesKeepTheirPathsPosition) {
  Rng rng(29);
  FakeNetwork network({0.9f, -0.9f, 0.5f, -0.5f});
  network.keep_requests = true;
  game::Game game = game::Game::reset();
  for (unsigned cell : {80u, 0u, 20u, 40u, 60u, 19u}) ASSERT_FALSE(game.apply(cell));
  const std::optional<Node> root = run_mcts(game, params(300), network, rng);
  EXPECT_FALSE(root->position);
  unsigned checked = 0;
  check_positions(*root, game, checked);
  EXPECT_EQ(checked + 1, network.calls);  // every leaf evaluation expanded a node
  EXPECT_GT(checked, 250u);
}

TEST(SearchRunMcts, ZeroSimulationsStillNoisesTheRoot) {
  Rng rng(30);
  FakeNetwork network;
  const std::optional<Node> root = run_mcts(game::Game::reset(), params(0), network, rng);
  EXPECT_EQ(network.calls, 1u);
  float sum = 0.0f;
  bool any_moved = false;
  for (const Node& c : root->children) {
    EXPECT_EQ(c.visit_count, 0u);
    sum += c.prior;
    any_moved |= c.prior != 1.0f / 15.0f;
  }
  EXPECT_TRUE(any_moved);
  EXPECT_NEAR(sum, 1.0f, 1e-6);
}

TEST(SearchRunMcts, SingleChildDrawsNoNoiseAndTakesEveryVisit) {
  Rng rng(31);
  FakeNetwork network;
  network.answer = [](const StateRepr&, Reply& reply) {
    reply.policy_size = 1;  // covers cell 0 only
    reply.policy[0] = 0.0f;
    reply.values = {0.0f, 0.0f, 0.0f, 0.0f};
  };
  const Rng before = rng;
  const std::optional<Node> root = run_mcts(game::Game::reset(), params(0), network, rng);
  ASSERT_EQ(root->children.size(), 1u);
  EXPECT_EQ(root->children[0].prior, 1.0f);
  EXPECT_EQ(rng, before);  // neither noise nor shuffle drew a number

  const std::optional<Node> searched = run_mcts(game::Game::reset(), params(9), network, rng);
  EXPECT_EQ(searched->children[0].visit_count, 9u);
}

class SearchRunMctsFailure : public ::testing::TestWithParam<unsigned> {};

// Call 0 is the root's evaluation, later ones are leaves'.
TEST_P(SearchRunMctsFailure, AFailedEvaluationEndsTheSearchNamingWhere) {
  Rng rng(32);
  FakeNetwork network;
  network.fail_on_call = GetParam();
  const bool root = GetParam() == 0;
  ::testing::internal::CaptureStdout();
  try {
    (void)run_mcts(game::Game::reset(), params(5), network, rng);
    ADD_FAILURE() << "no failure";
  } catch (const EvaluationFailed& failure) {
    const std::string text = "fake failure on call " + std::to_string(GetParam());
    EXPECT_EQ(failure.where, root ? EvaluationFailed::Where::kRoot : EvaluationFailed::Where::kLeaf);
    EXPECT_EQ(failure.error_text, text);
    EXPECT_EQ(failure.what(), (root ? "Error evaluating root node: " : "Error evaluating leaf node: ") + text);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");  // the search prints nothing
  EXPECT_EQ(network.calls, GetParam() + 1);
}

INSTANTIATE_TEST_SUITE_P(Calls, SearchRunMctsFailure, ::testing::Values(0u, 3u));

TEST(SearchRunMcts, RootWithoutChildrenStops) {
  Rng rng(34);
  FakeNetwork network;
  network.answer = [](const StateRepr&, Reply& reply) {
    reply.policy_size = 0;
  };
  EXPECT_THROW((void)run_mcts(game::Game::reset(), params(3), network, rng), InternalStop);
  EXPECT_EQ(network.calls, 1u);
}

// The descent reaches a finished position: it is valued by the payoff
// without a network call, and the leaf is credited with the share of the
// player who made the last move, whoever that is.
TEST(SearchSimulate, FinishedLeafCostsNoCallAndCreditsItsChooser) {
  Rng rng(35);
  // Play random games until one ends on a move whose position has that
  // move as a legal tile; keep the game one move before the end.
  game::Game game = game::Game::reset();
  game::Game last = game;
  unsigned final_cell = 0;
  while (!game.is_over()) {
    last = game;
    const auto cells = game.legal_tiles();
    final_cell = cells[rng() % cells.size()];
    (void)game.apply(final_cell);
  }
  const game::Payoff payoff = game.get_payoff();

  Node root;
  const std::array<CellPrior, 1> only = {{{static_cast<std::uint16_t>(final_cell), 1.0f}}};
  expand(root, *last.current_player(), only, rng);
  FakeNetwork network;
  const ClassicRule rule(params(0));
  simulate(root, last, rule, 0, network, rng);
  simulate(root, last, rule, 1, network, rng);
  EXPECT_EQ(network.calls, 0u);
  const Node& leaf = root.children[0];
  const unsigned mover = *last.current_player();
  EXPECT_EQ(leaf.visit_count, 2u);
  EXPECT_EQ(leaf.chooser, mover);
  EXPECT_TRUE(leaf.children.empty());
  EXPECT_EQ(leaf.value_sum, payoff[mover] + payoff[mover]);
}

// The root's own evaluation counts as a visit, so PUCT's first simulation
// already follows the priors instead of the children's order.
TEST(SearchRunMcts, PuctFirstSimulationFollowsThePriors) {
  for (unsigned favourite : {0u, 20u, 21u, 1u}) {
    Rng rng(36 + favourite);
    FakeNetwork network({0.25f, 0.25f, 0.25f, 0.25f});
    network.answer = [favourite](const StateRepr&, Reply& reply) {
      reply.policy.fill(0.0f);
      reply.policy[favourite] = 5.0f;
      reply.policy_size = kBoardCells;
      reply.values = {0.25f, 0.25f, 0.25f, 0.25f};
    };
    Config config;
    config.sims_per_move = 1;
    config.c_base = 19652.0f;
    config.c_init = 1.25f;
    config.dirichlet_alpha = 0.3f;
    config.rule = SearchRule::kPuct;
    const Node root = run_mcts(game::Game::reset(), SearchParams::from(config), network, rng);
    for (const Node& child : root.children)
      EXPECT_EQ(child.visit_count, child.tile == favourite ? 1u : 0u) << favourite;
  }
}

}  // namespace
}  // namespace tilora::self_play
